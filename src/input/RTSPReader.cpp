#include "input/RTSPReader.h"

#include "core/debuglog.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
}

#include <algorithm>
#include <cctype>
#include <mutex>

namespace {

constexpr int64_t kProbeBytes = 1048576;
constexpr int kFrameRateProbeFrames = 120;

void InitNetworkOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { avformat_network_init(); });
}

} // namespace

CRTSPMPReader::CRTSPMPReader()
{
    InitNetworkOnce();
}

CRTSPMPReader::~CRTSPMPReader()
{
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    CloseLocked();
}

std::vector<std::pair<std::string, std::string>> CRTSPMPReader::BuildOpenOptions(bool rtmp, bool tcp)
{
    std::vector<std::pair<std::string, std::string>> options;
    // RTSP's demuxer has its own socket buffer size; RTMP has none and hands the options on to
    // its TCP connection, whose receive buffer it is.
    options.emplace_back(rtmp ? "recv_buffer_size" : "buffer_size", rtmp ? "4194304" : "1048576");
    options.emplace_back("fflags", "nobuffer");
    if (!rtmp && tcp)
        options.emplace_back("rtsp_transport", "tcp");
    // RTSP's socket time-out is "timeout" (µs). RTMP reads "timeout" as a listen time-out that turns
    // listen mode on, so it gets the generic I/O time-out instead.
    if (rtmp)
        options.emplace_back("rw_timeout", "4000000");
    else
        options.emplace_back("timeout", "2000000");
    options.emplace_back("max_delay", "100");
    return options;
}

std::string CRTSPMPReader::NormalizeSourceUrl(const std::string &source, bool rtmp)
{
    const size_t schemeEnd = source.find("://");
    if (schemeEnd == std::string::npos)
        return std::string(rtmp ? "rtmp://" : "rtsp://") + source;
    // FFmpeg matches protocol names case-sensitively.
    std::string url = source;
    std::transform(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(schemeEnd), url.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return url;
}

int32_t CRTSPMPReader::OpenMediaSource(const std::string &url, StreamRequestMap *video, StreamRequestMap *audio)
{
    Close();
    std::lock_guard<std::recursive_mutex> lock(m_ioMutex);
    TYX_LOG(6, L"[RTSP/RTMP Reader] Openning Media source......");
    if (url.empty())
        return TYX_MSR_NO_SOURCE;
    const std::string source = NormalizeSourceUrl(url, m_rtmp != 0);
    CMediaSourceReader::OpenMediaSource(source, video, audio);

    for (const auto &[key, value] : BuildOpenOptions(m_rtmp != 0, m_tcp != 0))
        av_dict_set(&m_options, key.c_str(), value.c_str(), 0);
    TYX_LOG(6, L"[RTSP/RTMP Reader] OptionsDict set.");

    m_format = avformat_alloc_context();
    if (!m_format)
        return AVERROR(ENOMEM);
    m_format->probesize = kProbeBytes;
    m_format->format_probesize = static_cast<int>(kProbeBytes);
    m_format->interrupt_callback.callback = MediaIoInterruptCallback;
    m_format->interrupt_callback.opaque = static_cast<CMediaSourceReader *>(this);
    TYX_LOG(6, L"[RTSP/RTMP Reader] Calling avformat_open_input......");

    int result;
    {
        CDeadline deadline(*this, m_rtmp ? TYX_RTMP_OPEN_DEADLINE_US : TYX_RTSP_OPEN_DEADLINE_US);
        // On failure FFmpeg frees the context and clears the pointer.
        result = avformat_open_input(&m_format, source.c_str(), nullptr, &m_options);
    }
    if (result < 0) {
        TYX_LOG(3, L"[RTSP/RTMP Reader] avformat_open_input() failed with error=[%d] returned!", result);
        CloseLocked();
        return result;
    }
    TYX_LOG(6, L"[RTSPReader] avformat_open_input succeed.");

    m_format->max_analyze_duration = TYX_STREAM_ANALYSIS_US;
    m_format->fps_probe_size = kFrameRateProbeFrames;
    {
        CDeadline deadline(*this, TYX_STREAM_INFO_DEADLINE_US);
        result = avformat_find_stream_info(m_format, nullptr);
    }
    if (result < 0) {
        TYX_LOG(3, L"[RTSP/RTMP Reader] avformat_find_stream_info() failed with error=[%d] returned!", result);
        CloseLocked();
        return result;
    }
    TYX_LOG(6, L"[RTSP/RTMP Reader] avformat_find_stream_info returned with %d streams.", static_cast<int>(m_format->nb_streams));
    if (m_format->nb_streams == 0) {
        TYX_LOG(3, L"[RTSP/RTMP Reader] There no stream found in medias source!");
        CloseLocked();
        return TYX_MSR_NO_STREAM;
    }
    int16_t videoCount = 0;
    int16_t audioCount = 0;
    result = SelectRequestedStreams(video, audio, videoCount, audioCount);
    if (result < 0)
        return result;
    TYX_LOG(6, L"[RTSP/RTMP Reader] %d VStreams and %d AStreams Retrieved.", videoCount, audioCount);
    TakeRealtimeStart();
    InitBitstreamFilters();
    // A live source quiet for less than its connection's own time-out is still there (a relay
    // whose camera restarts its encoder keeps the session): only a longer silence closes it.
    SetReadDeadline(m_rtmp ? TYX_RTMP_OPEN_DEADLINE_US : TYX_RTSP_OPEN_DEADLINE_US);
    m_opened = true;
    return result;
}

void CRTSPMPReader::CloseLocked()
{
    m_opened = false;
    CMediaSourceReader::CloseLocked();
    av_dict_free(&m_options);
}
