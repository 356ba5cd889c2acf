// CVideoMuxWorker: the scaling (inter-processing), composition (post-processing) and clean-up
// threads on the task ring, and their priorities.

#include "vproc/VideoMuxWorker.h"

#include "core/I420Layout.h"
#include "core/Resize.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <thread>

namespace {

constexpr uint32_t kEmptyRingWaitMs = 100;
constexpr uint32_t kIdleScanWaitMs = 10;
constexpr uint32_t kNotScaledWaitMs = 5;
constexpr uint32_t kCleanIdleWaitMs = 5;
constexpr uint32_t kPostExitBadSize = 106;
constexpr int32_t kTimeCritical = 15;
constexpr int32_t kHighest = 2;
constexpr int32_t kClockTargets = 60; // output, second output, display and pipe slots
constexpr uint64_t kSlowScaleMs = 15;
constexpr uint64_t kSlowBlankMs = 10;
constexpr uint64_t kSlowBackupMs = 5;
constexpr uint64_t kSlowMuxMs = 15;

uint64_t ElapsedSince(uint64_t start)
{
    return GetTickCount64Ms() - start;
}

} // namespace

// ---- thread set-up ----

int32_t CVideoMuxWorker::StartPipelineThread(std::function<uint32_t()> body, const wchar_t *name)
{
    const int32_t tid = StartChildThread(std::move(body));
    if (tid < 0) {
        TYX_LOG(3, L"VMP-Muxer[WID=%d] %s Thread creating failed with lasterror=%d!", static_cast<int32_t>(m_workerId),
                name, -tid);
        if (m_screenOutput)
            ConsolePrintf("%ls Thread creating failed with error code= %d\n", name, -tid);
    }
    return tid;
}

void CVideoMuxWorker::StartThreads()
{
    m_postThreadId = StartPipelineThread([this] { return PostProcThread(); }, L"Mux-Post-Proc");
    m_cleanThreadTid = StartPipelineThread([this] { return CleanThread(); }, L"Mux-Clean-Proc");
    // A mux whose inputs all come later still needs threads to scale them.
    const int32_t inputs = std::max(GetInputLinkCount(), 1);
    for (int32_t i = 0; i < inputs * m_threadsPerInput; ++i) {
        const int32_t tid = StartPipelineThread([this] { return InterProcThread(); }, L"InterProc");
        if (tid > 0) {
            std::lock_guard<std::mutex> lock(m_interThreadsLock);
            m_interThreadIds.push_back(tid);
        }
    }
}

// ---- inter-processing ----

uint32_t CVideoMuxWorker::InterProcThread()
{
    if (!m_exitEvent)
        return 2;
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    const int tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"[Vmux-InterProc-thread] [TID=%d] started.", tid);
    while (!ExitRequested()) {
        if (m_ring.empty()) {
            m_exitEvent->Wait(kEmptyRingWaitMs);
            continue;
        }
        bool tookTask = false;
        for (auto &group : m_ring) {
            if (!group) {
                TYX_LOG(3, L"Fatal Error: [Vmux-InterProc-thread][Tid:%d]: NULL Task-ring pointer found!", tid);
                continue;
            }
            VisitGroupForScaling(*group, tookTask);
            if (ExitRequested()) {
                TYX_LOG(5, L"[Vmux-InterProc-thread] thread[TID=%d] received exit signal, exiting...", tid);
                break;
            }
        }
        // Idle threads rest instead of spinning over groups whose tasks others hold.
        if (!tookTask)
            m_exitEvent->Wait(kIdleScanWaitMs);
    }
    TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d] received exit signal, exiting...", tid);
    TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d] exited.", tid);
    PopWorkerContext();
    return 0;
}

