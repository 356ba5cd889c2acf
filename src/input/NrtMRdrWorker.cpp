#include "input/NrtMRdrWorker.h"

#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/MediaUrl.h"
#include "platform/Thread.h"

#include <cstdio>

namespace {

constexpr uint32_t kGatePauseMs = 20;

} // namespace

CNRTMediaReadWorker::CNRTMediaReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks)
    : CMultiStrmMediaReadWorker(workerId, consumerLinks)
{
    m_dropCountVideo = 30;
    m_dropCountAudio = 43;
    m_typeCode = 2;
    m_keepOpenAfterInit = true;
    m_followSourceClock = true;
    TYX_LOG(6, L"NRTMediaReadWorker[%x] constructed.", m_workerId);
}

void CNRTMediaReadWorker::SetDropCounts(int32_t video, int32_t audio)
{
    m_dropCountVideo = video;
    m_dropCountAudio = audio;
}

int32_t CNRTMediaReadWorker::Initialize(uint8_t flag, int32_t value)
{
    TYX_LOG(6, L"NRTMediaReadWorker[%x:%s] initializing...", m_workerId, m_name.c_str());
    CMultiStrmMediaReadWorker::Initialize(flag, value);
    return 0;
}

void CNRTMediaReadWorker::unInitialize()
{
    TYX_LOG(6, L"NRTMediaReadWorker[%x:%s] uninitializing...", m_workerId, m_name.c_str());
    CMultiStrmMediaReadWorker::unInitialize();
}

int32_t CNRTMediaReadWorker::OnMediaSourceOpenned(bool notify)
{
    CMultiStrmMediaReadWorker::OnMediaSourceOpenned(notify);
    return 0;
}

CMediaSourceReader *CNRTMediaReadWorker::CreateReader(const stMediaSourceReadWorkerConfig &config)
{
    m_msType = config.MSTYPE;
    if (config.MSTYPE != TYX_MS_RTSP && config.MSTYPE != TYX_MS_RTMP)
        return m_reader.get();
    auto reader = std::make_unique<CRTSPMPReader>();
    const bool rtmp = config.MSTYPE == TYX_MS_RTMP;
    reader->SetRtmpSource(rtmp);
    reader->SetTransportTcp(!rtmp && config.UseTCP);
    m_reader = std::move(reader);
    return m_reader.get();
}

int32_t CNRTMediaReadWorker::GetStreamDelayParam(uint8_t piADTC, int32_t configuredDelay)
{
    if (m_useNTP)
        return piADTC ? TYX_DELAY_ESTIMATE : TYX_DELAY_UNKNOWN;
    return configuredDelay;
}

int32_t CNRTMediaReadWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *source = dynamic_cast<const stMediaSourceReadWorkerConfig *>(config);
    if (!source)
        return -1;
    m_useTCP = source->UseTCP;
    if (m_sourcePath.empty()) {
        m_sourcePath = source->MSFullPath;
        // Escaped, so that no character of the user name or password can end the host part.
        if (source->Authorization && !source->AuthUN.empty() && !source->AuthPwd.empty())
            m_sourcePath = InsertUrlCredentials(m_sourcePath, source->AuthUN, source->AuthPwd);
    }
    return CMultiStrmMediaReadWorker::CopyInConfiguration(config);
}

void CNRTMediaReadWorker::OpenAtStart()
{
    // Normally the open of the configuration is still there: what the source sent since then is
    // flushed and its backlog skipped, as after an open of the thread's own.
    const bool keptOpen = m_reader->IsOpened();
    if (keptOpen) {
        m_workingStep = 24;
        TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Flushing Media source...", m_name.c_str(), m_workerId);
        m_reader->Flush();
        m_baseTimeUTC = 0;
    } else {
        const int32_t result = m_reader->Reopen();
        if (result < 0) {
            SetStreamState(TYX_STATUS_OPEN_FAILED);
            TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]Media source opening failed with error=%d.", m_name.c_str(), m_workerId, result);
            m_openedInInit = 1;
            m_failureReported = true;
            ReportReaderEvent(TYX_EVENT_SOURCE_OPEN_FAILED);
            return;
        }
        TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media source opened successfully.", m_name.c_str(), m_workerId);
        OnMediaSourceOpenned(true);
        m_openedInInit = 0;
    }
    if (m_skipBacklogs) {
        SetStreamState(TYX_STATUS_CACHING);
        int64_t discarded = 0;
        const int32_t skipped = SkipStreamBacklogs(discarded);
        if (skipped < 0)
            TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]Stream Backlogs skipping failed with error=%d.", m_name.c_str(), m_workerId,
                    skipped);
        else
            TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Stream Backlogs cleaned with %d pkts discarded.", m_name.c_str(),
                    m_workerId, static_cast<int32_t>(discarded));
    }
    SetStreamState(TYX_STATUS_RUNNING);
    if (!m_reader->IsOpened())
        return;
    if (m_useNTP)
        GetMSBaseTimeByNTP();
    else
        FindBaseTimesByArrival();
}

