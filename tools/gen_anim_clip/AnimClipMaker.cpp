#include "AnimClipMaker.h"

#include "core/FfmpegHandles.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// The write callback's buffer became const in libavformat 61.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
using WriteBuffer = const uint8_t *;
#else
using WriteBuffer = uint8_t *;
#endif

// A seekable output over a growing byte vector.
struct stMemoryOutput
{
    std::vector<uint8_t> *bytes = nullptr;
    int64_t position = 0;

    static int Write(void *opaque, WriteBuffer data, int size)
    {
        auto *self = static_cast<stMemoryOutput *>(opaque);
        const size_t end = static_cast<size_t>(self->position) + static_cast<size_t>(size);
        if (self->bytes->size() < end)
            self->bytes->resize(end);
        std::memcpy(self->bytes->data() + self->position, data, static_cast<size_t>(size));
        self->position = static_cast<int64_t>(end);
        return size;
    }
    static int64_t Seek(void *opaque, int64_t offset, int whence)
    {
        auto *self = static_cast<stMemoryOutput *>(opaque);
        const auto size = static_cast<int64_t>(self->bytes->size());
        switch (whence & ~AVSEEK_FORCE) {
        case AVSEEK_SIZE: return size;
        case SEEK_SET: self->position = offset; break;
        case SEEK_CUR: self->position += offset; break;
        case SEEK_END: self->position = size + offset; break;
        default: return -1;
        }
        if (self->position < 0)
            self->position = 0;
        return self->position;
    }
};

// Frame n: transparent, a half-transparent badge crossing the picture and an opaque progress bar.
void DrawFrame(AVFrame *frame, int32_t index, int32_t count)
{
    const int32_t w = frame->width;
    const int32_t h = frame->height;
    for (int32_t y = 0; y < h; ++y)
        std::memset(frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0], 0, static_cast<size_t>(w) * 4);
    const int32_t badgeW = std::max(2, w / 5);
    const int32_t badgeH = std::max(2, h / 6);
    const int32_t left = count > 1 ? (w - badgeW) * index / (count - 1) : 0;
    const int32_t top = h / 2 - badgeH / 2;
    for (int32_t y = top; y < top + badgeH && y < h; ++y) {
        uint8_t *row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int32_t x = left; x < left + badgeW && x < w; ++x) {
            uint8_t *pixel = row + 4 * x;
            pixel[0] = static_cast<uint8_t>(255 - index % 256);
            pixel[1] = static_cast<uint8_t>(64 + (x - left) * 128 / badgeW);
            pixel[2] = static_cast<uint8_t>(index % 256);
            pixel[3] = 160;
        }
    }
    const int32_t barW = count > 0 ? w * (index + 1) / count : w;
    for (int32_t y = std::max(0, h - h / 36 - 1); y < h; ++y) {
        uint8_t *row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        for (int32_t x = 0; x < barW; ++x) {
            uint8_t *pixel = row + 4 * x;
            pixel[0] = pixel[1] = pixel[2] = 255;
            pixel[3] = 255;
        }
    }
}

int32_t Drain(AVCodecContext *codec, AVFormatContext *format, AVStream *stream, AVPacket *packet)
{
    for (;;) {
        int32_t result = avcodec_receive_packet(codec, packet);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0)
            return result;
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        result = av_interleaved_write_frame(format, packet);
        if (result < 0)
            return result;
    }
}

// Sends one frame (none: the end of the stream) and writes out every packet the encoder has ready.
int32_t Encode(AVCodecContext *codec, AVFormatContext *format, AVStream *stream, AVPacket *packet, const AVFrame *frame)
{
    const int32_t result = avcodec_send_frame(codec, frame);
    return result < 0 ? result : Drain(codec, format, stream, packet);
}

int32_t OpenVideoEncoder(const stAnimClipSpec &spec, AvCodecPtr &codec)
{
    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!encoder)
        return AVERROR_ENCODER_NOT_FOUND;
    codec.reset(avcodec_alloc_context3(encoder));
    if (!codec)
        return AVERROR(ENOMEM);
    codec->width = spec.width;
    codec->height = spec.height;
    codec->pix_fmt = AV_PIX_FMT_RGBA;
    codec->time_base = AVRational{1, spec.fps};
    codec->framerate = AVRational{spec.fps, 1};
    return avcodec_open2(codec.get(), encoder, nullptr);
}

int32_t OpenAudioEncoder(AvCodecPtr &codec)
{
    const AVCodec *encoder = avcodec_find_encoder(AV_CODEC_ID_PCM_S16LE);
    if (!encoder)
        return AVERROR_ENCODER_NOT_FOUND;
    codec.reset(avcodec_alloc_context3(encoder));
    if (!codec)
        return AVERROR(ENOMEM);
    codec->sample_fmt = AV_SAMPLE_FMT_S16;
    codec->sample_rate = 48000;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 28, 100)
    av_channel_layout_default(&codec->ch_layout, 1);
#else
    codec->channels = 1;
    codec->channel_layout = AV_CH_LAYOUT_MONO;
#endif
    codec->time_base = AVRational{1, 48000};
    return avcodec_open2(codec.get(), encoder, nullptr);
}

