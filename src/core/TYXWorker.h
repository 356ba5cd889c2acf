#pragma once

#include "core/FramePackage.h"
#include "core/RWLockedMap.h"
#include "core/ReadWriteLock.h"
#include "core/StreamParams.h"
#include "core/TYXWorkerItemInfo.h"
#include "core/TYXWorkerLink.h"
#include "core/TYXWorkerStatistics.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "core/VideoFrameInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct stTYXWorkerConfig;

// Thread states of a worker (the worker classes add 1 initialising and 4 initialised).
enum TYXWorkerThreadState : uint16_t
{
    TYX_THREAD_NONE = 0,
    TYX_THREAD_INITIALIZING = 1,
    TYX_THREAD_INITIALIZED = 4,
    TYX_THREAD_CREATED = 10,
    TYX_THREAD_RUNNING = 12,
    TYX_THREAD_STOPPING = 14,
    TYX_THREAD_ENDED = 15,
    TYX_THREAD_FAILED = 44,
};

constexpr int32_t TYX_ERR_NO_PUSH_EVENT = -130;
constexpr int32_t TYX_ERR_PUSH_TOO_SOON = -140;
constexpr uint32_t TYX_PUSH_STOP_INTERVAL_MS = 6000;
constexpr int64_t TYX_HUNGRY_AFTER_US = 1000000;
constexpr uint32_t TYX_THREAD_NO_WORKER_EXIT = 0xFFFFFFFFu;

// The root of every pipeline stage: identity, the main thread and child threads, the exit and push
// events, the links to producers and consumers with their queues, per-stream statistics and stream
// parameters. A producer calls SendPaket2Consumers once per package; a consumer takes packages with
// ReceivePaketFromUpStream and PopPaketsFromInputQueue.
//
// Lifecycle (thread state):
//   0 constructed --StartWorkingThread--> 10 created suspended --ResumeWorkingThread--> 12 running
//   12 --WaitThreadExit--> 14 stopping --> 15 ended (also when the body returns); 44 failed
//   (thread creation failed, or the body threw).
// A thread that outlives its stop budget is abandoned, never killed: the state stays 14 and the
// worker keeps knowing the thread (IsStopped false, a later WaitThreadExit waits for it again)
// until the body returns and sets 15 itself. Workers are meant to be owned by std::shared_ptr: a
// running thread then keeps its worker alive, so it never touches a freed worker.
class CTYXWorker : public std::enable_shared_from_this<CTYXWorker>
{
public:
    using InputLinkMap = std::map<uint32_t, stWorkerInputLink>;          // producer stream id -> link
    using ConsumerMap = std::map<uint32_t, stWorkerConsumerLink>;        // consumer id -> link
    using ConsumerLinkMap = std::map<uint32_t, ConsumerMap>;             // output stream id -> consumers
    using StreamParamsMap = std::map<uint32_t, stStreamParams>;
    using OutputParamsCallback = std::function<void(CTYXWorker *, uint32_t, const stStreamParams *)>;
    using ProgramClock = std::function<int64_t()>;  // µs
    using TickSource = std::function<uint32_t()>;   // ms, wrapping
    using WallClockUs = std::function<int64_t()>;   // µs since 1970, as the host's time reads

    CTYXWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
               int32_t workerKind, bool perInputParams, bool perOutputParams);
    virtual ~CTYXWorker();
    CTYXWorker(const CTYXWorker &) = delete;
    CTYXWorker &operator=(const CTYXWorker &) = delete;

    // ---- virtual operations ----
    // The main thread's body; its result is the thread's exit code.
    virtual uint32_t WorkingFunc() = 0;
    // Takes (take) or copies the front package of an input (streamId 0: the first input). The queue
    // size before the call, 0 when empty, -1 without such an input, -2 for a link without queue.
    virtual int32_t ReceivePaketFromUpStream(FramePackage &package, uint32_t streamId, bool take);
    // Removes up to maxCount (0: all) packages from an input (streamId 0: every input); the number
    // removed or -1 without such an input.
    virtual int32_t PopPaketsFromInputQueue(bool freeData, bool count, uint16_t maxCount, uint32_t streamId);
    // Queues the package to every consumer of the output stream (0: of every output stream); the
    // number of queues reached. One consumer gets the package itself when copy is off or handOver
    // is on (handedOver tells), the others copies; the caller frees it when handedOver stays false.
    virtual int16_t SendPaket2Consumers(bool &handedOver, FramePackage &package, bool copy, bool handOver,
                                        uint32_t outputStreamId);
    // Sends a package without data carrying a source status code to every output stream.
    virtual int32_t SendStatusPaket2Consumers(int32_t statusCode, int64_t value);
    virtual void OnIdle();
    virtual int32_t Initialize(uint8_t flag, int32_t value);
    virtual void unInitialize();
    // The root part of every worker's copy: name, display name, PushAtBegin and the item lists.
    virtual int32_t CopyInConfiguration(const stTYXWorkerConfig *config);
    virtual void SetConfiguration(stTYXWorkerConfig *config);
    // A copy of the input link of that producer stream, taken under the input-link lock.
    virtual std::optional<stWorkerInputLink> GetInputLink(uint32_t streamId);
    virtual int32_t Reserved11();
    virtual int32_t RemoveInputStream(uint32_t streamId);
    // streamId is used when the worker keeps per-stream parameters: (uint32_t)-1 sets them all.
    virtual int32_t SetInputParameters(const stStreamParams &params, uint32_t streamId);
    virtual int32_t SetOutputParameters(const stStreamParams &params, uint32_t streamId);
    virtual stStreamParams GetOutputParameters() const;
    // The per-output-stream parameters, none when the worker keeps a single record.
    virtual std::optional<StreamParamsMap> GetOutputParametersMap() const;
    virtual int32_t GetInputStreamIds(std::vector<uint32_t> &ids) const;
    virtual int32_t GetOutputStreamIds(std::vector<uint32_t> &ids) const;
    virtual int32_t Reserved19();
    virtual uint32_t GetOutputStreamIdByName(const std::wstring &name) const;
    virtual uint32_t GetOutputStreamIdByNo(int32_t number) const;
    virtual uint8_t GetInputStreamTypes() const;
    virtual uint8_t GetOutputStreamTypes() const;
    // Copies of the statistics of one stream, or of all for streamId 0.
    virtual StreamStatisticsMap GetInputStatistics(uint32_t streamId) const;
    virtual StreamStatisticsMap GetOutputStatistics(uint32_t streamId) const;
    // Milliseconds from the source to this output stream; -1 for an id that is not an output.
    virtual int32_t GetUpstreamDelay(uint32_t outputStreamId);
    virtual void SetThreadsPriorityAffinity(int32_t priority, uint64_t affinityMask);

    // ---- thread control (the pipeline manager's thread) ----
    // The main thread's id, or the negated error when it cannot be made. The third argument is
    // accepted for callers that pass one and not used.
    int32_t StartWorkingThread(uint8_t startFlag, uint8_t screenOutput, uint8_t reserved = 0);
    int32_t ResumeWorkingThread();
    // Sets the exit event and waits up to max(budget, 50) ms; the exit code, or TYX_STILL_ACTIVE
    // when the thread was abandoned still running (again at every later call while it runs). A
    // thread that was never resumed is released through its start gate at once (exit code 0).
    int32_t WaitThreadExit(uint32_t budgetMs);
    // Marks the worker stopping and sets its exit event without waiting, so that a pass can stop
    // many workers at once; a thread that was never resumed is released at once.
    void RequestThreadExit();
    // True when the main thread has ended (or never existed); childrenStopped tells whether every
    // child thread, abandoned ones included, has ended too.
    bool IsStopped(bool &childrenStopped);
    // Waits up to budgetMs (at most 32767) for the child threads; the number that ended in time.
    uint16_t WaitOtherThreadsExit(int32_t budgetMs);

    // ---- push control (any thread) ----
    int32_t StartDataPushing();
    int32_t StopDataPushing();

    // ---- links ----
    // Adds or replaces the link of a consumer of one of this worker's output streams (one of its
    // output items, or its single output, id + 1, when it has none), also of a stream that had no
    // consumer yet: 0, -1 without a link, -2 for a stream that is not this worker's.
    int32_t SetConsumerLink(uint32_t outputStreamId, uint32_t consumerId, const stWorkerConsumerLink *link);
    // Removes the link of one consumer from one output stream (0: from every output stream); the
    // others stay. Once it returns, no send reaches the removed queue. The number removed.
    int32_t RemoveConsumerLink(uint32_t outputStreamId, uint32_t consumerId);
    void ResetOutputLinks(const ConsumerLinkMap *links);
    // Adds the input link of a producer stream while the worker runs (exclusive input-link lock):
    // 0, -1 for stream 0 or a link without queue, -2 when the stream has an input link already.
    int32_t AddInputLink(uint32_t streamId, const stWorkerInputLink &link);
    // Removes the input link of a producer stream (exclusive input-link lock), handing its record
    // to removed when given: 0, or -1 when the worker has no such input.
    int32_t RemoveInputLink(uint32_t streamId, stWorkerInputLink *removed = nullptr);
    // Number of output streams that have a link to the consumer (taken under the write lock).
    int32_t FindConsumerLink(uint32_t consumerId);
    // Records the producer of an input (the registry binds it once the producer exists); -1 when
    // the worker has no such input.
    int32_t BindInputLinkProducer(uint32_t streamId, const std::shared_ptr<CTYXWorker> &producer);
    int32_t GetInputLinkCount();
    int32_t GetQueuedPktsCount();
    void LockInputLinks(bool exclusive);
    void UnlockInputLinks(bool exclusive);

    // ---- statistics ----
    void CountPaket(uint32_t streamId, const FramePackage &package, bool input, bool output);
    // Writes the state into every entry of the map (one of this worker's statistics maps).
    void SetStateOfAllStreams(StreamStatisticsMap &statistics, int32_t code);
    // The same over both statistics maps of the worker.
    void SetStateOfAllStreams(int32_t code);

    int32_t CreateBlankVideoFrame(FramePackage &package, const stColorYuv &color);

    // ---- identity and settings ----
    uint32_t GetWorkerId() const { return m_workerId; }
    int32_t GetWorkerKind() const { return m_workerKind; }
    int32_t GetTypeCode() const { return m_typeCode; }
    std::wstring GetName() const { return m_name; }
    void SetName(const std::wstring &name) { m_name = name; }
    std::wstring GetDisplayName() const { return m_displayName; }
    uint16_t GetThreadState() const { return m_threadState.load(); }
    uint16_t GetWorkingStep() const { return m_workingStep.load(); }
    uint32_t GetThreadId() const { return m_threadId; }
    uint8_t GetPushAtBegin() const { return m_pushAtBegin; }
    bool IsPerInputParams() const { return m_perInputParams; }
    bool IsPerOutputParams() const { return m_perOutputParams; }
    void SetOutputParamsCallback(OutputParamsCallback callback) { m_outputParamsCallback = std::move(callback); }
    // Replaces the program clock and the tick count that the link and push rules read, and the wall
    // clock that times shown to people follow (tests). None keeps the process's own.
    void SetClockSources(ProgramClock programClockUs, TickSource tickCountMs, WallClockUs wallClockUs = nullptr);

    // The process-wide screen output: console texts of the thread control print only when on.
    static void SetProcessScreenOutput(bool on);
    static bool IsProcessScreenOutputOn();
    // Turns it off; true when it was on.
    static bool TurnProcessScreenOutputOff();

