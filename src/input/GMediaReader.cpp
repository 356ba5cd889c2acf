#include "input/GMediaReader.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

#include <chrono>
#include <cstring>
#include <thread>

// Reading has one owner thread. The I/O lock exists for Close from another thread: Close first
// raises the abort mark, which the interrupt callback turns into an abort of the blocking call, and
// then waits on the lock until that call has returned, so the input is never freed under a read.

namespace {

constexpr int32_t kMaxFilterFailureLogs = 1;

bool NeedsAnnexBFilter(const AVFormatContext *format, int32_t codecId)
{
    if (codecId != AV_CODEC_ID_H264 && codecId != AV_CODEC_ID_HEVC)
        return false;
    const char *name = format->iformat ? format->iformat->long_name : nullptr;
    if (!name)
        return false;
    return std::strcmp(name, "QuickTime / MOV") == 0 || std::strcmp(name, "FLV (Flash Video)") == 0 ||
           std::strcmp(name, "Matroska / WebM") == 0;
}

const char *MediaTypeWord(int32_t type)
{
    const char *word = av_get_media_type_string(static_cast<AVMediaType>(type));
    return word ? word : "unknown";
}

} // namespace

CMediaSourceReader::CMediaSourceReader()
    : m_clock(GetCurrentTimeUs)
{
    av_log_set_level(AV_LOG_QUIET);
    m_packet = av_packet_alloc();
    m_filterIn = av_packet_alloc();
    m_filtered = av_packet_alloc();
}

CMediaSourceReader::~CMediaSourceReader()
{
    // Derived parts are gone here; tear down what the base holds.
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    CMediaSourceReader::CloseLocked();
    av_packet_free(&m_packet);
    av_packet_free(&m_filterIn);
    av_packet_free(&m_filtered);
}

CMediaSourceReader::CDeadline::CDeadline(CMediaSourceReader &reader, int32_t microseconds)
    : m_reader(reader)
{
    m_reader.m_deadlineStart = m_reader.Now();
    m_reader.m_deadlineLength = microseconds;
}

CMediaSourceReader::CDeadline::~CDeadline()
{
    m_reader.m_deadlineStart = 0;
    m_reader.m_deadlineLength = 0;
}

bool CMediaSourceReader::IsDeadlinePassed() const
{
    if (AbortRequested())
        return true;
    const int64_t start = m_deadlineStart.load();
    const int32_t length = m_deadlineLength.load();
    if (start <= 0 || length <= 0)
        return true;
    return m_clock() - start >= length;
}

int MediaIoInterruptCallback(void *reader)
{
    if (!reader)
        return 1;
    return static_cast<const CMediaSourceReader *>(reader)->IsDeadlinePassed() ? 1 : 0;
}

int32_t CMediaSourceReader::OpenMediaSource(const std::string &source, StreamRequestMap *video, StreamRequestMap *audio)
{
    if (source.empty())
        return TYX_MSR_NO_SOURCE;
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    m_sourceName = source;
    m_sourceNameW = StringToWString(source);
    m_videoRequests = video ? std::optional<StreamRequestMap>(*video) : std::nullopt;
    m_audioRequests = audio ? std::optional<StreamRequestMap>(*audio) : std::nullopt;
    return 0;
}

int32_t CMediaSourceReader::Reopen()
{
    std::optional<StreamRequestMap> video;
    std::optional<StreamRequestMap> audio;
    std::string source;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
        if (m_sourceName.empty())
            return TYX_MSR_NOT_OPENED;
        source = m_sourceName;
        video = m_videoRequests;
        audio = m_audioRequests;
    }
    return OpenMediaSource(source, video ? &*video : nullptr, audio ? &*audio : nullptr);
}

void CMediaSourceReader::Flush()
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (m_format)
        avformat_flush(m_format);
}

void CMediaSourceReader::Close()
{
    m_opened = false;
    m_aborting = true;
    {
        std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
        CloseLocked();
    }
    m_aborting = false;
}

