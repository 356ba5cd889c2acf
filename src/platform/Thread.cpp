#include "platform/Thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

enum class EThreadGate { Suspended, Resumed, Cancelled };

struct stThreadState
{
    std::mutex mutex;
    std::condition_variable cond;
    EThreadGate gate = EThreadGate::Suspended;
    bool ended = false;
    uint32_t exitCode = TYX_STILL_ACTIVE;
    int tid = 0;
    CThread::Body body;
    std::thread thread;
};

namespace {

void ThreadTrampoline(std::shared_ptr<stThreadState> state)
{
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->tid = GetCurrentThreadIdInt();
        state->cond.notify_all();
        state->cond.wait(lock, [&] { return state->gate != EThreadGate::Suspended; });
        if (state->gate == EThreadGate::Cancelled) {
            state->ended = true;
            state->exitCode = 0;
            state->cond.notify_all();
            return;
        }
    }
    uint32_t code = TYX_THREAD_EXCEPTION_EXIT;
    try {
        code = state->body();
    } catch (...) {
        // The body's owner reports the failure; the thread must not take the process down.
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->body = nullptr;
    state->exitCode = code;
    state->ended = true;
    state->cond.notify_all();
}

} // namespace

CThread::CThread() = default;

CThread::~CThread()
{
    if (!m_state)
        return;
    bool joinable = false;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->gate == EThreadGate::Suspended)
            m_state->gate = EThreadGate::Cancelled;
        m_state->cond.notify_all();
        joinable = m_state->ended || m_state->gate == EThreadGate::Cancelled;
    }
    if (joinable && m_state->thread.joinable() && m_state->thread.get_id() != std::this_thread::get_id())
        m_state->thread.join();
    else
        Abandon();
}

int CThread::CreateSuspended(Body body)
{
    if (m_state)
        return -EEXIST;
    auto state = std::make_shared<stThreadState>();
    state->body = std::move(body);
    try {
        state->thread = std::thread(ThreadTrampoline, state);
    } catch (const std::system_error &error) {
        return error.code().value() > 0 ? -error.code().value() : -EAGAIN;
    }
    // Wait until the thread has its kernel id, so ThreadId is valid at once.
    std::unique_lock<std::mutex> lock(state->mutex);
    state->cond.wait(lock, [&] { return state->tid != 0; });
    lock.unlock();
    m_state = std::move(state);
    return 0;
}

void CThread::Resume()
{
    if (!m_state)
        return;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->gate == EThreadGate::Suspended)
        m_state->gate = EThreadGate::Resumed;
    m_state->cond.notify_all();
}

bool CThread::CancelIfSuspended()
{
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    if (m_state->gate != EThreadGate::Suspended)
        return false;
    m_state->gate = EThreadGate::Cancelled;
    m_state->cond.notify_all();
    return true;
}

bool CThread::IsRunning() const
{
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->gate == EThreadGate::Resumed && !m_state->ended;
}

uint32_t CThread::ExitCode() const
{
    if (!m_state)
        return TYX_STILL_ACTIVE;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->exitCode;
}

bool CThread::WaitForEnd(uint32_t timeoutMs)
{
    if (!m_state)
        return true;
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_state->ended; });
}

void CThread::Join()
{
    if (!m_state)
        return;
    Resume();
    if (m_state->thread.joinable() && m_state->thread.get_id() != std::this_thread::get_id())
        m_state->thread.join();
}

void CThread::Abandon()
{
    if (!m_state)
        return;
    if (m_state->thread.joinable())
        m_state->thread.detach();
    m_state.reset();
}

int CThread::ThreadId() const
{
    if (!m_state)
        return 0;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->tid;
}

int CThread::SetPriority(int priority)
{
    const int tid = ThreadId();
    if (tid == 0)
        return -ESRCH;
    // Priorities grow upwards, nice values downwards; raising needs CAP_SYS_NICE.
    const int niceValue = std::clamp(-priority, -20, 19);
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), niceValue) != 0)
        return -errno;
    return 0;
}

int CThread::SetAffinity(uint64_t mask)
{
    const int tid = ThreadId();
    if (tid == 0)
        return -ESRCH;
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (mask & (uint64_t{1} << cpu))
            CPU_SET(cpu, &set);
    }
    if (sched_setaffinity(tid, sizeof(set), &set) != 0)
        return -errno;
    return 0;
}

int CThread::GetAffinity(uint64_t &mask) const
{
    const int tid = ThreadId();
    if (tid == 0)
        return -ESRCH;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(tid, sizeof(set), &set) != 0)
        return -errno;
    mask = 0;
    for (int cpu = 0; cpu < 64; ++cpu) {
        if (CPU_ISSET(cpu, &set))
            mask |= uint64_t{1} << cpu;
    }
    return 0;
}

int GetCurrentThreadIdInt()
{
    return static_cast<int>(syscall(SYS_gettid));
}

int GetCurrentProcessIdInt()
{
    return static_cast<int>(getpid());
}
