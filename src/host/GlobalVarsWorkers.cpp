// The instance registries of CTYXGVMS: one per created kind, each under its own owner lock.

#include "host/GlobalVars.h"

#include "core/TextCompare.h"
#include "core/debuglog.h"
#include "host/GlobalVarsState.h"

#include <algorithm>

namespace {

constexpr uint32_t DECODER_ID_FIRST = 0x02000001u;
constexpr uint32_t DECODER_ID_LAST = 0x03FFFFFFu;

template <typename Record>
int32_t FindByAlias(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock, const std::wstring &alias,
                    std::shared_ptr<CTYXWorker> &worker, Record *recordCopy)
{
    worker.reset();
    CRegistryLockGuard guard(lock);
    for (const auto &[id, record] : registry) {
        if (record && EqualsNoCase(record->Name, alias)) {
            worker = record->Worker;
            if (recordCopy)
                *recordCopy = *record;
            return record->WorkerId;
        }
    }
    return -1;
}

template <typename Record>
std::shared_ptr<CTYXWorker> FindById(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock, uint32_t id,
                                     std::wstring &alias, Record *recordCopy)
{
    alias.clear();
    CRegistryLockGuard guard(lock);
    for (const auto &[key, record] : registry) {
        if (record && static_cast<uint32_t>(record->WorkerId) == id) {
            alias = record->Name;
            if (recordCopy)
                *recordCopy = *record;
            return record->Worker;
        }
    }
    return nullptr;
}

template <typename Record>
WorkerInstanceRegistry<Record> Snapshot(const WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock)
{
    CRegistryLockGuard guard(lock);
    return registry;
}

template <typename Record>
std::shared_ptr<stTYXWorkerInstanceInfo> FindByKey(const WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock,
                                                   uint32_t key)
{
    CRegistryLockGuard guard(lock);
    const auto found = registry.find(key);
    return found == registry.end() ? nullptr : found->second;
}

constexpr int32_t kDestroyChildBudgetMs = 100;

// Drops every link of the worker from the link registry: those of its output streams and those
// that feed it, and takes the links to it out of its live producers, so that none goes on filling
// a queue nobody reads. The queues, and the pictures still in them, go with their last holder.
void ForgetLinksOf(uint32_t workerId)
{
    stGvmsState &state = GvmsState();
    std::vector<std::pair<std::shared_ptr<CTYXWorker>, uint32_t>> producers;
    {
        CWriteLockGuard guard(state.linksLock);
        for (auto stream = state.links.begin(); stream != state.links.end();) {
            if ((stream->first & ~TYX_STREAM_BITS) == workerId) {
                stream = state.links.erase(stream);
                continue;
            }
            const auto link = stream->second.find(workerId);
            if (link != stream->second.end()) {
                if (std::shared_ptr<CTYXWorker> producer = link->second.producer.lock())
                    producers.emplace_back(std::move(producer), stream->first);
                stream->second.erase(link);
            }
            ++stream;
        }
    }
    for (const auto &[producer, streamId] : producers)
        producer->RemoveConsumerLink(streamId, workerId);
}

// Stops the worker and uninitialises it once every one of its threads has ended; true then.
bool StopAndUninitialize(CTYXWorker &worker, const std::wstring &name, uint32_t id)
{
    worker.WaitThreadExit(0);
    worker.WaitOtherThreadsExit(kDestroyChildBudgetMs);
    bool childrenStopped = false;
    if (worker.IsStopped(childrenStopped) && childrenStopped) {
        worker.unInitialize();
        return true;
    }
    // Uninitialising would free what the running thread still uses; it keeps all of it instead.
    TYX_LOG(3, L"[In demand]Worker[%s:%x] still runs after its stop; it keeps its resources.", name.c_str(), id);
    return false;
}

// Stops the worker of the record of id, removes the record and the worker's links. The record is
// not changed: a snapshot that holds it keeps it whole, worker included.
template <typename Record>
int32_t DestroyById(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock, uint32_t id)
{
    CRegistryLockGuard guard(lock);
    const auto found = std::find_if(registry.begin(), registry.end(), [id](const auto &entry) {
        return entry.second && static_cast<uint32_t>(entry.second->WorkerId) == id;
    });
    if (found == registry.end())
        return 0;
    const std::shared_ptr<Record> record = found->second;
    registry.erase(found);
    if (record->Worker)
        StopAndUninitialize(*record->Worker, record->Name, id);
    ForgetLinksOf(id);
    return 0;
}

// Replaces the record of its id with record when it is of the registry's class.
template <typename Record>
int32_t PublishIn(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock,
                  const std::shared_ptr<stTYXWorkerInstanceInfo> &record)
{
    std::shared_ptr<Record> typed = std::dynamic_pointer_cast<Record>(record);
    if (!typed)
        return -1;
    CRegistryLockGuard guard(lock);
    registry[static_cast<uint32_t>(typed->WorkerId)] = std::move(typed);
    return 0;
}

template <typename Record>
int32_t UpdateIn(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock, uint32_t key,
                 const std::function<void(stTYXWorkerInstanceInfo &)> &change)
{
    CRegistryLockGuard guard(lock);
    const auto found = registry.find(key);
    if (found == registry.end() || !found->second)
        return -1;
    std::shared_ptr<Record> copy = std::static_pointer_cast<Record>(found->second->Clone());
    change(*copy);
    found->second = std::move(copy);
    return 0;
}

// The first video decoder that consumes one of the reader's output streams.
uint32_t FirstDecoderOf(const ConsumerLinkRegistry &links, uint32_t readerId)
{
    for (auto stream = links.lower_bound(readerId); stream != links.end() && stream->first <= (readerId | TYX_STREAM_BITS);
         ++stream) {
        for (const auto &[consumerId, link] : stream->second) {
            if (consumerId >= DECODER_ID_FIRST && consumerId <= DECODER_ID_LAST)
                return consumerId;
        }
    }
    return 0;
}

} // namespace