void CMediaSourceReader::CloseLocked()
{
    m_opened = false;
    m_selected.clear();
    m_params.clear();
    for (auto &[stream, filter] : m_filters)
        av_bsf_free(&filter);
    m_filters.clear();
    m_maxRealtimeStart = 0;
    m_auxBuffer = nullptr;
    m_auxSize = 0;
    if (m_packet)
        av_packet_unref(m_packet);
    if (m_filterIn)
        av_packet_unref(m_filterIn);
    if (m_filtered)
        av_packet_unref(m_filtered);
    m_filterFailures = 0;
    if (m_format)
        avformat_close_input(&m_format);
}

stMediaStreamInfo *CMediaSourceReader::GetStreamParameters(int16_t number)
{
    if (number < 0)
        return nullptr;
    const auto found = m_params.find(number);
    if (found == m_params.end())
        return nullptr;
    if (found->second.mediaType != AVMEDIA_TYPE_VIDEO && found->second.mediaType != AVMEDIA_TYPE_AUDIO)
        return nullptr;
    return &found->second;
}

uint8_t *CMediaSourceReader::GetBuffer(int32_t &size)
{
    size = m_auxSize;
    return m_auxBuffer;
}

int32_t CMediaSourceReader::GetStreamIndexes(std::map<int16_t, int16_t> &indexes) const
{
    indexes.clear();
    for (const auto &[number, record] : m_params)
        indexes[number] = record.streamIndex;
    return static_cast<int32_t>(indexes.size());
}

int16_t CMediaSourceReader::FindStreams(StreamRequestMap *requests, int32_t mediaType)
{
    if (!requests)
        return -1;
    if (!m_format)
        return 0;
    const auto type = mediaType == 0 ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
    const int streamCount = static_cast<int>(m_format->nb_streams);
    auto takeStream = [&](int16_t number, int index) {
        AVStream *stream = m_format->streams[index];
        m_selected[static_cast<int16_t>(index)] = stream;
        if (m_params.count(number))
            return;
        stMediaStreamInfo record;
        record.FillFromStream(stream);
        if (type == AVMEDIA_TYPE_VIDEO)
            record.frameRate = av_guess_frame_rate(m_format, stream, nullptr);
        m_params.emplace(number, std::move(record));
    };

    if (!requests->empty()) {
        int16_t count = 0;
        bool typeMissing = false;
        for (auto &[number, index] : *requests) {
            int chosen = index;
            if ((mediaType == 0 && index == TYX_BEST_VIDEO_STREAM) || (mediaType != 0 && index == TYX_BEST_AUDIO_STREAM)) {
                chosen = av_find_best_stream(m_format, type, -1, -1, nullptr, 0);
            } else if (chosen >= 0 && chosen < streamCount && m_format->streams[chosen]->codecpar->codec_type != type) {
                // Indexes are configured as a file stores its streams, but a relay's FLV numbers them
                // in the order their first packets come: the index can name the other media type,
                // whose packets a decoder of this type cannot take.
                const int32_t found = m_format->streams[chosen]->codecpar->codec_type;
                const int best = av_find_best_stream(m_format, type, -1, -1, nullptr, 0);
                if (best >= 0) {
                    TYX_LOG(3, L"[CMediaSourceReader]Configured %hs stream index %d holds %hs: stream index %d, the best %hs stream, is taken instead.",
                            MediaTypeWord(type), chosen, MediaTypeWord(found), best, MediaTypeWord(type));
                } else {
                    TYX_LOG(3, L"[CMediaSourceReader]Configured %hs stream index %d holds %hs and the source has no %hs stream.",
                            MediaTypeWord(type), chosen, MediaTypeWord(found), MediaTypeWord(type));
                    typeMissing = true;
                }
                chosen = best;
            }
            if (chosen < 0 || chosen >= streamCount || m_selected.count(static_cast<int16_t>(chosen))) {
                index = TYX_STREAM_NOT_TAKEN;
                continue;
            }
            takeStream(number, chosen);
            index = static_cast<int16_t>(chosen);
            ++count;
        }
        // An index of the other media type with no stream of this one to take instead fails the open.
        return typeMissing ? static_cast<int16_t>(TYX_MSR_STREAM_NOT_FOUND) : count;
    }

    // Numbering skips numbers that another media type took or asked for, so that every selected
    // stream keeps a record of its own and no stream takes the number of a requested stream of
    // the other type that the source lacks.
    auto requested = [this](int16_t number) {
        return (m_videoRequests && m_videoRequests->count(number)) || (m_audioRequests && m_audioRequests->count(number));
    };
    int16_t number = 1;
    for (int index = 0; index < streamCount; ++index) {
        if (m_format->streams[index]->codecpar->codec_type != type)
            continue;
        while (m_params.count(number) || requested(number))
            ++number;
        if (!m_selected.count(static_cast<int16_t>(index))) {
            takeStream(number, index);
            (*requests)[number] = static_cast<int16_t>(index);
        }
        ++number;
    }
    return static_cast<int16_t>(requests->size());
}

