#include "config/WorkerConfigLoader.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

#include <algorithm>

namespace {

std::wstring ItemLabel(const stConfigSection &section, int32_t number, const std::wstring &name)
{
    return std::wstring(section.label) + L"(No=" + std::to_wstring(number) + L", Name=" + name + L")";
}

// The section holds items but no usable count: every one of them would vanish without a word.
void LogUncountedItems(CConfigXmlDocument &document, const stConfigSection &section, const char *loader)
{
    std::vector<ConfigValueMap> items;
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.SkipEmptyItems = 1;
    const int32_t found = document.ReadElementList(section.path, items, nullptr, flags);
    if (found > 0)
        DebugLog(3, __FILE__, loader, __LINE__, L"Configuration:%s holds %d items but %s is missing or below 1, none is loaded!",
                 section.path, found, section.countKey);
}

void LogItemsWithoutId(CConfigXmlDocument &document, const stConfigSection &section, const char *loader)
{
    std::vector<std::wstring> names;
    document.ListItemsWithoutId(section.path, names);
    for (const std::wstring &name : names)
        DebugLog(3, __FILE__, loader, __LINE__, L"Configuration:%s(Name=%s) id is missing, negative or unreadable, Skip it!",
                 section.label, name.c_str());
}

} // namespace

int32_t MaxItemNumber(const stConfigSection &section)
{
    const uint32_t numbers = (section.idLast - section.idBase) / TYX_ID_NUMBER_STEP;
    return static_cast<int32_t>(std::min<uint32_t>(numbers, 0x7FFF));
}

stReadElementFlags CommonSectionFlags()
{
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.KeepNodeName = 1;
    flags.SkipEmptyItems = 1;
    return flags;
}

void ReadConfigSection(CConfigXmlDocument &document, const stConfigSection &section, const stReadElementFlags &flags,
                       const char *loader, stConfigSectionRead &read)
{
    if (!document.HasElement(section.path)) {
        // A misspelt section or root element would otherwise load nothing without a word.
        DebugLog(4, __FILE__, loader, __LINE__, L"Configuration:%s is not in the file(%s): nothing of it is loaded.",
                 section.path, document.Path().c_str());
        return;
    }
    stConfigValue value;
    read.count = ReadNodeValue(document, section.path, section.countKey, 2, value) ? value.integer : 0;
    if (read.count < 1) {
        LogUncountedItems(document, section, loader);
        return;
    }
    GetConfigKeySchema(section.schemaKind, read.schema);
    std::vector<ConfigValueMap> values;
    std::vector<ConfigElement> elements;
    document.ReadElementList(section.path, values, &read.schema, flags, &elements);
    LogItemsWithoutId(document, section, loader);
    read.items.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        read.items.push_back(stConfigSectionItem{std::move(values[i]), elements[i]});
    if (!read.items.empty())
        ++CTYXGVMS::LoadSeqCounter();
}

CConfigItem MakeSectionItem(const stConfigSectionRead &read, const stConfigSectionItem &entry, const char *loader)
{
    return CConfigItem(entry.values, entry.element, &read.schema, loader);
}

bool BeginWorkerItem(CConfigItem &item, const stConfigSection &section, int32_t count, stTYXWorkerConfig &record)
{
    record.LoadSeq = CTYXGVMS::LoadSeqCounter();
    const stConfigValue *id = item.Find(L"id");
    const stConfigValue *name = item.Find(L"nodeName");
    if (!id || !name)
        return false;
    item.SetLabel(ItemLabel(section, id->integer, name->text));
    const std::wstring idKey = L"id(" + std::to_wstring(id->integer) + L")";
    if (id->integer < 1) {
        item.Refuse(idKey, L"is below 1");
        return false;
    }
    // Each number takes 0x10000 ids of the kind's range; a larger one would make the id of
    // another worker, or of another kind.
    const int32_t highest = MaxItemNumber(section);
    if (id->integer > highest) {
        item.Refuse(idKey, L"is above " + std::to_wstring(highest) + L", the highest number its section can give");
        return false;
    }
    if (id->integer > count) {
        item.Refuse(idKey, L"is above " + std::wstring(section.countKey) + L"(" + std::to_wstring(count) + L")");
        return false;
    }
    record.No = static_cast<int16_t>(id->integer);
    record.WorkerId = static_cast<int32_t>(section.idBase + static_cast<uint32_t>(record.No) * TYX_ID_NUMBER_STEP);
    record.SetName(name->text);
    return true;
}