WorkerInstanceRegistry<stMediaReadWorkerInstanceInfo> &CTYXGVMS::MReaderInstances() { return GvmsState().readers; }
WorkerInstanceRegistry<stVideoDecodeWorkerInstanceInfo> &CTYXGVMS::DecoderInstances() { return GvmsState().decoders; }
WorkerInstanceRegistry<stVideoMidProcessWorkerInstanceInfo> &CTYXGVMS::VMPInstances() { return GvmsState().vmps; }
WorkerInstanceRegistry<stVideoEncodeWorkerInstanceInfo> &CTYXGVMS::EncoderInstances() { return GvmsState().encoders; }
WorkerInstanceRegistry<stMediaWriteWorkerInstanceInfo> &CTYXGVMS::MWriterInstances() { return GvmsState().writers; }

CRegistryLock *CTYXGVMS::InstanceRegistryLock(int32_t kind)
{
    stGvmsState &state = GvmsState();
    switch (kind) {
    case TYX_KIND_MEDIA_READER: return &state.readersLock;
    case TYX_KIND_VIDEO_DECODER: return &state.decodersLock;
    case TYX_KIND_VIDEO_MIDPROC: return &state.vmpsLock;
    case TYX_KIND_VIDEO_ENCODER: return &state.encodersLock;
    case TYX_KIND_MEDIA_WRITER: return &state.writersLock;
    default: return nullptr;
    }
}

bool CTYXGVMS::LockMReaderMap()
{
    GvmsState().readersLock.Enter();
    return true;
}

void CTYXGVMS::UnlockMReaderMap() { GvmsState().readersLock.Leave(); }

bool CTYXGVMS::LockDecoderMap()
{
    GvmsState().decodersLock.Enter();
    return true;
}

void CTYXGVMS::UnlockDecoderMap() { GvmsState().decodersLock.Leave(); }

bool CTYXGVMS::LockVMPMap()
{
    GvmsState().vmpsLock.Enter();
    return true;
}

void CTYXGVMS::UnlockVMPMap() { GvmsState().vmpsLock.Leave(); }

