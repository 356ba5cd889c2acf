#pragma once

// The mux worker: composes the pictures of several inputs into one output picture by a layout.
// A pipeline of its own threads shares a ring of frame groups:
//   the main thread (WorkingFunc) takes one package per input, aligned by time stamp, makes up the
//   missing ones and stamps the group at the output rate (state 2);
//   inter-processing threads (inputs x IPGNum) scale each window's picture (3, then 4);
//   one post-processing thread composes, draws the overlays and sends, in ring order (5 or 6);
//   one clean-up thread frees the pictures of finished groups, and the base's thread the single
//   pictures the other threads drop.
// Lock order: input-link lock, a queue's lock; group lock, input-to-region map lock, composer locks
// (region, slot, window slots, canvas). Run-time changes take the input-link lock shared before the
// map locks.

#include "vproc/MultiInVMP.h"
#include "vproc/MuxGrouping.h"
#include "vproc/VFramesGroup.h"
#include "vproc/VideoMux.h"

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <vector>

// Results of the run-time changes.
constexpr int32_t TYX_MUX_ERR_ARGUMENT = -1;
constexpr int32_t TYX_MUX_ERR_NO_FREE_INPUT = -204;
constexpr int32_t TYX_MUX_ERR_NO_LINK = -208;
constexpr int32_t TYX_MUX_ERR_SIZE = -10;

// Output sizes the worker accepts when configured, and when it initialises.
constexpr int32_t TYX_MUX_MIN_CONFIG_WIDTH = 320;
constexpr int32_t TYX_MUX_MIN_CONFIG_HEIGHT = 180;
constexpr int32_t TYX_MUX_MIN_WIDTH = 1280;
constexpr int32_t TYX_MUX_MIN_HEIGHT = 720;
constexpr int32_t TYX_MUX_MAX_WIDTH = 15360;
constexpr int32_t TYX_MUX_MAX_HEIGHT = 8640;

// What one grouping call is asked to do.
struct stPacketGroupRequest
{
    int64_t expectedPts = 0;  // 0: the first group
    int64_t tolerance = 0;    // µs
    int64_t emptyWaitUs = 0;  // how long to wait for an empty required input
    int64_t lateWaitUs = 0;   // how long to wait for a package near the expected pts
    bool takeOwnership = true;
};

using MuxPacketMap = std::map<int32_t, FramePackage>; // input stream id -> package

// What one grouping call saw: the expected stamp it went by (the first group finds its own) and the
// newest picture stamp queued at each input that had a picture.
struct stPacketGroupFacts
{
    int64_t expectedPts = 0;
    std::map<int32_t, int64_t> newestPts;
};

class CVideoMuxWorker : public CMultiIn_VMP
{
public:
    CVideoMuxWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks);
    ~CVideoMuxWorker() override;

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t gpuProcessing, int32_t gpuDevice) override;
    // Frees what the ring, the clean-up queue and the backups still hold once the threads ended.
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    void SetThreadsPriorityAffinity(int32_t priority, uint64_t affinityMask) override;
    int32_t OnNewInputAdded(uint32_t inputStreamId) override;
    int32_t DetachInput(uint32_t inputStreamId, uint32_t replacementId) override;

    // The layout type (1..21) with its input-to-region map and window positions, threads per input
    // (taken for 1..8) and the ring length (6..30, else 9): the type when it changed, 0 when it
    // did not, -1 for a type outside 1..21.
    int32_t SetMuxLayout(int32_t layoutType, const std::map<int32_t, int16_t> &regions,
                         const std::vector<stPipWindowInfo> *windows, int32_t threadsPerInput, int32_t ringLength);

    // Run-time changes (remote commands).
    int32_t ChangeRegionInput(int32_t region, int32_t inputStreamId);
    int32_t ChangeFocusInput(int32_t inputStreamId);
    int32_t ChangeMuxLayout(int32_t layoutType, const std::map<int32_t, int16_t> &regions,
                            const std::vector<stPipWindowInfo> *windows);

    // The grouping steps of one pass; the caller holds the input-link lock shared.
    int32_t GetMuxUsingVsIdInList(std::vector<int32_t> &inUse);
    int64_t RetrieveNextPaketGroup(const std::vector<int32_t> &inUse, const stPacketGroupRequest &request,
                                   MuxPacketMap &taken, std::vector<int32_t> &emptyInputs,
                                   stPacketGroupFacts *facts = nullptr);
    int32_t MakeupPaketsGroup(MuxPacketMap &taken, const std::vector<int32_t> &emptyInputs, MuxPacketMap &frames);
    void CreateVirtualFrameForEmptyStream(int32_t inputStreamId, FramePackage &package);

    // Snapshots for status and tests.
    std::map<int32_t, int16_t> GetInputRegions() const;
    // The input the focus region shows, 0 when none.
    uint32_t GetFocusInputId() const;
    int32_t GetLayoutType() const { return m_muxer.CurrentLayout(); }
    int32_t GetConfiguredLayoutType() const { return m_layoutType; }
    int32_t GetThreadsPerInput() const { return m_threadsPerInput; }
    int32_t GetRingLength() const { return m_ringLength; }
    size_t GetInterProcThreadCount() const;
    size_t GetWindowCount() const { return m_windowCount; }
    int32_t GetOutputFrameSize() const { return m_outputFrameSize; }
    int32_t GetFrameDuration() const { return m_frameDuration; }
    uint32_t GetGroupsProduced() const { return m_groupsProduced; }
    // The program time the pre-processing thread waits for to make its next group (0 before it
    // waited for one).
    int64_t GetNextGroupDueTime() const { return m_nextGroupDue; }
    int32_t GetFramesPushed() const { return m_framesPushed; }
    size_t GetCleanQueueLength();
    // Lets tests shorten the settle wait of a layout change.
    void SetLayoutChangeWaitMs(uint32_t ms) { m_layoutChangeWaitMs = ms; }
    CVideoMuxer &Muxer() { return m_muxer; }

