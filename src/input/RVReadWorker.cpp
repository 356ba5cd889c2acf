#include "input/RVReadWorker.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/ReadWorkerSteps.h"
#include "input/StreamInfoParams.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/pixfmt.h>
}

#include <cmath>

namespace {

constexpr int32_t kMinFrameRate = 10;
constexpr int32_t kMaxFrameRate = 120;
const stTimeBase kMicroseconds{1, 1000000};

} // namespace

bool CRawVideoReadWorker::stPackageQueue::PushCopy(const FramePackage &package, size_t limit)
{
    CCsLock guard(lock);
    if (packages.size() >= limit)
        return false;
    FramePackage copy = package;
    copy.pData = nullptr;
    copy.inDevice = 0;
    if (DuplicateFramePackage(copy, package) <= 0)
        return false;
    packages.push_back(copy);
    return true;
}

bool CRawVideoReadWorker::stPackageQueue::Pop(FramePackage &package)
{
    CCsLock guard(lock);
    if (packages.empty())
        return false;
    package = packages.front();
    packages.pop_front();
    return true;
}

size_t CRawVideoReadWorker::stPackageQueue::Size()
{
    CCsLock guard(lock);
    return packages.size();
}

void CRawVideoReadWorker::stPackageQueue::Clear()
{
    CCsLock guard(lock);
    for (FramePackage &package : packages)
        FreeFramePackage(package);
    packages.clear();
}

CRawVideoReadWorker::CRawVideoReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks)
    : CRVProcWorker(workerId, nullptr, consumerLinks, 1, false, false)
{
    m_typeCode = TYX_MS_VCAP;
    m_inputStreamTypes = 0x02;
    m_outputStreamTypes = 0x03;
    TYX_LOG(6, L"RawVideoReadWorker[WID=%d] constructed.", static_cast<int32_t>(workerId));
}

CRawVideoReadWorker::~CRawVideoReadWorker()
{
    // The helper threads run member functions: they end before the members go. A shared worker
    // gets here only once they let go of it.
    EndChildThreads(*m_exitEvent, m_childMutex, m_childThreads, 5000);
    if (m_reader)
        m_reader->Close();
    m_postQueue.Clear();
    m_decodeQueue.Clear();
}

int32_t CRawVideoReadWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (!config)
        return -1;
    CTYXWorker::CopyInConfiguration(config);
    if (!TakeCaptureSource(config, m_sourceName, m_sourceNameForLog, m_stream))
        return -1;
    m_reader = std::make_unique<CRawVideoReader>();
    m_reader->AllowTestSources(m_allowTestSources);
    if (m_outputPixelFormat < 0)
        m_outputPixelFormat = AV_PIX_FMT_YUV420P;
    m_reader->SetRequest(m_stream.FrameWidth, m_stream.FrameHeight, m_stream.OutputFramerate);

    LogSourceOpen(*this, m_sourceNameForLog, m_reader->OpenMediaSource(WStringToString(m_sourceName)), m_screenOutput != 0);
    if (m_stream.DirectOutputSettings.DirectOutput)
        EnableDirectOutput(m_stream.DirectOutputSettings, 0);

    const stTYXWorkerItemInfo item = CaptureOutputItem(m_stream, m_workerId, TYX_PKT_KIND_RAW_VIDEO, m_name);
    m_outputStreamId = static_cast<uint32_t>(item.Id);
    {
        CWriteLockGuard guard(m_outputItemsLock);
        m_outputItems = {item};
    }
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    m_outputStatistics = {{m_outputStreamId, stStreamStatistics{}}};
    return 0;
}

void CRawVideoReadWorker::CheckFrameRate(stMediaStreamInfo &info)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const int32_t rate = info.frameRate.den > 0 && info.frameRate.num > 0
                             ? static_cast<int32_t>(std::lround(double(info.frameRate.num) / info.frameRate.den))
                             : 0;
    TYX_LOG(5, L"[RawVideoReadWorker][WID=%d]Frame rate got from Media source is %d fps.", wid, rate);
    if (rate >= kMinFrameRate && rate <= kMaxFrameRate)
        return;
    // A rate of 0 would reach every frame-rate division downstream.
    const int32_t corrected = m_correctedFrameRate > 0 ? m_correctedFrameRate : TYX_RVR_DEFAULT_FRAME_RATE;
    TYX_LOG(3, L"[RawVideoReadWorker][WID=%d]Frame rate was corrected to %d fps.", wid, corrected);
    info.frameRate = AVRational{corrected, 1};
}