CNRTMediaReadWorker::Pass CNRTMediaReadWorker::WaitBeforeReopen(uint32_t waitMs)
{
    if (ExitRequested(waitMs)) {
        TYX_LOG(6, L"NRTMediaReadWorker[%s:%x]Media reading Thread[%d] Recieved exit signal, exiting...", m_name.c_str(),
                m_workerId, GetCurrentThreadIdInt());
        return Pass::End;
    }
    return Pass::Next;
}

CNRTMediaReadWorker::Pass CNRTMediaReadWorker::OpenAgain()
{
    m_workingStep = 20;
    TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media source wasn't open, try to open it...", m_name.c_str(), m_workerId);
    m_baseTimeUTC = 0;
    m_gateRunning = false;
    const int32_t result = m_reader->Reopen();
    if (result < 0 && ExitRequested(0))
        return Pass::End;
    if (result < 0) {
        m_workingStep = 44;
        SetStreamState(TYX_STATUS_OPEN_FAILED);
        if (!m_failureReported)
            TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]Media source opening failed with error=%d. Retry it later...",
                    m_name.c_str(), m_workerId, result);
        if (!m_pushingStopped) {
            SendStatusPaket2Consumers(TYX_SRC_CONNECT_FAILED, m_lastReadPts);
            TYX_LOG(6, L"NRTMediaReadWorker[%s:%x] Media opening failed message(ErrCode=%d) pushed to downstream.",
                    m_name.c_str(), m_workerId, result);
            m_failureReported = true;
        }
        return WaitBeforeReopen(m_openRetryWaitMs) == Pass::End ? Pass::End : Pass::Next;
    }
    m_failureReported = false;
    m_workingStep = 26;
    TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media source opened successfully.", m_name.c_str(), m_workerId);
    SetStreamState(TYX_STATUS_RUNNING);
    ReportReaderEvent(TYX_EVENT_SOURCE_OPENED);
    OnMediaSourceOpenned(true);
    return Pass::Next;
}

CNRTMediaReadWorker::Pass CNRTMediaReadWorker::CloseAfterFailure(int32_t status, bool reopen, uint32_t waitMs,
                                                                 const wchar_t *endLog)
{
    m_reader->Close();
    m_workingStep = 30;
    SetStreamState(TYX_STATUS_CLOSED);
    ReportReaderEvent(TYX_EVENT_SOURCE_CLOSED);
    SendStatusAfterStreams(status, m_lastReadPts);
    if (!reopen) {
        TYX_LOG(status == TYX_SRC_CLOSED ? 5 : 3, endLog, m_name.c_str(), m_workerId);
        return Pass::End;
    }
    TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Close the stream and try to reopen later.", m_name.c_str(), m_workerId);
    return WaitBeforeReopen(waitMs);
}

CNRTMediaReadWorker::Pass CNRTMediaReadWorker::WaitForBaseTimes(bool &ready)
{
    ready = m_baseTimeUTC != 0 || AwaitedStreamsHaveBaseTime();
    if (ready) {
        m_gateRunning = false;
        return Pass::Next;
    }
    if (!m_gateRunning) {
        m_gateRunning = true;
        m_gateStart = NowTickMs();
    }
    // A source that gives no start time of its own (RTMP never does, RTSP only once its first
    // sender report came) falls back to the arrival of its packets.
    const bool byArrival = !m_useNTP || uint32_t(NowTickMs() - m_gateStart) > TYX_BASE_TIME_SEARCH_MS;
    if (byArrival) {
        const int32_t result = FindBaseTimesByArrival();
        if (ExitRequested(0))
            return Pass::End;
        if (result == TYX_SBT_END_OF_STREAM) {
            TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d]Media source stream EOF!", m_name.c_str(),
                    static_cast<int32_t>(m_workerId));
            return CloseAfterFailure(TYX_SRC_CLOSED, m_reopenAfterEnd, m_reopenWaitAfterEndMs,
                                     L"NRTMediaReadWorker[%s:%x]Media Reading worker exiting in case of EOF!");
        }
        if (result < 0 && result != TYX_SBT_NO_ENTRY) {
            TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media source stream reading failed with error(%d) found.", m_name.c_str(),
                    m_workerId, result);
            return CloseAfterFailure(TYX_SRC_READ_FAILED, m_reopenAfterError, m_reopenWaitAfterErrorMs,
                                     L"NRTMediaReadWorker[%s:%d]Media Reading worker exiting!");
        }
    } else {
        GetMSBaseTimeByNTP();
    }
    ready = m_baseTimeUTC != 0 || AwaitedStreamsHaveBaseTime();
    if (ready) {
        m_gateRunning = false;
        return Pass::Next;
    }
    if (m_useNTP && !byArrival) {
        // Reading goes on: the start time comes with the packets. The stream threads drop what
        // comes before it.
        int64_t ignored = 0;
        ready = false;
        return ReadOnce(ignored);
    }
    return ExitRequested(kGatePauseMs) ? Pass::End : Pass::Next;
}

