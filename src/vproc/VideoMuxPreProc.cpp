// CVideoMuxWorker: the pre-processing thread, which groups one package per input by time stamp,
// makes up the missing ones, stamps the group at the output rate and hands it to the task ring.

#include "vproc/VideoMuxWorker.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <limits>
#include <set>

namespace {

constexpr int32_t kRetryWaitMs = 20;
constexpr int32_t kStampRetryWaitMs = 5;
constexpr int64_t kLateWaitUs = 16000;
constexpr uint32_t kEmptyInputStepMs = 10;
constexpr uint32_t kLateInputStepMs = 6;
constexpr uint32_t kSlotCheckMs = 1;
constexpr uint64_t kSlotWaitMs = 31;
constexpr uint64_t kSlowPassMs = 14;
constexpr int32_t kMinChildWaitMs = 2000;
constexpr int32_t kNoLayoutWait = 20;

int64_t SteadyUs()
{
    return static_cast<int64_t>(GetTickCount64Ms()) * 1000;
}

} // namespace

bool CVideoMuxWorker::ExitRequested() const
{
    return m_exitEvent->IsSet();
}

uint32_t CVideoMuxWorker::WorkingFunc()
{
    TYX_LOG(5, L"[VMux-PreProc-Thread] Muxing thread Starting...");
    TYX_LOG(5, L"[VMux-PreProc-Thread]: Thread started.");
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    m_pace = MuxOutputPace(MuxOutputRate(m_configuredFrameRate, CTYXGVMS::NegotiatedInputFrameRate().load()));
    m_outputFrameRate = MuxPaceFrameRate(m_pace);
    m_frameDuration = m_pace.duration;
    int32_t waitMs = 0;
    for (;;) {
        if (m_exitEvent->Wait(static_cast<uint32_t>(waitMs)) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(5, L"[VMux-PreProc-Thread]:Thread Recieved exit signal....");
            break;
        }
        if (m_layoutChanging || m_ring.empty()) {
            waitMs = kNoLayoutWait;
            continue;
        }
        if (m_firstPass) {
            (void)PopPaketsFromInputQueue(true, true, 0, 0);
            VSAvgDelay = 300;
            m_firstPass = false;
        }
        waitMs = RunPreProcPass();
        if (waitMs < 0)
            break;
    }
    TYX_LOG(5, L"[VMux-PreProc-Thread] Thread exiting...");
    const uint16_t ended = WaitOtherThreadsExit(std::max(m_stopBudget / 2, kMinChildWaitMs));
    TYX_LOG(5, L"[VMux-PreProc-Thread]: %d internal Threads exited normally.", static_cast<int32_t>(ended));
    PopWorkerContext();
    return 0;
}

// ---- one pass ----

int32_t CVideoMuxWorker::RunPreProcPass()
{
    TYX_LOG(7, L"[VMux-PreProc-Thread] Start checking & received frames from input queques...");
    const uint64_t passStart = GetTickCount64Ms();
    const int32_t early = WaitForNextSlot();
    if (early > 0)
        return early;
    MuxPacketMap frames;
    int64_t largestPts = 0;
    int64_t slot = 0;
    stPacketGroupFacts facts;
    int32_t waitMs = 0;
    if (!GatherGroup(frames, largestPts, slot, facts, waitMs))
        return waitMs;
    int64_t stamp = 0;
    if (!StampGroup(frames, largestPts, slot, stamp, waitMs))
        return waitMs;
    const uint32_t count = ++m_groupsProduced;
    if (count % 300 == 0 && count <= 9000)
        TYX_LOG(6, L"[VMux-PreProc-Thread]: The %d th group[predict pts=%lld] needed input frames retrieved..",
                static_cast<int32_t>(count), static_cast<long long>(stamp));
    TYX_LOG(7, L"[VMux-PreProc-Thread]: All needed input frames received.");

    stVFramesGroupInfo *group = nullptr;
    const int32_t free = WaitForFreeSlot(group);
    if (free != 0) {
        DiscardPackages(frames);
        return free < 0 ? -1 : 0;
    }
    if (FillGroup(*group, frames, stamp, waitMs) != 0)
        return waitMs;
    m_outputClock.slot = slot;
    FollowInputs(facts, stamp);

    m_lastPushTime = NowUs();
    if (m_firstGroupTick == 0)
        m_firstGroupTick = GetTickCount64Ms();
    const uint64_t seconds = (GetTickCount64Ms() - m_firstGroupTick) / 1000;
    if (seconds > 0)
        m_groupsPerSecond = static_cast<float>(count) / static_cast<float>(seconds);
    const uint64_t used = GetTickCount64Ms() - passStart;
    if (used > kSlowPassMs)
        TYX_LOG(7, L"[pre-Mux thread] A new frame group Ready for scaling  with [%d] ms used, average speed=%3.2f ms/Frame.",
                static_cast<int32_t>(used), m_groupsPerSecond > 0 ? 1000.0 / m_groupsPerSecond : 0.0);
    return 0;
}

