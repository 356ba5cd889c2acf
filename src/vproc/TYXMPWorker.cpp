// CTYXMPWorker: the shared part of the mid-processing workers.

#include "vproc/TYXMPWorker.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"
#include "vproc/OsdWriter.h"

#include <algorithm>

namespace {

constexpr int32_t kMidProcKind = 6;
constexpr uint8_t kLinkedRawVideo = 0x03;
constexpr int32_t kStatusPosition = 6; // right bottom corner
constexpr uint32_t kCleanIdleWaitMs = 5;
constexpr uint64_t kSlowFreeMs = 5;
constexpr int32_t kChildStopBudgetMs = 2000;

// The text writer draws heights of 16..128 in steps of 4.
uint16_t DrawableTextHeight(int32_t size)
{
    const int32_t clamped = std::clamp(size, 16, 128);
    return static_cast<uint16_t>(clamped - clamped % 4);
}

stColorYuv ColorOfCode(int32_t code)
{
    return InitOsgColor(OsgColorCodeToRgb(code));
}

} // namespace

CTYXMPWorker::CTYXMPWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                           bool multiInput, bool multiOutput)
    : CRVProcWorker(workerId, inputLinks, consumerLinks, kMidProcKind, multiInput, multiOutput),
      m_multiInput(multiInput), m_multiOutput(multiOutput)
{
    m_inputStreamTypes = kLinkedRawVideo;
    m_outputStreamTypes = kLinkedRawVideo;
    ClearFramePackage(m_defaultFrame);
    m_defaultFrame.pts = TYX_NOPTS_VALUE;
    m_defaultFrame.dts = TYX_NOPTS_VALUE;
    m_bgColorYuv = ColorOfCode(0);
}

CTYXMPWorker::~CTYXMPWorker()
{
    DrainDvcMemCleanQueue();
    FreeAllBackupFrames();
    FreeFramePackage(m_defaultFrame);
    ReleaseContext();
}

int32_t CTYXMPWorker::ReservedMP()
{
    return 0;
}

// ---- configuration ----

int32_t CTYXMPWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (CTYXWorker::CopyInConfiguration(config) < 0)
        return -1;
    // Every mid-processor draws its status texts and blank pictures as the settings ask.
    const stTYXGeneralSettings &settings = CTYXGVMS::GeneralSettings();
    CopyInColorSettings(settings.DefaultBGC, settings.ErrMsgColor, settings.InfoMsgColor, settings.MsgHeight);
    return 0;
}

int32_t CTYXMPWorker::SetInputParameters(const stStreamParams &params, uint32_t streamId)
{
    (void)CTYXWorker::SetInputParameters(params, streamId);
    return 0;
}

void CTYXMPWorker::CopyInColorSettings(int32_t defaultColor, int32_t errorColor, int32_t infoColor, int32_t fontSize)
{
    m_defaultColor = defaultColor;
    m_bgColorYuv = ColorOfCode(defaultColor);
    m_errTextColor = errorColor;
    m_infoTextColor = infoColor;
    m_errColorYuv = ColorOfCode(errorColor);
    m_infoColorYuv = ColorOfCode(infoColor);
    if (fontSize < 9 || fontSize > 255)
        return;
    const uint16_t drawable = DrawableTextHeight(fontSize);
    if (drawable != fontSize)
        TYX_LOG(3, L"MidProc[WID=%d] status text height %d cannot be drawn, %d is used.", static_cast<int32_t>(m_workerId),
                fontSize, static_cast<int32_t>(drawable));
    m_statusTextHeight = drawable;
}

// ---- context ----

bool CTYXMPWorker::PushWorkerContext()
{
    return DevPushContext(GpuDevice()) == GPU_SUCCESS;
}

void CTYXMPWorker::PopWorkerContext()
{
    (void)DevPopContext();
}

void CTYXMPWorker::ReleaseContext()
{
    if (m_context) {
        (void)DevReleaseContextHandle(m_context);
        m_context = nullptr;
    }
}