std::shared_ptr<stTYXWorkerInstanceInfo> CTYXGVMS::GetWorkerInstanceById(uint32_t id)
{
    stGvmsState &state = GvmsState();
    const uint32_t key = RegistryKeyOfId(id);
    switch (GetWorkerKindById(id)) {
    case TYX_KIND_MEDIA_READER: return FindByKey(state.readers, state.readersLock, key);
    case TYX_KIND_VIDEO_DECODER: return FindByKey(state.decoders, state.decodersLock, key);
    case TYX_KIND_VIDEO_MIDPROC: return FindByKey(state.vmps, state.vmpsLock, key);
    case TYX_KIND_VIDEO_ENCODER: return FindByKey(state.encoders, state.encodersLock, key);
    case TYX_KIND_MEDIA_WRITER: return FindByKey(state.writers, state.writersLock, key);
    default: return nullptr;
    }
}

int32_t CTYXGVMS::PublishWorkerInstance(const std::shared_ptr<stTYXWorkerInstanceInfo> &record)
{
    if (!record)
        return -1;
    stGvmsState &state = GvmsState();
    const uint32_t id = static_cast<uint32_t>(record->WorkerId);
    if ((id & TYX_STREAM_BITS) != 0 && GetWorkerKindById(id) != TYX_KIND_MEDIA_WRITER)
        return -1;
    switch (GetWorkerKindById(id)) {
    case TYX_KIND_MEDIA_READER: return PublishIn(state.readers, state.readersLock, record);
    case TYX_KIND_VIDEO_DECODER: return PublishIn(state.decoders, state.decodersLock, record);
    case TYX_KIND_VIDEO_MIDPROC: return PublishIn(state.vmps, state.vmpsLock, record);
    case TYX_KIND_VIDEO_ENCODER: return PublishIn(state.encoders, state.encodersLock, record);
    case TYX_KIND_MEDIA_WRITER: return PublishIn(state.writers, state.writersLock, record);
    default: return -1;
    }
}

int32_t CTYXGVMS::UpdateWorkerInstance(uint32_t id, const std::function<void(stTYXWorkerInstanceInfo &)> &change)
{
    if (!change)
        return -1;
    stGvmsState &state = GvmsState();
    switch (GetWorkerKindById(id)) {
    case TYX_KIND_MEDIA_READER: return UpdateIn(state.readers, state.readersLock, id, change);
    case TYX_KIND_VIDEO_DECODER: return UpdateIn(state.decoders, state.decodersLock, id, change);
    case TYX_KIND_VIDEO_MIDPROC: return UpdateIn(state.vmps, state.vmpsLock, id, change);
    case TYX_KIND_VIDEO_ENCODER: return UpdateIn(state.encoders, state.encodersLock, id, change);
    case TYX_KIND_MEDIA_WRITER: return UpdateIn(state.writers, state.writersLock, id, change);
    default: return -1;
    }
}

int32_t CTYXGVMS::FindMReaderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker,
                                     stMediaReadWorkerInstanceInfo *recordCopy)
{
    return FindByAlias(GvmsState().readers, GvmsState().readersLock, alias, worker, recordCopy);
}

int32_t CTYXGVMS::GetMReaderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    return FindByAlias<stMediaReadWorkerInstanceInfo>(GvmsState().readers, GvmsState().readersLock, alias, worker,
                                                      nullptr);
}

int32_t CTYXGVMS::FindDecoderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    return FindByAlias<stVideoDecodeWorkerInstanceInfo>(GvmsState().decoders, GvmsState().decodersLock, alias,
                                                        worker, nullptr);
}

int32_t CTYXGVMS::GetVMPByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    return FindByAlias<stVideoMidProcessWorkerInstanceInfo>(GvmsState().vmps, GvmsState().vmpsLock, alias, worker,
                                                            nullptr);
}

int32_t CTYXGVMS::FindEncoderByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    return FindByAlias<stVideoEncodeWorkerInstanceInfo>(GvmsState().encoders, GvmsState().encodersLock, alias,
                                                        worker, nullptr);
}

