// CVideoMatrixWorker: configuration of the matrix and the routing thread.

#include "vproc/VideoMatrixWorker.h"

#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"

namespace {

constexpr int32_t kMatrixTypeCode = 3;
constexpr uint32_t kIdlePassWaitMs = 1;

} // namespace

CVideoMatrixWorker::CVideoMatrixWorker(uint32_t workerId, const InputLinkMap *inputLinks,
                                       const ConsumerLinkMap *consumerLinks)
    : CMIMO_VMP(workerId, inputLinks, consumerLinks)
{
    m_typeCode = kMatrixTypeCode;
}

int32_t CVideoMatrixWorker::Initialize(uint8_t gpuProcessing, int32_t gpuDevice)
{
    // A missing context is told to the caller: the routing thread could not run without it.
    return CTYXMPWorker::Initialize(gpuProcessing, gpuDevice);
}

int32_t CVideoMatrixWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *mid = dynamic_cast<const stVideoMidProcWorkerConfig *>(config);
    if (!mid || CTYXMPWorker::CopyInConfiguration(config) < 0)
        return -1;
    for (const auto &[number, streamId] : mid->MatrixInputs) {
        if (streamId > 0)
            (void)m_matrix.SetInputInfo(streamId, {});
    }
    for (const auto &[output, input] : mid->MatrixOutputs) {
        if (output == 0 || input < 0)
            continue;
        const auto found = mid->MatrixInputs.find(input);
        if (found != mid->MatrixInputs.end())
            (void)m_matrix.SetOutputInput(output, found->second);
    }
    std::vector<stTYXWorkerItemInfo> inputs;
    for (const auto &[number, streamId] : mid->MatrixInputs) {
        if (streamId <= 0)
            continue;
        stTYXWorkerItemInfo item;
        item.Id = streamId;
        item.No = number;
        item.Kind = TYX_PKT_KIND_RAW_VIDEO;
        const auto name = mid->MatrixInputNames.find(streamId);
        if (name != mid->MatrixInputNames.end())
            item.Name = name->second;
        inputs.push_back(item);
        UpdateStatistics(true, static_cast<uint32_t>(streamId), [](stStreamStatistics &) {});
    }
    {
        CWriteLockGuard guard(m_inputItemsLock);
        m_inputItems = inputs;
    }
    const std::map<int16_t, int32_t> outputs = m_matrix.CopyOutputMap();
    {
        CWriteLockGuard guard(m_outputItemsLock);
        m_outputItems.clear();
        for (const auto &[number, input] : outputs) {
            stTYXWorkerItemInfo item;
            item.Id = static_cast<int32_t>(m_workerId) + number;
            item.No = number;
            item.Kind = TYX_PKT_KIND_RAW_VIDEO;
            m_outputItems.push_back(item);
            UpdateStatistics(false, static_cast<uint32_t>(item.Id), [](stStreamStatistics &) {});
        }
    }
    if (!inputs.empty() && !outputs.empty()) {
        CWriteLockGuard guard(m_routeMap.Lock());
        for (const auto &[number, input] : outputs)
            m_routeMap.Items()[m_workerId + static_cast<uint32_t>(number)] = input;
    }
    return 0;
}

int32_t CVideoMatrixWorker::SetInputParameters(const stStreamParams &params, uint32_t streamId)
{
    (void)CTYXWorker::SetInputParameters(params, streamId);
    stVVMatrixInputInfo info;
    info.width = params.width;
    info.height = params.height;
    (void)m_matrix.SetInputInfo(static_cast<int32_t>(streamId), info);
    return 0;
}

int32_t CVideoMatrixWorker::OnNewInputAdded(uint32_t inputStreamId)
{
    const auto id = static_cast<int32_t>(inputStreamId);
    TYX_LOG(6, L"Setting InputInfo for input(%d)...", id);
    const int32_t rc = m_matrix.SetInputInfo(id, {});
    if (rc < 0)
        TYX_LOG(3, L"Failed(err=%d) while setting input info for input(%d)!", rc, id);
    return 0;
}

int32_t CVideoMatrixWorker::DetachInput(uint32_t inputStreamId, uint32_t replacementId)
{
    const auto a = static_cast<int32_t>(inputStreamId);
    const auto b = static_cast<int32_t>(replacementId);
    if (a <= 0)
        return -1;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        const InputLinkMap &links = m_inputLinks.Items();
        if (links.count(inputStreamId) == 0 || (b > 0 && links.count(replacementId) == 0))
            return TYX_MATRIX_ERR_NO_LINK;
    }
    return m_matrix.DetachInput(a, b);
}