// ---- Initialize ----

int32_t CTYXMPWorker::Initialize(uint8_t gpuProcessing, int32_t gpuDevice)
{
    (void)CTYXWorker::Initialize(gpuProcessing, gpuDevice);
    m_outputOnDevice = 1;
    m_outputOnDevice2 = 1;
    if (!m_context && DevRetainContextHandle(gpuDevice, &m_context) != GPU_SUCCESS) {
        m_context = nullptr;
        if (m_screenOutput)
            ConsolePrintf("MidProcessing worker[%u] Context creating failed!!. \n", m_workerId);
        TYX_LOG(3, L"MidProcessing worker[%d] Context creating failed!!. ", static_cast<int32_t>(m_workerId));
        return TYX_MP_ERR_CONTEXT;
    }
    if (!m_multiOutput)
        CreateDefaultFrame();
    if (m_multiInput)
        CreateStatusWriters();
    if (m_cleanThreadWanted && m_cleanThreadId == 0) {
        const int32_t tid = StartChildThread([this] { return DvcMemCleanThread(); });
        if (tid < 0) {
            TYX_LOG(3, L"Dvc-Mem-Clean-Proc Thread creating failed with lasterror=%d!", -tid);
            if (m_screenOutput)
                ConsolePrintf("[Main] Thread creating failed with error code= %d\n", -tid);
        } else {
            m_cleanThreadId = tid;
        }
    }
    return 0;
}

void CTYXMPWorker::CreateDefaultFrame()
{
    const stStreamParams output = GetOutputParameters();
    if (m_defaultFrame.pData || output.width == 0 || output.height == 0)
        return;
    m_defaultFrame.width = output.width;
    m_defaultFrame.height = output.height;
    m_defaultFrame.inDevice = 1;
    if (CreateBlankVideoFrame(m_defaultFrame, m_bgColorYuv) <= 0) {
        TYX_LOG(3, L"MidProc[WID=%d] default picture(W=%d, H=%d) creating failed!", static_cast<int32_t>(m_workerId),
                static_cast<int32_t>(output.width), static_cast<int32_t>(output.height));
        return;
    }
    m_defaultFrame.kind = TYX_PKT_KIND_RAW_VIDEO;
    m_defaultFrame.mediaType = TYX_MEDIA_VIDEO;
    m_defaultFrameWidth = output.width;
    m_defaultFrameHeight = output.height;
    m_defaultFrameOnDevice = 1;
}

void CTYXMPWorker::CreateStatusWriters()
{
    std::vector<uint32_t> inputs;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (const auto &[id, link] : m_inputLinks.Items()) {
            if (link.HasQueue())
                inputs.push_back(id);
        }
    }
    // Key 0 serves the windows that show no input.
    {
        std::shared_ptr<COsdWriter> unused = CreateStatusOsdWriter(kStatusPosition);
        std::lock_guard<std::mutex> lock(m_statusWriterLock);
        m_statusWriters[0] = std::move(unused);
    }
    for (uint32_t id : inputs) {
        AddInputState(static_cast<int32_t>(id));
        std::shared_ptr<COsdWriter> writer = CreateStatusOsdWriter(kStatusPosition);
        std::lock_guard<std::mutex> lock(m_statusWriterLock);
        m_statusWriters[static_cast<int32_t>(id)] = std::move(writer);
    }
}

bool CTYXMPWorker::StopChildThreadsOfIdleWorker()
{
    // Threads that Initialize started for a worker whose main thread never ran (or has ended)
    // would otherwise keep it alive for good.
    bool childrenStopped = false;
    if (!IsStopped(childrenStopped))
        return false;
    if (!childrenStopped) {
        m_exitEvent->Set();
        (void)WaitOtherThreadsExit(kChildStopBudgetMs);
        (void)IsStopped(childrenStopped);
    }
    return childrenStopped;
}