protected:
    int64_t NowUs() const { return m_programClock(); }
    // The host's time (µs since 1970) of a program time, as the wall clock reads now: a step of the
    // host's time moves what people read, never the program time itself.
    int64_t WallOfProgramUs(int64_t programUs) const { return programUs - NowUs() + m_wallClockUs(); }
    // A package without data that carries a source status code (value in its dts).
    FramePackage MakeStatusPaket(int32_t statusCode, int64_t value) const;
    uint32_t NowTickMs() const { return m_tickSource(); }
    // Starts a child thread running body at once; its id, or a negative errno. The thread keeps the
    // worker alive while it runs.
    int32_t StartChildThread(std::function<uint32_t()> body);
    // Copies of the parameter records (taken under their lock).
    stStreamParams GetInputParameters(uint32_t streamId) const;
    stStreamParams GetOutputParametersOf(uint32_t streamId) const;
    // Updates one statistics entry (created when missing) under the statistics lock.
    void UpdateStatistics(bool input, uint32_t streamId, const std::function<void(stStreamStatistics &)> &update);

    uint32_t m_threadId = 0;
    std::shared_ptr<CThread> m_mainThread;     // under m_mainThreadMutex; see MainThread()
    uint8_t m_flag0 = 0;
    bool m_perInputParams = false;
    bool m_perOutputParams = false;
    uint8_t m_inputStreamTypes = 0;     // TYXStreamTypeMask, set by each worker class
    uint8_t m_outputStreamTypes = 0;
    int32_t m_workerKind = 0;
    int32_t m_typeCode = 0;             // file / network reader type, mid-processor type
    std::wstring m_name;
    std::wstring m_displayName;
    std::atomic<uint16_t> m_threadState{TYX_THREAD_NONE};
    std::atomic<uint16_t> m_workingStep{30}; // progress code written by the worker classes
    uint16_t m_stepValue2 = 30;
    uint16_t m_stepValue3 = 15;
    uint8_t m_screenOutput = 0;
    uint8_t m_initFlag = 0;             // GPU mode given to Initialize
    uint8_t m_startFlag = 0;
    std::atomic<uint8_t> m_pushingStopped{0};
    uint8_t m_pushAtBegin = 0;
    CRWLockedMap<uint32_t, int32_t> m_routeMap;  // output stream id -> input stream id feeding it
    std::vector<stTYXWorkerItemInfo> m_inputItems;
    mutable CReadWriteLock m_inputItemsLock;
    std::vector<stTYXWorkerItemInfo> m_outputItems;
    mutable CReadWriteLock m_outputItemsLock;
    uint16_t m_outputFrameWidth = 0;
    uint16_t m_outputFrameHeight = 0;
    stColorYuv m_bgColorYuv{0, 0, 0};
    stColorYuv m_errColorYuv{0, 0, 0};
    stColorYuv m_infoColorYuv{0, 0, 0};
    int32_t m_errTextColor = 4;         // red
    int32_t m_infoTextColor = 16;       // white
    uint16_t m_statusTextHeight = 32;
    uint32_t m_workerId = 0xFFFFFFFFu;
    std::unique_ptr<CEvent> m_exitEvent;       // manual reset
    int32_t m_stopBudget = 0;
    std::unique_ptr<CEvent> m_startPushEvent;  // auto reset
    std::unique_ptr<CEvent> m_stopPushEvent;   // auto reset
    std::atomic<uint32_t> m_pushTimeStamp{0};  // tick count of the last accepted stop of pushing
    int32_t m_initValue = -1;                  // GPU number given to Initialize
    CRWLockedMap<uint32_t, stWorkerInputLink> m_inputLinks;
    CRWLockedMap<uint32_t, ConsumerMap> m_consumerLinks;
    mutable std::mutex m_paramsMutex;          // the four parameter members below
    stStreamParams m_inputParams;
    stStreamParams m_outputParams;
    StreamParamsMap m_inputParamsMap;
    StreamParamsMap m_outputParamsMap;
    OutputParamsCallback m_outputParamsCallback;
    stTYXWorkerConfig *m_config = nullptr;     // not owned
    mutable std::mutex m_statisticsMutex;      // the two statistics maps
    StreamStatisticsMap m_inputStatistics;
    StreamStatisticsMap m_outputStatistics;
    std::mutex m_childMutex;
    std::map<int32_t, std::unique_ptr<CThread>> m_childThreads; // by thread id
    // Children that outlived WaitOtherThreadsExit: still watched by IsStopped until they end.
    std::map<int32_t, std::unique_ptr<CThread>> m_abandonedChildren;

