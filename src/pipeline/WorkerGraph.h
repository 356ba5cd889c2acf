#pragma once

#include "pipeline/WorkerFactoryTable.h"

#include "host/WorkerInstanceInfo.h"

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>

// The tick count and the pause that the passes wait with; tests give their own.
struct stGraphClock
{
    std::function<uint32_t()> tickMs;
    std::function<void(uint32_t ms)> sleepMs;
};

// The worker graph of "StreamCfg.xml": creates the configured workers kind by kind through the
// factory table, links them through the link registry and drives them through their life. The
// passes run on the host's main thread, one after the other.
class CWorkerGraph
{
public:
    explicit CWorkerGraph(CWorkerFactoryTable factories, stGraphClock clock = {});

    // ---- creation ----
    // 0; -1 without configuration or record, or for a decoder or encoder type without class; -8 for
    // a reader type without class; -2 for a mid-processor type or a kind without class.
    int32_t CreateSingleWorker(int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record);
    // The number of the kind's workers created; 0 with none configured; -1 with more than 256.
    int32_t CreateWorkerGroup(int32_t kind);
    // Every kind, consumers first: the sum of the groups' results.
    int32_t CreateAllWorkers();

    // ---- passes over the created workers ----
    int32_t InitAllWorkers(int32_t deviceIndex);
    int32_t InitWorkerGroup(int32_t kind, int32_t deviceIndex);
    int32_t StartWorkerGroup(int32_t kind);
    int32_t SetWorkerGroupAffinity(int32_t kind, uint64_t affinityMask);
    int32_t ResumeWorkerGroup(int32_t kind);
    int32_t StopWorkerGroupThreads(int32_t kind);
    // Lets the kind's running workers work off what their producers left queued for them, until
    // the queues are empty, stop shrinking or the drain's budget is spent: the packages left.
    size_t DrainWorkerGroup(int32_t kind);
    // Drains the kind, stops its threads and releases its workers.
    int32_t StopWorkerGroup(int32_t kind);
    // Gives every decoder, and every reader of capture video, the negotiated input frame rate: the
    // number of workers that took it.
    int32_t ApplyInputFrameRate(float framesPerSecond);

    const CWorkerFactoryTable &Factories() const { return m_factories; }

    // The name of a worker becomes name when it is not empty: 1, else 0.
    static int32_t SetWorkerName(CTYXWorker &worker, const std::wstring &name);

private:
    std::shared_ptr<CTYXWorker::InputLinkMap> MakeInputLinks(const stTYXWorkerConfig &config);
    std::shared_ptr<CTYXWorker::ConsumerLinkMap> MakeConsumerLinks(const stTYXWorkerConfig &config);
    void AttachOverlays(int32_t kind, const std::shared_ptr<CTYXWorker> &worker, const stTYXWorkerConfig &config);
    void ReleaseRecord(int32_t kind, const std::shared_ptr<stTYXWorkerInstanceInfo> &record);
    uint32_t NowMs() const;
    void Pause(uint32_t ms) const;

    CWorkerFactoryTable m_factories;
    stGraphClock m_clock;
};
