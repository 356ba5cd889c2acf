#pragma once

// Workers that record what the graph does with them, and a configuration file that links them.

#include "pipeline/WorkerFactoryTable.h"
#include "vproc/RVProcWorker.h"

#include <atomic>
#include <latch>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The calls the graph made, in order: "<pass> <worker name>".
class CCallLog
{
public:
    void Add(const std::string &call);
    std::vector<std::string> Calls() const;
    // The worker names of the calls of one pass, in order.
    std::vector<std::string> Of(const std::string &pass) const;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

class CGraphTestWorker : public CRVProcWorker
{
public:
    CGraphTestWorker(uint32_t id, int32_t kind, const InputLinkMap *inputs, const ConsumerLinkMap *consumers,
                     std::shared_ptr<CCallLog> log);
    ~CGraphTestWorker() override;

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    void SetThreadsPriorityAffinity(int32_t priority, uint64_t affinityMask) override;

    bool ExitRequested() { return m_exitEvent->Wait(0) == TYX_WAIT_OBJECT_0; }
    std::map<uint32_t, stWorkerInputLink> InputLinks() { return m_inputLinks.Items(); }
    bool TimeOsdOn() const { return m_timeOsdOn.load() != 0; }

    std::string Tag() const;
    // A worker whose thread ignores its exit event until the latch is counted down.
    std::shared_ptr<std::latch> hangUntil;
    std::atomic<int32_t> uninitialised{0};
    int32_t priority = -1;
    uint64_t mask = 0;
    uint8_t initFlag = 0xFF;
    int32_t initValue = -99;
    std::atomic<float> inputFrameRate{0.0f};
    // Packages its inputs still queued when its thread saw the exit event (-1 before).
    std::atomic<int64_t> queuedAtExit{-1};

private:
    std::shared_ptr<CCallLog> m_log;
};

// Every kind and type of the sample graph made as a test worker.
CWorkerFactoryTable TestFactoryTable(const std::shared_ptr<CCallLog> &log);

// A "StreamCfg.xml" with two file readers, two decoders, a mux with a clock text, an encoder and
// a writer.
std::string GraphConfigText();