bool CMediaSourceReader::InitBitstreamFilters()
{
    bool made = false;
    for (const auto &[index, stream] : m_selected) {
        if (stream->codecpar->codec_type != AVMEDIA_TYPE_VIDEO)
            continue;
        stMediaStreamInfo *record = nullptr;
        for (auto &[number, candidate] : m_params) {
            if (candidate.streamIndex == index) {
                record = &candidate;
                break;
            }
        }
        if (!record)
            continue;
        record->frameSize = PlanarFrameSize(record->pixelFormat, record->width, record->height, &record->bitDepth);
        if (!NeedsAnnexBFilter(m_format, stream->codecpar->codec_id))
            continue;
        const AVBitStreamFilter *kind =
            av_bsf_get_by_name(stream->codecpar->codec_id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb");
        AVBSFContext *filter = nullptr;
        if (!kind || av_bsf_alloc(kind, &filter) < 0)
            continue;
        if (avcodec_parameters_copy(filter->par_in, stream->codecpar) < 0) {
            av_bsf_free(&filter);
            continue;
        }
        filter->time_base_in = stream->time_base;
        if (av_bsf_init(filter) < 0) {
            av_bsf_free(&filter);
            continue;
        }
        // Consumers get Annex B packets, so they get the Annex B parameter sets too.
        record->ReplaceCodecParameters(filter->par_out);
        AVBSFContext *&slot = m_filters[stream];
        av_bsf_free(&slot);
        slot = filter;
        made = true;
    }
    return made;
}

void CMediaSourceReader::ResetFilters()
{
    for (auto &[stream, filter] : m_filters)
        av_bsf_flush(filter);
    av_packet_unref(m_filtered);
}

void CMediaSourceReader::TakeRealtimeStart()
{
    if (m_format && m_format->start_time_realtime != AV_NOPTS_VALUE && m_format->start_time_realtime > m_maxRealtimeStart)
        m_maxRealtimeStart = m_format->start_time_realtime;
}

int32_t CMediaSourceReader::SelectRequestedStreams(StreamRequestMap *video, StreamRequestMap *audio, int16_t &videoCount,
                                                   int16_t &audioCount)
{
    videoCount = video ? FindStreams(video, 0) : 0;
    audioCount = audio ? FindStreams(audio, 1) : 0;
    if (videoCount < 0 || audioCount < 0 || videoCount + audioCount == 0) {
        CloseLocked();
        return TYX_MSR_STREAM_NOT_FOUND;
    }
    return videoCount + audioCount;
}

int32_t CMediaSourceReader::FilterPacket(AVBSFContext *filter, AVPacket *&out)
{
    // The filter gets a second reference, so that the packet can go on unfiltered when it fails.
    if (av_packet_ref(m_filterIn, m_packet) < 0 || av_bsf_send_packet(filter, m_filterIn) < 0) {
        av_packet_unref(m_filterIn);
        out = m_packet;
        return 0;
    }
    const int result = av_bsf_receive_packet(filter, m_filtered);
    if (result == AVERROR(EAGAIN))
        return result;
    if (result < 0) {
        if (m_filterFailures++ < kMaxFilterFailureLogs)
            TYX_LOG(3, L"[CMediaSourceReader]Bitstream filtering failed with error=%d, packet passed on unfiltered.", result);
        av_bsf_flush(filter);
        out = m_packet;
        return 0;
    }
    m_filtered->stream_index = m_packet->stream_index;
    out = m_filtered;
    return 0;
}

void CMediaSourceReader::FillPackage(FramePackage &package, const AVPacket *packet, const AVStream *stream)
{
    const AVCodecParameters *par = stream->codecpar;
    package.pData = packet->data;
    package.nLength = packet->size;
    package.pts = packet->pts;
    package.dts = packet->dts;
    package.duration = packet->duration;
    package.flags = packet->flags;
    package.streamIndex = static_cast<int16_t>(packet->stream_index);
    package.mediaType = par->codec_type == AVMEDIA_TYPE_VIDEO ? TYX_MEDIA_VIDEO
                        : par->codec_type == AVMEDIA_TYPE_AUDIO ? TYX_MEDIA_AUDIO
                                                                : TYX_MEDIA_UNKNOWN;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        package.width = static_cast<uint16_t>(par->width);
        package.height = static_cast<uint16_t>(par->height);
        package.audioSamples = 0;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        package.audioSamples = par->frame_size;
        package.sampleRate = par->sample_rate;
    }
}

