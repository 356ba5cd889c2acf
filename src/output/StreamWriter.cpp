#include "output/StreamWriter.h"

#include "core/FrameRateAdjuster.h"
#include "core/StreamParams.h"
#include "core/debuglog.h"
#include "platform/Thread.h"

extern "C" {
#include <libavutil/error.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>

// The FFmpeg work shared by the three writers: contexts, streams, packet writing and closing.

namespace {

constexpr int32_t kExtradataPadding = 64;
constexpr AVRational kVideoStreamTimeBase = {1, 90000};
constexpr int32_t kFallbackFrameRate = 25;
constexpr int32_t kMaxWriterStreams = 16;
constexpr const char *kPushIoTimeoutUs = "10000000";

} // namespace

std::wstring AvErrorText(int32_t code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    std::wstring wide;
    for (const char *c = text; *c; ++c)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    return wide;
}

// ---- stream parameter record ----

stWriterStreamParams::~stWriterStreamParams()
{
    av_channel_layout_uninit(&channelLayout);
}

stWriterStreamParams::stWriterStreamParams(const stWriterStreamParams &other)
{
    *this = other;
}

stWriterStreamParams &stWriterStreamParams::operator=(const stWriterStreamParams &other)
{
    if (this == &other)
        return *this;
    index = other.index;
    codecId = other.codecId;
    codecName = other.codecName;
    mediaType = other.mediaType;
    bitRate = other.bitRate;
    extradata = other.extradata;
    width = other.width;
    height = other.height;
    pixelFormat = other.pixelFormat;
    frameRate = other.frameRate;
    sampleRate = other.sampleRate;
    sampleFormat = other.sampleFormat;
    frameSize = other.frameSize;
    av_channel_layout_uninit(&channelLayout);
    av_channel_layout_copy(&channelLayout, &other.channelLayout);
    return *this;
}

stWriterStreamParams stWriterStreamParams::FromStreamParams(const stStreamParams &params)
{
    stWriterStreamParams out;
    out.codecId = params.codecId;
    out.codecName = params.codecName;
    out.mediaType = params.mediaType;
    out.bitRate = params.bitRate;
    const uint8_t *extra = params.extradata;
    int32_t extraSize = params.extradataSize;
    // A record made from demuxer parameters may carry its sequence headers only there.
    if ((!extra || extraSize <= 0) && params.codecParameters) {
        extra = params.codecParameters->extradata;
        extraSize = params.codecParameters->extradata_size;
    }
    if (extra && extraSize > 0)
        out.extradata.assign(extra, extra + extraSize);
    out.width = params.width;
    out.height = params.height;
    out.pixelFormat = params.pixelFormat;
    out.frameRate = ExactFrameRate(params.frameRate);
    out.sampleRate = params.sampleRate;
    out.sampleFormat = params.sampleFormat;
    out.frameSize = params.frameSize;
    av_channel_layout_copy(&out.channelLayout, &params.channelLayout);
    return out;
}

// ---- writer ----

CStreamWriter::CStreamWriter(const std::string &destination)
{
    SetDestination(destination);
    av_log_set_level(AV_LOG_QUIET);
}

CStreamWriter::~CStreamWriter()
{
    av_dict_free(&m_options);
}

bool CStreamWriter::SetDestination(const std::string &destination)
{
    if (destination.empty())
        return false;
    m_destination = destination;
    return true;
}

int64_t CStreamWriter::GetMaxTimestamp() const
{
    int64_t largest = 0;
    bool any = false;
    for (const auto &entry : m_streams) {
        const int64_t dts = entry.second.lastDts;
        if (dts == TYX_NOPTS_VALUE)
            continue;
        largest = any ? std::max(largest, dts) : dts;
        any = true;
    }
    return largest;
}

CStreamWriter::stOutputStream *CStreamWriter::FindStream(int16_t index)
{
    if (index < 0 || index > 255)
        return nullptr;
    const auto found = m_streams.find(static_cast<uint8_t>(index));
    return found == m_streams.end() ? nullptr : &found->second;
}

const CStreamWriter::stOutputStream *CStreamWriter::FindStream(int16_t index) const
{
    return const_cast<CStreamWriter *>(this)->FindStream(index);
}

AVRational CStreamWriter::GetStreamTimeBase(int16_t index) const
{
    if (!m_context || index < 0 || static_cast<unsigned>(index) >= m_context->nb_streams)
        return AVRational{0, 1};
    return m_context->streams[index]->time_base;
}

int32_t CStreamWriter::RemoveStream(int16_t index)
{
    if (!FindStream(index))
        return -2;
    m_streams.erase(static_cast<uint8_t>(index));
    return 0;
}

int32_t CStreamWriter::writeFrame(int16_t index, const FramePackage &package, AVRational timeBase)
{
    stOutputStream *stream = FindStream(index);
    if (!stream) {
        DebugLog(3, "StreamWriter", "CStreamWriter::writeFrame", __LINE__, L"Invalid stream ID(%d) to write in!",
                 static_cast<int32_t>(index));
        return -1;
    }
    if (stream->lastDts != TYX_NOPTS_VALUE && package.dts != TYX_NOPTS_VALUE && package.dts < stream->lastDts) {
        DebugLog(3, "StreamWriter", "CStreamWriter::writeFrame", __LINE__,
                 L"Invalid ts value(pts=%lld,dts=%lld) to write (while last(Pts=%lld,dts=%lld)!",
                 static_cast<long long>(package.pts), static_cast<long long>(package.dts),
                 static_cast<long long>(stream->lastPts), static_cast<long long>(stream->lastDts));
        return -2;
    }
    stream->lastDts = package.dts;
    stream->lastPts = package.pts;
    return Write_Frame(index, package, timeBase);
}

int CStreamWriter::InterruptTrampoline(void *opaque)
{
    const auto *writer = static_cast<const CStreamWriter *>(opaque);
    return writer && writer->m_interruptCheck && writer->m_interruptCheck() ? 1 : 0;
}

void CStreamWriter::InstallInterruptCallback()
{
    if (!m_context)
        return;
    m_context->interrupt_callback.callback = InterruptTrampoline;
    m_context->interrupt_callback.opaque = this;
}

int32_t CStreamWriter::AllocContext(const char *formatName)
{
    m_context.reset();
    AVFormatContext *raw = nullptr;
    const int result = avformat_alloc_output_context2(&raw, nullptr, formatName, m_destination.c_str());
    m_context.reset(raw);
    InstallInterruptCallback();
    return result;
}

int32_t CStreamWriter::AddStreamToContext(stWriterStreamParams &params, const char *source, const char *method)
{
    const AVCodec *codec = avcodec_find_encoder(static_cast<AVCodecID>(params.codecId));
    if (!codec) {
        DebugLog(3, source, method, __LINE__, L"[TID=%d]Could not find encoder for [%d]'%s'...Stream adding failed!",
                 GetCurrentThreadIdInt(), params.codecId, params.codecName.c_str());
        return -1;
    }
    AVStream *stream = avformat_new_stream(m_context.get(), nullptr);
    if (!stream) {
        DebugLog(3, source, method, __LINE__, L"[TID=%d]Could not allocate stream...Stream adding failed!",
                 GetCurrentThreadIdInt());
        return -2;
    }
    stream->id = static_cast<int>(m_context->nb_streams) - 1;
    AvCodecPtr context(avcodec_alloc_context3(codec));
    if (!context) {
        DebugLog(3, source, method, __LINE__, L"[TID=%d]Could not allocate an encoding context...Stream adding failed!",
                 GetCurrentThreadIdInt());
        return -4;
    }
    AVCodecContext *c = context.get();
    c->codec_id = codec->id;
    c->codec_type = params.mediaType == 1 ? AVMEDIA_TYPE_AUDIO : AVMEDIA_TYPE_VIDEO;
    c->bit_rate = params.bitRate;
    if (!params.extradata.empty()) {
        c->extradata = static_cast<uint8_t *>(av_mallocz(params.extradata.size() + kExtradataPadding));
        if (c->extradata) {
            std::memcpy(c->extradata, params.extradata.data(), params.extradata.size());
            c->extradata_size = static_cast<int>(params.extradata.size());
        }
    }
    if (c->codec_type == AVMEDIA_TYPE_VIDEO) {
        // A rate of 0 would make a time base with a zero denominator. A fractional rate is kept as it
        // is: a 29.97 stream stated as 30 would tell players and push peers the wrong rate.
        const AVRational fps = params.frameRate.num > 0 && params.frameRate.den > 0 ? params.frameRate
                                                                                    : AVRational{kFallbackFrameRate, 1};
        c->width = params.width;
        c->height = params.height;
        c->pix_fmt = params.pixelFormat >= 0 ? static_cast<AVPixelFormat>(params.pixelFormat) : AV_PIX_FMT_YUV420P;
        c->time_base = av_inv_q(fps);
        c->framerate = fps;
        stream->time_base = kVideoStreamTimeBase;
        stream->avg_frame_rate = c->framerate;
        if (c->codec_id == AV_CODEC_ID_MPEG2VIDEO)
            c->max_b_frames = 2;
        if (c->codec_id == AV_CODEC_ID_MPEG1VIDEO)
            c->mb_decision = 2;
    } else {
        const int rate = params.sampleRate > 0 ? params.sampleRate : 48000;
        c->sample_rate = rate;
        c->sample_fmt = params.sampleFormat >= 0 ? static_cast<AVSampleFormat>(params.sampleFormat) : AV_SAMPLE_FMT_FLTP;
        if (params.channelLayout.nb_channels > 0)
            av_channel_layout_copy(&c->ch_layout, &params.channelLayout);
        c->frame_size = params.frameSize;
        c->time_base = AVRational{1, rate};
        stream->time_base = c->time_base;
    }
    if (m_context->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_parameters_from_context(stream->codecpar, c) < 0)
        return -4;

    stOutputStream record;
    record.index = static_cast<int16_t>(stream->index);
    record.mediaType = params.mediaType;
    record.codec = std::move(context);
    m_streams[static_cast<uint8_t>(stream->index)] = std::move(record);
    params.index = static_cast<int16_t>(stream->index);
    return stream->index;
}

int32_t CStreamWriter::OpenIoWhenNeeded()
{
    if (!m_context || (m_context->oformat->flags & AVFMT_NOFILE) || m_context->pb)
        return 0;
    return avio_open2(&m_context->pb, m_destination.c_str(), AVIO_FLAG_WRITE, &m_context->interrupt_callback,
                      nullptr);
}

int32_t CStreamWriter::WritePacket(const stOutputStream &stream, const FramePackage &package, AVRational timeBase)
{
    if (!m_packet)
        m_packet.reset(av_packet_alloc());
    if (!m_packet)
        return AVERROR(ENOMEM);
    AVPacket *packet = m_packet.get();
    // Blank already after the last call; unref only makes sure nothing of it is carried over.
    av_packet_unref(packet);
    // The data stays the package's: without a buffer reference the muxer copies what it keeps.
    packet->data = package.pData;
    packet->size = package.nLength;
    packet->flags = package.flags & AV_PKT_FLAG_KEY;
    packet->pts = package.pts;
    packet->dts = package.dts;
    packet->duration = package.duration;
    packet->stream_index = stream.index;
    packet->pos = -1;
    av_packet_rescale_ts(packet, timeBase, m_context->streams[stream.index]->time_base);
    const int result = av_interleaved_write_frame(m_context.get(), packet);
    // The packet never owns the package's data: nothing of it may outlive this call.
    packet->data = nullptr;
    packet->size = 0;
    return result;
}

void CStreamWriter::CloseContext(bool writeTrailer, const char *source, const char *method)
{
    if (!m_context)
        return;
    // A trailer is only allowed after a header that was written.
    if (writeTrailer && m_opened) {
        const int result = av_write_trailer(m_context.get());
        if (result < 0)
            DebugLog(3, source, method, __LINE__, L"Media tail writing failed with error %d(%s)!", result,
                     AvErrorText(result).c_str());
    }
    m_opened = false;
    m_streams.clear();
    m_context.reset();
}

int32_t CStreamWriter::OpenPush(const char *formatName, const std::string *destination,
                                std::vector<stWriterStreamParams> *params, int32_t count)
{
    if (destination && !destination->empty())
        SetDestination(*destination);
    else if (m_destination.size() < 4)
        return -1;
    if (count > kMaxWriterStreams || (count > 0 && (!params || params->size() < static_cast<size_t>(count))))
        return -2;
    Close();
    int32_t result = AllocContext(formatName);
    if (!m_context)
        return result < 0 ? result : -4;
    if (!(m_context->oformat->flags & AVFMT_NOFILE)) {
        // A push server that stops reading must not hold the writer for ever.
        AVDictionary *ioOptions = nullptr;
        av_dict_set(&ioOptions, "rw_timeout", kPushIoTimeoutUs, 0);
        result = avio_open2(&m_context->pb, m_destination.c_str(), AVIO_FLAG_WRITE, &m_context->interrupt_callback,
                            &ioOptions);
        av_dict_free(&ioOptions);
        if (result < 0) {
            m_context.reset();
            return result;
        }
    }
    return AddStreamsAndPrepare(params, count);
}

int32_t CStreamWriter::AddStreamsAndPrepare(std::vector<stWriterStreamParams> *params, int32_t count)
{
    if (count <= 0)
        return 0;
    int32_t added = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (addNewStream((*params)[static_cast<size_t>(i)], 0) >= 0)
            ++added;
    }
    const int32_t result = PrepareForWriting(nullptr);
    return result < 0 ? result : added;
}

int32_t CStreamWriter::WritePushFrame(int16_t index, const FramePackage &package, AVRational timeBase)
{
    if (!m_opened)
        return 0;
    const stOutputStream *stream = FindStream(index);
    if (!stream)
        return -1;
    return WritePacket(*stream, package, timeBase);
}