bool CVideoMuxWorker::VisitGroupForScaling(stVFramesGroupInfo &group, bool &tookTask)
{
    const int tid = GetCurrentThreadIdInt();
    CReadLockGuard groupGuard(*group.groupLock);
    {
        CWriteLockGuard state(*group.stateLock);
        if (group.state == TYX_GROUP_READY)
            group.state = TYX_GROUP_SCALING;
        if (group.state != TYX_GROUP_SCALING)
            return false;
    }
    for (auto &entry : group.tasks) {
        if (!entry) {
            TYX_LOG(3, L"Fatal Error: [Vmux-InterProc-thread][Tid:%d]: NULL Task-item pointer found!", tid);
            return true;
        }
        stVFrameScaleInfo &task = *entry;
        {
            CWriteLockGuard taskGuard(*task.taskLock);
            if (task.state != TYX_TASK_READY)
                continue;
            TYX_LOG(7, L"[Vmux-InterProc-thread][TID=%d] got a new task(rgnNo=%d) from group(pts=%lld).", tid,
                    static_cast<int32_t>(task.regionIndex), static_cast<long long>(group.pts));
            task.state = TYX_TASK_SCALING;
            ProcessTask(group, task);
            TYX_LOG(7, L"[Vmux-InterProc-thread][TID=%d] finished a task in group(pts=%lld).", tid,
                    static_cast<long long>(group.pts));
            task.state = TYX_TASK_DONE;
            task.done = 1;
        }
        tookTask = true;
        CWriteLockGuard state(*group.stateLock);
        ++group.tasksDone;
        if (group.tasksDone >= group.tasks.size()) {
            group.state = TYX_GROUP_SCALED;
            return true;
        }
    }
    return true;
}

void CVideoMuxWorker::ProcessTask(stVFramesGroupInfo &group, stVFrameScaleInfo &task)
{
    const int tid = GetCurrentThreadIdInt();
    const int32_t length = task.srcLength;
    if (length >= 1 && (length < I420Length(task.srcWidth, task.srcHeight) || length > TYX_MAX_PACKAGE_BYTES)) {
        TYX_LOG(3, L"Error:[Vmux-InterProc-thread] [TID=%d] Invalid source frame size(%d) to be scaling, skip it!", tid,
                length);
        NoteTaskFailure(task.inputStreamId, true);
        MakeStatusPicture(group, task, 0);
        return;
    }
    if (task.scaledWidth < 1 || task.scaledHeight < 1) {
        TYX_LOG(3, L"Error:[Vmux-InterProc-thread][TID=%d] Invalid scaling destination frame size(scaleW=%d & ScaledH=%d), Gived up!",
                tid, task.scaledWidth, task.scaledHeight);
        return;
    }
    FramePackage backup;
    bool fromBackup = false;
    int32_t status = length < 0 ? length : 0;
    if (!task.source && length == 0) {
        TYX_LOG(7, L"[Vmux-InterProc-thread][TID=%d] In Group(pts=%lld), Input frame for VS=%d was marked as using last valid frame.",
                tid, static_cast<long long>(group.pts), task.inputStreamId);
        fromBackup = TakeBackupAsSource(task, backup);
        if (!fromBackup)
            status = HasBackupFrame(task.inputStreamId) ? TYX_SRC_WAIT_TIMEOUT : TYX_SRC_WAITING_INPUT;
    }
    if (!task.source) {
        TYX_LOG(7, L"[Vmux-InterProc-thread][TID=%d] In Group(pts=%lld), Input frame for VS=%d was marked error(%d), using default frame.",
                tid, static_cast<long long>(group.pts), task.inputStreamId, status);
        MakeStatusPicture(group, task, status);
        return;
    }
    const bool scaled = ScaleTaskSource(task);
    KeepAsBackup(task, fromBackup, backup);
    NoteTaskFailure(task.inputStreamId, !scaled);
    if (!scaled)
        MakeStatusPicture(group, task, 0);
}

bool CVideoMuxWorker::TakeBackupAsSource(stVFrameScaleInfo &task, FramePackage &backup)
{
    const uint64_t start = GetTickCount64Ms();
    if (DuplicateBackupFrame(task.inputStreamId, backup) != 0 || !backup.pData)
        return false;
    const uint64_t used = ElapsedSince(start);
    if (used > kSlowScaleMs)
        TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d]: Frame for Input(vsNo=%d) duplicated from backup with %d ms used.",
                GetCurrentThreadIdInt(), task.inputStreamId, static_cast<int32_t>(used));
    task.source = backup.pData;
    task.srcLength = backup.nLength;
    task.srcWidth = backup.width;
    task.srcHeight = backup.height;
    task.srcPitch = backup.width;
    task.srcInDevice = backup.inDevice;
    return true;
}

