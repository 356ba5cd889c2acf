#include "pipeline/WorkerKinds.h"

#include "host/GlobalVars.h"

#include <algorithm>
#include <map>

namespace {

template <typename Config>
std::vector<stTYXWorkerConfig *> ByDescendingId(WorkerConfigRegistry<Config> &registry)
{
    std::map<int32_t, stTYXWorkerConfig *> byId;
    for (auto &[name, config] : registry)
        byId.emplace(config.WorkerId, &config); // emplace keeps the first of an id
    std::vector<stTYXWorkerConfig *> configs;
    for (auto entry = byId.rbegin(); entry != byId.rend(); ++entry)
        configs.push_back(entry->second);
    return configs;
}

template <typename Record>
std::vector<std::shared_ptr<stTYXWorkerInstanceInfo>> Records(const WorkerInstanceRegistry<Record> &snapshot)
{
    std::vector<std::shared_ptr<stTYXWorkerInstanceInfo>> records;
    for (const auto &[id, record] : snapshot)
        if (record)
            records.push_back(record);
    return records;
}

template <typename Record>
void ClearLocked(WorkerInstanceRegistry<Record> &registry, int32_t kind)
{
    CRegistryLock *lock = CTYXGVMS::InstanceRegistryLock(kind);
    if (!lock) {
        registry.clear();
        return;
    }
    CRegistryLockGuard guard(*lock);
    registry.clear();
}

} // namespace

const std::vector<stWorkerKindInfo> &GraphKindsConsumersFirst()
{
    static const std::vector<stWorkerKindInfo> kinds = {
        {TYX_KIND_MEDIA_WRITER, L"Media writing worker"},
        {TYX_KIND_VIDEO_ENCODER, L"Video encoding worker"},
        {TYX_KIND_VIDEO_MIDPROC, L"VMP worker"},
        {TYX_KIND_VIDEO_DECODER, L"Video decoding worker"},
        {TYX_KIND_MEDIA_READER, L"Media reading worker"},
    };
    return kinds;
}

const wchar_t *WorkerKindName(int32_t kind)
{
    for (const stWorkerKindInfo &info : GraphKindsConsumersFirst())
        if (info.kind == kind)
            return info.name;
    return L"";
}

std::vector<stTYXWorkerConfig *> ConfiguredWorkersOfKind(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return ByDescendingId(CTYXGVMS::MSReaderConfigs());
    case TYX_KIND_VIDEO_DECODER:
        return ByDescendingId(CTYXGVMS::VideoDecoderConfigs());
    case TYX_KIND_VIDEO_MIDPROC:
        return ByDescendingId(CTYXGVMS::VMPConfigs());
    case TYX_KIND_VIDEO_ENCODER:
        return ByDescendingId(CTYXGVMS::VideoEncoderConfigs());
    case TYX_KIND_MEDIA_WRITER:
        return ByDescendingId(CTYXGVMS::MWriterConfigs());
    default:
        return {};
    }
}

size_t ConfiguredCountOfKind(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return CTYXGVMS::MSReaderConfigs().size();
    case TYX_KIND_VIDEO_DECODER:
        return CTYXGVMS::VideoDecoderConfigs().size();
    case TYX_KIND_VIDEO_MIDPROC:
        return CTYXGVMS::VMPConfigs().size();
    case TYX_KIND_VIDEO_ENCODER:
        return CTYXGVMS::VideoEncoderConfigs().size();
    case TYX_KIND_MEDIA_WRITER:
        return CTYXGVMS::MWriterConfigs().size();
    default:
        return 0;
    }
}

std::shared_ptr<stTYXWorkerInstanceInfo> NewInstanceRecord(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return std::make_shared<stMediaReadWorkerInstanceInfo>();
    case TYX_KIND_VIDEO_DECODER:
        return std::make_shared<stVideoDecodeWorkerInstanceInfo>();
    case TYX_KIND_VIDEO_MIDPROC:
        return std::make_shared<stVideoMidProcessWorkerInstanceInfo>();
    case TYX_KIND_VIDEO_ENCODER:
        return std::make_shared<stVideoEncodeWorkerInstanceInfo>();
    case TYX_KIND_MEDIA_WRITER:
        return std::make_shared<stMediaWriteWorkerInstanceInfo>();
    default:
        return nullptr;
    }
}

std::vector<std::shared_ptr<stTYXWorkerInstanceInfo>> InstanceRecordsOfKind(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return Records(CTYXGVMS::CopyMReaderMap());
    case TYX_KIND_VIDEO_DECODER:
        return Records(CTYXGVMS::CopyDecoderMap());
    case TYX_KIND_VIDEO_MIDPROC:
        return Records(CTYXGVMS::CopyVMPMap());
    case TYX_KIND_VIDEO_ENCODER:
        return Records(CTYXGVMS::CopyEncoderMap());
    case TYX_KIND_MEDIA_WRITER:
        return Records(CTYXGVMS::CopyMWriterMap());
    default:
        return {};
    }
}

void ClearInstancesOfKind(int32_t kind)
{
    switch (kind) {
    case TYX_KIND_MEDIA_READER:
        return ClearLocked(CTYXGVMS::MReaderInstances(), kind);
    case TYX_KIND_VIDEO_DECODER:
        return ClearLocked(CTYXGVMS::DecoderInstances(), kind);
    case TYX_KIND_VIDEO_MIDPROC:
        return ClearLocked(CTYXGVMS::VMPInstances(), kind);
    case TYX_KIND_VIDEO_ENCODER:
        return ClearLocked(CTYXGVMS::EncoderInstances(), kind);
    case TYX_KIND_MEDIA_WRITER:
        return ClearLocked(CTYXGVMS::MWriterInstances(), kind);
    default:
        return;
    }
}

size_t InstanceCountOfKind(int32_t kind)
{
    return InstanceRecordsOfKind(kind).size();
}
