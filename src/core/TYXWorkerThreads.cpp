#include "core/TYXWorker.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <cerrno>
#include <chrono>

// Thread and push control of CTYXWorker.
//
// Threads are never killed. WaitThreadExit sets the exit event and polls every 10 ms for at most
// max(budget, 50) ms; a thread still running after that is abandoned: it runs on detached, and
// because it holds a reference to its (shared) worker, nothing it touches is freed under it.

namespace {

constexpr uint32_t kMinStopBudgetMs = 50;
constexpr uint32_t kStopPollMs = 10;
constexpr uint32_t kChildPollMs = 5;
constexpr int32_t kMaxChildBudgetMs = 32767;

using SteadyClock = std::chrono::steady_clock;

uint64_t ElapsedMs(SteadyClock::time_point start)
{
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - start).count());
}

std::atomic<bool> g_processScreenOutput{false};

} // namespace

void CTYXWorker::SetProcessScreenOutput(bool on)
{
    g_processScreenOutput = on;
}

bool CTYXWorker::IsProcessScreenOutputOn()
{
    return g_processScreenOutput.load();
}

bool CTYXWorker::TurnProcessScreenOutputOff()
{
    return g_processScreenOutput.exchange(false);
}

CTYXWorker::~CTYXWorker()
{
    // A shared worker is destroyed only once its threads let go of it (or by its own thread). A
    // worker owned otherwise must have been stopped; one that was not is asked to stop and waited for.
    const std::shared_ptr<CThread> thread = MainThread();
    if (thread && thread->IsRunning() && static_cast<int32_t>(m_threadId) != GetCurrentThreadIdInt()) {
        TYX_LOG(3, L"Worker[%s:%x] destroyed while its thread[%d] runs; waiting for it.", m_name.c_str(), m_workerId,
                static_cast<int32_t>(m_threadId));
        if (m_exitEvent)
            m_exitEvent->Set();
        thread->Join();
    }
    if (m_exitEvent)
        m_exitEvent->Set();
}

std::shared_ptr<CThread> CTYXWorker::MainThread() const
{
    std::lock_guard<std::mutex> lock(m_mainThreadMutex);
    return m_mainThread;
}

void CTYXWorker::CloseMainThread(const std::shared_ptr<CThread> &ended)
{
    std::lock_guard<std::mutex> lock(m_mainThreadMutex);
    if (m_mainThread == ended)
        m_mainThread.reset();
}

uint32_t CTYXWorker::MainThreadTrampoline(CTYXWorker *raw, const std::weak_ptr<CTYXWorker> &self, bool shared)
{
    std::shared_ptr<CTYXWorker> keep;
    if (shared) {
        keep = self.lock();
        if (!keep)
            return TYX_THREAD_NO_WORKER_EXIT;
    }
    CTYXWorker *worker = shared ? keep.get() : raw;
    if (!worker)
        return TYX_THREAD_NO_WORKER_EXIT;
    try {
        const uint32_t code = worker->WorkingFunc();
        worker->m_threadState = TYX_THREAD_ENDED;
        return code;
    } catch (...) {
        worker->m_mainThreadFailed = true;
        worker->m_threadState = TYX_THREAD_FAILED;
        TYX_LOG(3, L"Working Thread[%d] terminated for exception!!!", GetCurrentThreadIdInt());
        if (IsProcessScreenOutputOn())
            ConsolePrintf("\n\n\nWorking Thread[%d] terminated for exception!!!\n\n\n", GetCurrentThreadIdInt());
        return TYX_THREAD_EXCEPTION_EXIT;
    }
}

uint32_t CTYXWorker::ChildThreadTrampoline(const std::weak_ptr<CTYXWorker> &self, bool shared,
                                           const std::function<uint32_t()> &body)
{
    std::shared_ptr<CTYXWorker> keep;
    if (shared) {
        keep = self.lock();
        if (!keep)
            return TYX_THREAD_NO_WORKER_EXIT;
    }
    try {
        return body();
    } catch (...) {
        TYX_LOG(3, L"Working Thread[%d] terminated for exception!!!", GetCurrentThreadIdInt());
        if (IsProcessScreenOutputOn())
            ConsolePrintf("\n\n\nWorking Thread[%d] terminated for exception!!!\n\n\n", GetCurrentThreadIdInt());
        return TYX_THREAD_EXCEPTION_EXIT;
    }
}

