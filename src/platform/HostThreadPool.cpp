#include "platform/HostThreadPool.h"

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

struct stParallelWork
{
    explicit stParallelWork(size_t total, const std::function<void(size_t)> *function)
        : count(total), fn(function)
    {
    }
    const size_t count;
    const std::function<void(size_t)> *fn; // valid until every item is done
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::mutex mutex;
    std::condition_variable cond;
};

// Takes items until none is left; a helper that starts late finds none and never touches fn.
void RunItems(stParallelWork &work)
{
    for (;;) {
        const size_t item = work.next.fetch_add(1);
        if (item >= work.count)
            return;
        (*work.fn)(item);
        if (work.done.fetch_add(1) + 1 == work.count) {
            std::lock_guard<std::mutex> lock(work.mutex);
            work.cond.notify_all();
        }
    }
}

} // namespace

CHostThreadPool &CHostThreadPool::Instance()
{
    static CHostThreadPool pool(std::max(1u, std::thread::hardware_concurrency()));
    return pool;
}

CHostThreadPool::CHostThreadPool(size_t threads)
{
    for (size_t i = 0; i < threads; ++i)
        m_threads.emplace_back([this] { WorkerMain(); });
}

CHostThreadPool::~CHostThreadPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_cond.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void CHostThreadPool::WorkerMain()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [this] { return m_quit || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

void CHostThreadPool::ParallelFor(size_t count, const std::function<void(size_t)> &fn)
{
    if (count == 0)
        return;
    if (count == 1) {
        fn(0);
        return;
    }
    auto work = std::make_shared<stParallelWork>(count, &fn);
    const size_t helpers = std::min(count - 1, m_threads.size());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < helpers; ++i)
            m_jobs.emplace_back([work] { RunItems(*work); });
    }
    m_cond.notify_all();
    RunItems(*work);
    std::unique_lock<std::mutex> lock(work->mutex);
    work->cond.wait(lock, [&] { return work->done.load() == work->count; });
}