void CTYXMPWorker::unInitialize()
{
    (void)StopChildThreadsOfIdleWorker();
    ReleaseContext();
    CRVProcWorker::unInitialize();
}

// ---- input states ----

void CTYXMPWorker::AddInputState(int32_t inputStreamId)
{
    std::lock_guard<std::mutex> lock(m_inputStateLock);
    m_inputStates.try_emplace(inputStreamId);
}

void CTYXMPWorker::RemoveInputState(int32_t inputStreamId)
{
    std::lock_guard<std::mutex> lock(m_inputStateLock);
    m_inputStates.erase(inputStreamId);
}

void CTYXMPWorker::UpdateInputState(int32_t inputStreamId, const std::function<void(stMPInputState &)> &change)
{
    std::lock_guard<std::mutex> lock(m_inputStateLock);
    change(m_inputStates[inputStreamId]);
}

bool CTYXMPWorker::GetInputState(int32_t inputStreamId, stMPInputState &state) const
{
    std::lock_guard<std::mutex> lock(m_inputStateLock);
    const auto found = m_inputStates.find(inputStreamId);
    if (found == m_inputStates.end())
        return false;
    state = found->second;
    return true;
}

// ---- status texts ----

std::shared_ptr<COsdWriter> CTYXMPWorker::FindStatusOsdWriter(int32_t inputStreamId) const
{
    std::lock_guard<std::mutex> lock(m_statusWriterLock);
    const auto found = m_statusWriters.find(inputStreamId);
    return found == m_statusWriters.end() ? nullptr : found->second;
}

bool CTYXMPWorker::HasStatusOsdWriter(int32_t inputStreamId) const
{
    return FindStatusOsdWriter(inputStreamId) != nullptr;
}

int32_t CTYXMPWorker::DrawInputStatus(int32_t inputStreamId, FramePackage &frame, int32_t statusCode)
{
    std::lock_guard<std::mutex> lock(m_statusWriterLock);
    const auto found = m_statusWriters.find(inputStreamId);
    if (found == m_statusWriters.end() || !found->second)
        return 1;
    // One writer serves windows of several sizes: sizing and drawing stay together.
    return DrawStatusOnFrame(*found->second, frame, statusCode);
}

// ---- backups ----

int32_t CTYXMPWorker::DuplicateBackupFrame(int32_t inputStreamId, FramePackage &copy)
{
    CReadLockGuard guard(m_backupLock);
    const auto found = m_backupFrames.find(inputStreamId);
    if (found == m_backupFrames.end() || !found->second)
        return 1;
    CCsLock lock(found->second->cs);
    const FramePackage &backup = found->second->package;
    if (!backup.pData || backup.nLength <= 0)
        return 1;
    copy.inDevice = backup.inDevice;
    const int32_t rc = DuplicateFramePackage(copy, backup);
    return rc > 0 ? 0 : (rc == 0 ? 1 : rc);
}

void CTYXMPWorker::ReplaceBackupFrame(int32_t inputStreamId, FramePackage &package, int64_t now)
{
    FramePackage previous;
    {
        CReadLockGuard guard(m_backupLock);
        const auto found = m_backupFrames.find(inputStreamId);
        if (found != m_backupFrames.end()) {
            CCsLock lock(found->second->cs);
            previous = found->second->package;
            found->second->package = package;
            found->second->storedTime = now;
            ClearFramePackage(package);
        }
    }
    if (package.pData || package.nLength != 0) {
        auto entry = std::make_unique<stLockedFramePackage>();
        entry->package = package;
        entry->storedTime = now;
        ClearFramePackage(package);
        CWriteLockGuard guard(m_backupLock);
        auto &slot = m_backupFrames[inputStreamId];
        if (slot) {
            CCsLock lock(slot->cs);
            previous = slot->package;
            slot->package = entry->package;
            slot->storedTime = now;
        } else {
            slot = std::move(entry);
        }
    }
    FreeFramePackage(previous);
}