int32_t CTYXGVMS::GetMWriterByAlias(const std::wstring &alias, std::shared_ptr<CTYXWorker> &worker)
{
    return FindByAlias<stMediaWriteWorkerInstanceInfo>(GvmsState().writers, GvmsState().writersLock, alias, worker,
                                                       nullptr);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::GetMReaderById(uint32_t id, std::wstring &alias,
                                                     stMediaReadWorkerInstanceInfo *recordCopy)
{
    return FindById(GvmsState().readers, GvmsState().readersLock, id, alias, recordCopy);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::FindDecoderById(uint32_t id, std::wstring &alias)
{
    return FindById<stVideoDecodeWorkerInstanceInfo>(GvmsState().decoders, GvmsState().decodersLock, id, alias,
                                                     nullptr);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::GetDecoderById(uint32_t id, std::wstring &alias)
{
    return FindDecoderById(id, alias);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::FindEncoderById(uint32_t id, std::wstring &alias)
{
    return FindById<stVideoEncodeWorkerInstanceInfo>(GvmsState().encoders, GvmsState().encodersLock, id, alias,
                                                     nullptr);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::GetEncoderById(uint32_t id, std::wstring &alias)
{
    return FindEncoderById(id, alias);
}

std::shared_ptr<CTYXWorker> CTYXGVMS::GetMWriterById(uint32_t id, std::wstring &alias)
{
    return FindById<stMediaWriteWorkerInstanceInfo>(GvmsState().writers, GvmsState().writersLock, id, alias, nullptr);
}

WorkerInstanceRegistry<stMediaReadWorkerInstanceInfo> CTYXGVMS::CopyMReaderMap()
{
    return Snapshot(GvmsState().readers, GvmsState().readersLock);
}

WorkerInstanceRegistry<stVideoDecodeWorkerInstanceInfo> CTYXGVMS::CopyDecoderMap()
{
    return Snapshot(GvmsState().decoders, GvmsState().decodersLock);
}

WorkerInstanceRegistry<stVideoMidProcessWorkerInstanceInfo> CTYXGVMS::CopyVMPMap()
{
    return Snapshot(GvmsState().vmps, GvmsState().vmpsLock);
}

WorkerInstanceRegistry<stVideoEncodeWorkerInstanceInfo> CTYXGVMS::CopyEncoderMap()
{
    return Snapshot(GvmsState().encoders, GvmsState().encodersLock);
}

WorkerInstanceRegistry<stMediaWriteWorkerInstanceInfo> CTYXGVMS::CopyMWriterMap()
{
    return Snapshot(GvmsState().writers, GvmsState().writersLock);
}

int32_t CTYXGVMS::CollectMReadersByAliases(const std::list<std::wstring> &aliases,
                                           std::vector<stMediaReadWorkerInstanceInfo> &records,
                                           std::vector<uint32_t> &feedIds)
{
    records.clear();
    feedIds.clear();
    stGvmsState &state = GvmsState();
    CRegistryLockGuard guard(state.readersLock);
    for (const auto &[id, record] : state.readers) {
        if (!record || std::find(aliases.begin(), aliases.end(), record->Name) == aliases.end())
            continue;
        records.push_back(*record);
        const uint32_t readerId = static_cast<uint32_t>(record->WorkerId);
        uint32_t feedId = 0;
        if (record->MSTYPE == TYX_MS_VCAP) {
            feedId = readerId;
        } else {
            // The decoders are linked to the reader's output streams, whose ids carry the stream
            // number in the low 8 bits.
            CReadLockGuard links(state.linksLock);
            feedId = FirstDecoderOf(state.links, readerId);
        }
        if (feedId == 0)
            return -100;
        feedIds.push_back(feedId);
    }
    return static_cast<int32_t>(records.size());
}

int32_t CTYXGVMS::DestroyMReaderById(uint32_t id)
{
    return DestroyById(GvmsState().readers, GvmsState().readersLock, id);
}

int32_t CTYXGVMS::DestroyDecoderById(uint32_t id)
{
    return DestroyById(GvmsState().decoders, GvmsState().decodersLock, id);
}

int32_t CTYXGVMS::SetCaseInfo(const std::wstring &alias, const std::wstring &text1, const std::wstring &text2,
                              const std::wstring &text3)
{
    stGvmsState &state = GvmsState();
    CRegistryLockGuard guard(state.writersLock);
    int32_t changed = 0;
    for (const auto &[id, record] : state.writers) {
        if (!record)
            continue;
        const bool named = !alias.empty();
        if (named && !EqualsNoCase(record->Name, alias))
            continue;
        auto *target = dynamic_cast<CTYXCaseInfoTarget *>(record->Worker.get());
        if (target) {
            target->SetCaseTexts(text1, text2, text3);
            ++changed;
        }
        if (named)
            break; // only the first writer of the alias is considered
    }
    return changed;
}