int32_t CVideoMuxWorker::WaitForNextSlot()
{
    if (m_outputClock.originPts == 0)
        return 0;
    const int64_t now = NowUs();
    // Slots are due on the program clock: after a step back of it the next one would be due only
    // once the clock had made up the step, and the output would stand still that long.
    if (m_lastPushTime != 0 && now < m_lastPushTime - m_frameDuration) {
        const int64_t step = m_lastPushTime - now;
        TYX_LOG(3, L"[VMux-PreProc-Thread]: The program clock went back by %lld us at [%lld]: the output clock goes on from there, its stamps rising.",
                static_cast<long long>(step), static_cast<long long>(now));
        MuxClockSteppedBack(m_outputClock, m_pace, now, step);
        m_lastPushTime = now;
        // Silences are measured from the step on.
        std::vector<int32_t> inputs;
        {
            CReadLockGuard links(m_inputLinks.Lock());
            for (const auto &[id, link] : m_inputLinks.Items())
                inputs.push_back(static_cast<int32_t>(id));
        }
        const auto fromNow = [now](stMPInputState &state) {
            state.lastPacketTime = std::min(state.lastPacketTime, now);
        };
        for (int32_t id : inputs)
            UpdateInputState(id, fromNow);
    }
    const int64_t due = MuxSlotDueTime(m_outputClock, m_pace, m_outputClock.slot + 1);
    m_nextGroupDue = due;
    const int64_t early = due - now;
    return early > 0 ? static_cast<int32_t>(std::min<int64_t>((early + 999) / 1000, kNoLayoutWait)) : 0;
}

bool CVideoMuxWorker::GatherGroup(MuxPacketMap &frames, int64_t &largestPts, int64_t &slot, stPacketGroupFacts &facts,
                                  int32_t &waitMs)
{
    std::vector<int32_t> inUse;
    MuxPacketMap taken;
    std::vector<int32_t> emptyInputs;
    int64_t average = 0;
    size_t expected = 0;
    const bool first = m_outputClock.originPts == 0;
    {
        CReadLockGuard links(m_inputLinks.Lock());
        (void)GetMuxUsingVsIdInList(inUse);
        if (!first && !m_outputClock.onPictures && !AnchorOnPictures(inUse, waitMs))
            return false;
        stPacketGroupRequest request;
        // A picture more than half a frame older than the slot may have a nearer one coming.
        request.tolerance = m_frameDuration / 2;
        request.emptyWaitUs = m_frameDuration;
        request.lateWaitUs = kLateWaitUs;
        if (!first) {
            // The group fills the latest slot due and takes what each input has nearest its stamp.
            // Waiting for inputs ends half a frame after the slot is due, so that the group keeps it.
            const int64_t now = NowUs();
            slot = MuxSlotAt(m_outputClock, m_pace, now);
            request.expectedPts = MuxSlotPts(m_outputClock, m_pace, slot);
            const int64_t left = MuxSlotDueTime(m_outputClock, m_pace, slot) + m_frameDuration / 2 - now;
            request.emptyWaitUs = std::clamp<int64_t>(left, 0, m_frameDuration);
            request.lateWaitUs = std::clamp<int64_t>(left, 0, kLateWaitUs);
        }
        request.takeOwnership = true;
        average = RetrieveNextPaketGroup(inUse, request, taken, emptyInputs, &facts);
        expected = inUse.empty() ? m_inputLinks.Items().size() : inUse.size();
    }
    TYX_LOG(taken.empty() ? 6 : 5, L"Pre-Mux-Proc: %d pakets retrieved with their averge pts=[%lld].",
            static_cast<int32_t>(taken.size()), static_cast<long long>(average));
    if (average == -8) {
        DiscardPackages(taken);
        waitMs = -1;
        return false;
    }
    // A failing retrieval lasts (a mux without inputs until one is added): logged when it begins
    // and when it ends, not every 20 ms.
    if (average != m_retrieveError && m_retrieveError < 0)
        TYX_LOG(3, L"Pre-Mux-Proc: Error(%lld) in pakets group retrieving ended after %u passes.",
                static_cast<long long>(m_retrieveError), m_retrieveErrorPasses);
    if (average < 0) {
        if (average != m_retrieveError) {
            TYX_LOG(3, L"Pre-Mux-Proc: Error(%lld) occured in pakets group retrieving!", static_cast<long long>(average));
            m_retrieveErrorPasses = 0;
        }
        m_retrieveError = average;
        ++m_retrieveErrorPasses;
        DiscardPackages(taken);
        waitMs = kRetryWaitMs;
        return false;
    }
    m_retrieveError = 0;
    if (taken.size() + emptyInputs.size() != expected)
        TYX_LOG(3, L"Pre-Mux-Proc:Error: [%d] pakets retrieved and size-of-emptyVSList is [%d], but size-of-VsIdInUsingList is [%d]!",
                static_cast<int32_t>(taken.size()), static_cast<int32_t>(emptyInputs.size()),
                static_cast<int32_t>(expected));
    if (taken.empty() && emptyInputs.empty()) {
        TYX_LOG(3, L"Pre-Mux-Proc: Error: Both the strmID2PaketMap and emptyVSList are empty!");
        waitMs = kRetryWaitMs;
        return false;
    }
    if (first)
        AnchorFirstGroup(facts);
    largestPts = 0;
    for (const auto &[id, package] : taken) {
        if (package.nLength > 0 && package.pts > largestPts)
            largestPts = package.pts;
    }
    TYX_LOG(7, L"Pre-Mux-Proc: making-up pakets for error or empty streams...");
    const int32_t madeUp = MakeupPaketsGroup(taken, emptyInputs, frames);
    TYX_LOG(7, L"Pre-Mux-Proc: %d pakets madeup for error or empty streams.", madeUp);
    return true;
}