void CVideoMuxWorker::MakeStatusPicture(stVFramesGroupInfo &group, stVFrameScaleInfo &task, int32_t statusCode)
{
    (void)group;
    const int tid = GetCurrentThreadIdInt();
    const uint64_t start = GetTickCount64Ms();
    FramePackage blank;
    blank.width = static_cast<uint16_t>(task.scaledWidth);
    blank.height = static_cast<uint16_t>(task.scaledHeight);
    blank.inDevice = 1;
    const int32_t rc = CreateBlankVideoFrame(blank, m_bgColorYuv);
    if (rc <= 0) {
        TYX_LOG(3, L"Error:[Vmux-InterProc-thread][TID=%d]: Def input scaled frame creating failed with error=%d while Width=%d, Height=%d!",
                tid, rc, task.scaledWidth, task.scaledHeight);
        return;
    }
    if (ElapsedSince(start) > kSlowBlankMs)
        TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d]: Def frame for Input(vsNo=%d) Created. with %d ms used.", tid,
                task.inputStreamId, static_cast<int32_t>(ElapsedSince(start)));
    if (statusCode < 0) {
        const uint64_t drawStart = GetTickCount64Ms();
        if (DrawInputStatus(task.inputStreamId, blank, statusCode) == 1)
            TYX_LOG(3, L"[Vmux-InterProc-thread][TID=%d]: Scaling Source datalen(%d) indicated its error on the VS(%d), But relevant OSD not found!",
                    tid, statusCode, task.inputStreamId);
        else if (ElapsedSince(drawStart) > kSlowScaleMs)
            TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d]: Error/Info(%d) OSD drew on Def frame for Input(vsNo=%x). with %d ms used.",
                    tid, statusCode, static_cast<uint32_t>(task.inputStreamId), static_cast<int32_t>(ElapsedSince(drawStart)));
    }
    if (task.source) {
        ReleaseFramePackageData(task.source, task.srcInDevice != 0);
        task.source = nullptr;
    }
    task.scaled = blank.pData;
    task.scaledLength = blank.nLength;
    task.scaledInDevice = 1;
    task.srcLength = 0;
}

int32_t CVideoMuxWorker::ScalePackedI420(const stVFrameScaleInfo &task, uint8_t *&result)
{
    // Device sources are packed I420 already: they are scaled in place of the pitched copy that
    // ScaleFrameGPU makes of any source (same filter, same bytes).
    if (!task.srcInDevice)
        return CTYXUtils::ScaleFrameGPU(GpuDevice(), task.source, task.srcWidth, task.srcHeight, 0, false, &result,
                                        task.scaledWidth, task.scaledHeight, true);
    const int32_t w = task.srcWidth;
    const int32_t h = task.srcHeight;
    const int32_t width = task.scaledWidth;
    const int32_t height = task.scaledHeight;
    FramePackage scaled;
    scaled.inDevice = 1;
    const int32_t length = I420Length(width, height);
    if (AllocFramePackageData(scaled, length) != length)
        return -1;
    uint8_t *dst = scaled.pData;
    const uint8_t *src = task.source;
    const int32_t rc = ScaleYuv420InDvc(dst, dst + I420UOffset(width, height), dst + I420VOffset(width, height), width,
                                        static_cast<int32_t>(I420ChromaPitch(width)), width, height, src,
                                        src + I420UOffset(w, h), src + I420VOffset(w, h), w,
                                        static_cast<int32_t>(I420ChromaPitch(w)), w, h);
    if (rc != 0) {
        ReleaseFramePackageData(dst, true);
        return -3;
    }
    result = dst;
    return length;
}