bool CTYXMPWorker::HasBackupFrame(int32_t inputStreamId) const
{
    CReadLockGuard guard(m_backupLock);
    return m_backupFrames.count(inputStreamId) != 0;
}

void CTYXMPWorker::FreeBackupFrame(int32_t inputStreamId)
{
    std::unique_ptr<stLockedFramePackage> entry;
    {
        CWriteLockGuard guard(m_backupLock);
        const auto found = m_backupFrames.find(inputStreamId);
        if (found == m_backupFrames.end())
            return;
        entry = std::move(found->second);
        m_backupFrames.erase(found);
    }
    if (entry)
        FreeFramePackage(entry->package);
}

void CTYXMPWorker::FreeAllBackupFrames()
{
    std::map<int32_t, std::unique_ptr<stLockedFramePackage>> entries;
    {
        CWriteLockGuard guard(m_backupLock);
        entries.swap(m_backupFrames);
    }
    for (auto &[id, entry] : entries) {
        if (entry)
            FreeFramePackage(entry->package);
    }
}

// ---- device-memory clean-up ----

int32_t CTYXMPWorker::PushDvcMem2Clean(void *devicePointer)
{
    if (!devicePointer)
        return -1;
    CWriteLockGuard guard(m_cleanQueueLock);
    m_cleanQueue.push_back(devicePointer);
    return static_cast<int32_t>(m_cleanQueue.size());
}

int32_t CTYXMPWorker::GetDvcMemCleanQueueLength()
{
    CReadLockGuard guard(m_cleanQueueLock);
    return static_cast<int32_t>(m_cleanQueue.size());
}

int32_t CTYXMPWorker::DrainDvcMemCleanQueue()
{
    std::deque<void *> left;
    {
        CWriteLockGuard guard(m_cleanQueueLock);
        left.swap(m_cleanQueue);
    }
    for (void *pointer : left)
        ReleaseFramePackageData(static_cast<uint8_t *>(pointer), true);
    return static_cast<int32_t>(left.size());
}

uint32_t CTYXMPWorker::DvcMemCleanThread()
{
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    const int tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L" Device memory Clean-thread[TID=%d] started.", tid);
    uint32_t waitMs = 0;
    while (m_exitEvent->Wait(waitMs) != TYX_WAIT_OBJECT_0) {
        size_t waiting = 0;
        {
            CReadLockGuard guard(m_cleanQueueLock);
            waiting = m_cleanQueue.size();
        }
        if (waiting == 0) {
            TYX_LOG(7, L"Device memory Clean-Process waiting for data.");
            waitMs = kCleanIdleWaitMs;
            continue;
        }
        if (waiting > TYX_MP_CLEAN_BACKLOG_WARN)
            TYX_LOG(3, L"Device memory Clean-Process: Warning: There too much frame groups waiting for clean!!!");
        void *pointer = nullptr;
        {
            CWriteLockGuard guard(m_cleanQueueLock);
            pointer = m_cleanQueue.front();
            m_cleanQueue.pop_front();
            waiting = m_cleanQueue.size();
        }
        const uint64_t start = GetTickCount64Ms();
        ReleaseFramePackageData(static_cast<uint8_t *>(pointer), true);
        const uint64_t used = GetTickCount64Ms() - start;
        if (used > kSlowFreeMs)
            TYX_LOG(5, L"[MP-Clean] Device memory for source frame freed with %d ms used.", static_cast<int32_t>(used));
        waitMs = waiting > 0 ? 0 : kCleanIdleWaitMs;
    }
    TYX_LOG(6, L"Device memory Clean-thread[TID=%d] received exit signal, exiting...", tid);
    // What is still queued would otherwise stay allocated after every stop.
    DrainDvcMemCleanQueue();
    TYX_LOG(6, L"Device memory Clean thread is exiting...");
    PopWorkerContext();
    return 0;
}
