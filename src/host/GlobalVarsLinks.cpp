// The link registry of CTYXGVMS: producer output stream id -> consumer id -> link, under one
// writer-preferring read-write lock. Lock order: a registry lock (readers, status table) before
// this one, this one before a worker's own link-map lock.

#include "host/GlobalVars.h"

#include "core/debuglog.h"
#include "host/GlobalVarsState.h"

#include <algorithm>

namespace {

// The consumers of a stream that are alive, taken under the read lock.
std::vector<std::shared_ptr<CTYXWorker>> ConsumersOf(uint32_t streamId, bool &hasEntry)
{
    stGvmsState &state = GvmsState();
    std::vector<std::shared_ptr<CTYXWorker>> consumers;
    CReadLockGuard guard(state.linksLock);
    const auto entry = state.links.find(streamId);
    hasEntry = entry != state.links.end();
    if (!hasEntry)
        return consumers;
    for (const auto &[consumerId, link] : entry->second) {
        if (std::shared_ptr<CTYXWorker> consumer = link.consumer.lock())
            consumers.push_back(std::move(consumer));
    }
    return consumers;
}

// Hands the parameters of a producer's stream to its consumers: the number called, -1 for an id of
// 0 or below. The consumers are called after the registry lock is released, so that one that
// publishes its own outputs at once cannot deadlock on the registry.
int32_t PassParamsToConsumers(uint32_t streamId, const stStreamParams &params)
{
    if (static_cast<int32_t>(streamId) <= 0)
        return -1;
    bool hasEntry = false;
    const std::vector<std::shared_ptr<CTYXWorker>> consumers = ConsumersOf(streamId, hasEntry);
    for (const std::shared_ptr<CTYXWorker> &consumer : consumers) {
        const uint32_t target = consumer->IsPerInputParams() ? streamId : static_cast<uint32_t>(-1);
        consumer->SetInputParameters(stStreamParams(params), target);
    }
    return static_cast<int32_t>(consumers.size());
}

} // namespace

ConsumerLinkRegistry &CTYXGVMS::LinkRegistry() { return GvmsState().links; }
CReadWriteLock &CTYXGVMS::LinkRegistryLock() { return GvmsState().linksLock; }

int32_t CTYXGVMS::AddConsumerLink(uint32_t producerStreamId, int32_t consumerId, const stWorkerLink &link)
{
    if (producerStreamId == 0 || consumerId <= 0)
        return -1;
    stWorkerLink record(link);
    record.producerId = producerStreamId & ~TYX_STREAM_BITS;
    stGvmsState &state = GvmsState();
    CWriteLockGuard guard(state.linksLock);
    CTYXWorker::ConsumerMap &consumers = state.links[producerStreamId];
    consumers.emplace(static_cast<uint32_t>(consumerId), record);
    return static_cast<int32_t>(consumers.size());
}

int32_t CTYXGVMS::RemoveConsumerLinks(uint32_t producerStreamId, uint32_t consumerId)
{
    if (producerStreamId == 0 && consumerId == 0)
        return -1;
    stGvmsState &state = GvmsState();
    CWriteLockGuard guard(state.linksLock);
    if (producerStreamId != 0) {
        const auto entry = state.links.find(producerStreamId);
        if (entry == state.links.end())
            return 0;
        if (consumerId == 0) {
            entry->second.clear();
            return 0;
        }
        entry->second.erase(consumerId);
        return static_cast<int32_t>(entry->second.size());
    }
    for (auto &[streamId, consumers] : state.links)
        consumers.erase(consumerId);
    return 0;
}

int32_t CTYXGVMS::BindConsumerWorker(int32_t consumerId, const std::shared_ptr<CTYXWorker> &consumer)
{
    if (consumerId <= 0)
        return -1;
    stGvmsState &state = GvmsState();
    CWriteLockGuard guard(state.linksLock);
    int32_t bound = 0;
    for (auto &[streamId, consumers] : state.links) {
        const auto found = consumers.find(static_cast<uint32_t>(consumerId));
        if (found == consumers.end())
            continue;
        found->second.consumer = consumer;
        if (std::shared_ptr<CTYXWorker> producer = found->second.producer.lock())
            producer->FindConsumerLink(static_cast<uint32_t>(consumerId));
        ++bound;
    }
    return bound;
}

