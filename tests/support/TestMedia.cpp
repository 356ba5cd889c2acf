#include "support/TestMedia.h"

#include "core/FfmpegHandles.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <cmath>
#include <memory>

namespace {

// One encoder with its output stream.
struct stEncoderLane
{
    AvCodecPtr codec;
    AVStream *stream = nullptr;
    AvFramePtr frame;
    int64_t nextPts = 0;
    int64_t total = 0;          // pictures or samples to encode
    int *packetCount = nullptr;
};

// Opens the lane's encoder (set up by the caller) and gives it an output stream and a frame.
int OpenLane(AVFormatContext *format, stEncoderLane &lane, AVDictionary **options)
{
    AVCodecContext *c = lane.codec.get();
    int result = avcodec_open2(c, nullptr, options);
    if (result < 0)
        return result;
    lane.stream = avformat_new_stream(format, nullptr);
    if (!lane.stream)
        return AVERROR(ENOMEM);
    lane.stream->time_base = c->time_base;
    result = avcodec_parameters_from_context(lane.stream->codecpar, c);
    if (result < 0)
        return result;
    lane.frame.reset(av_frame_alloc());
    return lane.frame ? 0 : AVERROR(ENOMEM);
}

int OpenVideo(AVFormatContext *format, const stTestMediaSpec &spec, stEncoderLane &lane)
{
    const AVCodec *encoder = avcodec_find_encoder_by_name(spec.videoCodec.c_str());
    if (!encoder)
        return AVERROR_ENCODER_NOT_FOUND;
    lane.codec.reset(avcodec_alloc_context3(encoder));
    AVCodecContext *c = lane.codec.get();
    c->width = spec.width;
    c->height = spec.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // MJPEG (as cheap cameras write it) takes this format as full-range pictures only.
    if (spec.videoCodec == "mjpeg")
        c->color_range = AVCOL_RANGE_JPEG;
    c->time_base = AVRational{spec.fpsBase, spec.fps};
    c->framerate = AVRational{spec.fps, spec.fpsBase};
    c->gop_size = spec.gop > 0 ? spec.gop : static_cast<int>(std::lround(double(spec.fps) / spec.fpsBase));
    c->keyint_min = c->gop_size;
    c->max_b_frames = spec.bFrames;
    c->bit_rate = 400000;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary *options = nullptr;
    if (spec.videoCodec == "libx264" || spec.videoCodec == "libx265") {
        const bool x265 = spec.videoCodec == "libx265";
        av_dict_set(&options, "preset", "ultrafast", 0);
        // Key frames exactly on the GOP grid and B-frames only when asked for.
        const std::string params = std::string(x265 ? "log-level=none:" : "") + "scenecut=0:bframes=" +
                                   std::to_string(spec.bFrames) + ":keyint=" + std::to_string(c->gop_size) +
                                   ":min-keyint=" + std::to_string(c->gop_size);
        av_dict_set(&options, x265 ? "x265-params" : "x264-params", params.c_str(), 0);
    }
    const int result = OpenLane(format, lane, &options);
    av_dict_free(&options);
    if (result < 0)
        return result;
    lane.stream->avg_frame_rate = c->framerate;
    lane.frame->format = c->pix_fmt;
    lane.frame->width = c->width;
    lane.frame->height = c->height;
    lane.total = spec.pictures > 0 ? spec.pictures : static_cast<int64_t>(std::llround(spec.seconds * spec.fps / spec.fpsBase));
    return av_frame_get_buffer(lane.frame.get(), 0);
}

int OpenAudio(AVFormatContext *format, const stTestMediaSpec &spec, stEncoderLane &lane)
{
    const AVCodec *encoder = avcodec_find_encoder_by_name(spec.audioCodec.c_str());
    if (!encoder)
        return AVERROR_ENCODER_NOT_FOUND;
    lane.codec.reset(avcodec_alloc_context3(encoder));
    AVCodecContext *c = lane.codec.get();
    c->sample_fmt = encoder->sample_fmts ? encoder->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    c->sample_rate = spec.sampleRate;
    av_channel_layout_default(&c->ch_layout, spec.channels);
    c->time_base = AVRational{1, spec.sampleRate};
    c->bit_rate = 64000;
    if (format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int result = OpenLane(format, lane, nullptr);
    if (result < 0)
        return result;
    lane.frame->format = c->sample_fmt;
    lane.frame->nb_samples = c->frame_size > 0 ? c->frame_size : 1024;
    lane.frame->sample_rate = c->sample_rate;
    av_channel_layout_copy(&lane.frame->ch_layout, &c->ch_layout);
    lane.total = static_cast<int64_t>(std::llround(spec.seconds * spec.sampleRate));
    return av_frame_get_buffer(lane.frame.get(), 0);
}

void PaintPicture(AVFrame *frame, int64_t index)
{
    for (int y = 0; y < frame->height; ++y) {
        uint8_t *row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x)
            row[x] = static_cast<uint8_t>(x + y + index * 3);
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < (frame->height + 1) / 2; ++y) {
            uint8_t *row = frame->data[plane] + y * frame->linesize[plane];
            for (int x = 0; x < (frame->width + 1) / 2; ++x)
                row[x] = static_cast<uint8_t>(128 + plane * 20 + y + index * 2);
        }
    }
}