void CMediaSourceReader::CountPacket(int16_t containerIndex)
{
    for (auto &[number, record] : m_params) {
        if (record.streamIndex == containerIndex) {
            ++record.packetCount;
            return;
        }
    }
}

int32_t CMediaSourceReader::ReadPacket(FramePackage &package)
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    if (!m_opened || !m_format)
        return TYX_MSR_NOT_OPENED;
    if (!m_packet || !m_filterIn || !m_filtered)
        return TYX_MSR_NO_PACKET;
    av_packet_unref(m_packet);
    av_packet_unref(m_filtered);
    package.nLength = -9999;
    package.inDevice = 0;

    // Packets of unselected streams, empty packets and packets a filter keeps are read past here:
    // a negative result means the input failed, and every caller closes it on one.
    for (;;) {
        if (AbortRequested())
            return AVERROR_EXIT;
        int result;
        {
            CDeadline deadline(*this, m_readDeadlineUs);
            result = av_read_frame(m_format, m_packet);
        }
        if (result == AVERROR(EAGAIN)) {
            av_packet_unref(m_packet);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (result == AVERROR_EOF) {
            TYX_LOG(3, L"[CMediaSourceReader]av_read_frame() got EOF(%d)!", result);
            return 0;
        }
        if (result < 0) {
            TYX_LOG(3, L"[CMediaSourceReader]av_read_frame() got error=%d!", result);
            return result;
        }
        const auto selected = m_selected.find(static_cast<int16_t>(m_packet->stream_index));
        if (selected == m_selected.end()) {
            av_packet_unref(m_packet);
            continue;
        }
        TYX_LOG(8, L"[CMediaSourceReader]: New frame read. (pts=%lld,  duration=%lld.", static_cast<long long>(m_packet->pts),
                static_cast<long long>(m_packet->duration));
        if (m_packet->size <= 0 || !m_packet->data) {
            av_packet_unref(m_packet);
            continue;
        }
        AVPacket *out = m_packet;
        const auto filter = m_filters.find(selected->second);
        if (filter != m_filters.end() && FilterPacket(filter->second, out) == AVERROR(EAGAIN)) {
            av_packet_unref(m_packet);
            continue;
        }
        FillPackage(package, out, selected->second);
        TakeRealtimeStart();
        CountPacket(package.streamIndex);
        return package.nLength;
    }
}