int32_t CTYXGVMS::BindProducerWorker(int32_t producerStreamId, const std::shared_ptr<CTYXWorker> &producer)
{
    if (producerStreamId <= 0)
        return -1;
    const uint32_t streamId = static_cast<uint32_t>(producerStreamId);
    stGvmsState &state = GvmsState();
    CWriteLockGuard guard(state.linksLock);
    const auto entry = state.links.find(streamId);
    if (entry == state.links.end())
        return 0;
    int32_t bound = 0;
    for (auto &[consumerId, link] : entry->second) {
        link.producerId = streamId & ~TYX_STREAM_BITS;
        link.producer = producer;
        if (std::shared_ptr<CTYXWorker> consumer = link.consumer.lock())
            consumer->BindInputLinkProducer(streamId, producer);
        ++bound;
    }
    return bound;
}

std::optional<CTYXWorker::ConsumerMap> CTYXGVMS::GetConsumerLinks(int32_t producerStreamId)
{
    if (producerStreamId < 1)
        return std::nullopt;
    stGvmsState &state = GvmsState();
    CReadLockGuard guard(state.linksLock);
    const auto entry = state.links.find(static_cast<uint32_t>(producerStreamId));
    if (entry == state.links.end())
        return std::nullopt;
    return entry->second; // a copy: commands may change the registry after the lock is gone
}

void CTYXGVMS::GetConsumersOfStream(int32_t producerStreamId, std::vector<uint32_t> &consumerIds)
{
    consumerIds.clear();
    if (producerStreamId <= 0)
        return;
    stGvmsState &state = GvmsState();
    CReadLockGuard guard(state.linksLock);
    const auto entry = state.links.find(static_cast<uint32_t>(producerStreamId));
    if (entry == state.links.end())
        return;
    for (const auto &[consumerId, link] : entry->second)
        consumerIds.push_back(consumerId);
}

int32_t CTYXGVMS::GetProducersOfConsumer(uint32_t id, std::vector<uint32_t> &linkedIds)
{
    linkedIds.clear();
    if (id == 0)
        return -1;
    stGvmsState &state = GvmsState();
    {
        CReadLockGuard guard(state.linksLock);
        for (const auto &[streamId, consumers] : state.links) {
            const uint32_t producerId = streamId & ~TYX_STREAM_BITS;
            if (producerId == id) {
                for (const auto &[consumerId, link] : consumers)
                    linkedIds.push_back(consumerId);
            } else if (consumers.count(id) > 0) {
                linkedIds.push_back(producerId);
            }
        }
    }
    std::sort(linkedIds.begin(), linkedIds.end());
    linkedIds.erase(std::unique(linkedIds.begin(), linkedIds.end()), linkedIds.end());
    return static_cast<int32_t>(linkedIds.size());
}

int32_t CTYXGVMS::FillConsumerLinkMap(const stTYXWorkerConfig &config, CTYXWorker::ConsumerLinkMap &links)
{
    links.clear();
    stGvmsState &state = GvmsState();
    CReadLockGuard guard(state.linksLock);
    int32_t filled = 0;
    for (const stTYXWorkerItemInfo &item : config.GetOutputItems()) {
        const auto entry = state.links.find(static_cast<uint32_t>(item.Id));
        if (entry == state.links.end())
            continue;
        if (links.emplace(static_cast<uint32_t>(item.Id), entry->second).second)
            ++filled;
    }
    return filled;
}

int32_t CTYXGVMS::CopyWorkerOPamsToConsumers(const stTYXWorkerInstanceInfo *record)
{
    if (!record)
        return -1;
    TYX_LOG(6, L"Copy parameters from Worker(%s) to its consumers...", record->Name.c_str());
    const std::shared_ptr<CTYXWorker> worker = record->Worker;
    if (!worker)
        return -1;
    if (worker->IsPerOutputParams()) {
        const std::optional<CTYXWorker::StreamParamsMap> outputs = worker->GetOutputParametersMap();
        if (!outputs)
            return 0;
        int32_t given = 0;
        for (const auto &[streamId, params] : *outputs)
            given += std::max(0, PassParamsToConsumers(streamId, params));
        return given;
    }
    const uint32_t streamId = static_cast<uint32_t>(record->WorkerId) + 1;
    return std::max(0, PassParamsToConsumers(streamId, worker->GetOutputParameters()));
}

void CTYXGVMS::OnWorkerOutputParamsChanged(CTYXWorker *caller, uint32_t outputStreamId, const stStreamParams *params)
{
    (void)caller;
    if (params)
        PassParamsToConsumers(outputStreamId, *params);
}