void PaintSound(AVFrame *frame, int64_t firstSample, const stTestMediaSpec &spec)
{
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format);
    for (int i = 0; i < frame->nb_samples; ++i) {
        const double value = spec.soundSample ? spec.soundSample(firstSample + i)
                                              : 0.3 * std::sin(2.0 * M_PI * 440.0 * double(firstSample + i) / spec.sampleRate);
        for (int ch = 0; ch < channels; ++ch) {
            const int slot = planar ? i : i * channels + ch;
            uint8_t *base = frame->data[planar ? ch : 0];
            if (format == AV_SAMPLE_FMT_FLTP || format == AV_SAMPLE_FMT_FLT)
                reinterpret_cast<float *>(base)[slot] = static_cast<float>(value);
            else if (format == AV_SAMPLE_FMT_S16P || format == AV_SAMPLE_FMT_S16)
                reinterpret_cast<int16_t *>(base)[slot] = static_cast<int16_t>(value * 32767);
        }
    }
}

// Sends one frame (or the flush when frame is null) and writes what comes out.
int Drain(AVFormatContext *format, stEncoderLane &lane, const AVFrame *frame, stTestMediaInfo &info)
{
    int result = avcodec_send_frame(lane.codec.get(), frame);
    if (result < 0)
        return result;
    AvPacketPtr packet(av_packet_alloc());
    for (;;) {
        result = avcodec_receive_packet(lane.codec.get(), packet.get());
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0)
            return result;
        if (lane.codec->codec_type == AVMEDIA_TYPE_VIDEO && (packet->flags & AV_PKT_FLAG_KEY))
            ++info.keyFrames;
        ++*lane.packetCount;
        av_packet_rescale_ts(packet.get(), lane.codec->time_base, lane.stream->time_base);
        packet->stream_index = lane.stream->index;
        result = av_interleaved_write_frame(format, packet.get());
        if (result < 0)
            return result;
    }
}

// Encodes the next picture or block of samples of the lane; 0 or a negative FFmpeg code.
int FeedNext(AVFormatContext *format, stEncoderLane &lane, stTestMediaInfo &info, const stTestMediaSpec &spec)
{
    AVFrame *frame = lane.frame.get();
    int result = av_frame_make_writable(frame);
    if (result < 0)
        return result;
    if (lane.codec->codec_type == AVMEDIA_TYPE_VIDEO) {
        if (spec.paintPicture)
            spec.paintPicture(*frame, lane.nextPts);
        else
            PaintPicture(frame, lane.nextPts);
        frame->pts = lane.nextPts++;
    } else {
        const int64_t left = lane.total - lane.nextPts;
        frame->nb_samples = static_cast<int>(std::min<int64_t>(left, lane.codec->frame_size > 0 ? lane.codec->frame_size : 1024));
        PaintSound(frame, lane.nextPts, spec);
        frame->pts = lane.nextPts;
        lane.nextPts += frame->nb_samples;
    }
    return Drain(format, lane, frame, info);
}

} // namespace

