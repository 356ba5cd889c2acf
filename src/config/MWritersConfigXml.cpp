#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <list>
#include <memory>
#include <vector>

namespace {

const stConfigSection kMediaWriters = {L"/Config/MediaWriters", L"MWCount", CFG_SCHEMA_MEDIA_WRITER,
                                       TYX_ID_BASE_MEDIA_WRITER, 0xDFFFFFFFu, L"MWriter", L"MidProc"};

constexpr int32_t CONTAINER_MP4 = 4;

int32_t InRangeOr(int32_t value, int32_t low, int32_t high, int32_t fallback)
{
    return (value >= low && value <= high) ? value : fallback;
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

struct stStreamFault
{
    const wchar_t *key;
    std::wstring text;
    std::wstring reason;
};

// Resolves one comma list of references into stream id -> text (the first text of an id stays);
// references that name no output stream are collected with the reason.
void ResolveStreamList(const CConfigItem &item, const wchar_t *key, std::map<int32_t, std::wstring> &ids,
                       std::vector<stStreamFault> &faults)
{
    const stConfigValue *value = item.Find(key);
    if (!value || value->text.empty())
        return;
    std::wstring text = value->text;
    std::list<std::wstring> references;
    if (SplitCommaList(text, references) < 0) {
        faults.push_back({key, std::wstring(), L"is longer than " + std::to_wstring(MAX_COMMA_LIST_TEXT) + L" characters"});
        return;
    }
    for (const std::wstring &reference : references) {
        std::wstring reason;
        const int32_t id = ResolveInputStreamId(reference, TYX_KIND_MEDIA_WRITER, INPUT_MEDIA_ANY, reason);
        if (id > 0)
            ids.emplace(id, reference);
        else
            faults.push_back({key, reference, reason});
    }
}

// Each reference that names no stream is logged; a writer left with no stream at all is dropped,
// and its last fault says so instead of a line of its own.
bool ReadStreamLists(const CConfigItem &item, stMediaWriteWorkerConfig &record)
{
    std::map<int32_t, std::wstring> video;
    std::map<int32_t, std::wstring> audio;
    std::vector<stStreamFault> faults;
    ResolveStreamList(item, L"VideoStreams", video, faults);
    ResolveStreamList(item, L"AudioStreams", audio, faults);
    const bool none = video.empty() && audio.empty();
    for (size_t i = 0; i < faults.size(); ++i) {
        const stStreamFault &fault = faults[i];
        const std::wstring subject = fault.text.empty() ? std::wstring(fault.key) : std::wstring(fault.key) + L" item " + fault.text;
        const bool last = i + 1 == faults.size();
        item.Log(subject + L" " + fault.reason + (none && last ? L", no stream is left, Skip it!" : L", left it out."));
    }
    if (none) {
        if (faults.empty())
            item.Refuse(L"VideoStreams", L"and AudioStreams are both missing or empty");
        return false;
    }
    record.VideoStreams = std::move(video);
    record.AudioStreams = std::move(audio);
    return true;
}

bool ReadRecordSettings(const CConfigItem &item, stMediaWriteWorkerConfig &record)
{
    auto settings = std::make_shared<stRecordFileConfig>();
    // A writer without a container would never name a file, so it records the default MP4.
    settings->Container = CONTAINER_MP4;
    if (const stConfigValue *container = item.Find(L"Container")) {
        settings->Container = ParseContainer(container->text.c_str());
        if (settings->Container == 0) {
            settings->Container = CONTAINER_MP4;
            TYX_LOG(3, L"Configuration: MWriter(%d) was configured with invalid container type, use default(MP4) instead!",
                    static_cast<int32_t>(record.No));
        }
    }
    if (!item.RequiredText(L"RootFolder", settings->RootFolder))
        return false;
    settings->SubFolderDate = 0;
    settings->SubFolderCaseNo = 0;
    settings->CaseNamePrefix = 0;
    settings->CyclePrefix = 0;
    settings->SaveRecordFileList = 0;
    item.Bool(L"SubFolderDate", settings->SubFolderDate);
    item.Bool(L"SubFolderCaseNo", settings->SubFolderCaseNo);
    item.Bool(L"CaseNamePrefix", settings->CaseNamePrefix);
    item.Bool(L"CyclePrefix", settings->CyclePrefix);
    item.Bool(L"SaveRecordFileList", settings->SaveRecordFileList);
    std::wstring suffix;
    if (item.Text(L"ContentsSuffix", suffix)) {
        if (IsSafeNamePart(suffix))
            settings->ContentsSuffix = suffix;
        else
            item.Ignore(L"ContentsSuffix", L"is not a plain file name part", L"ignored it!");
    }
    int32_t number = 0;
    settings->SegmentLength = 30;
    if (item.Int(L"SegmentLength", number))
        settings->SegmentLength = static_cast<uint16_t>(InRangeOr(number, 3, 120, 30));
    settings->StorageLife = 183;
    if (item.Int(L"StorageLife", number))
        settings->StorageLife = static_cast<uint16_t>(InRangeOr(number, 7, 366, 183));
    settings->SpaceWarnLimit = 81920;
    if (item.Int(L"SpaceWarnLimit", number))
        settings->SpaceWarnLimit = InRangeOr(number, 40960, 409600, 81920);
    record.RecordSettings = std::move(settings);
    return true;
}

// The writer's own keys; false when the item is dropped.
bool ReadMediaWriter(const CConfigItem &item, stMediaWriteWorkerConfig &record)
{
    const stConfigValue *type = item.Find(L"MWType");
    record.MWType = type ? ParseSourceType(type->text.c_str()) : 0;
    if (record.MWType == 0) {
        TYX_LOG(3, L"Configuration:MWriter No(%d) was configed as unkown media type(%s), Skip it!",
                static_cast<int32_t>(record.No), type ? type->text.c_str() : L"");
        return false;
    }
    if (record.MWType != SOURCE_TYPE_FILE && record.MWType != SOURCE_TYPE_RTSP && record.MWType != SOURCE_TYPE_RTMP) {
        item.Refuse(L"MWType", L"is no writer type (FILE, RTSP, RTMP)");
        return false;
    }
    if (!ReadStreamLists(item, record))
        return false;
    if (record.MWType == SOURCE_TYPE_FILE) {
        if (!ReadRecordSettings(item, record))
            return false;
    } else if (!item.RequiredText(L"outputURL", record.outputURL)) {
        return false;
    }
    record.PushAtBegin = 0;
    item.Bool(L"PushAtBegin", record.PushAtBegin);
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

    stConfigSectionRead read;
    ReadConfigSection(document, kMediaWriters, CommonSectionFlags(), __func__, read);
    CWorkerConfigIndex index(registry);
    int32_t added = 0;
    for (const stConfigSectionItem &entry : read.items) {
        CConfigItem item = MakeSectionItem(read, entry, __func__);
        stMediaWriteWorkerConfig record;
        if (!BeginUniqueWorkerItem(item, kMediaWriters, read.count, index, record))
            continue;
        if (ReadMediaWriter(item, record) && RegisterWorkerConfig(registry, index, item, std::move(record)))
            ++added;
    }
    return added;
}
