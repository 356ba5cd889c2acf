#pragma once

#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

// Makes the worker of one configuration: worker id, input links (none for a worker without
// linked inputs), consumer links (none for one without linked outputs). None when it cannot.
using WorkerCreateFunction = std::function<std::shared_ptr<CTYXWorker>(
    const stTYXWorkerConfig &config, uint32_t workerId, const CTYXWorker::InputLinkMap *inputLinks,
    const CTYXWorker::ConsumerLinkMap *consumerLinks)>;
// Hands the negotiated input frame rate to a worker that takes one.
using FrameRateSetter = std::function<void(CTYXWorker &worker, float framesPerSecond)>;

// One worker class of the graph: the kind and type value that select it and how it is made. A
// class without a create function is known but not built into this program ("not available").
struct stWorkerFactoryEntry
{
    int32_t kind = 0;
    int32_t type = 0;
    std::wstring className;
    WorkerCreateFunction create;
    FrameRateSetter setInputFrameRate;
};

// The worker classes by kind and by the configuration's type field, so that the graph creates
// workers through one table and tests put their own classes in it.
class CWorkerFactoryTable
{
public:
    void Register(stWorkerFactoryEntry entry);
    // The entry of the kind and type, or none when the kind has no class for the type.
    const stWorkerFactoryEntry *Find(int32_t kind, int32_t type) const;
    bool Empty() const { return m_entries.empty(); }

    // The field that picks the class within a kind: MSTYPE, DecoderType, MPType, EncoderType; 0 for
    // media writers, which have one class; -1 for a configuration of another kind's record.
    static int32_t TypeOfConfig(int32_t kind, const stTYXWorkerConfig &config);
    // What creation gives for a type without a worker class: -8 readers, -1 decoders and encoders,
    // -2 mid-processors and any other kind.
    static int32_t NoClassResult(int32_t kind);

private:
    std::map<std::pair<int32_t, int32_t>, stWorkerFactoryEntry> m_entries;
};
