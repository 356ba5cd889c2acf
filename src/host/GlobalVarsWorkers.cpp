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

// Stops and releases the worker of the record of id and removes the record. A thread that misses
// its budget is left running with what it uses: its worker is released, not uninitialised.
template <typename Record>
int32_t DestroyById(WorkerInstanceRegistry<Record> &registry, CRegistryLock &lock, uint32_t id)
{
    CRegistryLockGuard guard(lock);
    const auto found = std::find_if(registry.begin(), registry.end(), [id](const auto &entry) {
        return entry.second && static_cast<uint32_t>(entry.second->WorkerId) == id;
    });
    if (found == registry.end())
        return 0;
    if (std::shared_ptr<CTYXWorker> worker = found->second->Worker) {
        if (worker->WaitThreadExit(0) == static_cast<int32_t>(TYX_STILL_ACTIVE))
            TYX_LOG(3, L"[In demand]Worker[%s:%x] still runs after its stop; it keeps its resources.",
                    found->second->Name.c_str(), id);
        else
            worker->unInitialize();
        found->second->Worker.reset();
    }
    registry.erase(found);
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
    const uint32_t key = id & ~TYX_STREAM_BITS;
    switch (GetWorkerKindById(id)) {
    case TYX_KIND_MEDIA_READER: return FindByKey(state.readers, state.readersLock, key);
    case TYX_KIND_VIDEO_DECODER: return FindByKey(state.decoders, state.decodersLock, key);
    case TYX_KIND_VIDEO_MIDPROC: return FindByKey(state.vmps, state.vmpsLock, key);
    case TYX_KIND_VIDEO_ENCODER: return FindByKey(state.encoders, state.encodersLock, key);
    case TYX_KIND_MEDIA_WRITER: return FindByKey(state.writers, state.writersLock, key);
    default: return nullptr;
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
