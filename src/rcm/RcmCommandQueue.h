#pragma once

#include "rcm/RcmHttpDaemon.h"
#include "rcm/RcmProtocol.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// One queued command of a category thread.
struct stRcmRequest
{
    int64_t ReceiveTime = 0; // seconds since 1970
    std::wstring SessionId;
    uint32_t CommandSn = 0;
    std::wstring UserName;
    std::string CommandName;
    RcmParamMap Params;
    bool WaitResult = false;
    int32_t State = 1;
    int64_t QueueTime = 0;
    // The reply still owed to the client; none when the acceptance reply was the answer.
    std::shared_ptr<CRcmPendingReply> Reply;
};

// The queue between the request thread and one category thread.
class CRcmCommandQueue
{
public:
    void Push(stRcmRequest request);
    // The oldest request; waits while the queue is empty, none once stopped and empty.
    std::optional<stRcmRequest> Pop();
    // Wakes the waiting thread; later pushes are refused (their replies are completed as busy).
    void Stop();
    size_t Size() const;

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<stRcmRequest> m_requests;
    bool m_stopped = false;
};
