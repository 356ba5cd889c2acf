#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The host backend's pool: one per process, sized to the cores. ParallelFor may be called from many
// threads at once; the caller works on its own items too, so a busy pool never stalls it.
class CHostThreadPool
{
public:
    static CHostThreadPool &Instance();

    explicit CHostThreadPool(size_t threads);
    ~CHostThreadPool();
    CHostThreadPool(const CHostThreadPool &) = delete;
    CHostThreadPool &operator=(const CHostThreadPool &) = delete;

    size_t Size() const { return m_threads.size(); }
    // Runs fn(i) for every i below count and returns when all have run.
    void ParallelFor(size_t count, const std::function<void(size_t)> &fn);

private:
    void WorkerMain();

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::function<void()>> m_jobs;
    bool m_quit = false;
    std::vector<std::thread> m_threads;
};
