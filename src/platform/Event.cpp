#include "platform/Event.h"

#include <chrono>
#include <condition_variable>

// Every wait, single or multiple, registers one waiter on each event it watches; Set wakes the
// registered waiters, which then try to consume the signal under the event's own mutex. This keeps
// auto-reset semantics exact (one waiter wins) without a process-wide lock.
struct stEventWaiter
{
    std::mutex mutex;
    std::condition_variable cond;
    bool woken = false;
};

CEvent::CEvent(bool manualReset, bool initialState)
    : m_manualReset(manualReset), m_signalled(initialState)
{
}

CEvent::~CEvent() = default;

void CEvent::Set()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = true;
    for (stEventWaiter *waiter : m_waiters) {
        std::lock_guard<std::mutex> waiterLock(waiter->mutex);
        waiter->woken = true;
        waiter->cond.notify_one();
    }
}

void CEvent::Reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_signalled = false;
}

bool CEvent::IsSet() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_signalled;
}

bool CEvent::TryConsumeLocked()
{
    if (!m_signalled)
        return false;
    if (!m_manualReset)
        m_signalled = false;
    return true;
}

void CEvent::Attach(stEventWaiter *waiter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiters.push_back(waiter);
}

void CEvent::Detach(stEventWaiter *waiter)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiters.remove(waiter);
}

int32_t CEvent::Wait(uint32_t timeoutMs)
{
    return WaitForAnyEvent({this}, timeoutMs);
}

int32_t WaitForAnyEvent(std::initializer_list<CEvent *> events, uint32_t timeoutMs)
{
    if (timeoutMs == 0) {
        // A poll neither sleeps (a timed wait that is already due still costs the timer slack)
        // nor attaches a waiter.
        int32_t index = 0;
        for (CEvent *event : events) {
            std::lock_guard<std::mutex> lock(event->m_mutex);
            if (event->TryConsumeLocked())
                return TYX_WAIT_OBJECT_0 + index;
            ++index;
        }
        return TYX_WAIT_TIMEOUT;
    }
    using Clock = std::chrono::steady_clock;
    const bool forever = timeoutMs == TYX_INFINITE;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);

    stEventWaiter waiter;
    for (CEvent *event : events)
        event->Attach(&waiter);

    int32_t result = TYX_WAIT_TIMEOUT;
    for (;;) {
        {
            std::lock_guard<std::mutex> waiterLock(waiter.mutex);
            waiter.woken = false;
        }
        int32_t index = 0;
        for (CEvent *event : events) {
            std::lock_guard<std::mutex> lock(event->m_mutex);
            if (event->TryConsumeLocked()) {
                result = TYX_WAIT_OBJECT_0 + index;
                break;
            }
            ++index;
        }
        if (result != TYX_WAIT_TIMEOUT)
            break;
        std::unique_lock<std::mutex> waiterLock(waiter.mutex);
        if (forever) {
            waiter.cond.wait(waiterLock, [&] { return waiter.woken; });
        } else if (!waiter.cond.wait_until(waiterLock, deadline, [&] { return waiter.woken; })) {
            break;
        }
    }

    for (CEvent *event : events)
        event->Detach(&waiter);
    return result;
}
