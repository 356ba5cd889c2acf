#include "output/StreamWriter.h"

#include "output/AdtsHeader.h"

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
constexpr int32_t kAacFrameSamples = 1024;
constexpr int32_t kUnknownProfile = -99;
constexpr int32_t kAdtsRefusalLogs = 3;

bool StartsWithAdtsSync(const FramePackage &package)
{
    return package.pData && package.nLength >= 2 && package.pData[0] == 0xFF && (package.pData[1] & 0xF0) == 0xF0;
}

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
    profile = other.profile;
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
    // The demuxer's own parameters know the profile for sure; the record's field is 0 when no one
    // filled it, which would read as AAC Main.
    if (params.codecParameters)
        out.profile = params.codecParameters->profile;
    else if (params.profile != 0)
        out.profile = params.profile;
    else
        out.profile = kUnknownProfile;
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

std::string CStreamWriter::GetContainerName() const
{
    return m_context && m_context->oformat && m_context->oformat->name ? m_context->oformat->name : std::string();
}

bool CStreamWriter::CanHoldCodec(int32_t codecId) const
{
    if (!m_context || !m_context->oformat || codecId <= AV_CODEC_ID_NONE)
        return true;
    // 1 holds, 0 does not, a negative code: the container keeps no list (its header will tell).
    return avformat_query_codec(m_context->oformat, static_cast<AVCodecID>(codecId), FF_COMPLIANCE_NORMAL) != 0;
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
    // A stream the container cannot hold would fail the header, and with it the whole output.
    if (!CanHoldCodec(params.codecId))
        return TYX_WRITER_STREAM_NOT_HELD;
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
    bool aacConfigMade = false;
    if (c->codec_id == AV_CODEC_ID_AAC && c->extradata_size <= 0) {
        // AAC from an ADTS source (MPEG-TS) comes without its config, and MP4, FLV and RTP must
        // state it in the header, which is written before the first packet shows its ADTS header.
        const std::vector<uint8_t> config = AacConfigOfStream(params.profile, c->sample_rate, c->ch_layout.nb_channels);
        if (!config.empty())
            c->extradata = static_cast<uint8_t *>(av_mallocz(config.size() + kExtradataPadding));
        if (c->extradata) {
            std::memcpy(c->extradata, config.data(), config.size());
            c->extradata_size = static_cast<int>(config.size());
            aacConfigMade = true;
        } else {
            DebugLog(3, source, method, __LINE__,
                     L"[TID=%d]AAC stream(%d Hz, %d channels) without config, none can be made: its packets go to the muxer as they are!",
                     GetCurrentThreadIdInt(), c->sample_rate, c->ch_layout.nb_channels);
        }
    }
    if (m_context->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_parameters_from_context(stream->codecpar, c) < 0)
        return -4;

    stOutputStream record;
    record.index = static_cast<int16_t>(stream->index);
    record.mediaType = params.mediaType;
    record.rawAac = c->codec_id == AV_CODEC_ID_AAC && c->extradata_size > 0;
    record.aacConfigMade = aacConfigMade;
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

int32_t CStreamWriter::WritePacket(stOutputStream &stream, const FramePackage &package, AVRational timeBase)
{
    if (stream.rawAac && StartsWithAdtsSync(package))
        return WriteAdtsFrames(stream, package, timeBase);
    return WritePacketPart(stream, package, timeBase, 0, package.nLength, 0, package.duration);
}

int32_t CStreamWriter::WriteAdtsFrames(stOutputStream &stream, const FramePackage &package, AVRational timeBase)
{
    // The package is walked whole before anything of it is written: its frames go all or none.
    stAdtsHeader first;
    stAdtsHeader header;
    int32_t frames = 0;
    int32_t offset = 0;
    bool whole = true;
    while (whole && offset < package.nLength) {
        whole = ParseAdtsHeader(package.pData + offset, static_cast<size_t>(package.nLength - offset), header) &&
                header.frameLength <= package.nLength - offset;
        if (!whole)
            break;
        if (frames++ == 0)
            first = header;
        // A raw sample holds one block; the blocks of a frame have no bounds without its CRC.
        whole = header.rawBlocks == 1;
        offset += header.frameLength;
    }
    if (!whole) {
        if (stream.adtsRefused++ < kAdtsRefusalLogs)
            DebugLog(3, "StreamWriter", "CStreamWriter::WriteAdtsFrames", __LINE__,
                     L"ADTS package(pts=%lld, size=%d) of stream(%d) is cut short or holds several blocks in a frame, discarded!",
                     static_cast<long long>(package.pts), package.nLength, static_cast<int32_t>(stream.index));
        return TYX_WRITER_PACKAGE_REFUSED;
    }
    if (stream.aacConfigMade && !stream.aacConfigChecked) {
        stream.aacConfigChecked = true;
        const std::vector<uint8_t> config = AacConfigOfAdts(first);
        const AVCodecContext *c = stream.codec.get();
        if (c->extradata_size != static_cast<int>(config.size()) ||
            std::memcmp(c->extradata, config.data(), config.size()) != 0)
            DebugLog(3, "StreamWriter", "CStreamWriter::WriteAdtsFrames", __LINE__,
                     L"Stream(%d)'s ADTS header(type %d, %d Hz, channels %d) differs from the config its parameters gave the header: its sound may not play!",
                     static_cast<int32_t>(stream.index), first.objectType, AacSamplingRate(first.samplingIndex),
                     first.channelConfig);
    }
    // Several frames in one package share its time span, each a frame's length after the other.
    int64_t step = frames > 1 && package.duration > 0 ? package.duration / frames : package.duration;
    if (frames > 1 && step <= 0)
        step = av_rescale_q(kAacFrameSamples, AVRational{1, AacSamplingRate(first.samplingIndex)}, timeBase);
    offset = 0;
    for (int32_t i = 0; i < frames; ++i) {
        ParseAdtsHeader(package.pData + offset, static_cast<size_t>(package.nLength - offset), header);
        const int32_t result = WritePacketPart(stream, package, timeBase, offset + header.headerSize,
                                               header.frameLength - header.headerSize, step * i,
                                               frames > 1 ? step : package.duration);
        if (result < 0)
            return result;
        offset += header.frameLength;
    }
    return 0;
}

int32_t CStreamWriter::WritePacketPart(const stOutputStream &stream, const FramePackage &package, AVRational timeBase,
                                       int32_t offset, int32_t size, int64_t shift, int64_t duration)
{
    if (!m_packet)
        m_packet.reset(av_packet_alloc());
    if (!m_packet)
        return AVERROR(ENOMEM);
    AVPacket *packet = m_packet.get();
    // Blank already after the last call; unref only makes sure nothing of it is carried over.
    av_packet_unref(packet);
    // The data stays the package's: without a buffer reference the muxer copies what it keeps.
    packet->data = package.pData ? package.pData + offset : nullptr;
    packet->size = size;
    packet->flags = package.flags & AV_PKT_FLAG_KEY;
    packet->pts = package.pts == TYX_NOPTS_VALUE ? TYX_NOPTS_VALUE : package.pts + shift;
    packet->dts = package.dts == TYX_NOPTS_VALUE ? TYX_NOPTS_VALUE : package.dts + shift;
    packet->duration = duration;
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
    stOutputStream *stream = FindStream(index);
    if (!stream)
        return -1;
    return WritePacket(*stream, package, timeBase);
}