bool CVideoMuxWorker::ScaleTaskSource(stVFrameScaleInfo &task)
{
    const int tid = GetCurrentThreadIdInt();
    if (task.srcLength <= 0) {
        TYX_LOG(3, L"Error:[Vmux-InterProc-thread][TID=%d]: Invalid source frame data size(%d)!  Gived up!", tid,
                task.srcLength);
        return false;
    }
    task.scaledLength = task.srcLength;
    if (task.srcWidth == task.scaledWidth && task.srcHeight == task.scaledHeight) {
        // Already the window's size: the picture itself is shown.
        task.scaled = task.source;
        task.scaledInDevice = task.srcInDevice;
        return true;
    }
    const uint64_t start = GetTickCount64Ms();
    uint8_t *result = nullptr;
    const int32_t rc = ScalePackedI420(task, result);
    if (rc != I420Length(task.scaledWidth, task.scaledHeight)) {
        TYX_LOG(3, L"Error:[Vmux-InterProc-thread][TID=%d] Scaling failed with invalid scaled frame size(%d) returned! While(scaleW=%d & ScaledH=%d)",
                tid, rc, task.scaledWidth, task.scaledHeight);
        if (result)
            ReleaseFramePackageData(result, true);
        task.scaledLength = 0;
        return false;
    }
    if (ElapsedSince(start) > kSlowScaleMs)
        TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d]: Frame Scaled with %d ms used.", tid,
                static_cast<int32_t>(ElapsedSince(start)));
    task.scaled = result;
    task.scaledLength = rc;
    task.scaledInDevice = 1;
    return true;
}

void CVideoMuxWorker::KeepAsBackup(stVFrameScaleInfo &task, bool fromBackup, FramePackage &backup)
{
    const bool shared = task.scaled == task.source;
    if (fromBackup) {
        if (!shared)
            ReleaseFramePackageData(task.source, task.srcInDevice != 0);
        ClearFramePackage(backup);
        task.source = nullptr;
        return;
    }
    const uint64_t start = GetTickCount64Ms();
    FramePackage picture;
    picture.pData = task.source;
    picture.nLength = task.srcLength;
    picture.width = static_cast<uint16_t>(task.srcWidth);
    picture.height = static_cast<uint16_t>(task.srcHeight);
    picture.inDevice = task.srcInDevice;
    picture.kind = TYX_PKT_KIND_RAW_VIDEO;
    picture.mediaType = TYX_MEDIA_VIDEO;
    if (shared) {
        FramePackage copy;
        copy.inDevice = picture.inDevice;
        if (DuplicateFramePackage(copy, picture) > 0)
            ReplaceBackupFrame(task.inputStreamId, copy, NowUs());
    } else {
        ReplaceBackupFrame(task.inputStreamId, picture, NowUs());
    }
    if (ElapsedSince(start) > kSlowBackupMs)
        TYX_LOG(5, L"[Vmux-InterProc-thread][TID=%d]: Backup frame for Input(vsNo=%d) Updated with %d ms used.",
                GetCurrentThreadIdInt(), task.inputStreamId, static_cast<int32_t>(ElapsedSince(start)));
    task.source = nullptr;
}

void CVideoMuxWorker::NoteTaskFailure(int32_t inputStreamId, bool failed)
{
    std::lock_guard<std::mutex> lock(m_failureLock);
    if (failed && m_failedInputs.insert(inputStreamId).second)
        TYX_LOG(3, L"VMP-Muxer[WID=%d] pictures of input(%x) cannot be scaled, its window stays blank.",
                static_cast<int32_t>(m_workerId), static_cast<uint32_t>(inputStreamId));
    else if (!failed && m_failedInputs.erase(inputStreamId) != 0)
        TYX_LOG(3, L"VMP-Muxer[WID=%d] pictures of input(%x) are scaled again.", static_cast<int32_t>(m_workerId),
                static_cast<uint32_t>(inputStreamId));
}

// ---- post-processing ----

uint32_t CVideoMuxWorker::PostProcThread()
{
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    const int tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"[Vmux-PostProc-thread][TID=%d] started.", tid);
    uint32_t exitCode = 0;
    size_t index = 0;
    while (!ExitRequested() && index < m_ring.size() && m_ring[index]) {
        stVFramesGroupInfo &group = *m_ring[index];
        int32_t state = 0;
        {
            CReadLockGuard guard(*group.groupLock);
            state = group.GetState();
        }
        if (state != TYX_GROUP_SCALED) {
            TYX_LOG(7, L"[Vmux-PostProc-thread] The %d group[State=%d] was not scaled.", group.ringNo, state);
            m_exitEvent->Wait(kNotScaledWaitMs);
            continue;
        }
        {
            CWriteLockGuard guard(*group.groupLock);
            if (m_layoutChanging) {
                group.SetState(TYX_GROUP_DROPPED);
            } else {
                group.SetState(TYX_GROUP_COMPOSING);
                if (ComposeGroup(group) == static_cast<int32_t>(kPostExitBadSize))
                    exitCode = kPostExitBadSize;
            }
            HandOverToCleanThread(group);
        }
        if (exitCode != 0)
            break;
        index = (index + 1) % m_ring.size();
    }
    TYX_LOG(6, L"[Vmux-PostProc-thread][TID=%d] received exit signal, exiting...", tid);
    TYX_LOG(6, L"[Vmux-PostProc-thread] thread is exiting...");
    PopWorkerContext();
    return exitCode;
}