int32_t CTYXWorker::StartWorkingThread(uint8_t startFlag, uint8_t screenOutput, uint8_t)
{
    if (MainThread()) {
        TYX_LOG(3, L"Worker[%s:%x] main thread[%d] exists already.", m_name.c_str(), m_workerId,
                static_cast<int32_t>(m_threadId));
        return -EEXIST;
    }
    m_startFlag = startFlag;
    m_screenOutput = screenOutput;
    m_threadState = TYX_THREAD_CREATED;

    const std::weak_ptr<CTYXWorker> self = weak_from_this();
    const bool shared = !self.expired();
    auto thread = std::make_shared<CThread>();
    const int rc = thread->CreateSuspended([raw = this, self, shared] { return MainThreadTrampoline(raw, self, shared); });
    if (rc != 0) {
        if (IsProcessScreenOutputOn())
            ConsolePrintf("[Main] Thread creating failed with error code= %d\n", -rc);
        TYX_LOG(3, L"[Main] Thread creating failed with error code= %d", -rc);
        m_initValue = 0;
        m_threadState = TYX_THREAD_FAILED;
        m_screenOutput = 0;
        return rc;
    }
    m_threadId = static_cast<uint32_t>(thread->ThreadId());
    std::lock_guard<std::mutex> lock(m_mainThreadMutex);
    m_mainThread = std::move(thread);
    return static_cast<int32_t>(m_threadId);
}

int32_t CTYXWorker::ResumeWorkingThread()
{
    const std::shared_ptr<CThread> thread = MainThread();
    if (!thread) {
        if (IsProcessScreenOutputOn())
            ConsolePrintf("[Main] Thread[%d] resuming failed with error code= %d\n", static_cast<int32_t>(m_threadId), ESRCH);
        return -ESRCH;
    }
    // Set before the body can run, so its own end state is never overwritten.
    m_threadState = TYX_THREAD_RUNNING;
    thread->Resume();
    return 0;
}

void CTYXWorker::RequestThreadExit()
{
    m_threadState = TYX_THREAD_STOPPING;
    if (m_exitEvent)
        m_exitEvent->Set();
    const std::shared_ptr<CThread> thread = MainThread();
    if (thread && thread->CancelIfSuspended()) {
        thread->Join();
        CloseMainThread(thread);
        m_threadState = TYX_THREAD_ENDED;
    }
}

int32_t CTYXWorker::WaitThreadExit(uint32_t budgetMs)
{
    m_threadState = TYX_THREAD_STOPPING;
    const uint32_t budget = std::max(budgetMs, kMinStopBudgetMs);
    m_stopBudget = static_cast<int32_t>(std::min<uint32_t>(budget, INT32_MAX));
    if (m_exitEvent)
        m_exitEvent->Set();
    const std::shared_ptr<CThread> thread = MainThread();
    if (!thread) {
        m_threadState = TYX_THREAD_ENDED;
        return 0;
    }
    const int32_t tid = static_cast<int32_t>(m_threadId);
    const bool screen = IsProcessScreenOutputOn();

    // A thread that never ran has nothing to finish: its start gate lets it go at once.
    if (thread->CancelIfSuspended()) {
        thread->Join();
        if (screen)
            ConsolePrintf("[Main] Thread[ID=%d] exited with code=%d.\n", tid, 0);
        CloseMainThread(thread);
        m_threadState = TYX_THREAD_ENDED;
        return 0;
    }

    const SteadyClock::time_point start = SteadyClock::now();
    bool ended = thread->WaitForEnd(kStopPollMs);
    if (!ended) {
        if (screen)
            ConsolePrintf("[Main] Thread[ID=%d] is still alive.\n", tid);
        for (;;) {
            const uint64_t waited = ElapsedMs(start);
            if (waited >= budget)
                break;
            ended = thread->WaitForEnd(static_cast<uint32_t>(std::min<uint64_t>(kStopPollMs, budget - waited)));
            if (ended)
                break;
        }
    }
    if (!ended) {
        // Abandoned, not forgotten: the thread stays this worker's until its body returns.
        if (screen)
            ConsolePrintf("[Main] Thread[ID=%d] was forcedly closed by TerminateThread()!\n", tid);
        TYX_LOG(3, L"[Main] Thread[ID=%d] was forcedly closed by TerminateThread()!", tid);
        return static_cast<int32_t>(TYX_STILL_ACTIVE);
    }
    const uint32_t code = thread->ExitCode();
    if (screen)
        ConsolePrintf("[Main] Thread[ID=%d] exited with code=%d.\n", tid, static_cast<int32_t>(code));
    CloseMainThread(thread);
    // A body that threw keeps its failed state.
    m_threadState = m_mainThreadFailed.load() ? TYX_THREAD_FAILED : TYX_THREAD_ENDED;
    return static_cast<int32_t>(code);
}