// The first group went by the inputs' own stamps (the smallest of their newest): its stamp sets the
// grid's phase. Without a picture the grid starts a frame behind the clock until pictures come.
void CVideoMuxWorker::AnchorFirstGroup(const stPacketGroupFacts &facts)
{
    const int64_t now = NowUs();
    const int64_t latest = now - TYX_MUX_LEAST_LAG_US;
    const bool pictures = facts.expectedPts > 0 && !facts.newestPts.empty();
    const int64_t phase = pictures ? std::min(facts.expectedPts, latest) : now - m_frameDuration;
    MuxAnchorClock(m_outputClock, m_pace, phase, now, 0);
    m_outputClock.onPictures = pictures;
}

bool CVideoMuxWorker::AnchorOnPictures(const std::vector<int32_t> &inUse, int32_t &waitMs)
{
    std::vector<int32_t> inputs = inUse;
    if (inputs.empty()) {
        for (const auto &[id, link] : m_inputLinks.Items())
            inputs.push_back(static_cast<int32_t>(id));
    }
    const int64_t newest = SlowestInputsNewestPts(inputs, false);
    if (newest <= 0)
        return true;
    const int64_t now = NowUs();
    const int64_t phase = std::min(newest, now + m_outputClock.steppedBack - TYX_MUX_LEAST_LAG_US);
    MuxAnchorClock(m_outputClock, m_pace, phase, now, m_lastPushedPts);
    m_outputClock.onPictures = true;
    const int64_t due = MuxSlotDueTime(m_outputClock, m_pace, m_outputClock.slot + 1);
    TYX_LOG(5, L"[VMux-PreProc-Thread]: The output clock takes its phase from the first pictures(pts=%lld): the next group is due at [%lld], at[%lld].",
            static_cast<long long>(phase), static_cast<long long>(due), static_cast<long long>(now));
    if (due <= now)
        return true;
    // The pictures are older than the stamps already given: the output waits until they are due.
    m_nextGroupDue = due;
    waitMs = static_cast<int32_t>(std::min<int64_t>((due - now + 999) / 1000, kNoLayoutWait));
    return false;
}

bool CVideoMuxWorker::StampGroup(MuxPacketMap &frames, int64_t largestPts, int64_t slot, int64_t &stamp,
                                 int32_t &waitMs)
{
    const int64_t expected = m_lastPushedPts == 0 ? 0 : m_lastPushedPts + m_frameDuration;
    const int64_t now = NowUs();
    // The slot's stamp: the grid's phase and lag come from the inputs' pictures, so the pictures
    // in the group keep the times they were read or received.
    const int64_t candidate = MuxSlotPts(m_outputClock, m_pace, slot);
    TYX_LOG(5, L"[%s:%x]: Calculated Timestamp is [%lld] (Drtn=%d) at [%lld], [%d]us behind. while ExpectedTS=[%lld][Drtn=%d].",
            m_name.c_str(), m_workerId, static_cast<long long>(candidate), m_frameDuration, static_cast<long long>(now),
            static_cast<int32_t>(now - candidate), static_cast<long long>(expected), m_frameDuration);
    if (m_lastPushedPts == 0)
        TYX_LOG(3, L"[%s:%x][VMux-PreProc] The first Calculated Timestamp [%lld] returned at time[%lld].",
                m_name.c_str(), m_workerId, static_cast<long long>(candidate), static_cast<long long>(now));
    // The clock as it ran before any step back, which the grid still follows.
    const int64_t wallclock = now + m_outputClock.steppedBack;
    if (candidate >= wallclock || candidate <= m_lastPushedPts) {
        if (candidate >= wallclock)
            TYX_LOG(3, L"[VMux-PreProc]: The new calculated Paket Timstamp[%lld] >= WallclockTime[%lld]! while PktsGroupAvgPts=[%lld] and nExpectedTimestamp=[%lld]",
                    static_cast<long long>(candidate), static_cast<long long>(wallclock), static_cast<long long>(largestPts),
                    static_cast<long long>(expected));
        else
            TYX_LOG(3, L"[VMux-PreProc]: The new calculated Paket Timstamp[%lld] <= the previous pushed one[%lld]!\n While nExpectedTS=[%lld] and nPktsGroupAvgPts=[%lld]",
                    static_cast<long long>(candidate), static_cast<long long>(m_lastPushedPts),
                    static_cast<long long>(expected), static_cast<long long>(largestPts));
        DiscardPackages(frames);
        waitMs = kStampRetryWaitMs;
        return false;
    }
    stamp = candidate;
    return true;
}

