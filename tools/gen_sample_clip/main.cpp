// Writes one clip of the bundled sample:
//   gen_sample_clip <output.mp4> <pattern 1|2> [seconds [width height]] [--sound]
// Pattern 1: colour bars with a white box crossing them; pattern 2: a grey ramp with a bar
// sweeping down. H.264 in MP4, 640x360 (or the size given) at 25 fps, a key frame every second.
// With --sound the clip also carries AAC stereo at 48 kHz, the sample's configured sound track: a
// tone (440 Hz for pattern 1, 660 Hz for pattern 2) that rises for the first 0.1 s of every second.
#include "core/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int g_width = 640;
int g_height = 360;
constexpr int kFps = 25;
constexpr int kSampleRate = 48000;
constexpr int kChannels = 2;

void Fill(AVFrame *frame, int pattern, int index)
{
    static const uint8_t bars[7][3] = {{235, 128, 128}, {210, 16, 146}, {170, 166, 16}, {145, 54, 34},
                                       {106, 202, 222}, {81, 90, 240},  {41, 240, 110}};
    const int boxLeft = (index * 8) % g_width;
    const int boxTop = g_height / 2 - 32;
    const int barTop = (index * 4) % g_height;
    for (int y = 0; y < g_height; ++y) {
        uint8_t *luma = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < g_width; ++x) {
            const bool box = pattern == 1 && x >= boxLeft && x < boxLeft + 64 && y >= boxTop && y < boxTop + 64;
            const bool bar = pattern == 2 && y >= barTop && y < barTop + 24;
            luma[x] = box || bar ? 235
                                 : (pattern == 1 ? bars[x * 7 / g_width][0] : static_cast<uint8_t>(16 + x * 200 / g_width));
        }
    }
    for (int y = 0; y < g_height / 2; ++y) {
        uint8_t *u = frame->data[1] + y * frame->linesize[1];
        uint8_t *v = frame->data[2] + y * frame->linesize[2];
        for (int x = 0; x < g_width / 2; ++x) {
            u[x] = pattern == 1 ? bars[x * 2 * 7 / g_width][1] : 128;
            v[x] = pattern == 1 ? bars[x * 2 * 7 / g_width][2] : 128;
        }
    }
}

int Drain(AVCodecContext *codec, AVFormatContext *format, AVStream *stream, AVPacket *packet)
{
    int result = 0;
    while ((result = avcodec_receive_packet(codec, packet)) == 0) {
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if ((result = av_interleaved_write_frame(format, packet)) < 0)
            return result;
    }
    return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : result;
}

// The sound of the clip: its encoder and stream, and the samples made so far.
struct stSound
{
    AvCodecPtr codec;
    AVStream *stream = nullptr;
    AvFramePtr frame;
    int64_t samples = 0;
    double tone = 440.0;

    int Open(AVFormatContext *format)
    {
        const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!encoder)
            return -1;
        codec.reset(avcodec_alloc_context3(encoder));
        stream = avformat_new_stream(format, nullptr);
        if (!codec || !stream)
            return -1;
        codec->sample_rate = kSampleRate;
        codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&codec->ch_layout, kChannels);
        codec->bit_rate = 128000;
        codec->time_base = AVRational{1, kSampleRate};
        if (format->oformat->flags & AVFMT_GLOBALHEADER)
            codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(codec.get(), encoder, nullptr) < 0 ||
            avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0)
            return -1;
        stream->time_base = codec->time_base;
        frame.reset(av_frame_alloc());
        if (!frame)
            return -1;
        frame->nb_samples = codec->frame_size;
        frame->format = codec->sample_fmt;
        frame->sample_rate = kSampleRate;
        if (av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0)
            return -1;
        return 0;
    }
    // Encodes the sound up to the sample given (exclusive).
    int EncodeUntil(int64_t endSample, AVFormatContext *format, AVPacket *packet);
};