bool CTYXWorker::IsStopped(bool &childrenStopped)
{
    const std::shared_ptr<CThread> thread = MainThread();
    const bool mainEnded = !thread || thread->WaitForEnd(0);
    childrenStopped = true;
    std::lock_guard<std::mutex> lock(m_childMutex);
    std::erase_if(m_abandonedChildren, [](const auto &entry) { return entry.second->WaitForEnd(0); });
    for (const auto *children : {&m_childThreads, &m_abandonedChildren}) {
        for (const auto &[tid, child] : *children) {
            if (child && !child->WaitForEnd(0)) {
                TYX_LOG(6, L"Child Thread[ID=%d] is still alive.!", tid);
                childrenStopped = false;
                return mainEnded;
            }
        }
    }
    return mainEnded;
}

int32_t CTYXWorker::StartChildThread(std::function<uint32_t()> body)
{
    const std::weak_ptr<CTYXWorker> self = weak_from_this();
    const bool shared = !self.expired();
    auto thread = std::make_unique<CThread>();
    const int rc = thread->CreateSuspended(
        [self, shared, body = std::move(body)] { return ChildThreadTrampoline(self, shared, body); });
    if (rc != 0) {
        TYX_LOG(3, L"Worker[%s:%x] child thread creating failed with error code= %d", m_name.c_str(), m_workerId, -rc);
        return rc;
    }
    const int32_t tid = thread->ThreadId();
    thread->Resume();
    std::lock_guard<std::mutex> lock(m_childMutex);
    m_childThreads[tid] = std::move(thread);
    return tid;
}

uint16_t CTYXWorker::WaitOtherThreadsExit(int32_t budgetMs)
{
    const int32_t budget = std::clamp(budgetMs, 0, kMaxChildBudgetMs);
    const SteadyClock::time_point start = SteadyClock::now();
    uint16_t ended = 0;
    std::unique_lock<std::mutex> lock(m_childMutex);
    while (budget > 0 && !m_childThreads.empty()) {
        lock.unlock();
        SleepMs(kChildPollMs);
        lock.lock();
        for (auto it = m_childThreads.begin(); it != m_childThreads.end();) {
            if (!it->second || !it->second->WaitForEnd(0)) {
                ++it;
                continue;
            }
            TYX_LOG(6, L"MidProc: Thread[ID=%d] exited with code=%d.", it->first,
                    static_cast<int32_t>(it->second->ExitCode()));
            it = m_childThreads.erase(it);
            ++ended;
        }
        if (ElapsedMs(start) >= static_cast<uint64_t>(budget))
            break;
    }
    for (auto &[tid, thread] : m_childThreads) {
        if (!thread)
            continue;
        if (thread->WaitForEnd(0)) {
            ++ended;
            continue;
        }
        TYX_LOG(5, L"MidProc: Thread[ID=%d] was forcedly closed by TerminateThread()!", tid);
        m_abandonedChildren[tid] = std::move(thread);
    }
    m_childThreads.clear();
    return ended;
}

int32_t CTYXWorker::StartDataPushing()
{
    if (!m_startPushEvent)
        return TYX_ERR_NO_PUSH_EVENT;
    m_startPushEvent->Set();
    return 0;
}

int32_t CTYXWorker::StopDataPushing()
{
    // Stops are spaced at least 6 s apart, counted from the last accepted one.
    const uint32_t now = NowTickMs();
    if (now - m_pushTimeStamp.load() < TYX_PUSH_STOP_INTERVAL_MS)
        return TYX_ERR_PUSH_TOO_SOON;
    if (!m_stopPushEvent)
        return TYX_ERR_NO_PUSH_EVENT;
    m_stopPushEvent->Set();
    m_pushTimeStamp = now;
    return 0;
}

void CTYXWorker::SetThreadsPriorityAffinity(int32_t priority, uint64_t affinityMask)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const std::shared_ptr<CThread> thread = MainThread();
    if (!thread) {
        TYX_LOG(3, L"Worker[WID=%d] Thread priority Getting failed with lasterror=%d!", wid, ESRCH);
    } else if (priority != m_priority) {
        const int rc = thread->SetPriority(priority);
        if (rc == 0) {
            m_priority = priority;
            TYX_LOG(7, L"Worker[WID=%d] Thread priority was set to %d!", wid, priority);
        } else {
            TYX_LOG(3, L"Worker[WID=%d] Thread priority setting failed with lasterror=%d!", wid, -rc);
        }
    }
    uint64_t oldMask = 0;
    int rc = -ESRCH;
    if (thread) {
        (void)thread->GetAffinity(oldMask);
        rc = thread->SetAffinity(affinityMask);
    }
    if (rc == 0)
        TYX_LOG(7, L"Worker[WID=%d] Thread Affinity was set from %lld  to %lld!", wid, static_cast<long long>(oldMask),
                static_cast<long long>(affinityMask));
    else
        TYX_LOG(3, L"Worker[WID=%d] Thread Affinity setting failed with lasterror=%d!", wid, -rc);
}