protected:
    uint32_t InterProcThread();
    uint32_t PostProcThread();
    uint32_t CleanThread();

private:
    // Tells consumers the rate the pictures really leave at; that rate.
    float DeclarePacedFrameRate();

    // ---- pre-processing (VideoMuxPreProc.cpp) ----
    // One pass; the wait before the next in ms, or -1 to end the thread.
    int32_t RunPreProcPass();
    // The wait in ms until the next slot is due, 0 when it is; notes a program clock gone back.
    int32_t WaitForNextSlot();
    // Each false (or non-zero) when the pass ends early, with the wait before the next in waitMs.
    bool GatherGroup(MuxPacketMap &frames, int64_t &largestPts, int64_t &slot, stPacketGroupFacts &facts,
                     int32_t &waitMs);
    // Before the first picture the grid follows the clock; the first pictures set its phase. False
    // when the output now waits for them.
    bool AnchorOnPictures(const std::vector<int32_t> &inUse, int32_t &waitMs);
    void AnchorFirstGroup(const stPacketGroupFacts &facts);
    // The stamp of the group in the slot, checked against the clock and the last stamp.
    bool StampGroup(MuxPacketMap &frames, int64_t largestPts, int64_t slot, int64_t &stamp, int32_t &waitMs);
    // Lets the output clock follow how far the inputs' pictures reach past the group's stamp.
    void FollowInputs(const stPacketGroupFacts &facts, int64_t stamp);
    // Windows without an input, and a package count other than the window count, are states that
    // last: each is logged when it begins and when it ends.
    void NoteWindowsWithoutInputs(int32_t packages, int32_t windows, const std::set<int16_t> &unmapped);
    // 0 with a free slot, 1 when the ring stayed full, -1 on the quit event.
    int32_t WaitForFreeSlot(stVFramesGroupInfo *&slot);
    int32_t FillGroup(stVFramesGroupInfo &group, MuxPacketMap &frames, int64_t stamp, int32_t &waitMs);
    bool FillTasks(stVFramesGroupInfo &group, std::map<int16_t, FramePackage> &byRegion);
    void TakeFromQueue(int32_t inputStreamId, stWorkerInputLink &link, const stPacketGroupRequest &request,
                       int64_t start, bool &lateTimedOut, MuxPacketMap &taken, std::vector<int64_t> &stamps,
                       std::vector<int32_t> &emptyInputs, int64_t &newestPts);
    // One step of the wait for a picture that has yet to come (the lock released meanwhile): true to
    // look again, false once the wait is over (timedOut set) or the worker is asked to end.
    bool WaitForLatePicture(int64_t start, int64_t waitUs, bool &timedOut, uint32_t id,
                            std::unique_lock<CCriticalSection> &lock);
    void WaitForRequiredInputs(const std::vector<int32_t> &inUse, int64_t waitUs);
    // The smallest of the inputs' newest picture stamps, 0 when none has a picture; the queues are
    // logged when asked (for the first group).
    int64_t SlowestInputsNewestPts(const std::vector<int32_t> &inUse, bool log);
    // Hands the pictures of packages the pass gives up to the clean-up queue.
    void DiscardPackages(MuxPacketMap &packages);
    void DiscardPackage(FramePackage &package);
    bool ExitRequested() const;

    // ---- threads (VideoMuxThreads.cpp) ----
    bool VisitGroupForScaling(stVFramesGroupInfo &group, bool &sawWork);
    void ProcessTask(stVFramesGroupInfo &group, stVFrameScaleInfo &task);
    bool TakeBackupAsSource(stVFrameScaleInfo &task, FramePackage &backup);
    void MakeStatusPicture(stVFramesGroupInfo &group, stVFrameScaleInfo &task, int32_t statusCode);
    bool ScaleTaskSource(stVFrameScaleInfo &task);
    int32_t ScalePackedI420(const stVFrameScaleInfo &task, uint8_t *&result);
    void KeepAsBackup(stVFrameScaleInfo &task, bool fromBackup, FramePackage &backup);
    void NoteTaskFailure(int32_t inputStreamId, bool failed);
    int32_t ComposeGroup(stVFramesGroupInfo &group);
    bool FillComposerSlots(stVFramesGroupInfo &group, std::vector<stMuxInputSlot *> &slots);
    void SendComposedFrame(stVFramesGroupInfo &group);
    void HandOverToCleanThread(stVFramesGroupInfo &group);
    void CleanGroup(stVFramesGroupInfo &group);
    void FreeRing();
    void StartThreads();
    int32_t StartPipelineThread(std::function<uint32_t()> body, const wchar_t *name);
    void SetChildPriorityAffinity(int32_t tid, int32_t priority, uint64_t mask, const wchar_t *label, bool perThreadId);

    // ---- configuration ----
    int32_t VSAvgDelay = 0;
    int32_t m_threadsPerInput = 1;
    int32_t m_ringLength = 9;
    std::atomic<int32_t> m_layoutType{0};
    CVideoMuxer m_muxer;
    mutable CReadWriteLock m_regionMapLock;
    std::map<int32_t, int16_t> m_inputRegions;  // input stream id -> region from 1
    CReadWriteLock m_regionListLock;
    std::vector<stPipWindowInfo> m_regionList;
    int16_t m_focusRegion = 1;
    int32_t m_outputFrameSize = 0;
    uint16_t m_canvasWidth = 0; // set once by Initialize: the composer rewrites its own on layout changes
    uint16_t m_canvasHeight = 0;
    std::atomic<size_t> m_windowCount{0}; // the composer's, readable while a layout change rebuilds it
    std::atomic<bool> m_layoutChanging{false};
    uint32_t m_layoutChangeWaitMs = 100;
    std::set<int32_t> m_requiredInputs;
    bool m_pipeWanted = false;
    bool m_displayWanted = false;

    // ---- ring and threads ----
    std::vector<std::unique_ptr<stVFramesGroupInfo>> m_ring;
    CReadWriteLock m_cleanGroupLock;
    std::deque<std::unique_ptr<stVFramesGroupInfo>> m_cleanGroups;
    int32_t m_postThreadId = 0;
    int32_t m_cleanThreadTid = 0;
    mutable std::mutex m_interThreadsLock;
    std::vector<int32_t> m_interThreadIds;
    std::mutex m_failureLock;
    std::set<int32_t> m_failedInputs; // inputs whose pictures could not be scaled, logged once

    // ---- statistics and timing ----
    std::atomic<uint32_t> m_groupsProduced{0};
    uint64_t m_firstGroupTick = 0;
    float m_groupsPerSecond = 0.0f;
    std::atomic<int32_t> m_framesPushed{0};
    uint64_t m_firstFrameTick = 0;
    double m_framesPerSecond = 0.0;
    float m_configuredFrameRate = 0.0f;
    float m_outputFrameRate = 30.0f;
    int32_t m_frameDuration = 33333;
    stMuxOutputPace m_pace;
    stMuxOutputClock m_outputClock;
    int64_t m_lastPushedPts = 0;
    std::map<int32_t, int64_t> m_lastShownPts; // input -> stamp of the picture its window shows last
    int64_t m_lastPushTime = 0;
    int64_t m_outputStartTime = 0;
    std::atomic<int64_t> m_nextGroupDue{0};
    bool m_firstPass = true;
    // The states of the windows, as last logged.
    int32_t m_loggedPackages = -1;
    int32_t m_loggedWindows = -1;
    uint32_t m_groupsInState = 0;
    std::map<int16_t, uint32_t> m_unmappedRegions; // region -> groups made while it had no input
    int64_t m_retrieveError = 0; // the failure of the grouping in the passes before, 0 when none
    uint32_t m_retrieveErrorPasses = 0;
    bool m_ringFullLogged = false;
    size_t m_writeIndex = 0;
};
