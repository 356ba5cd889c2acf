// CVideoUnifyWorker: one input at a fixed size and rate.

#include "vproc/VideoUnifyWorker.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "platform/Thread.h"

namespace {

constexpr int32_t kUnifyTypeCode = 7;
constexpr uint32_t kEmptyWaitMs = 10;
constexpr int32_t kMinWidth = 320;
constexpr int32_t kMaxWidth = 15360;
constexpr int32_t kMinHeight = 180;
constexpr int32_t kMaxHeight = 8640;

} // namespace

CVideoUnifyWorker::CVideoUnifyWorker(uint32_t workerId, const InputLinkMap *inputLinks,
                                     const ConsumerLinkMap *consumerLinks)
    : CTYXMPWorker(workerId, inputLinks, consumerLinks, false, false)
{
    m_typeCode = kUnifyTypeCode;
}

int32_t CVideoUnifyWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *mid = dynamic_cast<const stVideoMidProcWorkerConfig *>(config);
    if (!mid || CTYXMPWorker::CopyInConfiguration(config) < 0)
        return -1;
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const int32_t width = mid->OutputWidth;
    const int32_t height = mid->OutputHeight;
    if (width < kMinWidth || width > kMaxWidth || height < kMinHeight || height > kMaxHeight) {
        TYX_LOG(3, L"VMidProc[WID=%d] Initializing failed with invalid output frame size(W=%d, H=%d)!", wid, width,
                height);
        return -10;
    }
    // I420 pictures of odd size would have their last chroma rows written past the buffer.
    m_outputWidth = static_cast<uint16_t>(width & ~1);
    m_outputHeight = static_cast<uint16_t>(height & ~1);
    if (m_outputWidth != width || m_outputHeight != height)
        TYX_LOG(3, L"VMidProc[WID=%d] output frame size(W=%d, H=%d) cut to even (W=%d, H=%d).", wid, width, height,
                static_cast<int32_t>(m_outputWidth), static_cast<int32_t>(m_outputHeight));
    m_outputFrameRate = mid->OutputFramerate;
    stStreamParams output;
    output.mediaType = TYX_MEDIA_VIDEO;
    output.width = m_outputWidth;
    output.height = m_outputHeight;
    output.frameRate = m_outputFrameRate;
    output.timeBase = {1, 1000000};
    output.pixelFormat = 0;
    output.frameSize = I420Length(m_outputWidth, m_outputHeight);
    SetOutputParameters(output, static_cast<uint32_t>(-1));
    SetRvtpServerOption(mid->RVTP, 0);
    m_pipeWanted = mid->RVTP != 0;
    if (mid->DirectOutputSettings.DirectOutput)
        m_displayWanted = EnableDirectOutput(mid->DirectOutputSettings, 0);
    const int32_t source = mid->SingleInput.VideoSource > 0 ? mid->SingleInput.VideoSource : mid->UnifySource;
    m_inputStreamId = static_cast<uint32_t>(source);
    UpdateStatistics(true, m_inputStreamId, [](stStreamStatistics &) {});
    UpdateStatistics(false, m_workerId + 1, [](stStreamStatistics &) {});
    CWriteLockGuard guard(m_routeMap.Lock());
    m_routeMap.Items()[m_workerId + 1] = source;
    return 0;
}

int32_t CVideoUnifyWorker::Initialize(uint8_t gpuProcessing, int32_t gpuDevice)
{
    m_outputOnDevice = 1;
    m_outputOnDevice2 = 1;
    if (CTYXMPWorker::Initialize(gpuProcessing, gpuDevice) == TYX_MP_ERR_CONTEXT) {
        if (m_screenOutput)
            ConsolePrintf("MidProcessing worker[%u] Context creating failed!!. \n", m_workerId);
        return TYX_MP_ERR_CONTEXT;
    }
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (const auto &[id, link] : m_inputLinks.Items()) {
            if (link.HasQueue())
                m_inputStreams.insert(id);
        }
    }
    if (m_outputFrameRate > 0) {
        const stStreamParams input = GetInputParameters(m_inputStreamId);
        const float inputRate = input.frameRate > 0 ? input.frameRate : m_outputFrameRate;
        m_frameRateAdjuster.Init({1, 1000000}, inputRate, m_outputFrameRate);
        TYX_LOG(6, L"Video-Unify[%s:%x] Frame rate adjustment parameters initialized.", m_name.c_str(), m_workerId);
    }
    if (m_pipeWanted)
        (void)StartRvtpServer(m_outputWidth, m_outputHeight, 0);
    if (m_displayWanted)
        (void)StartRvdoServer(m_outputWidth, m_outputHeight, 0);
    return 0;
}

void CVideoUnifyWorker::unInitialize()
{
    CTYXMPWorker::unInitialize();
}

bool CVideoUnifyWorker::FitToOutputSize(FramePackage &package)
{
    if (package.width == m_outputWidth && package.height == m_outputHeight)
        return true;
    uint8_t *scaled = nullptr;
    const int32_t rc = CTYXUtils::ScaleFrameGPU(GpuDevice(), package.pData, package.width, package.height,
                                                package.pitch, package.inDevice != 0, &scaled, m_outputWidth,
                                                m_outputHeight, true);
    if (rc < 1) {
        FreeFramePackage(package);
        return false;
    }
    ReleaseFramePackageData(package.pData, package.inDevice != 0);
    package.pData = scaled;
    package.nLength = rc;
    package.width = m_outputWidth;
    package.height = m_outputHeight;
    package.pitch = 0;
    package.inDevice = 1;
    return true;
}

void CVideoUnifyWorker::SendConverted(FramePackageQueue &converted)
{
    for (FramePackage &package : converted) {
        (void)PushFrameToDirectOutputs(package, 0);
        bool handedOver = false;
        (void)SendPaket2Consumers(handedOver, package, true, true, m_workerId + 1);
        if (!handedOver)
            FreeFramePackage(package);
    }
    converted.clear();
}

uint32_t CVideoUnifyWorker::WorkingFunc()
{
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    const int tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"Video Unify thread[TID=%d] started.", tid);
    if (m_outputWidth * m_outputHeight < 1) {
        PopWorkerContext();
        return 4;
    }
    FramePackageQueue converted;
    while (!m_exitEvent->IsSet()) {
        FramePackage package;
        // The front package is always taken, so a status package never stalls the input.
        if (ReceivePaketFromUpStream(package, m_inputStreamId, true) <= 0) {
            m_exitEvent->Wait(kEmptyWaitMs);
            continue;
        }
        if (package.nLength <= 0 || !package.pData) {
            FreeFramePackage(package);
            continue;
        }
        if (!FitToOutputSize(package))
            continue;
        TYX_LOG(7, L"Writing OSD for decoded frame...");
        (void)DrawOverlaysOnFrame(package, TYX_OVERLAY_OUTPUT, 0);
        // The converter takes the picture over: it is in the outputs or released.
        m_frameRateAdjuster.ConvertFrame(package, converted);
        SendConverted(converted);
    }
    TYX_LOG(6, L"Video-Unify thread[TID=%d] received exit signal, exiting...", tid);
    TYX_LOG(6, L"Video Unify Thread is exiting...");
    PopWorkerContext();
    return 0;
}