void CVideoMuxWorker::FollowInputs(const stPacketGroupFacts &facts, int64_t stamp)
{
    if (facts.newestPts.empty())
        return;
    int64_t reach = std::numeric_limits<int64_t>::max();
    for (const auto &[id, newest] : facts.newestPts)
        reach = std::min(reach, newest - stamp);
    const int64_t move = MuxNoteInputReach(m_outputClock, m_pace, reach);
    if (move != 0)
        TYX_LOG(5, L"[VMux-PreProc-Thread]: The output clock moved its due times by [%lld]us to meet its inputs' pictures, now [%lld]us behind.",
                static_cast<long long>(move), static_cast<long long>(MuxClockLag(m_outputClock)));
}

int32_t CVideoMuxWorker::WaitForFreeSlot(stVFramesGroupInfo *&slot)
{
    stVFramesGroupInfo *group = m_ring[m_writeIndex].get();
    const uint64_t start = GetTickCount64Ms();
    for (;;) {
        const int32_t state = group->GetState();
        if (state == TYX_GROUP_FREE || state == TYX_GROUP_GIVEN_UP)
            break;
        if (GetTickCount64Ms() - start >= kSlotWaitMs) {
            if (!m_ringFullLogged)
                TYX_LOG(5, L"[VMux-PreProc-Thread]: Output list for inter-proc is full, discard current frames group.");
            m_ringFullLogged = true;
            return 1;
        }
        if (m_exitEvent->Wait(kSlotCheckMs) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(5, L"[VMux-PreProc-Thread]: Thread Recieved exit signal....");
            return -1;
        }
    }
    if (m_ringFullLogged)
        TYX_LOG(5, L"[VMux-PreProc-Thread]: Output list for inter-proc recovered.");
    m_ringFullLogged = false;
    slot = group;
    return 0;
}

int32_t CVideoMuxWorker::FillGroup(stVFramesGroupInfo &group, MuxPacketMap &frames, int64_t stamp, int32_t &waitMs)
{
    const auto windows = static_cast<int32_t>(m_windowCount.load());
    CWriteLockGuard groupGuard(*group.groupLock);
    group.Reset(false);
    const auto packages = static_cast<int32_t>(frames.size());
    if (m_lastPushedPts == 0) {
        m_outputStartTime = stamp;
        TYX_LOG(5, L"Pre-Mux-Proc: The calculated output-stream-start-time is [%lld], at[%lld]. with VSAvgDelay=[%d]ms and Duration=[%d]us.",
                static_cast<long long>(stamp), static_cast<long long>(NowUs()), VSAvgDelay, m_frameDuration);
    }
    if (ExitRequested()) {
        TYX_LOG(5, L"[VMux-PreProc-Thread]: Thread Recieved exit signal....");
        DiscardPackages(frames);
        waitMs = -1;
        return -1;
    }
    std::map<int16_t, FramePackage> byRegion;
    {
        CReadLockGuard regions(m_regionMapLock);
        for (auto &[id, package] : frames) {
            const auto found = m_inputRegions.find(id);
            if (found == m_inputRegions.end() || found->second < 1 || found->second > windows ||
                byRegion.count(found->second) != 0) {
                if (found == m_inputRegions.end())
                    TYX_LOG(3, L"Pre-Mux-Proc:[WID=%d] failed while mpvMatrix->UpdateInputFrame.",
                            static_cast<int32_t>(m_workerId));
                DiscardPackage(package);
                continue;
            }
            byRegion[found->second] = package;
            ClearFramePackage(package);
        }
    }
    frames.clear();
    std::set<int16_t> unmapped;
    for (int16_t region = 1; region <= windows; ++region) {
        if (byRegion.count(region) == 0)
            unmapped.insert(region);
    }
    // Windows without an input show "Input not used." and unshown inputs were left out above.
    NoteWindowsWithoutInputs(packages, windows, unmapped);
    for (int16_t region : unmapped) {
        FramePackage unused;
        unused.nLength = TYX_SRC_INPUT_NOT_USED;
        unused.inDevice = 1;
        byRegion[region] = unused;
    }
    TYX_LOG(8, L"[VMux-PreProc-Thread]: All input frames have copied from vsNoToFrameMap to muxRgn2FrameMap.");
    TYX_LOG(7, L"[VMux-PreProc-Thread]: Pushing prepare Checkpoint #10.");
    TYX_LOG(7, L"[VMux-PreProc-Thread]: Pushing prepare Checkpoint #11");
    group.pts = stamp;
    if (group.tasks.size() != static_cast<size_t>(windows)) {
        if (static_cast<size_t>(windows) > group.tasks.size())
            TYX_LOG(3, L"Pre-Mux-Proc:Current region num(%d) is greater than task ring[%d] length(%d)...Increase ring length.",
                    windows, group.ringNo, static_cast<int32_t>(group.tasks.size()));
        else
            TYX_LOG(3, L"Pre-Mux-Proc:Current region num(%d) is smaller than task ring[%d] length(%d)..Reduce ring length.",
                    windows, group.ringNo, static_cast<int32_t>(group.tasks.size()));
        group.ResizeTasks(static_cast<size_t>(windows));
    }
    if (!FillTasks(group, byRegion)) {
        TYX_LOG(3, L"Error:[VMux-PreProc-Thread] [TID=%d] Not all Source frames are ok for the new group! Give up!",
                GetCurrentThreadIdInt());
        group.Reset(true);
        waitMs = 0;
        return 1;
    }
    TYX_LOG(7, L"[VMux-PreProc-Thread]: Pushing prepare Checkpoint #12");
    if (ExitRequested()) {
        TYX_LOG(5, L"[VMux-PreProc-Thread]: Thread Recieved exit signal....");
        group.Reset(true);
        waitMs = -1;
        return -1;
    }
    group.SetState(TYX_GROUP_READY);
    TYX_LOG(7, L"[VMux-PreProc-Thread]: The %d group(pts=%lld) pushed to inter-procs.", group.ringNo,
            static_cast<long long>(stamp));
    m_writeIndex = (m_writeIndex + 1) % m_ring.size();
    m_lastPushedPts = stamp;
    return 0;
}

