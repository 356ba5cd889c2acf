#include "rcm/RcmCommandQueue.h"

#include "rcm/RcmReply.h"
#include "rcm/RcmTables.h"

void CRcmCommandQueue::Push(stRcmRequest request)
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_stopped) {
            m_requests.push_back(std::move(request));
            m_ready.notify_one();
            return;
        }
    }
    if (request.Reply)
        request.Reply->Complete(MakeRcmError(RCM_ERR_BUSY, request.CommandSn));
}

std::optional<stRcmRequest> CRcmCommandQueue::Pop()
{
    std::unique_lock lock(m_mutex);
    m_ready.wait(lock, [this] { return m_stopped || !m_requests.empty(); });
    if (m_stopped)
        return std::nullopt;
    stRcmRequest request = std::move(m_requests.front());
    m_requests.pop_front();
    return request;
}

void CRcmCommandQueue::Stop()
{
    std::deque<stRcmRequest> left;
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
        left.swap(m_requests);
        m_ready.notify_all();
    }
    for (stRcmRequest &request : left) {
        if (request.Reply)
            request.Reply->Complete(MakeRcmError(RCM_ERR_BUSY, request.CommandSn));
    }
}

size_t CRcmCommandQueue::Size() const
{
    std::lock_guard lock(m_mutex);
    return m_requests.size();
}
