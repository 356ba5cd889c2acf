#include "config/GTYXConfigXml.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <memory>

namespace {

const stConfigSection kMediaWriters = {L"/Config/MediaWriters", L"MWCount", CFG_SCHEMA_MEDIA_WRITER,
                                       TYX_ID_BASE_MEDIA_WRITER};

constexpr int32_t CONTAINER_MP4 = 4;

int32_t InRangeOr(int32_t value, int32_t low, int32_t high, int32_t fallback)
{
    return (value >= low && value <= high) ? value : fallback;
}

// A required text that is there but failed its length bounds reads as empty; a writer without its
// folder or address could only fail when it starts, so it is dropped here with the reason.
bool TakeRequiredText(const ConfigValueMap &item, const wchar_t *key, const stMediaWriteWorkerConfig &record,
                      std::wstring &target)
{
    const stConfigValue *value = FindItemValue(item, key);
    if (!value)
        return false;
    if (value->text.empty()) {
        TYX_LOG(3, L"Configuration:%s of MWriter No(%d) is out of its length bounds, Skip it!", key,
                static_cast<int32_t>(record.No));
        return false;
    }
    target = value->text;
    return true;
}

// The suffix becomes part of every record file name, so it may not lead out of the record folder.
bool IsSafeNamePart(const std::wstring &text)
{
    if (text.find(L"..") != std::wstring::npos)
        return false;
    for (wchar_t c : text) {
        if (c == L'/' || c == L'\\' || c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

bool ReadStreamLists(const ConfigValueMap &item, stMediaWriteWorkerConfig &record)
{
    std::map<int32_t, std::wstring> video;
    std::map<int32_t, std::wstring> audio;
    const stConfigValue *value = FindItemValue(item, L"VideoStreams");
    if (value && !value->text.empty())
        ResolveWorkerIdList(value->text, video);
    value = FindItemValue(item, L"AudioStreams");
    if (value && !value->text.empty())
        ResolveWorkerIdList(value->text, audio);
    if (video.empty() && audio.empty())
        return false;
    record.VideoStreams = std::move(video);
    record.AudioStreams = std::move(audio);
    return true;
}

bool ReadRecordSettings(const ConfigValueMap &item, stMediaWriteWorkerConfig &record)
{
    auto settings = std::make_shared<stRecordFileConfig>();
    // A writer without a container would never name a file, so it records the default MP4.
    settings->Container = CONTAINER_MP4;
    if (const stConfigValue *container = FindItemValue(item, L"Container")) {
        settings->Container = ParseContainer(container->text.c_str());
        if (settings->Container == 0) {
            settings->Container = CONTAINER_MP4;
            TYX_LOG(3, L"Configuration: MWriter(%d) was configured with invalid container type, use default(MP4) instead!",
                    static_cast<int32_t>(record.No));
        }
    }
    if (!TakeRequiredText(item, L"RootFolder", record, settings->RootFolder))
        return false;
    settings->SubFolderDate = 0;
    settings->SubFolderCaseNo = 0;
    settings->CaseNamePrefix = 0;
    settings->CyclePrefix = 0;
    settings->SaveRecordFileList = 0;
    TakeBool(item, L"SubFolderDate", settings->SubFolderDate);
    TakeBool(item, L"SubFolderCaseNo", settings->SubFolderCaseNo);
    TakeBool(item, L"CaseNamePrefix", settings->CaseNamePrefix);
    TakeBool(item, L"CyclePrefix", settings->CyclePrefix);
    TakeBool(item, L"SaveRecordFileList", settings->SaveRecordFileList);
    std::wstring suffix;
    if (TakeText(item, L"ContentsSuffix", suffix)) {
        if (IsSafeNamePart(suffix))
            settings->ContentsSuffix = suffix;
        else
            TYX_LOG(3, L"Configuration:ContentsSuffix(%s) of MWriter No(%d) is not a plain file name part, ignored it!",
                    suffix.c_str(), static_cast<int32_t>(record.No));
    }
    int32_t number = 0;
    settings->SegmentLength = 30;
    if (TakeInt(item, L"SegmentLength", number))
        settings->SegmentLength = static_cast<uint16_t>(InRangeOr(number, 3, 120, 30));
    settings->StorageLife = 183;
    if (TakeInt(item, L"StorageLife", number))
        settings->StorageLife = static_cast<uint16_t>(InRangeOr(number, 7, 366, 183));
    settings->SpaceWarnLimit = 81920;
    if (TakeInt(item, L"SpaceWarnLimit", number))
        settings->SpaceWarnLimit = InRangeOr(number, 40960, 409600, 81920);
    record.RecordSettings = std::move(settings);
    return true;
}

// The writer's own keys; false when the item is dropped.
bool ReadMediaWriter(const ConfigValueMap &item, stMediaWriteWorkerConfig &record)
{
    const stConfigValue *type = FindItemValue(item, L"MWType");
    record.MWType = type ? ParseSourceType(type->text.c_str()) : 0;
    if (record.MWType == 0) {
        TYX_LOG(3, L"Configuration:MWriter No(%d) was configed as unkown media type(%s), Skip it!",
                static_cast<int32_t>(record.No), type ? type->text.c_str() : L"");
        return false;
    }
    if (!ReadStreamLists(item, record))
        return false;
    switch (record.MWType) {
    case SOURCE_TYPE_FILE:
        if (!ReadRecordSettings(item, record))
            return false;
        break;
    case SOURCE_TYPE_RTSP:
    case SOURCE_TYPE_RTMP:
        if (!TakeRequiredText(item, L"outputURL", record, record.outputURL))
            return false;
        break;
    default:
        return false;
    }
    record.PushAtBegin = 0;
    TakeBool(item, L"PushAtBegin", record.PushAtBegin);
    return true;
}

} // namespace

int32_t LoadMWritersConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    WorkerConfigRegistry<stMediaWriteWorkerConfig> &registry = CTYXGVMS::MWriterConfigs();

    std::vector<ConfigValueMap> items;
    const int32_t count = ReadConfigSection(document, kMediaWriters, CommonSectionFlags(), items);
    int32_t added = 0;
    for (const ConfigValueMap &item : items) {
        stMediaWriteWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, count, kMediaWriters.idBase, registry, L"MidProc", record))
            continue;
        if (!ReadMediaWriter(item, record))
            continue;
        RegisterWorkerConfig(registry, std::move(record));
        ++added;
    }
    return added;
}
