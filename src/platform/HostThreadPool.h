#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The host backend's pool: one per process, as wide as the processors the process may run on. The
// caller of ParallelFor works on its items too, so a pool of n workers starts n - 1 threads, and a
// busy pool never stalls a caller. ParallelFor may be called from many threads at once.
class CHostThreadPool
{
public:
    static CHostThreadPool &Instance();
    // Processors the process may run on (its affinity mask), at least 1.
    static size_t AllowedProcessors();

    // workers counts the caller: workers - 1 threads are started.
    explicit CHostThreadPool(size_t workers);
    ~CHostThreadPool();
    CHostThreadPool(const CHostThreadPool &) = delete;
    CHostThreadPool &operator=(const CHostThreadPool &) = delete;

    // Workers a launch may use now, the caller included: the pool's width, or less under a limit.
    size_t Size() const;
    // Caps the workers of later launches (benchmarks compare one thread with the whole pool);
    // 0 lifts the cap. Any thread.
    void SetWorkerLimit(size_t workers) { m_limit.store(workers); }

    // Runs fn(i) for every i below count on at most Size() workers and returns when all have run.
    // Only as many threads are woken as there are items beyond the caller's first.
    void ParallelFor(size_t count, const std::function<void(size_t)> &fn);

private:
    void WorkerMain();

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_jobs;
    bool m_quit = false;
    std::atomic<size_t> m_limit{0};
    std::vector<std::thread> m_threads;
};
