#include "pipeline/WorkerGraph.h"

#include "pipeline/InputLinks.h"
#include "pipeline/WorkerKinds.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "input/GMediaReader.h"
#include "platform/CriticalSection.h"

#include <set>

namespace {

constexpr uint32_t kStopBudgetMs = 3000;
constexpr uint32_t kStopPollMs = 20;
// What a stopped producer left queued is worked off for at most this long, and no longer than
// the queues keep shrinking.
constexpr uint32_t kDrainBudgetMs = 2000;
constexpr uint32_t kDrainSettledMs = 200;
constexpr uint32_t kPushAtBeginPauseMs = 50;
constexpr uint32_t kOutputStopPauseMs = 50;
constexpr int32_t kMidProcPriority = 15;

bool ScreenOutput()
{
    return CTYXWorker::IsProcessScreenOutputOn();
}

// Readers and writers keep their pictures on the host; the others work in device memory.
void InitArguments(int32_t kind, int32_t deviceIndex, uint8_t &flag, int32_t &value)
{
    flag = (kind == TYX_KIND_MEDIA_READER || kind == TYX_KIND_MEDIA_WRITER) ? 0 : 1;
    value = kind == TYX_KIND_MEDIA_WRITER ? -1 : deviceIndex;
}

const wchar_t *InitCaption(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return L"\tInitializing Media Reading workers...";
    case TYX_KIND_VIDEO_DECODER:
        return L"\tInitializing Video Decoding workers...";
    case TYX_KIND_VIDEO_MIDPROC:
        return L"\tInitializing VMP workers...";
    case TYX_KIND_VIDEO_ENCODER:
        return L"\tInitializing Video Encoding workers...";
    default:
        return L"\tInitializing Meida Writing workers...";
    }
}

// The packages queued for the consumers, over every link the registry holds (also those that
// commands added while the graph ran).
size_t QueuedFor(const std::set<uint32_t> &consumers)
{
    size_t queued = 0;
    CReadLockGuard guard(CTYXGVMS::LinkRegistryLock());
    for (const auto &[streamId, links] : CTYXGVMS::LinkRegistry()) {
        for (const auto &[consumerId, link] : links) {
            if (!link.HasQueue() || consumers.count(consumerId) == 0)
                continue;
            CCsLock lock(*link.queueLock);
            queued += link.queue->size();
        }
    }
    return queued;
}

bool ThreadsEnded(CTYXWorker &worker)
{
    bool childrenStopped = false;
    return worker.IsStopped(childrenStopped) && childrenStopped;
}

} // namespace

int32_t CWorkerGraph::InitWorkerGroup(int32_t kind, int32_t deviceIndex)
{
    uint8_t flag = 0;
    int32_t value = 0;
    InitArguments(kind, deviceIndex, flag, value);
    int32_t initialised = 0;
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
        if (!record->Worker)
            continue;
        const int32_t result = record->Worker->Initialize(flag, value);
        if (result < 0)
            TYX_LOG(3, L"%s[%x:%s] initialising returned %d.", WorkerKindName(kind), record->WorkerId,
                    record->Name.c_str(), result);
        std::vector<uint32_t> streams;
        record->Worker->GetOutputStreamIds(streams);
        for (uint32_t streamId : streams) {
            // A writer lists the streams it records among its outputs: they stay their makers'.
            if ((streamId & ~TYX_STREAM_BITS) != (static_cast<uint32_t>(record->WorkerId) & ~TYX_STREAM_BITS))
                continue;
            CTYXGVMS::BindProducerWorker(static_cast<int32_t>(streamId), record->Worker);
        }
        CTYXGVMS::CopyWorkerOPamsToConsumers(record.get());
        ++initialised;
    }
    return initialised;
}

int32_t CWorkerGraph::InitAllWorkers(int32_t deviceIndex)
{
    const auto &kinds = GraphKindsConsumersFirst();
    int32_t total = 0;
    for (auto kind = kinds.rbegin(); kind != kinds.rend(); ++kind) {
        if (ScreenOutput())
            ConsolePrintfW(L"%s", InitCaption(kind->kind));
        const int32_t result = InitWorkerGroup(kind->kind, deviceIndex);
        if (ScreenOutput())
            ConsolePrintfW(L"[%d] initailized.\n", result);
        total += result > 0 ? result : 0;
    }
    return total;
}

int32_t CWorkerGraph::StartWorkerGroup(int32_t kind)
{
    int32_t visited = 0;
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
        if (!record->Worker)
            continue;
        ++visited;
        const int32_t result = record->Worker->StartWorkingThread(record->Enabled, ScreenOutput() ? 1 : 0);
        if (result <= 0) {
            TYX_LOG(3, L"%s[%x:%s] thread starting failed with error=%d.", WorkerKindName(kind), record->WorkerId,
                    record->Name.c_str(), result);
            if (ScreenOutput())
                ConsolePrintfW(L"\t Worker]%d:%s] Starting failed. with error= %d!\n", record->WorkerId,
                               record->Name.c_str(), result);
            continue;
        }
        CTYXGVMS::UpdateWorkerInstance(static_cast<uint32_t>(record->WorkerId), [result](stTYXWorkerInstanceInfo &copy) {
            copy.ThreadId = static_cast<uint32_t>(result);
            copy.Running = 1;
        });
        if (ScreenOutput())
            ConsolePrintfW(L"\t Worker:%d:%s] Started with ThreadID= %d.\n", record->WorkerId, record->Name.c_str(),
                           result);
    }
    return visited;
}

