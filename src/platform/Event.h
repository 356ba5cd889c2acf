#pragma once

#include <cstdint>
#include <initializer_list>
#include <list>
#include <mutex>

// Results of the waits, as the callers of the original event API expect them.
constexpr int32_t TYX_WAIT_OBJECT_0 = 0;
constexpr int32_t TYX_WAIT_TIMEOUT = 258;
constexpr uint32_t TYX_INFINITE = 0xFFFFFFFFu;

struct stEventWaiter;

// A manual- or auto-reset event. Set wakes every waiter of a manual-reset event and exactly one
// waiter of an auto-reset event, which resets it on the way out. Any thread may call any method.
class CEvent
{
public:
    explicit CEvent(bool manualReset, bool initialState = false);
    ~CEvent();
    CEvent(const CEvent &) = delete;
    CEvent &operator=(const CEvent &) = delete;

    void Set();
    void Reset();
    bool IsSet() const;
    // TYX_WAIT_OBJECT_0 when signalled within timeoutMs, else TYX_WAIT_TIMEOUT.
    int32_t Wait(uint32_t timeoutMs = TYX_INFINITE);

private:
    friend int32_t WaitForAnyEvent(std::initializer_list<CEvent *>, uint32_t);
    bool TryConsumeLocked();
    void Attach(stEventWaiter *waiter);
    void Detach(stEventWaiter *waiter);

    const bool m_manualReset;
    bool m_signalled;
    mutable std::mutex m_mutex;
    std::list<stEventWaiter *> m_waiters;
};

// Waits until one of the events is signalled; the result is TYX_WAIT_OBJECT_0 plus the index of the
// first signalled event (consuming it when auto-reset), or TYX_WAIT_TIMEOUT.
int32_t WaitForAnyEvent(std::initializer_list<CEvent *> events, uint32_t timeoutMs);
