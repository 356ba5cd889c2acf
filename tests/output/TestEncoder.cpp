#include "TestEncoder.h"

#include "core/FfmpegHandles.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <cstring>
#include <string>

namespace {

constexpr int64_t kUs = 1000000;

AvCodecPtr OpenVideoEncoder(const stTestEncodeSpec &spec)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return nullptr;
    AvCodecPtr c(avcodec_alloc_context3(codec));
    c->width = spec.width;
    c->height = spec.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, spec.fps};
    c->framerate = AVRational{spec.fps, 1};
    c->gop_size = spec.gop;
    c->max_b_frames = spec.bFrames;
    c->bit_rate = spec.videoBitRate;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // sequence headers as extradata, as the encode workers give them
    AVDictionary *options = nullptr;
    av_dict_set(&options, "preset", "ultrafast", 0);
    const std::string params = "scenecut=0:bframes=" + std::to_string(spec.bFrames) + ":keyint=" + std::to_string(spec.gop) +
                               ":min-keyint=" + std::to_string(spec.gop);
    av_dict_set(&options, "x264-params", params.c_str(), 0);
    const int result = avcodec_open2(c.get(), nullptr, &options);
    av_dict_free(&options);
    return result < 0 ? nullptr : std::move(c);
}

AvCodecPtr OpenAudioEncoder(const stTestEncodeSpec &spec)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec)
        return nullptr;
    AvCodecPtr c(avcodec_alloc_context3(codec));
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = spec.sampleRate;
    av_channel_layout_default(&c->ch_layout, 2);
    c->time_base = AVRational{1, spec.sampleRate};
    c->bit_rate = 96000;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    return avcodec_open2(c.get(), nullptr, nullptr) < 0 ? nullptr : std::move(c);
}

// A moving gradient: every picture differs, so the encoder makes real P-frames.
void FillPicture(AVFrame *frame, int64_t index)
{
    for (int plane = 0; plane < 3; ++plane) {
        const int w = plane ? frame->width / 2 : frame->width;
        const int h = plane ? frame->height / 2 : frame->height;
        for (int y = 0; y < h; ++y) {
            uint8_t *row = frame->data[plane] + y * frame->linesize[plane];
            for (int x = 0; x < w; ++x)
                row[x] = static_cast<uint8_t>(plane ? 128 + ((x ^ y) & 15) : (x * 2 + y + index * 5));
        }
    }
}

void FillTone(AVFrame *frame, int64_t firstSample, int rate)
{
    for (int ch = 0; ch < frame->ch_layout.nb_channels; ++ch) {
        auto *samples = reinterpret_cast<float *>(frame->data[ch]);
        for (int i = 0; i < frame->nb_samples; ++i)
            samples[i] = 0.25f * static_cast<float>(std::sin(2.0 * M_PI * 330.0 * double(firstSample + i) / rate));
    }
}

// Collects what the encoder gives for the frame (null: the flush), stamped in µs.
void Collect(AVCodecContext *c, const AVFrame *frame, bool video, std::vector<stCodedPacket> &out)
{
    if (avcodec_send_frame(c, frame) < 0)
        return;
    AvPacketPtr packet(av_packet_alloc());
    while (avcodec_receive_packet(c, packet.get()) == 0) {
        stCodedPacket coded;
        coded.data.assign(packet->data, packet->data + packet->size);
        coded.pts = av_rescale_q(packet->pts, c->time_base, AVRational{1, kUs});
        coded.dts = av_rescale_q(packet->dts, c->time_base, AVRational{1, kUs});
        const int64_t duration = packet->duration > 0 ? packet->duration : (video ? 1 : c->frame_size);
        coded.duration = av_rescale_q(duration, c->time_base, AVRational{1, kUs});
        coded.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        coded.video = video;
        out.push_back(std::move(coded));
        av_packet_unref(packet.get());
    }
}

} // namespace