int32_t CWorkerGraph::SetWorkerGroupAffinity(int32_t kind, uint64_t affinityMask)
{
    const int32_t priority = kind == TYX_KIND_VIDEO_MIDPROC ? kMidProcPriority : 0;
    int32_t visited = 0;
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
        if (!record->Worker)
            continue;
        record->Worker->SetThreadsPriorityAffinity(priority, affinityMask);
        ++visited;
    }
    return visited;
}

int32_t CWorkerGraph::ResumeWorkerGroup(int32_t kind)
{
    int32_t resumed = 0;
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
        if (!record->Worker)
            continue;
        if (record->Worker->ResumeWorkingThread() >= 0)
            ++resumed;
        if (record->PushAtBegin) {
            Pause(kPushAtBeginPauseMs);
            record->Worker->StartDataPushing();
        }
    }
    return resumed;
}

int32_t CWorkerGraph::StopWorkerGroupThreads(int32_t kind)
{
    const std::vector<std::shared_ptr<stTYXWorkerInstanceInfo>> records = InstanceRecordsOfKind(kind);
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : records)
        if (record->Worker)
            record->Worker->RequestThreadExit();
    const uint32_t start = NowMs();
    int32_t ended = 0;
    for (;;) {
        int32_t visited = 0;
        ended = 0;
        for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : records) {
            if (!record->Worker)
                continue;
            ++visited;
            ended += ThreadsEnded(*record->Worker) ? 1 : 0;
        }
        if (ended >= visited || NowMs() - start >= kStopBudgetMs)
            break;
        Pause(kStopPollMs);
    }
    return ended;
}

void CWorkerGraph::ReleaseRecord(int32_t kind, const std::shared_ptr<stTYXWorkerInstanceInfo> &record)
{
    if (kind == TYX_KIND_MEDIA_READER) {
        auto *reader = dynamic_cast<stMediaReadWorkerInstanceInfo *>(record.get());
        if (reader && reader->SourceReader)
            reader->SourceReader->Close();
    } else {
        ReleaseInputLinks(record->InputLinks.get());
    }
    if (kind == TYX_KIND_MEDIA_WRITER) {
        auto *writer = dynamic_cast<stMediaWriteWorkerInstanceInfo *>(record.get());
        if (writer && writer->OutputObject && writer->OutputObject->Stop) {
            writer->OutputObject->Stop();
            Pause(kOutputStopPauseMs);
        }
    }
    if (!record->Worker)
        return;
    // What a thread that outlived its stop still uses stays with it: the worker is only let go.
    if (ThreadsEnded(*record->Worker))
        record->Worker->unInitialize();
    else
        TYX_LOG(3, L"%s[%x:%s] still runs after its stop; it keeps its resources.", WorkerKindName(kind),
                record->WorkerId, record->Name.c_str());
}

size_t CWorkerGraph::DrainWorkerGroup(int32_t kind)
{
    std::set<uint32_t> consumers;
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind))
        if (record->Worker && record->Running)
            consumers.insert(static_cast<uint32_t>(record->WorkerId));
    if (consumers.empty())
        return 0;
    const uint32_t start = NowMs();
    uint32_t changed = start;
    size_t queued = QueuedFor(consumers);
    while (queued > 0) {
        const uint32_t now = NowMs();
        if (now - start >= kDrainBudgetMs || now - changed >= kDrainSettledMs)
            break;
        Pause(kStopPollMs);
        const size_t left = QueuedFor(consumers);
        if (left != queued) {
            queued = left;
            changed = NowMs();
        }
    }
    if (queued > 0)
        TYX_LOG(6, L"%s: %d packages left queued at the stop.", WorkerKindName(kind), static_cast<int32_t>(queued));
    return queued;
}

int32_t CWorkerGraph::StopWorkerGroup(int32_t kind)
{
    // The kinds stop producers first: what is on its way to this kind still reaches the outputs.
    DrainWorkerGroup(kind);
    const int32_t ended = StopWorkerGroupThreads(kind);
    for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
        ReleaseRecord(kind, record);
        CTYXGVMS::UpdateWorkerInstance(static_cast<uint32_t>(record->WorkerId), [](stTYXWorkerInstanceInfo &copy) {
            copy.Running = 0;
            copy.Worker.reset();
            copy.InputLinks.reset();
            if (auto *reader = dynamic_cast<stMediaReadWorkerInstanceInfo *>(&copy))
                reader->SourceReader.reset();
            if (auto *writer = dynamic_cast<stMediaWriteWorkerInstanceInfo *>(&copy))
                writer->OutputObject.reset();
        });
    }
    return ended;
}

int32_t CWorkerGraph::ApplyInputFrameRate(float framesPerSecond)
{
    int32_t given = 0;
    for (int32_t kind : {TYX_KIND_VIDEO_DECODER, TYX_KIND_MEDIA_READER}) {
        for (const std::shared_ptr<stTYXWorkerInstanceInfo> &record : InstanceRecordsOfKind(kind)) {
            if (!record->Worker || !record->Config)
                continue;
            const int32_t type = CWorkerFactoryTable::TypeOfConfig(kind, *record->Config);
            if (kind == TYX_KIND_MEDIA_READER && type != TYX_MS_VCAP)
                continue;
            const stWorkerFactoryEntry *entry = m_factories.Find(kind, type);
            if (entry && entry->setInputFrameRate) {
                entry->setInputFrameRate(*record->Worker, framesPerSecond);
                ++given;
            }
        }
    }
    return given;
}
