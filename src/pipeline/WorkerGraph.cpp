#include "pipeline/WorkerGraph.h"

#include "pipeline/WorkerKinds.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/TickCount.h"

#include <chrono>
#include <exception>
#include <thread>

namespace {

constexpr size_t kMaxWorkersPerKind = 256;

bool ScreenOutput()
{
    return CTYXWorker::IsProcessScreenOutputOn();
}

// The package kind of the producer's output item that has the stream id, and the producer's id.
void FindProducerOf(uint32_t streamId, uint32_t &producerId, int32_t &paketKind)
{
    producerId = 0;
    paketKind = 0;
    const stTYXWorkerConfig *producer = CTYXGVMS::GetWorkerConfigById(streamId);
    if (!producer)
        return;
    for (const stTYXWorkerItemInfo &item : producer->GetOutputItems()) {
        if (static_cast<uint32_t>(item.Id) == streamId) {
            producerId = static_cast<uint32_t>(producer->WorkerId);
            paketKind = item.Kind;
            return;
        }
    }
}

void ReportCreationFailure(const wchar_t *kindName, const stTYXWorkerConfig &config, int32_t result)
{
    TYX_LOG(3, L"%s[%d:%s] creating failed with error[%d] returned!!", kindName, config.WorkerId, config.Name.c_str(),
            result);
    if (ScreenOutput())
        ConsolePrintfW(L"\t%s[%d:%s] creating failed!!\n", kindName, config.WorkerId, config.Name.c_str());
}

} // namespace

CWorkerGraph::CWorkerGraph(CWorkerFactoryTable factories, stGraphClock clock)
    : m_factories(std::move(factories)), m_clock(std::move(clock))
{
}

int32_t CWorkerGraph::SetWorkerName(CTYXWorker &worker, const std::wstring &name)
{
    if (name.empty())
        return 0;
    worker.SetName(name);
    return 1;
}

std::shared_ptr<CTYXWorker::InputLinkMap> CWorkerGraph::MakeInputLinks(const stTYXWorkerConfig &config)
{
    auto links = std::make_shared<CTYXWorker::InputLinkMap>();
    for (const stTYXWorkerItemInfo &item : config.GetInputItems()) {
        const uint32_t streamId = static_cast<uint32_t>(item.Id);
        stWorkerInputLink link;
        FindProducerOf(streamId, link.producerId, link.paketKind);
        link.CreateQueue();
        link.consumerId = static_cast<uint32_t>(config.WorkerId);
        (*links)[streamId] = link;
        CTYXGVMS::AddConsumerLink(streamId, config.WorkerId, link);
    }
    return links;
}

std::shared_ptr<CTYXWorker::ConsumerLinkMap> CWorkerGraph::MakeConsumerLinks(const stTYXWorkerConfig &config)
{
    auto links = std::make_shared<CTYXWorker::ConsumerLinkMap>();
    CTYXGVMS::FillConsumerLinkMap(config, *links);
    return links;
}