bool CVideoMuxWorker::FillComposerSlots(stVFramesGroupInfo &group, std::vector<stMuxInputSlot *> &slots)
{
    for (size_t i = 0; i < group.tasks.size(); ++i) {
        stVFrameScaleInfo &task = *group.tasks[i];
        stMuxInputSlot *slot = m_muxer.FindSlot(static_cast<uint16_t>(i));
        if (!slot)
            return false;
        slot->lock->LockWrite();
        slots.push_back(slot);
        if (!task.scaled && I420Length(task.scaledWidth, task.scaledHeight) > 0) {
            TYX_LOG(3, L"[Vmux-PostProc-thread] NULL input frame pointer found in group(%lld)!",
                    static_cast<long long>(group.pts));
            return false;
        }
        slot->inDevice = task.scaledInDevice;
        slot->picture = task.scaled;
        slot->length = task.scaledLength;
        slot->width = static_cast<uint16_t>(task.scaledWidth);
        slot->height = static_cast<uint16_t>(task.scaledHeight);
        TYX_LOG(8, L"[Vmux-PostProc-thread]Input frame for mux region %d was set.", static_cast<int32_t>(i + 1));
    }
    return true;
}

int32_t CVideoMuxWorker::ComposeGroup(stVFramesGroupInfo &group)
{
    const int tid = GetCurrentThreadIdInt();
    const size_t windows = m_windowCount;
    // Tasks scaled for another layout would be composed into windows of another size.
    bool fits = group.tasks.size() == windows;
    for (size_t i = 0; fits && i < windows; ++i) {
        stMuxRegion region;
        fits = m_muxer.GetRegion(static_cast<uint16_t>(i), region) && region.width == group.tasks[i]->scaledWidth &&
               region.height == group.tasks[i]->scaledHeight;
    }
    if (!fits) {
        TYX_LOG(5, L"[Vmux-PostProc-thread]: Skip current group for ring length is smaller than region count.");
        return 0;
    }
    if (m_outputFrameSize <= 0) {
        TYX_LOG(3, L"[Vmux-PostProc-thread][Tid:%d] Invalid output frame size found(%d)!", tid, m_outputFrameSize);
        return static_cast<int32_t>(kPostExitBadSize);
    }
    int32_t composed = -1;
    {
        CReadLockGuard regionGuard(m_muxer.RegionLock());
        CReadLockGuard slotGuard(m_muxer.SlotLock());
        std::vector<stMuxInputSlot *> slots;
        const bool filled = FillComposerSlots(group, slots);
        FramePackage output;
        output.inDevice = 1;
        const uint64_t start = GetTickCount64Ms();
        if (filled && AllocFramePackageData(output, m_outputFrameSize) <= 0) {
            TYX_LOG(3, L"[Vmux-PostProc-thread][Tid:%d] GPU memory allocing failed with error(%d) returned!", tid,
                    GPU_ERROR_MEMORY_ALLOCATION);
            HandleGPUCriticalError(GPU_ERROR_MEMORY_ALLOCATION, L"[Vmux-PostProc-thread]");
        } else if (filled) {
            if (ElapsedSince(start) > kSlowBlankMs)
                TYX_LOG(5, L"[Vmux-PostProc-thread] Device memory for OutputFrame alloced with %d ms used.",
                        static_cast<int32_t>(ElapsedSince(start)));
            group.outputFrame = output.pData;
            group.outputLength = output.nLength;
            const uint64_t muxStart = GetTickCount64Ms();
            {
                CWriteLockGuard canvas(m_muxer.CanvasLock());
                composed = m_muxer.DoMuxing(group.outputFrame);
            }
            if (ElapsedSince(muxStart) > kSlowMuxMs)
                TYX_LOG(5, L"[Vmux-PostProc-thread] Finish muxing(pts=%lld). with %d ms used.",
                        static_cast<long long>(group.pts), static_cast<int32_t>(ElapsedSince(muxStart)));
        }
        // The slots must not point at pictures the clean-up thread is about to free.
        for (stMuxInputSlot *slot : slots) {
            slot->picture = nullptr;
            slot->length = 0;
            slot->lock->UnlockWrite();
        }
    }
    if (composed < 0 || !group.outputFrame)
        return 0;
    group.muxed = true;
    SendComposedFrame(group);
    return 0;
}