CNRTMediaReadWorker::Pass CNRTMediaReadWorker::ReadOnce(int64_t &handedOver)
{
    FramePackage package;
    const int64_t readTime = NowUs();
    const int32_t result = m_reader->ReadPacket(package);
    package.readTime = readTime;
    if (result > 0) {
        if (package.nLength < 1 || !CountReadPackage(package))
            return Pass::Next;
        if (result == TYX_MSR_BFRAMES_FOUND) {
            TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]B frames(not support) got! Please reconfig the media source stream then reopen it.",
                    m_name.c_str(), m_workerId);
            m_workingStep = 44;
            m_reader->Close();
            m_workingStep = 30;
            ReportReaderEvent(TYX_EVENT_SOURCE_CLOSED);
            return WaitBeforeReopen(m_reopenWaitAfterErrorMs);
        }
        m_lastReadPts = package.pts;
        if (package.dts == TYX_NOPTS_VALUE)
            TYX_LOG(6, L"NRTMediaReadWorker[%s:%x]Pkt with invalid dts(%lld) read.", m_name.c_str(), m_workerId,
                    static_cast<long long>(package.dts));
        if (QueuePaketToStreamThread(package) > 0)
            ++handedOver;
        return Pass::Next;
    }
    // A read that the stop aborted is no failure of the source.
    if (result < 0 && ExitRequested(0))
        return Pass::End;
    if (result < 0) {
        TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media source stream reading failed with error(%d) found.", m_name.c_str(),
                m_workerId, result);
        return CloseAfterFailure(TYX_SRC_READ_FAILED, m_reopenAfterError, m_reopenWaitAfterErrorMs,
                                 L"NRTMediaReadWorker[%s:%d]Media Reading worker exiting!");
    }
    TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d]Media source stream EOF!", m_name.c_str(), static_cast<int32_t>(m_workerId));
    return CloseAfterFailure(TYX_SRC_CLOSED, m_reopenAfterEnd, m_reopenWaitAfterEndMs,
                             L"NRTMediaReadWorker[%s:%x]Media Reading worker exiting in case of EOF!");
}

uint32_t CNRTMediaReadWorker::WorkingFunc()
{
    const int32_t threadId = GetCurrentThreadIdInt();
    TYX_LOG(6, L"NRTMediaReadWorker[%s:%x]Media reading Thread[%d] Starting.", m_name.c_str(), m_workerId, threadId);
    if (!m_reader) {
        TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]:There no valid media reader instance...exit.", m_name.c_str(), m_workerId);
        return 1;
    }
    OpenAtStart();

    int64_t handedOver = 0;
    for (;;) {
        const int32_t signalled = WaitWorkerEvents(0);
        if (signalled == TYX_WAIT_OBJECT_0) {
            TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media reading Thread[%d] Recieved exit signal, exiting...", m_name.c_str(),
                    m_workerId, threadId);
            break;
        }
        if (signalled == TYX_WAIT_OBJECT_0 + 1) {
            TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media reading Recieved data pushing signal.", m_name.c_str(), m_workerId);
            m_workingStep = 29;
            if (!m_pushingStopped)
                continue;
            m_pushingStopped = 0;
        } else if (signalled == TYX_WAIT_OBJECT_0 + 2) {
            TYX_LOG(5, L"NRTMediaReadWorker[%s:%x]Media reading Recieved STOP-data-pushing signal.", m_name.c_str(), m_workerId);
            m_workingStep = 27;
            m_pushingStopped = 1;
            continue;
        }
        if (!m_reader) {
            TYX_LOG(3, L"NRTMediaReadWorker[%s:%x]There no valid media reader instance...exit.", m_name.c_str(), m_workerId);
            break;
        }
        if (!m_reader->IsOpened()) {
            if (OpenAgain() == Pass::End)
                break;
            if (!m_reader->IsOpened())
                continue;
        }
        bool ready = false;
        if (WaitForBaseTimes(ready) == Pass::End)
            break;
        if (!ready)
            continue;
        if (ReadOnce(handedOver) == Pass::End)
            break;
    }

    TYX_LOG(6, L"NRTMediaReadWorker[%s:%x]Media reading Thread[%d] exiting.", m_name.c_str(), m_workerId, threadId);
    m_workingStep = 31;
    if (m_screenOutput)
        std::printf("Media reading Thread[%d] is exiting...\n", threadId);
    return static_cast<uint32_t>(handedOver);
}