int WriteTestMedia(const std::filesystem::path &path, const stTestMediaSpec &spec, stTestMediaInfo *info)
{
    // The encoders' statistics lines would fill the test output.
    if (av_log_get_level() > AV_LOG_ERROR)
        av_log_set_level(AV_LOG_ERROR);
    stTestMediaInfo counts;
    AVFormatContext *raw = nullptr;
    int result = avformat_alloc_output_context2(&raw, nullptr, spec.container.c_str(), path.c_str());
    if (result < 0)
        return result;
    AvOutputPtr format(raw);

    stEncoderLane video;
    stEncoderLane audio;
    video.packetCount = &counts.videoPackets;
    audio.packetCount = &counts.audioPackets;
    if (spec.video && (result = OpenVideo(format.get(), spec, video)) < 0)
        return result;
    if (spec.audio && (result = OpenAudio(format.get(), spec, audio)) < 0)
        return result;
    if (spec.audio)
        counts.audioFrameSize = audio.codec->frame_size;

    if (!(format->oformat->flags & AVFMT_NOFILE) &&
        (result = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
        return result;
    AVDictionary *options = nullptr;
    for (const auto &[key, value] : spec.muxerOptions)
        av_dict_set(&options, key.c_str(), value.c_str(), 0);
    result = avformat_write_header(format.get(), &options);
    // An option the muxer does not know would leave the file other than the test asked for.
    const bool unknown = av_dict_count(options) > 0;
    av_dict_free(&options);
    if (result < 0)
        return result;
    if (unknown)
        return AVERROR_OPTION_NOT_FOUND;

    // Interleave by presentation time so that every container gets a realistic packet order.
    for (;;) {
        const bool videoLeft = spec.video && video.nextPts < video.total;
        const bool audioLeft = spec.audio && audio.nextPts < audio.total;
        if (!videoLeft && !audioLeft)
            break;
        bool takeVideo = videoLeft;
        if (videoLeft && audioLeft)
            takeVideo = av_compare_ts(video.nextPts, video.codec->time_base, audio.nextPts, audio.codec->time_base) <= 0;
        result = FeedNext(format.get(), takeVideo ? video : audio, counts, spec);
        if (result < 0)
            return result;
    }
    if (spec.video && (result = Drain(format.get(), video, nullptr, counts)) < 0)
        return result;
    if (spec.audio && (result = Drain(format.get(), audio, nullptr, counts)) < 0)
        return result;
    if ((result = av_write_trailer(format.get())) < 0)
        return result;
    if (info)
        *info = counts;
    return 0;
}

namespace {

stTestPacket EntryOf(const AVFormatContext &format, const AVPacket &packet)
{
    stTestPacket entry;
    entry.streamIndex = packet.stream_index;
    const AVMediaType type = format.streams[packet.stream_index]->codecpar->codec_type;
    entry.mediaType = type == AVMEDIA_TYPE_VIDEO ? 0 : type == AVMEDIA_TYPE_AUDIO ? 1 : -1;
    entry.pts = packet.pts;
    entry.dts = packet.dts;
    const AVRational timeBase = format.streams[packet.stream_index]->time_base;
    if (packet.pts != AV_NOPTS_VALUE)
        entry.ptsUs = av_rescale_q(packet.pts, timeBase, AVRational{1, 1000000});
    if (packet.dts != AV_NOPTS_VALUE)
        entry.dtsUs = av_rescale_q(packet.dts, timeBase, AVRational{1, 1000000});
    entry.durationUs = av_rescale_q(packet.duration, timeBase, AVRational{1, 1000000});
    entry.key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
    entry.discard = (packet.flags & AV_PKT_FLAG_DISCARD) != 0;
    entry.size = packet.size;
    return entry;
}

} // namespace

std::vector<stTestPacket> ReadTestMediaPackets(const std::filesystem::path &path)
{
    std::vector<stTestPacket> packets;
    AVFormatContext *raw = nullptr;
    if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0)
        return packets;
    AvInputPtr input(raw);
    if (avformat_find_stream_info(input.get(), nullptr) < 0)
        return packets;
    AvPacketPtr packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        packets.push_back(EntryOf(*input, *packet));
        av_packet_unref(packet.get());
    }
    return packets;
}

int CopyTestMediaPackets(const std::filesystem::path &from, const std::filesystem::path &to, const char *container,
                         const std::vector<std::pair<std::string, std::string>> &muxerOptions,
                         const std::function<bool(const stTestPacket &)> &keep)
{
    AVFormatContext *rawIn = nullptr;
    int result = avformat_open_input(&rawIn, from.c_str(), nullptr, nullptr);
    if (result < 0)
        return result;
    AvInputPtr input(rawIn);
    if ((result = avformat_find_stream_info(input.get(), nullptr)) < 0)
        return result;
    AVFormatContext *rawOut = nullptr;
    if ((result = avformat_alloc_output_context2(&rawOut, nullptr, container, to.c_str())) < 0)
        return result;
    AvOutputPtr output(rawOut);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream *stream = avformat_new_stream(output.get(), nullptr);
        if (!stream)
            return AVERROR(ENOMEM);
        if ((result = avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar)) < 0)
            return result;
        stream->codecpar->codec_tag = 0;
        stream->time_base = input->streams[i]->time_base;
    }
    if ((result = avio_open(&output->pb, to.c_str(), AVIO_FLAG_WRITE)) < 0)
        return result;
    AVDictionary *options = nullptr;
    for (const auto &[name, value] : muxerOptions)
        av_dict_set(&options, name.c_str(), value.c_str(), 0);
    result = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (result < 0)
        return result;
    AvPacketPtr packet(av_packet_alloc());
    while (av_read_frame(input.get(), packet.get()) >= 0) {
        if (keep && !keep(EntryOf(*input, *packet))) {
            av_packet_unref(packet.get());
            continue;
        }
        const int index = packet->stream_index;
        av_packet_rescale_ts(packet.get(), input->streams[index]->time_base, output->streams[index]->time_base);
        packet->pos = -1;
        if ((result = av_interleaved_write_frame(output.get(), packet.get())) < 0)
            return result;
    }
    return av_write_trailer(output.get());
}

std::filesystem::path CTestMediaSet::Add(const std::string &name, const stTestMediaSpec &spec, stTestMediaInfo *info)
{
    const std::filesystem::path path = m_dir.File(name);
    const int result = WriteTestMedia(path, spec, info);
    EXPECT_EQ(result, 0) << "test media " << name << " could not be made";
    return path;
}