void CVideoMuxWorker::SendComposedFrame(stVFramesGroupInfo &group)
{
    FramePackage package;
    package.pData = group.outputFrame;
    package.nLength = group.outputLength;
    package.width = m_canvasWidth;
    package.height = m_canvasHeight;
    package.pts = group.pts;
    package.dts = 0;
    package.duration = m_frameDuration;
    package.inDevice = m_outputOnDevice;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.format = 0;
    package.streamIndex = 0;
    (void)PrepareTimeOsdInNeed(group.pts, kClockTargets);
    (void)DrawOverlaysOnFrame(package, TYX_OVERLAY_OUTPUT, 0);
    (void)PushFrameToDirectOutputs(package, 0);
    TYX_LOG(7, L"[Vmux-PostProc-thread] Pusing muxed frame to every consumers.");
    bool handedOver = false;
    (void)SendPaket2Consumers(handedOver, package, true, true, m_workerId + 1);
    if (!handedOver)
        FreeFramePackage(package);
    group.outputFrame = nullptr;
    group.outputLength = 0;
    const int32_t pushed = ++m_framesPushed;
    TYX_LOG(7, L"[Vmux-PostProc-thread]: The %d th muxed frame[pts=%lld] pushed to downstream.", pushed,
            static_cast<long long>(group.pts));
    if (m_firstFrameTick == 0)
        m_firstFrameTick = GetTickCount64Ms();
    const uint64_t seconds = ElapsedSince(m_firstFrameTick) / 1000;
    if (seconds > 0) {
        m_framesPerSecond = static_cast<double>(pushed) / static_cast<double>(seconds);
        UpdateStatistics(false, m_workerId + 1,
                         [this](stStreamStatistics &entry) { entry.fps = static_cast<float>(m_framesPerSecond); });
    }
}

void CVideoMuxWorker::HandOverToCleanThread(stVFramesGroupInfo &group)
{
    std::unique_ptr<stVFramesGroupInfo> copy = group.TakeOver();
    {
        CWriteLockGuard guard(m_cleanGroupLock);
        m_cleanGroups.push_back(std::move(copy));
    }
    TYX_LOG(7, L"[Vmux-PostProc-thread]finished group was pushed to clean-up thread.");
}

size_t CVideoMuxWorker::GetCleanQueueLength()
{
    CReadLockGuard guard(m_cleanGroupLock);
    return m_cleanGroups.size();
}

// ---- clean-up ----

void CVideoMuxWorker::CleanGroup(stVFramesGroupInfo &group)
{
    if (group.outputFrame) {
        ReleaseFramePackageData(group.outputFrame, true);
        group.outputFrame = nullptr;
    }
    for (auto &task : group.tasks) {
        if (!task)
            continue;
        CWriteLockGuard guard(*task->taskLock);
        task->state = TYX_TASK_CLEANED;
        task->Reset(true);
    }
    TYX_LOG(7, L"[VMux-Clean-thread] group(pts=%lld) cleaned.", static_cast<long long>(group.pts));
}

