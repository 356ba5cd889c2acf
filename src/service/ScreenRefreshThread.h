#pragma once

#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <thread>

// Keeps the monitor preview alive while start-up and the run go on: every 100 ms it redraws the
// monitors that no direct output shows.
class CScreenRefreshThread
{
public:
    CScreenRefreshThread() = default;
    ~CScreenRefreshThread();
    CScreenRefreshThread(const CScreenRefreshThread &) = delete;
    CScreenRefreshThread &operator=(const CScreenRefreshThread &) = delete;

    // The thread's id (the same id when it runs already).
    int32_t StartScreenRefreshThread(int32_t cudaDevice);
    // Ends the thread and waits for it: 0.
    int32_t StopRefreshThread();

private:
    uint32_t ScreenRefreshThreadMain(int32_t cudaDevice);

    CEvent m_stop{false};
    std::thread m_thread;
    std::atomic<int32_t> m_threadId{0};
};