private:
    struct stSendTarget;
    // Thread bodies: keep a shared worker alive while they run (a worker that is already gone
    // ends them with TYX_THREAD_NO_WORKER_EXIT) and turn an escaping exception into state 44.
    static uint32_t MainThreadTrampoline(CTYXWorker *raw, const std::weak_ptr<CTYXWorker> &self, bool shared);
    static uint32_t ChildThreadTrampoline(const std::weak_ptr<CTYXWorker> &self, bool shared,
                                          const std::function<uint32_t()> &body);
    void CollectSendTargets(ConsumerLinkMap::iterator stream, int32_t kind, std::vector<stSendTarget> &targets);
    void MarkHungryWhenIdle(stWorkerInputLink &link, uint32_t streamId);
    // The main thread as it is now (none when not created or already closed).
    std::shared_ptr<CThread> MainThread() const;
    // Forgets the main thread once it has ended, unless another stop already replaced it.
    void CloseMainThread(const std::shared_ptr<CThread> &ended);
    bool IsOwnOutputStream(uint32_t outputStreamId) const;

    mutable std::mutex m_mainThreadMutex;
    int32_t m_priority = 0;   // the last priority set on the main thread
    std::atomic<bool> m_mainThreadFailed{false};
    ProgramClock m_programClock;
    TickSource m_tickSource;
    WallClockUs m_wallClockUs;
};