bool CRawVideoReadWorker::PublishOutputParameters(bool notify)
{
    stMediaStreamInfo *info = m_reader->GetStreamParameters(0);
    if (!info)
        return false;
    CheckFrameRate(*info);
    m_inputTimeBase = info->timeBase;
    m_outputWidth = info->width;
    m_outputHeight = info->height;
    stStreamParams params;
    StreamInfoToStreamParams(params, *info);
    // Consumers get what the worker sends: device pictures of the output format, stamped in µs.
    params.timeBase = kMicroseconds;
    params.pixelFormat = m_outputPixelFormat;
    params.frameSize = RawVideoOutputFrameSize(m_outputPixelFormat, m_outputWidth, m_outputHeight);
    SetOutputParameters(params, m_outputStreamId);
    if (notify && m_outputParamsCallback)
        m_outputParamsCallback(this, m_outputStreamId, &params);
    return true;
}

int32_t CRawVideoReadWorker::Initialize(uint8_t flag, int32_t value)
{
    CTYXWorker::Initialize(flag, value);
    const int32_t wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"RawVideoReadWorker[WID=%d] initializing...", wid);
    if (!m_contextRetained) {
        if (DevRetainPrimaryContext(value) != GPU_SUCCESS) {
            ConsolePrintf("RawVideoReadWorker[%d] Context creating failed!!. ", wid);
            return -2;
        }
        m_contextRetained = true;
    }
    if (m_screenOutput)
        ConsolePrintf("RawVideoReadWorker[%d] Context initialized... ", wid);
    if (!m_reader) {
        TYX_LOG(3, L"[RawVideoReadWorker][WID=%d]Media source reader not set(created) yet!", wid);
        return -1;
    }
    OpenAtInitialize(*this, *m_reader, L"[RawVideoReadWorker]");
    m_readerOpened = m_reader->IsOpened() ? 1 : 0;
    if (m_readerOpened) {
        if (!PublishOutputParameters(false)) {
            TYX_LOG(3, L"[RawVideoReadWorker][WID=%d]Stream information getting failed.", wid);
            return -1016;
        }
        m_deviceReady = RetrieveCodecInfo();
    }
    // Initialize may run again after a failure; the helper threads are started once.
    if (m_running.exchange(1))
        return 0;
    m_postThreadId = StartChildThread([this] {
        const uint32_t result = PostProcThread();
        m_postResult = static_cast<int32_t>(result);
        return result;
    });
    if (m_postThreadId < 0)
        TYX_LOG(3, L"[WID=%d] RawVideoReadWorker-Post-Proc Thread creating failed with lasterror=%d!", wid, -m_postThreadId);
    else if (m_screenOutput)
        ConsolePrintf("[RawVideoReadWorker]PostProc-Thread for worker:%d] Started with ThreadID= %d.", wid, m_postThreadId);
    m_decodeThreadId = StartChildThread([this] {
        const uint32_t result = DecodeThread();
        m_decodeResult = static_cast<int32_t>(result);
        return result;
    });
    if (m_decodeThreadId < 0)
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] Decoding Thread creating failed with lasterror=%d!", wid, -m_decodeThreadId);
    else if (m_screenOutput)
        ConsolePrintf("[RawVideoReadWorker]Decoding-Thread for worker:%d] Started with ThreadID= %d.", wid, m_decodeThreadId);
    return 0;
}