void CVideoMuxWorker::NoteWindowsWithoutInputs(int32_t packages, int32_t windows, const std::set<int16_t> &unmapped)
{
    const bool counted = m_loggedPackages >= 0;
    if (!counted || packages != m_loggedPackages || windows != m_loggedWindows) {
        if (counted && m_loggedPackages != m_loggedWindows)
            TYX_LOG(3, L"[VMux-PreProc-Thread]: %d input frames for %d regions ended after %u groups.", m_loggedPackages,
                    m_loggedWindows, m_groupsInState);
        if (packages != windows)
            TYX_LOG(3, L"[VMux-PreProc-Thread]: There is %d input frames invsNoToFrameMap but current region num is %d!",
                    packages, windows);
        m_loggedPackages = packages;
        m_loggedWindows = windows;
        m_groupsInState = 0;
    }
    ++m_groupsInState;
    for (auto region = m_unmappedRegions.begin(); region != m_unmappedRegions.end();) {
        if (unmapped.count(region->first) != 0) {
            ++region->second;
            ++region;
            continue;
        }
        if (region->first > windows)
            TYX_LOG(3, L"Pre-Mux-Proc:[WID=%d] Mux region[%d] is gone after %u groups without an input.",
                    static_cast<int32_t>(m_workerId), static_cast<int32_t>(region->first), region->second);
        else
            TYX_LOG(3, L"Pre-Mux-Proc:[WID=%d] Mux region[%d] has an input again after %u groups without one.",
                    static_cast<int32_t>(m_workerId), static_cast<int32_t>(region->first), region->second);
        region = m_unmappedRegions.erase(region);
    }
    for (int16_t region : unmapped) {
        if (m_unmappedRegions.count(region) != 0)
            continue;
        TYX_LOG(3, L"Pre-Mux-Proc:[WID=%d] Error: There no mapped-Input  for mux region[%d]!",
                static_cast<int32_t>(m_workerId), static_cast<int32_t>(region));
        m_unmappedRegions[region] = 1;
    }
}

bool CVideoMuxWorker::FillTasks(stVFramesGroupInfo &group, std::map<int16_t, FramePackage> &byRegion)
{
    const int tid = GetCurrentThreadIdInt();
    bool ok = true;
    for (size_t j = 0; j < group.tasks.size(); ++j) {
        stMuxRegion region;
        const bool known = m_muxer.GetRegion(static_cast<uint16_t>(j), region);
        const auto found = byRegion.find(static_cast<int16_t>(j + 1));
        if (!known || found == byRegion.end()) {
            TYX_LOG(3, L"Error:Pre-Proc [TID=%d] Source frame-info ptr is NULL!", tid);
            ok = false;
            continue;
        }
        FramePackage &package = found->second;
        if (package.nLength > 0 && !package.pData) {
            TYX_LOG(3, L"Error:Pre-Proc [TID=%d] Source frame-data ptr is NULL!", tid);
            ok = false;
            break;
        }
        stVFrameScaleInfo &task = *group.tasks[j];
        task.srcInDevice = package.inDevice;
        task.source = package.nLength > 0 ? package.pData : nullptr;
        task.srcLength = package.nLength;
        task.srcWidth = package.width;
        task.srcHeight = package.height;
        task.srcPitch = package.width;
        task.inputStreamId = static_cast<int32_t>(package.u32Param);
        task.regionIndex = static_cast<int16_t>(j);
        task.srcTime = package.dts;
        task.scaledInDevice = 1;
        task.scaledWidth = region.width;
        task.scaledHeight = region.height;
        task.scaled = nullptr;
        task.scaledLength = 0;
        task.done = 0;
        task.state = TYX_TASK_READY;
        ClearFramePackage(package);
    }
    // Whatever did not reach a task goes to the clean-up queue.
    for (auto &[region, package] : byRegion)
        DiscardPackage(package);
    return ok;
}

// ---- grouping ----