int32_t CWorkerGraph::CreateSingleWorker(int32_t kind, stTYXWorkerConfig *config, stTYXWorkerInstanceInfo *record)
{
    if (!config || !record)
        return -1;
    const uint32_t workerId = static_cast<uint32_t>(config->WorkerId);
    // A type without a class is refused before links are made: links of a worker that never
    // exists would hold its producers' packages for nobody.
    const int32_t type = CWorkerFactoryTable::TypeOfConfig(kind, *config);
    const stWorkerFactoryEntry *entry = m_factories.Find(kind, type);
    if (!entry)
        return CWorkerFactoryTable::NoClassResult(kind);
    if (!entry->create) {
        TYX_LOG(3, L"%s[%d:%s]: the worker class %s is not available in this build.", WorkerKindName(kind),
                config->WorkerId, config->Name.c_str(), entry->className.c_str());
        if (ScreenOutput())
            ConsolePrintfW(L"\t%s[%d:%s]: %s not available.\n", WorkerKindName(kind), config->WorkerId,
                           config->Name.c_str(), entry->className.c_str());
        return CWorkerFactoryTable::NoClassResult(kind);
    }
    record->CopyFromConfig(config);
    const bool linkedIn = (config->InputStreamTypes & TYX_STRM_LINKED) != 0;
    const bool linkedOut = (config->OutputStreamTypes & TYX_STRM_LINKED) != 0;
    std::shared_ptr<CTYXWorker::InputLinkMap> inputs = linkedIn ? MakeInputLinks(*config) : nullptr;
    std::shared_ptr<CTYXWorker::ConsumerLinkMap> consumers = linkedOut ? MakeConsumerLinks(*config) : nullptr;
    std::shared_ptr<CTYXWorker> worker;
    try {
        worker = entry->create(*config, workerId, inputs.get(), consumers.get());
    } catch (const std::exception &error) {
        TYX_LOG(2, L"%s[%d:%s]: constructing failed: %hs", WorkerKindName(kind), config->WorkerId,
                config->Name.c_str(), error.what());
    }
    if (!worker) {
        CTYXGVMS::RemoveConsumerLinks(0, workerId);
        return CWorkerFactoryTable::NoClassResult(kind);
    }
    SetWorkerName(*worker, config->Name);
    worker->CopyInConfiguration(config);
    TYX_LOG(6, L"Configurations copied into  Worker[%s:%d].", config->Name.c_str(), config->WorkerId);
    CTYXGVMS::BindConsumerWorker(config->WorkerId, worker);
    worker->SetOutputParamsCallback(&CTYXGVMS::OnWorkerOutputParamsChanged);
    record->Worker = worker;
    record->InputLinks = inputs;
    if ((config->InputStreamTypes | config->OutputStreamTypes) & TYX_STRM_RAW_VIDEO)
        AttachOverlays(kind, worker, *config);
    return 0;
}

int32_t CWorkerGraph::CreateWorkerGroup(int32_t kind)
{
    const size_t configured = ConfiguredCountOfKind(kind);
    if (configured > kMaxWorkersPerKind)
        return -1;
    if (configured == 0)
        return 0;
    ClearInstancesOfKind(kind);
    const wchar_t *kindName = WorkerKindName(kind);
    TYX_LOG(6, L"creating %s...(%d in configuration)", kindName, static_cast<int32_t>(configured));
    int32_t created = 0;
    for (stTYXWorkerConfig *config : ConfiguredWorkersOfKind(kind)) {
        std::shared_ptr<stTYXWorkerInstanceInfo> record = NewInstanceRecord(kind);
        const int32_t result = CreateSingleWorker(kind, config, record.get());
        if (result < 0) {
            ReportCreationFailure(kindName, *config, result);
            continue;
        }
        TYX_LOG(6, L"%s[%x:%s] created.", kindName, config->WorkerId, config->Name.c_str());
        CTYXGVMS::PublishWorkerInstance(record);
        ++created;
    }
    if (ScreenOutput())
        ConsolePrintfW(L"\t %d %ss created. \n", created, kindName);
    TYX_LOG(5, L"[%d] %s created successfully and %d creating failed.", created, kindName,
            static_cast<int32_t>(configured) - created);
    return static_cast<int32_t>(InstanceCountOfKind(kind));
}

int32_t CWorkerGraph::CreateAllWorkers()
{
    int32_t total = 0;
    for (const stWorkerKindInfo &info : GraphKindsConsumersFirst())
        if (ConfiguredCountOfKind(info.kind) > 0)
            total += CreateWorkerGroup(info.kind);
    return total;
}

uint32_t CWorkerGraph::NowMs() const
{
    return m_clock.tickMs ? m_clock.tickMs() : GetTickCount32();
}

void CWorkerGraph::Pause(uint32_t ms) const
{
    if (m_clock.sleepMs)
        m_clock.sleepMs(ms);
    else
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
