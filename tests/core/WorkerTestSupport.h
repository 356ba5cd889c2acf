#pragma once

// Test workers and link helpers shared by the worker framework tests.

#include "core/TYXWorker.h"

#include <cstring>
#include <functional>
#include <memory>

// A worker whose thread body is given by the test; it opens the protected state to the tests.
class CTestWorker : public CTYXWorker
{
public:
    using Body = std::function<uint32_t(CTestWorker &)>;

    CTestWorker(uint32_t id, const InputLinkMap *inputs = nullptr, const ConsumerLinkMap *consumers = nullptr,
                bool perInput = false, bool perOutput = false)
        : CTYXWorker(id, inputs, consumers, 6, perInput, perOutput)
    {
    }
    ~CTestWorker() override
    {
        if (onDestroy)
            onDestroy();
    }

    uint32_t WorkingFunc() override { return body ? body(*this) : 0; }

    // The worker's own exit wait, as a worker class would do it.
    bool ExitRequested(uint32_t timeoutMs = 0) { return m_exitEvent->Wait(timeoutMs) == TYX_WAIT_OBJECT_0; }
    CEvent &StartPushEvent() { return *m_startPushEvent; }
    CEvent &StopPushEvent() { return *m_stopPushEvent; }
    void SetName(const std::wstring &name) { m_name = name; }
    void SetRoute(uint32_t outputStreamId, int32_t inputStreamId)
    {
        CWriteLockGuard guard(m_routeMap.Lock());
        m_routeMap.Items()[outputStreamId] = inputStreamId;
    }
    void SetOutputFps(uint32_t outputStreamId, float fps)
    {
        UpdateStatistics(false, outputStreamId, [fps](stStreamStatistics &entry) { entry.fps = fps; });
    }
    StreamStatisticsMap &InputStatisticsMap() { return m_inputStatistics; }
    // The producer's own record of a consumer link (its states are its own).
    stWorkerLink &ConsumerLink(uint32_t stream, uint32_t consumer)
    {
        return m_consumerLinks.Items().at(stream).at(consumer);
    }
    int32_t StartChild(std::function<uint32_t()> childBody) { return StartChildThread(std::move(childBody)); }
    stStreamParams InputParams(uint32_t streamId) const { return GetInputParameters(streamId); }
    int32_t StopBudget() const { return m_stopBudget; }

    Body body;
    std::function<void()> onDestroy;
};

// A link between a producer's output stream and a consumer: both ends get a copy of it.
inline stWorkerLink MakeLink(uint32_t producerStreamId, uint32_t consumerId, int32_t kind, int64_t lastActive = 1)
{
    stWorkerLink link;
    link.CreateQueue();
    link.producerId = producerStreamId & ~0xFFu;
    link.consumerId = consumerId;
    link.paketKind = kind;
    link.lastActiveTime = lastActive;
    return link;
}

// A host package of the kind carrying its sequence number in its data and its pts.
inline FramePackage MakeDataPackage(int32_t kind, int64_t seq, int32_t length = 64)
{
    FramePackage package;
    package.kind = kind;
    package.pts = seq;
    if (AllocFramePackageData(package, length) == length)
        std::memcpy(package.pData, &seq, sizeof(seq));
    return package;
}

inline int64_t SeqOf(const FramePackage &package)
{
    int64_t seq = -1;
    if (package.pData && package.nLength >= static_cast<int32_t>(sizeof(seq)))
        std::memcpy(&seq, package.pData, sizeof(seq));
    return seq;
}