int32_t CVideoMuxWorker::GetMuxUsingVsIdInList(std::vector<int32_t> &inUse)
{
    inUse.clear();
    int32_t discarded = 0;
    for (auto &[id, link] : m_inputLinks.Items()) {
        bool shown = false;
        {
            CReadLockGuard regions(m_regionMapLock);
            shown = m_inputRegions.count(static_cast<int32_t>(id)) != 0;
        }
        if (shown) {
            inUse.push_back(static_cast<int32_t>(id));
            continue;
        }
        TYX_LOG(7, L"Pre-Mux-Proc: Input %d wasn't used.", static_cast<int32_t>(id));
        if (!link.HasQueue()) {
            TYX_LOG(2, L"[GetMuxUsingVsIdInList]: Fatal error: NULL quque or its lock pointer found!");
            continue;
        }
        TYX_LOG(7, L"Pre-Mux-Proc: Input %d wasn't used, discard all it's packages.", static_cast<int32_t>(id));
        FramePackageQueue dropped;
        {
            CCsLock lock(*link.queueLock);
            dropped.swap(*link.queue);
        }
        for (FramePackage &package : dropped) {
            CountPaket(id, package, true, false);
            DiscardPackage(package);
            ++discarded;
        }
    }
    return discarded;
}

void CVideoMuxWorker::WaitForRequiredInputs(const std::vector<int32_t> &inUse, int64_t waitUs)
{
    const int64_t start = SteadyUs();
    for (int32_t id : inUse) {
        const auto found = m_inputLinks.Items().find(static_cast<uint32_t>(id));
        if (found == m_inputLinks.Items().end() || !found->second.HasQueue() || !found->second.required)
            continue;
        stWorkerInputLink &link = found->second;
        for (;;) {
            bool empty = false;
            {
                CCsLock lock(*link.queueLock);
                empty = link.queue->empty();
            }
            if (!empty)
                break;
            if (SteadyUs() - start >= waitUs) {
                TYX_LOG(6, L"[RetrieveNextPaketGroup]:Timedout(%lld us) in waiting empty-input-stream[%x] for any pakets! ",
                        static_cast<long long>(waitUs), static_cast<uint32_t>(id));
                return;
            }
            if (m_exitEvent->Wait(kEmptyInputStepMs) == TYX_WAIT_OBJECT_0)
                return;
        }
    }
}

int64_t CVideoMuxWorker::SlowestInputsNewestPts(const std::vector<int32_t> &inUse, bool log)
{
    std::vector<FramePackageQueue> copies; // stamps only
    int64_t fastestFirst = 0;
    for (int32_t id : inUse) {
        const auto found = m_inputLinks.Items().find(static_cast<uint32_t>(id));
        if (found == m_inputLinks.Items().end() || !found->second.HasQueue())
            continue;
        FramePackageQueue stamps;
        {
            CCsLock lock(*found->second.queueLock);
            for (const FramePackage &package : *found->second.queue) {
                // Only pictures tell the time an input is at; a status package is stamped when sent.
                if (package.nLength <= 0)
                    continue;
                FramePackage stampOnly;
                stampOnly.pts = package.pts;
                stamps.push_back(stampOnly);
            }
        }
        if (stamps.empty()) {
            if (log)
                TYX_LOG(6, L"[RetrieveNextPaketGroup]: There no pakets For input stream[%x].", static_cast<uint32_t>(id));
            continue;
        }
        if (log)
            TYX_LOG(3, L"[RetrieveNextPaketGroup]:There [%d] valid pakets in stream[%x], its first paket TS is [%lld] and last paket TS is [%lld].",
                    static_cast<int32_t>(stamps.size()), static_cast<uint32_t>(id),
                    static_cast<long long>(stamps.front().pts), static_cast<long long>(stamps.back().pts));
        fastestFirst = std::max(fastestFirst, stamps.front().pts);
        copies.push_back(std::move(stamps));
    }
    std::vector<const FramePackageQueue *> queues;
    for (const FramePackageQueue &queue : copies)
        queues.push_back(&queue);
    const int64_t slowest = FirstGroupExpectedPts(queues);
    if (log) {
        TYX_LOG(5, L"[RetrieveNextPaketGroup]: Timestamp the last paket of slowest input stream is [%lld].",
                static_cast<long long>(slowest));
        TYX_LOG(5, L"[RetrieveNextPaketGroup]: Timestamp the first paket of fastest input stream is [%lld].",
                static_cast<long long>(fastestFirst));
    }
    return slowest;
}