bool CRawVideoReadWorker::RetrieveCodecInfo()
{
    if (!m_reader || !m_reader->IsOpened())
        return false;
    const int32_t wid = static_cast<int32_t>(m_workerId);
    m_needsDecoding = m_reader->NeedsDecoding() ? 1 : 0;
    std::lock_guard<std::mutex> lock(m_decoderMutex);
    if (m_decoder) {
        TYX_LOG(5, L"RawVideoReadWorker[WID=%d] It seemd The codec context initailized already.", wid);
        return true;
    }
    const AVCodecParameters *par = m_reader->CodecParameters();
    if (!par) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] Failed to retrieve codec parameters from VCA Reader! Exiting...", wid);
        return false;
    }
    if (!m_needsDecoding)
        m_inputPixelFormat = m_reader->CapturedPixelFormat();
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    if (!codec) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] Failed fo find codec for [CodecId=%d]!", wid, static_cast<int32_t>(par->codec_id));
        return false;
    }
    std::shared_ptr<AVCodecContext> context(avcodec_alloc_context3(codec), [](AVCodecContext *c) { avcodec_free_context(&c); });
    if (!context) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] codec context allocating failed with codecID(%d)!", wid,
                static_cast<int32_t>(par->codec_id));
        return false;
    }
    if (avcodec_parameters_to_context(context.get(), par) < 0) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] Failed while copy codec-pars into context!", wid);
        return false;
    }
    const int result = avcodec_open2(context.get(), codec, nullptr);
    if (result < 0) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d]Open codec Failed with error=%d!", wid, result);
        return false;
    }
    m_decoder = std::move(context);
    return true;
}

std::shared_ptr<AVCodecContext> CRawVideoReadWorker::DecoderContext()
{
    std::lock_guard<std::mutex> lock(m_decoderMutex);
    return m_decoder;
}

int64_t CRawVideoReadWorker::RebaseTimestamp(FramePackage &package)
{
    return RebaseCapturedStamps(m_rebase, package, m_inputTimeBase, NowUs());
}

void CRawVideoReadWorker::ReportSourceEvent(int32_t eventType)
{
    ReportWorkerSourceEvent(*this, eventType, m_sourceNameForLog);
}

std::map<int16_t, stReadStreamCounts> CRawVideoReadWorker::GetStreamStatisticsA()
{
    return {{0, m_readCounts}};
}

int32_t CRawVideoReadWorker::OpenAtThreadStart()
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    m_workingStep = 20;
    if (ReopenAtThreadStart(*this, *m_reader, m_sourceNameForLog) < 0)
        return 2;
    if (!PublishOutputParameters(true)) {
        TYX_LOG(3, L"[WID=%d]Stream information getting failed with error=%d.", wid, -1016);
        m_workingStep = 44;
        return -1016;
    }
    m_readerOpened = 1;
    // The helper threads wait for this, so a late open still gets decoded and sent.
    m_deviceReady = RetrieveCodecInfo();
    SetStateOfAllStreams(TYX_STATUS_RUNNING);
    return 0;
}

void CRawVideoReadWorker::CountRead(const FramePackage &package)
{
    UpdateStatistics(false, m_outputStreamId, [&package](stStreamStatistics &entry) {
        ++entry.packetsIn;
        if (package.nLength > 0)
            ++entry.dataPacketsIn;
    });
}

void CRawVideoReadWorker::EndOfSource(int32_t result)
{
    TYX_LOG(3, L"[WID=%d]Media source stream reading failed with retValue=%d!", static_cast<int32_t>(m_workerId), result);
    m_reader->Close();
    m_readerOpened = 0;
    m_workingStep = 30;
    SetStateOfAllStreams(TYX_STATUS_CLOSED);
    ReportSourceEvent(TYX_EVENT_SOURCE_CLOSED);
    DrainHelperThreads(TYX_RVR_DRAIN_MS);
    SendStatusPaket2Consumers(TYX_SRC_CLOSED, m_reader->LastPts());
    TYX_LOG(5, L"[WID=%d]Media Reading worker exiting in case of EOF!", static_cast<int32_t>(m_workerId));
}

void CRawVideoReadWorker::DrainHelperThreads(uint32_t timeoutMs)
{
    // The decode thread puts its picture into the post queue before it stops being busy, so
    // looking at it first misses nothing. Counted in 1 ms waits on the exit event.
    auto idle = [this] {
        return m_decodeQueue.Size() == 0 && !m_decodeBusy.load() && m_postQueue.Size() == 0 && !m_postBusy.load();
    };
    for (uint32_t waited = 0; !idle() && waited < timeoutMs; ++waited) {
        if (ExitRequested(1))
            return;
    }
}