int stSound::EncodeUntil(int64_t endSample, AVFormatContext *format, AVPacket *packet)
{
    const double pi = 3.14159265358979323846;
    while (samples < endSample) {
        if (av_frame_make_writable(frame.get()) < 0)
            return -1;
        for (int i = 0; i < frame->nb_samples; ++i) {
            const int64_t index = samples + i;
            const bool mark = index % kSampleRate < kSampleRate / 10;
            const float value = static_cast<float>((mark ? 0.5 : 0.2) * std::sin(2.0 * pi * tone * index / kSampleRate));
            for (int channel = 0; channel < kChannels; ++channel)
                reinterpret_cast<float *>(frame->data[channel])[i] = value;
        }
        frame->pts = samples;
        samples += frame->nb_samples;
        if (avcodec_send_frame(codec.get(), frame.get()) < 0 || Drain(codec.get(), format, stream, packet) < 0)
            return -1;
    }
    return 0;
}

int WriteClip(const char *path, int pattern, int seconds, bool withSound)
{
    AVFormatContext *raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "mp4", path) < 0)
        return 1;
    AvOutputPtr format(raw);
    const AVCodec *encoder = avcodec_find_encoder_by_name("libx264");
    if (!encoder)
        encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AvCodecPtr codec(avcodec_alloc_context3(encoder));
    AVStream *stream = avformat_new_stream(format.get(), nullptr);
    if (!codec || !stream)
        return 1;
    codec->width = g_width;
    codec->height = g_height;
    codec->pix_fmt = AV_PIX_FMT_YUV420P;
    codec->time_base = AVRational{1, kFps};
    codec->framerate = AVRational{kFps, 1};
    codec->gop_size = kFps;
    codec->max_b_frames = 0;
    codec->bit_rate = 800000;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(codec->priv_data, "preset", "veryfast", 0);
    if (avcodec_open2(codec.get(), encoder, nullptr) < 0 ||
        avcodec_parameters_from_context(stream->codecpar, codec.get()) < 0)
        return 1;
    stream->time_base = codec->time_base;
    stSound sound;
    sound.tone = pattern == 1 ? 440.0 : 660.0;
    if (withSound && sound.Open(format.get()) < 0)
        return 1;
    if (avio_open(&format->pb, path, AVIO_FLAG_WRITE) < 0 || avformat_write_header(format.get(), nullptr) < 0)
        return 1;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    frame->width = g_width;
    frame->height = g_height;
    frame->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return 1;
    for (int index = 0; index < seconds * kFps; ++index) {
        if (av_frame_make_writable(frame.get()) < 0)
            return 1;
        Fill(frame.get(), pattern, index);
        frame->pts = index;
        if (avcodec_send_frame(codec.get(), frame.get()) < 0 || Drain(codec.get(), format.get(), stream, packet.get()) < 0)
            return 1;
        // The sound as far as this picture lasts, so that the muxer interleaves the two.
        if (withSound && sound.EncodeUntil(static_cast<int64_t>(index + 1) * kSampleRate / kFps, format.get(), packet.get()) < 0)
            return 1;
    }
    if (avcodec_send_frame(codec.get(), nullptr) < 0 || Drain(codec.get(), format.get(), stream, packet.get()) < 0)
        return 1;
    if (withSound && (avcodec_send_frame(sound.codec.get(), nullptr) < 0 ||
                      Drain(sound.codec.get(), format.get(), sound.stream, packet.get()) < 0))
        return 1;
    return av_write_trailer(format.get()) < 0 ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    bool withSound = false;
    if (argc > 1 && std::strcmp(argv[argc - 1], "--sound") == 0) {
        withSound = true;
        --argc;
    }
    if (argc < 3 || (std::strcmp(argv[2], "1") != 0 && std::strcmp(argv[2], "2") != 0)) {
        std::fprintf(stderr, "usage: gen_sample_clip <output.mp4> <1|2> [seconds [width height]] [--sound]\n");
        return 2;
    }
    const int seconds = argc > 3 ? std::atoi(argv[3]) : 20;
    if (argc > 5) {
        g_width = std::atoi(argv[4]);
        g_height = std::atoi(argv[5]);
        if (g_width < 64 || g_height < 64 || g_width > 3840 || g_height > 2160 || g_width % 2 || g_height % 2) {
            std::fprintf(stderr, "gen_sample_clip: the size must be even, 64x64 to 3840x2160\n");
            return 2;
        }
    }
    if (seconds < 1 || seconds > 600) {
        std::fprintf(stderr, "gen_sample_clip: seconds must be 1 to 600\n");
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    const int result = WriteClip(argv[1], std::atoi(argv[2]), seconds, withSound);
    if (result != 0)
        std::fprintf(stderr, "gen_sample_clip: writing %s failed\n", argv[1]);
    return result;
}