int64_t CVideoMuxWorker::RetrieveNextPaketGroup(const std::vector<int32_t> &inUse, const stPacketGroupRequest &request,
                                                MuxPacketMap &taken, std::vector<int32_t> &emptyInputs,
                                                stPacketGroupFacts *facts)
{
    InputLinkMap &links = m_inputLinks.Items();
    if (links.empty())
        return -1;
    const int64_t start = NowUs();
    taken.clear();
    emptyInputs.clear();
    std::vector<int32_t> inputs = inUse;
    if (inputs.empty()) {
        for (const auto &[id, link] : links)
            inputs.push_back(static_cast<int32_t>(id));
    }
    if (request.emptyWaitUs >= 1)
        WaitForRequiredInputs(inputs, request.emptyWaitUs);
    if (ExitRequested()) {
        TYX_LOG(5, L"[RetrieveNextPaketGroup]: Function Recieved exit signal....");
        return -8;
    }
    stPacketGroupRequest effective = request;
    if (effective.expectedPts == 0)
        effective.expectedPts = SlowestInputsNewestPts(inputs, true);
    stPacketGroupFacts seen;
    seen.expectedPts = effective.expectedPts;
    bool lateTimedOut = false;
    std::vector<int64_t> stamps;
    const int64_t steadyStart = SteadyUs();
    for (int32_t id : inputs) {
        if (ExitRequested()) {
            TYX_LOG(5, L"[RetrieveNextPaketGroup]: Function Recieved exit signal....");
            return 0;
        }
        const auto found = links.find(static_cast<uint32_t>(id));
        if (found == links.end())
            continue;
        if (!found->second.HasQueue()) {
            TYX_LOG(2, L"[RetrieveNextPaketGroup]: Fatal error: NULL queue or its lock pointer found! exit....");
            continue;
        }
        int64_t newest = TYX_NOPTS_VALUE;
        TakeFromQueue(id, found->second, effective, steadyStart, lateTimedOut, taken, stamps, emptyInputs, newest);
        if (newest != TYX_NOPTS_VALUE)
            seen.newestPts[id] = newest;
        // The package carries its input along, so a task knows whose backup it refreshes.
        const auto chosen = taken.find(id);
        if (chosen != taken.end()) {
            chosen->second.u32Param = static_cast<uint32_t>(id);
            chosen->second.dts = start;
        }
    }
    if (facts)
        *facts = std::move(seen);
    return AverageOfValidPts(stamps);
}

void CVideoMuxWorker::TakeFromQueue(int32_t inputStreamId, stWorkerInputLink &link, const stPacketGroupRequest &request,
                                    int64_t start, bool &lateTimedOut, MuxPacketMap &taken, std::vector<int64_t> &stamps,
                                    std::vector<int32_t> &emptyInputs, int64_t &newestPts)
{
    const auto id = static_cast<uint32_t>(inputStreamId);
    const auto shown = m_lastShownPts.find(inputStreamId);
    const int64_t lastShown = shown == m_lastShownPts.end() ? TYX_NOPTS_VALUE : shown->second;
    const int64_t frame = m_frameDuration;
    // How far the input had come when the group looked at it first: what the output clock follows.
    bool looked = false;
    std::vector<FramePackage> dropped;
    FramePackage chosen;
    for (;;) {
        std::unique_lock<CCriticalSection> lock(*link.queueLock);
        FramePackageQueue &queue = *link.queue;
        const bool mayWait = !lateTimedOut && request.lateWaitUs > 0;
        if (queue.empty()) {
            TYX_LOG(6, L"[RetrieveNextPaketGroup]: There no pakets For input stream[%x].", id);
            // An input that is just behind counts with its last picture; a stalled one is not followed.
            const bool nearer = NextPictureIsNearer(lastShown, request.expectedPts, frame);
            if (!looked && nearer)
                newestPts = lastShown;
            looked = true;
            if (nearer && mayWait) {
                if (WaitForLatePicture(start, request.lateWaitUs, lateTimedOut, id, lock))
                    continue;
                if (ExitRequested())
                    return;
            }
            emptyInputs.push_back(inputStreamId);
            return;
        }
        TYX_LOG(6, L"[RetrieveNextPaketGroup]:There [%d] valid pakets in stream[%x].", static_cast<int32_t>(queue.size()), id);
        if (!looked)
            newestPts = NewestPicturePts(queue);
        looked = true;
        const int32_t n = ChooseExpectedPacketIndex(queue, request.expectedPts);
        const FramePackage &candidate = queue[static_cast<size_t>(n)];
        // The newest picture lies more than half a frame before the slot: the next one is nearer.
        const bool newest = static_cast<size_t>(n) + 1 == queue.size();
        if (mayWait && newest && IsLatePacket(candidate.pts, request.expectedPts, request.tolerance)) {
            if (WaitForLatePicture(start, request.lateWaitUs, lateTimedOut, id, lock))
                continue;
            if (ExitRequested())
                return;
        }
        // A picture is not shown before its time while the one shown last is nearer the slot.
        const int64_t otherTimeline = MuxClockLag(m_outputClock) + frame;
        if (n == 0 && candidate.nLength > 0 &&
            KeepsItsLastPicture(candidate.pts, lastShown, request.expectedPts, frame, otherTimeline)) {
            TYX_LOG(7, L"[RetrieveNextPaketGroup]: Input stream[%x] keeps its picture[%lld] for slot[%lld]: the next[%lld] is further.",
                    id, static_cast<long long>(lastShown), static_cast<long long>(request.expectedPts),
                    static_cast<long long>(candidate.pts));
            emptyInputs.push_back(inputStreamId);
            return;
        }
        if (request.takeOwnership) {
            for (int32_t i = 0; i < n; ++i)
                dropped.push_back(queue[static_cast<size_t>(i)]);
            chosen = queue[static_cast<size_t>(n)];
            queue.erase(queue.begin(), queue.begin() + n + 1);
        } else {
            chosen.inDevice = candidate.inDevice;
            (void)DuplicateFramePackage(chosen, candidate);
        }
        break;
    }
    TYX_LOG(7, L"[RetrieveNextPaketGroup]: Input stream[%x] gives paket[%lld] for slot[%lld], %d older dropped, its newest[%lld].",
            id, static_cast<long long>(chosen.pts), static_cast<long long>(request.expectedPts),
            static_cast<int32_t>(dropped.size()), static_cast<long long>(newestPts));
    if (request.takeOwnership) {
        for (FramePackage &package : dropped) {
            CountPaket(id, package, true, false);
            DiscardPackage(package);
        }
        CountPaket(id, chosen, true, false);
        if (chosen.nLength > 0 && chosen.pts != TYX_NOPTS_VALUE)
            m_lastShownPts[inputStreamId] = chosen.pts;
    }
    stamps.push_back(chosen.pts);
    taken[inputStreamId] = chosen;
}