uint32_t CVideoMuxWorker::CleanThread()
{
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    const int tid = GetCurrentThreadIdInt();
    TYX_LOG(6, L"[VMux-Clean-thread][TID=%d] started.", tid);
    while (!ExitRequested()) {
        std::unique_ptr<stVFramesGroupInfo> group;
        size_t waiting = 0;
        {
            CReadLockGuard guard(m_cleanGroupLock);
            waiting = m_cleanGroups.size();
        }
        if (waiting == 0) {
            TYX_LOG(7, L"VMux-Clean-thread waiting for data.");
            m_exitEvent->Wait(kCleanIdleWaitMs);
            continue;
        }
        if (waiting > TYX_MP_CLEAN_BACKLOG_WARN)
            TYX_LOG(3, L"[VMux-Clean-thread]: Warning: There too much frame groups waiting for clean!!!");
        {
            CWriteLockGuard guard(m_cleanGroupLock);
            group = std::move(m_cleanGroups.front());
            m_cleanGroups.pop_front();
        }
        CleanGroup(*group);
    }
    TYX_LOG(6, L"[VMux-Clean-thread][TID=%d] received exit signal, exiting...", tid);
    // Groups still queued would otherwise stay allocated after every stop.
    std::deque<std::unique_ptr<stVFramesGroupInfo>> left;
    {
        CWriteLockGuard guard(m_cleanGroupLock);
        left.swap(m_cleanGroups);
    }
    for (auto &group : left)
        CleanGroup(*group);
    TYX_LOG(6, L"[VMux-Clean-thread] is exiting...");
    PopWorkerContext();
    return 0;
}

void CVideoMuxWorker::FreeRing()
{
    for (auto &group : m_ring) {
        if (group)
            group->Reset(true);
    }
    m_ring.clear();
    std::deque<std::unique_ptr<stVFramesGroupInfo>> left;
    {
        CWriteLockGuard guard(m_cleanGroupLock);
        left.swap(m_cleanGroups);
    }
    left.clear();
    std::lock_guard<std::mutex> lock(m_interThreadsLock);
    m_interThreadIds.clear();
}

// ---- priorities ----

void CVideoMuxWorker::SetChildPriorityAffinity(int32_t tid, int32_t priority, uint64_t mask, const wchar_t *label,
                                               bool perThreadId)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    int priorityRc = -ESRCH;
    int affinityRc = -ESRCH;
    uint64_t oldMask = 0;
    {
        std::lock_guard<std::mutex> lock(m_childMutex);
        const auto found = m_childThreads.find(tid);
        if (found != m_childThreads.end() && found->second) {
            priorityRc = found->second->SetPriority(priority);
            (void)found->second->GetAffinity(oldMask);
            affinityRc = found->second->SetAffinity(mask);
        }
    }
    const wchar_t *level = priority == kTimeCritical ? L"TIME_CRITICAL" : L"HIGHEST";
    if (priorityRc == 0)
        TYX_LOG(7, L"Worker[WID=%d] %s Thread priority was set to %s!", wid, label, level);
    else
        TYX_LOG(3, L"MidProc[WID=%d] %s Thread priority setting failed with lasterror=%d!", wid, label, -priorityRc);
    if (affinityRc == 0 && perThreadId)
        TYX_LOG(7, L"Worker[WID=%d] %s-Thread[ID=%d] Affinity was set from %lld to %lld!", wid, label, tid,
                static_cast<long long>(oldMask), static_cast<long long>(mask));
    else if (affinityRc == 0)
        TYX_LOG(7, L"Worker[WID=%d] %s-Thread Affinity was set from %lld to %lld!", wid, label,
                static_cast<long long>(oldMask), static_cast<long long>(mask));
    else
        TYX_LOG(3, L"Worker[WID=%d] %s-Thread Affinity setting failed with lasterror=%d!", wid, label, -affinityRc);
}

void CVideoMuxWorker::SetThreadsPriorityAffinity(int32_t priority, uint64_t affinityMask)
{
    // Processors past the 64 a mask covers, or fewer than two, fold onto the ones there are.
    const int32_t processors = std::clamp(static_cast<int32_t>(std::thread::hardware_concurrency()), 1, 64);
    const uint64_t mainMask = uint64_t{1} << (processors - 1);
    const uint64_t postMask = uint64_t{1} << std::max(processors - 2, 0);
    CTYXWorker::SetThreadsPriorityAffinity(priority, mainMask);
    SetChildPriorityAffinity(m_postThreadId, kTimeCritical, postMask, L"Mux-Post-Proc", false);
    SetChildPriorityAffinity(m_cleanThreadTid, kHighest, affinityMask, L"Mux-Clean", false);
    std::vector<int32_t> inter;
    {
        std::lock_guard<std::mutex> lock(m_interThreadsLock);
        inter = m_interThreadIds;
    }
    for (int32_t tid : inter)
        SetChildPriorityAffinity(tid, kTimeCritical, affinityMask, L"InterProc", true);
}