int32_t EncodeVideo(const stAnimClipSpec &spec, AVCodecContext *codec, AVFormatContext *format, AVStream *stream)
{
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return AVERROR(ENOMEM);
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = spec.width;
    frame->height = spec.height;
    int32_t result = av_frame_get_buffer(frame.get(), 0);
    for (int32_t i = 0; result >= 0 && i < spec.frames; ++i) {
        result = av_frame_make_writable(frame.get());
        if (result < 0)
            break;
        DrawFrame(frame.get(), i, spec.frames);
        frame->pts = i;
        result = Encode(codec, format, stream, packet.get(), frame.get());
    }
    return result < 0 ? result : Encode(codec, format, stream, packet.get(), nullptr);
}

int32_t EncodeSilence(AVCodecContext *codec, AVFormatContext *format, AVStream *stream)
{
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return AVERROR(ENOMEM);
    frame->format = codec->sample_fmt;
    frame->nb_samples = 1024;
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 28, 100)
    int32_t result = av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
#else
    frame->channel_layout = codec->channel_layout;
    int32_t result = 0;
#endif
    if (result >= 0)
        result = av_frame_get_buffer(frame.get(), 0);
    for (int32_t i = 0; result >= 0 && i < 47; ++i) {
        result = av_frame_make_writable(frame.get());
        if (result < 0)
            break;
        std::memset(frame->data[0], 0, static_cast<size_t>(frame->nb_samples) * 2);
        frame->pts = static_cast<int64_t>(i) * 1024;
        result = Encode(codec, format, stream, packet.get(), frame.get());
    }
    return result < 0 ? result : Encode(codec, format, stream, packet.get(), nullptr);
}

} // namespace

int32_t MakeAnimClip(const stAnimClipSpec &spec, std::vector<uint8_t> &out)
{
    out.clear();
    if (!spec.audioOnly && (spec.width < 1 || spec.height < 1 || spec.frames < 1 || spec.fps < 1))
        return AVERROR(EINVAL);
    AVFormatContext *raw = nullptr;
    int32_t result = avformat_alloc_output_context2(&raw, nullptr, "mov", nullptr);
    if (result < 0)
        return result;
    AvFormatPtr format(raw);

    stMemoryOutput output;
    output.bytes = &out;
    constexpr int kBufferSize = 65536;
    auto *buffer = static_cast<uint8_t *>(av_malloc(kBufferSize));
    if (!buffer)
        return AVERROR(ENOMEM);
    AvIoPtr io(
        avio_alloc_context(buffer, kBufferSize, 1, &output, nullptr, &stMemoryOutput::Write, &stMemoryOutput::Seek));
    if (!io) {
        av_free(buffer);
        return AVERROR(ENOMEM);
    }
    format->pb = io.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;

    AvCodecPtr codec;
    result = spec.audioOnly ? OpenAudioEncoder(codec) : OpenVideoEncoder(spec, codec);
    if (result < 0)
        return result;
    AVStream *stream = avformat_new_stream(format.get(), nullptr);
    if (!stream)
        return AVERROR(ENOMEM);
    result = avcodec_parameters_from_context(stream->codecpar, codec.get());
    if (result < 0)
        return result;
    stream->time_base = codec->time_base;
    if (!spec.audioOnly) {
        stream->avg_frame_rate = AVRational{spec.fps, 1};
        stream->r_frame_rate = AVRational{spec.fps, 1};
        if (spec.timecode)
            av_dict_set(&format->metadata, "timecode", "00:00:00:00", 0);
    }
    AVDictionary *options = nullptr;
    if (!spec.audioOnly && spec.trackTimescale > 0)
        av_dict_set_int(&options, "video_track_timescale", spec.trackTimescale, 0);
    result = avformat_write_header(format.get(), &options);
    av_dict_free(&options);
    if (result < 0)
        return result;
    result = spec.audioOnly ? EncodeSilence(codec.get(), format.get(), stream)
                            : EncodeVideo(spec, codec.get(), format.get(), stream);
    const int32_t trailer = av_write_trailer(format.get());
    avio_flush(io.get());
    if (result >= 0)
        result = trailer;
    if (result < 0)
        out.clear();
    return result < 0 ? result : 0;
}

int32_t MakePngPicture(int32_t width, int32_t height, std::vector<uint8_t> &out)
{
    out.clear();
    stAnimClipSpec spec;
    spec.width = width;
    spec.height = height;
    spec.frames = 1;
    AvCodecPtr codec;
    int32_t result = OpenVideoEncoder(spec, codec);
    if (result < 0)
        return result;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!frame || !packet)
        return AVERROR(ENOMEM);
    frame->format = AV_PIX_FMT_RGBA;
    frame->width = width;
    frame->height = height;
    result = av_frame_get_buffer(frame.get(), 0);
    if (result < 0)
        return result;
    DrawFrame(frame.get(), 0, 1);
    frame->pts = 0;
    result = avcodec_send_frame(codec.get(), frame.get());
    if (result >= 0)
        result = avcodec_receive_packet(codec.get(), packet.get());
    if (result < 0)
        return result;
    out.assign(packet->data, packet->data + packet->size);
    return 0;
}