bool CVideoMuxWorker::WaitForLatePicture(int64_t start, int64_t waitUs, bool &timedOut, uint32_t id,
                                         std::unique_lock<CCriticalSection> &lock)
{
    if (SteadyUs() - start < waitUs) {
        lock.unlock();
        return m_exitEvent->Wait(kLateInputStepMs) != TYX_WAIT_OBJECT_0;
    }
    TYX_LOG(5, L"[RetrieveNextPaketGroup]:Timedout(%lld us) in waiting none-empty-input-stream[%x] for expected paket! ",
            static_cast<long long>(waitUs), id);
    timedOut = true;
    return false;
}

int32_t CVideoMuxWorker::MakeupPaketsGroup(MuxPacketMap &taken, const std::vector<int32_t> &emptyInputs,
                                           MuxPacketMap &frames)
{
    int32_t madeUp = 0;
    for (int32_t id : emptyInputs) {
        FramePackage package;
        package.inDevice = m_outputOnDevice;
        package.u32Param = static_cast<uint32_t>(id);
        CreateVirtualFrameForEmptyStream(id, package);
        frames[id] = package;
        ++madeUp;
    }
    TYX_LOG(5, L"MakeupPaketsGroup: %d pakets madeup pakets for empty streams.", madeUp);
    const int64_t now = NowUs();
    for (auto &entry : taken) {
        // Named references, not a structured binding: the lambda below captures them.
        const int32_t id = entry.first;
        FramePackage &package = entry.second;
        int32_t previous = 0;
        UpdateInputState(id, [&](stMPInputState &state) { (void)NoteDeliveredPackage(state, package, now, previous); });
        if (package.nLength < 0) {
            // A status package: drawn as the input's status picture.
            if (package.pData)
                ReleaseFramePackageData(package.pData, package.inDevice != 0);
            package.pData = nullptr;
            package.inDevice = m_outputOnDevice;
            ++madeUp;
            if (package.nLength != previous)
                TYX_LOG(3, L"[MakeupPaketsGroup] Error msg(errCode=%d) paket received from from VS(ID=%x)!.",
                        package.nLength, static_cast<uint32_t>(id));
        } else if (package.nLength > 0 && package.pData && previous < 0) {
            TYX_LOG(3, L"[MakeupPaketsGroup]: VS(%x) was recovered from Error(%d) at time[%lld]!", static_cast<uint32_t>(id),
                    previous, static_cast<long long>(now));
        }
        frames[id] = package;
    }
    taken.clear();
    return madeUp;
}

void CVideoMuxWorker::CreateVirtualFrameForEmptyStream(int32_t inputStreamId, FramePackage &package)
{
    const int64_t now = NowUs();
    UpdateInputState(inputStreamId, [&](stMPInputState &state) {
        const int64_t last = state.lastPacketTime;
        const int32_t before = state.statusCode;
        package.nLength = VirtualFrameLength(state, now);
        if (before == 0 && package.nLength == TYX_SRC_WAITING_INPUT) {
            if (last == 0)
                TYX_LOG(3, L"[CreateVirtualFrame] Input frame(from VS=%x) waiting Timed out at[%lld]! There no valid paket received before.",
                        static_cast<uint32_t>(inputStreamId), static_cast<long long>(now));
            else
                TYX_LOG(3, L"[CreateVirtualFrame] Input frame(from VS=%x) waiting Timed out at[%lld]! The last paket received at[%lld]",
                        static_cast<uint32_t>(inputStreamId), static_cast<long long>(now), static_cast<long long>(last));
        }
    });
}

void CVideoMuxWorker::DiscardPackage(FramePackage &package)
{
    if (package.pData && package.nLength > 0 && package.inDevice) {
        if (PushDvcMem2Clean(package.pData) < 0)
            FreeFramePackage(package);
    } else {
        FreeFramePackage(package);
    }
    ClearFramePackage(package);
}

void CVideoMuxWorker::DiscardPackages(MuxPacketMap &packages)
{
    for (auto &[id, package] : packages)
        DiscardPackage(package);
    packages.clear();
}