// ---- routing ----

uint32_t CVideoMatrixWorker::WorkingFunc()
{
    TYX_LOG(5, L"Starting Video Matrix working thread...");
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    TYX_LOG(5, L"VMatrix: Thread started.");
    for (;;) {
        const int32_t moved = RoutePass();
        if (moved < 0)
            break;
        // A pass that moved nothing rests instead of spinning a core.
        if (moved == 0 && m_exitEvent->Wait(kIdlePassWaitMs) == TYX_WAIT_OBJECT_0)
            break;
    }
    TYX_LOG(5, L"VMatrix: Thread Recieved exit signal....");
    TYX_LOG(5, L"VMatrix: Thread exiting...");
    PopWorkerContext();
    return 0;
}

size_t CVideoMatrixWorker::CountConsumersOf(const std::vector<int16_t> &outputs)
{
    size_t consumers = 0;
    CReadLockGuard guard(m_consumerLinks.Lock());
    for (int16_t output : outputs) {
        const auto found = m_consumerLinks.Items().find(m_workerId + static_cast<uint32_t>(output));
        if (found != m_consumerLinks.Items().end())
            consumers += found->second.size();
    }
    return consumers;
}

int32_t CVideoMatrixWorker::RoutePass()
{
    TYX_LOG(7, L"VMatrix: Start checking & received frames from input queques...");
    int32_t moved = 0;
    CReadLockGuard guard(m_inputLinks.Lock());
    for (auto &[id, link] : m_inputLinks.Items()) {
        if (m_exitEvent->IsSet())
            return -1;
        if (!link.HasQueue()) {
            TYX_LOG(2, L"VMatrix: Fatal error: NULL quque or its lock pointer found for input stream(%d)! Skip it....",
                    static_cast<int32_t>(id));
            continue;
        }
        size_t queued = 0;
        {
            CCsLock lock(*link.queueLock);
            queued = link.queue->size();
        }
        if (queued == 0)
            continue;
        TYX_LOG(7, L"VMatrix: New frame getting(vsNo=%d) Checkpoint #0.", static_cast<int32_t>(id));
        RouteInput(id, link, m_matrix.OutputsOf(static_cast<int32_t>(id)));
        moved += static_cast<int32_t>(queued);
    }
    return moved;
}

void CVideoMatrixWorker::RouteInput(uint32_t inputStreamId, stWorkerInputLink &link, const std::vector<int16_t> &outputs)
{
    const auto vs = static_cast<int32_t>(inputStreamId);
    const size_t consumers = CountConsumersOf(outputs);
    TYX_LOG(7, L"VMatrix: The Input stream(%d) was referenced by (%d) output-streams and (%d) consumers.", vs,
            static_cast<int32_t>(outputs.size()), static_cast<int32_t>(consumers));
    FramePackageQueue packages;
    {
        CCsLock lock(*link.queueLock);
        packages.swap(*link.queue);
    }
    if (consumers == 0) {
        TYX_LOG(7, L"VMatrix: Input %d wasn't using by any consumer, discard all it's packages.", vs);
        for (FramePackage &package : packages) {
            CountPaket(inputStreamId, package, true, false);
            FreeFramePackage(package);
        }
        return;
    }
    TYX_LOG(7, L"VMatrix: New frame getting(vsNo=%d) Checkpoint #1.", vs);
    TYX_LOG(7, L"VMatrix: There %d new packages in queue from Input %d.", static_cast<int32_t>(packages.size()), vs);
    for (FramePackage &package : packages) {
        CountPaket(inputStreamId, package, true, false);
        if (package.nLength < 1 || !package.pData)
            TYX_LOG(3, L"Invalid Frame package!");
        for (int16_t output : outputs) {
            // Each consumer gets a copy: the package itself is freed once below.
            bool handedOver = false;
            (void)SendPaket2Consumers(handedOver, package, true, false, m_workerId + static_cast<uint32_t>(output));
        }
        FreeFramePackage(package);
    }
    TYX_LOG(7, L"VMatrix: All %d new packages in queue from Input %d forward to consumers.",
            static_cast<int32_t>(packages.size()), vs);
    TYX_LOG(7, L"VMatrix: New frame getting(vsNo=%d) Checkpoint #5.", vs);
}
