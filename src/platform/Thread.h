#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// Exit code of a thread that has not ended yet, as the stop protocol polls for it.
constexpr uint32_t TYX_STILL_ACTIVE = 259;
// Exit code of a thread whose body ended by an exception.
constexpr uint32_t TYX_THREAD_EXCEPTION_EXIT = 20;

struct stThreadState;

// A thread created suspended: its body runs only after Resume. The exit code is the body's result.
// Threads are never killed: Abandon lets a thread that missed its stop budget run on detached, and
// the shared state it uses stays alive until it ends.
class CThread
{
public:
    using Body = std::function<uint32_t()>;

    CThread();
    ~CThread(); // joins an ended or never-resumed thread; abandons one that still runs
    CThread(const CThread &) = delete;
    CThread &operator=(const CThread &) = delete;

    // 0, or a negative errno when the thread cannot be made.
    [[nodiscard]] int CreateSuspended(Body body);
    void Resume();
    // Releases a thread that was never resumed through its start gate: it ends at once, with exit
    // code 0, without running its body. False when it had been resumed (or was never created).
    bool CancelIfSuspended();
    bool IsCreated() const { return m_state != nullptr; }
    bool IsRunning() const;
    // The body's result, or TYX_STILL_ACTIVE while it runs (or was never resumed).
    uint32_t ExitCode() const;
    // Waits up to timeoutMs for the body to end; true when it has ended.
    bool WaitForEnd(uint32_t timeoutMs);
    // Waits without limit and joins; the thread must be resumed or never have been created.
    void Join();
    // Leaves a thread that has not ended to finish on its own.
    void Abandon();
    // Kernel id of the thread (0 before it has started).
    int ThreadId() const;

    // Best effort scheduling hints; a negative errno when the system refuses them.
    int SetPriority(int priority);
    int SetAffinity(uint64_t mask);
    // The thread's affinity over the first 64 processors; 0 or a negative errno.
    int GetAffinity(uint64_t &mask) const;

private:
    std::shared_ptr<stThreadState> m_state;
};

int GetCurrentThreadIdInt();
int GetCurrentProcessIdInt();