bool BeginUniqueWorkerItem(CConfigItem &item, const stConfigSection &section, int32_t count,
                           const CWorkerConfigIndex &index, stTYXWorkerConfig &record)
{
    if (!BeginWorkerItem(item, section, count, record))
        return false;
    if (index.Has(record.WorkerId, record.Name)) {
        const wchar_t *label = section.duplicateLabel ? section.duplicateLabel : section.label;
        DebugLog(3, __FILE__, item.Loader(), __LINE__, L"Configuration:%s(No=%d, Name=%s) configured duplicated!, Skip it!",
                 label, static_cast<int32_t>(record.No), record.Name.c_str());
        return false;
    }
    ReadDisplayName(item, record);
    return true;
}

void ReadDisplayName(const CConfigItem &item, stTYXWorkerConfig &record)
{
    item.Text(L"DisplayName", record.DisplayName);
}

void ReadDirectOutputKeys(const CConfigItem &item, stDirectOutputConfig &output)
{
    output.DirectOutput = 0;
    item.Bool(L"DirectOutput", output.DirectOutput);
    if (!output.DirectOutput)
        return;
    const stConfigValue *mode = item.Find(L"outputOn");
    output.outputOn = mode ? ParseWindowMode(mode->text.c_str()) : 0;
    switch (output.outputOn) {
    case WINDOW_MODE_NEW:
        output.WindowWidth = 0;
        output.WindowHeight = 0;
        item.Int16(L"WindowWidth", output.WindowWidth);
        item.Int16(L"WindowHeight", output.WindowHeight);
        break;
    case WINDOW_MODE_SPECIFY:
        output.WindowName.clear();
        output.WindowClassName.clear();
        item.Text(L"WindowClassName", output.WindowClassName);
        item.Text(L"WindowName", output.WindowName);
        break;
    case WINDOW_MODE_FULLSCREEN: {
        output.OutputDeviceNo = -1;
        int16_t monitor = 0;
        if (item.Int16(L"OutputDeviceNo", monitor) && monitor > 0)
            output.OutputDeviceNo = monitor;
        break;
    }
    default:
        item.Ignore(L"outputOn", L"is no window mode (NewWindow, SpecifyWindow, FullScreen)", L"no direct output.");
        output.DirectOutput = 0;
        break;
    }
}

float FrameRateByRule(const CConfigItem &item, float fallback)
{
    float rate = 0.0f;
    if (item.Real(L"OutputFramerate", rate) && rate >= 10.0f && rate <= 120.0f)
        return rate;
    const float global = CTYXGVMS::GeneralSettings().GlobalFramerate;
    if (global >= 10.0f && global <= 120.0f)
        return global;
    return fallback;
}

bool ResolveSourceKey(const CConfigItem &item, const wchar_t *key, int32_t consumerKind, int32_t mediaType,
                      int32_t &id, std::wstring &text)
{
    const stConfigValue *value = item.Find(key);
    if (!value || value->text.empty()) {
        item.Refuse(key, L"is missing or empty");
        return false;
    }
    std::wstring reason;
    const int32_t resolved = ResolveInputStreamId(value->text, consumerKind, mediaType, reason);
    if (resolved <= 0) {
        item.Refuse(key, reason);
        return false;
    }
    id = resolved;
    text = value->text;
    return true;
}

void ReadCodecEngine(const CConfigItem &item, const wchar_t *engineKey, bool directX, int32_t &engine,
                     int32_t &hardware)
{
    engine = ReadKeyword(item, engineKey, ParseDecodeEngine, 1, L"FFMPG", L"is no codec engine (NVGPU, FFMPG, ITLGPU, AMDGPU)",
                         L"FFMPG is used.");
    hardware = ReadKeyword(item, L"HwAcclrt", [directX](const wchar_t *text) { return ParseHwAcclrt(text, directX); }, 0,
                           L"NONE",
                           directX ? L"is no hardware acceleration (NVCODEC, LIBMFX, AMDAMF, DIRECTX)"
                                   : L"is no hardware acceleration of encoders (NVCODEC, LIBMFX, AMDAMF)",
                           L"none is used.");
}

bool FindAudioRenderingDevice(int16_t number, std::wstring &name)
{
    const FixedDeviceMap &devices = CTYXGVMS::FixedAudioOutDevices();
    const auto found = devices.find(static_cast<uint16_t>(number));
    if (found == devices.end()) {
        TYX_LOG(3, L"Configuration: Audio renderering device No(%d) referenced not found in RAO list, use default.",
                static_cast<int32_t>(number));
        return false;
    }
    name = found->second;
    return true;
}

void ReadNestedElement(CConfigXmlDocument &document, const CConfigItem &item, const wchar_t *child, int16_t childId,
                       const ConfigKeySchema &schema, ConfigValueMap &values)
{
    ConfigPath path;
    path[1] = stConfigPathStep{child, childId};
    document.ReadElementBelow(item.Element(), path, values, &schema);
}