bool CTestEncoder::Encode(const stTestEncodeSpec &spec)
{
    if (av_log_get_level() > AV_LOG_ERROR)
        av_log_set_level(AV_LOG_ERROR);
    m_spec = spec;
    m_video.clear();
    m_audio.clear();
    AvCodecPtr video = OpenVideoEncoder(spec);
    if (!video)
        return false;
    m_videoExtradata.assign(video->extradata, video->extradata + video->extradata_size);
    AvFramePtr picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = spec.width;
    picture->height = spec.height;
    av_frame_get_buffer(picture.get(), 0);
    const int64_t frames = std::llround(spec.seconds * spec.fps);
    for (int64_t i = 0; i < frames; ++i) {
        av_frame_make_writable(picture.get());
        FillPicture(picture.get(), i);
        picture->pts = i;
        Collect(video.get(), picture.get(), true, m_video);
    }
    Collect(video.get(), nullptr, true, m_video);
    m_clipUs = frames * kUs / spec.fps;

    if (!spec.audio)
        return true;
    AvCodecPtr audio = OpenAudioEncoder(spec);
    if (!audio)
        return false;
    m_audioExtradata.assign(audio->extradata, audio->extradata + audio->extradata_size);
    m_audioFrameSize = audio->frame_size > 0 ? audio->frame_size : 1024;
    AvFramePtr block(av_frame_alloc());
    block->format = audio->sample_fmt;
    block->nb_samples = m_audioFrameSize;
    block->sample_rate = spec.sampleRate;
    av_channel_layout_copy(&block->ch_layout, &audio->ch_layout);
    av_frame_get_buffer(block.get(), 0);
    const int64_t samples = static_cast<int64_t>(spec.seconds * spec.sampleRate);
    for (int64_t first = 0; first + m_audioFrameSize <= samples; first += m_audioFrameSize) {
        av_frame_make_writable(block.get());
        FillTone(block.get(), first, spec.sampleRate);
        block->pts = first;
        Collect(audio.get(), block.get(), false, m_audio);
    }
    Collect(audio.get(), nullptr, false, m_audio);
    // The encoder's priming packets carry negative times: a live encoder would not send them.
    std::erase_if(m_audio, [](const stCodedPacket &packet) { return packet.dts < 0; });
    return true;
}

stStreamParams CTestEncoder::VideoParams(uint16_t streamId) const
{
    stStreamParams params;
    params.mediaType = 0;
    params.codecId = AV_CODEC_ID_H264;
    params.codecName = L"H264";
    params.timeBase = stTimeBase{1, 90000};
    params.width = static_cast<uint16_t>(m_spec.width);
    params.height = static_cast<uint16_t>(m_spec.height);
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    params.frameRate = static_cast<float>(m_spec.fps);
    params.gopSize = m_spec.gop;
    params.bitRate = static_cast<int32_t>(m_spec.videoBitRate);
    params.streamId = streamId;
    params.SetExtradata(m_videoExtradata.data(), static_cast<int32_t>(m_videoExtradata.size()));
    return params;
}

stStreamParams CTestEncoder::AudioParams(uint16_t streamId) const
{
    stStreamParams params;
    params.mediaType = 1;
    params.codecId = AV_CODEC_ID_AAC;
    params.codecName = L"AAC";
    params.timeBase = stTimeBase{1, m_spec.sampleRate};
    params.sampleRate = m_spec.sampleRate;
    params.sampleFormat = AV_SAMPLE_FMT_FLTP;
    params.frameSize = m_audioFrameSize;
    params.bitRate = 96000;
    av_channel_layout_default(&params.channelLayout, 2);
    params.streamId = streamId;
    params.SetExtradata(m_audioExtradata.data(), static_cast<int32_t>(m_audioExtradata.size()));
    return params;
}

FramePackage CTestEncoder::MakePackage(const stCodedPacket &packet, int64_t baseUs)
{
    FramePackage package;
    package.inDevice = 0;
    if (AllocFramePackageData(package, static_cast<int32_t>(packet.data.size())) > 0)
        std::memcpy(package.pData, packet.data.data(), packet.data.size());
    package.pts = baseUs + packet.pts;
    package.dts = baseUs + packet.dts;
    package.duration = packet.duration;
    package.flags = packet.key ? TYX_PKT_FLAG_KEY : 0;
    package.mediaType = packet.video ? TYX_MEDIA_VIDEO : TYX_MEDIA_AUDIO;
    package.kind = packet.video ? TYX_PKT_KIND_CODED_VIDEO : TYX_PKT_KIND_CODED_AUDIO;
    package.streamIndex = packet.video ? 0 : 1;
    return package;
}