void CRawVideoReadWorker::QueueReadPackage(const FramePackage &package)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    if (m_needsDecoding) {
        if (!m_decodeQueue.PushCopy(package, TYX_RVR_DECODE_QUEUE_LIMIT))
            TYX_LOG(6, L"RawVideoReadWorker[WID=%d]Warning: Input of decoding thread blocking, discard the new paket [%lld].", wid,
                    static_cast<long long>(package.pts));
        return;
    }
    // Raw pictures carry their geometry, so that post-processing needs no decoder to lay them out.
    FramePackage picture = package;
    picture.kind = TYX_PKT_KIND_RAW_VIDEO;
    picture.width = static_cast<uint16_t>(m_reader->CapturedWidth());
    picture.height = static_cast<uint16_t>(m_reader->CapturedHeight());
    picture.format = m_reader->CapturedPixelFormat();
    if (!m_postQueue.PushCopy(picture, TYX_RVR_POST_QUEUE_LIMIT))
        TYX_LOG(6, L"RawVideoReadWorker[WID=%d]Warning: Input of Post-proc thread blocking, discard the new paket [%lld].", wid,
                static_cast<long long>(package.pts));
}

uint32_t CRawVideoReadWorker::WorkingFunc()
{
    const int32_t threadId = GetCurrentThreadIdInt();
    const int32_t wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] Starting.", wid, threadId);
    if (!m_reader) {
        TYX_LOG(3, L"There no valid media reader instance for the media reading worker[%d] input...exit.", wid);
        return 1;
    }
    if (!m_reader->IsOpened()) {
        const int32_t opened = OpenAtThreadStart();
        if (opened != 0)
            return static_cast<uint32_t>(opened);
    } else {
        // Initialize published already; consumers created since then hear of it now.
        PublishOutputParameters(true);
        SetStateOfAllStreams(TYX_STATUS_RUNNING);
    }
    uint32_t read = 0;
    for (;;) {
        if (ExitRequested()) {
            TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] Recieved exit signal, exiting...", wid, threadId);
            return 0;
        }
        if (!m_reader->IsOpened()) {
            m_workingStep = 44;
            TYX_LOG(5, L"[WID=%d]Media source closed! exiting...", wid);
            ReportSourceEvent(TYX_EVENT_SOURCE_CLOSED);
            break;
        }
        FramePackage package;
        const int32_t result = m_reader->ReadPacket(package);
        if (result <= 0) {
            EndOfSource(result);
            break;
        }
        CountRead(package);
        if (!package.pData && package.nLength <= 0) {
            TYX_LOG(6, L"[WID=%d]Media Reading worker got a invalid paket without data, discard it.", wid);
            continue;
        }
        m_workingStep = 29;
        RebaseTimestamp(package);
        QueueReadPackage(package);
        ++read;
    }
    TYX_LOG(6, L"[WID=%d]Media reading Thread[%d] exiting.", wid, threadId);
    m_workingStep = 31;
    if (m_screenOutput)
        ConsolePrintf("Media reading Thread[%d] is exiting...\n", threadId);
    return read;
}

void CRawVideoReadWorker::unInitialize()
{
    TYX_LOG(6, L"[RawVideoReadWorker][WID=%d] uninitializing...", static_cast<int32_t>(m_workerId));
    m_running = 0;
    if (m_reader && m_reader->IsOpened())
        m_reader->Close();
    m_readerOpened = 0;
    m_deviceReady = false;
    {
        std::lock_guard<std::mutex> lock(m_decoderMutex);
        m_decoder.reset();
    }
    // What the helper threads left queued goes with them.
    m_postQueue.Clear();
    m_decodeQueue.Clear();
    CRVProcWorker::unInitialize();
    if (m_contextRetained) {
        DevReleasePrimaryContext(m_initValue);
        m_contextRetained = false;
    }
}
