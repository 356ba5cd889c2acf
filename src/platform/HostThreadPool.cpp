#include "platform/HostThreadPool.h"

#include <sched.h>

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
    static CHostThreadPool pool(AllowedProcessors());
    return pool;
}

size_t CHostThreadPool::AllowedProcessors()
{
    // A process started under taskset or a cgroup cpuset may run on fewer processors than the
    // machine has; threads beyond them would only take turns.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int allowed = CPU_COUNT(&set);
        if (allowed > 0)
            return static_cast<size_t>(allowed);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

CHostThreadPool::CHostThreadPool(size_t workers)
{
    for (size_t i = 1; i < workers; ++i)
        m_threads.emplace_back([this] { WorkerMain(); });
}

size_t CHostThreadPool::Size() const
{
    const size_t width = m_threads.size() + 1;
    const size_t limit = m_limit.load();
    return limit > 0 && limit < width ? limit : width;
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
    const size_t helpers = std::min(count - 1, Size() - 1);
    if (helpers == 0) {
        for (size_t i = 0; i < count; ++i)
            fn(i);
        return;
    }
    auto work = std::make_shared<stParallelWork>(count, &fn);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < helpers; ++i)
            m_jobs.emplace_back([work] { RunItems(*work); });
    }
    for (size_t i = 0; i < helpers; ++i)
        m_cond.notify_one();
    RunItems(*work);
    std::unique_lock<std::mutex> lock(work->mutex);
    work->cond.wait(lock, [&] { return work->done.load() == work->count; });
}
