#include "config/WorkerConfigLoader.h"

#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"

stReadElementFlags CommonSectionFlags()
{
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.KeepNodeName = 1;
    flags.SkipEmptyItems = 1;
    return flags;
}

int32_t ReadConfigSection(CConfigXmlDocument &document, const stConfigSection &section,
                          const stReadElementFlags &flags, std::vector<ConfigValueMap> &items)
{
    stConfigValue value;
    const int32_t count = ReadNodeValue(document, section.path, section.countKey, 2, value) ? value.integer : 0;
    if (count < 1)
        return count;
    ConfigKeySchema schema;
    GetConfigKeySchema(section.schemaKind, schema);
    document.ReadElementList(section.path, items, &schema, flags);
    if (!items.empty())
        ++CTYXGVMS::LoadSeqCounter();
    return count;
}

bool BeginWorkerItem(const ConfigValueMap &item, int32_t count, uint32_t idBase, stTYXWorkerConfig &record)
{
    record.LoadSeq = CTYXGVMS::LoadSeqCounter();
    const stConfigValue *id = FindItemValue(item, L"id");
    // Element numbers are 16-bit and each takes 0x10000 ids of its kind's range.
    if (!id || id->integer < 1 || id->integer > count || id->integer > 0x7FFF)
        return false;
    record.No = static_cast<int16_t>(id->integer);
    record.WorkerId = static_cast<int32_t>(idBase + static_cast<uint32_t>(record.No) * TYX_ID_NUMBER_STEP);
    const stConfigValue *name = FindItemValue(item, L"nodeName");
    if (!name)
        return false;
    record.SetName(name->text);
    return true;
}

void ReadDisplayName(const ConfigValueMap &item, stTYXWorkerConfig &record)
{
    TakeText(item, L"DisplayName", record.DisplayName);
}

bool TakeInt16(const ConfigValueMap &values, const wchar_t *key, int16_t &target)
{
    int32_t number = 0;
    if (!TakeInt(values, key, number))
        return false;
    target = static_cast<int16_t>(number);
    return true;
}

void ReadDirectOutputKeys(const ConfigValueMap &item, stDirectOutputConfig &output)
{
    output.DirectOutput = 0;
    TakeBool(item, L"DirectOutput", output.DirectOutput);
    if (!output.DirectOutput)
        return;
    const stConfigValue *mode = FindItemValue(item, L"outputOn");
    output.outputOn = mode ? ParseWindowMode(mode->text.c_str()) : 0;
    switch (output.outputOn) {
    case WINDOW_MODE_NEW:
        output.WindowWidth = 0;
        output.WindowHeight = 0;
        TakeInt16(item, L"WindowWidth", output.WindowWidth);
        TakeInt16(item, L"WindowHeight", output.WindowHeight);
        break;
    case WINDOW_MODE_SPECIFY:
        output.WindowName.clear();
        output.WindowClassName.clear();
        TakeText(item, L"WindowClassName", output.WindowClassName);
        TakeText(item, L"WindowName", output.WindowName);
        break;
    case WINDOW_MODE_FULLSCREEN: {
        output.OutputDeviceNo = -1;
        int16_t monitor = 0;
        if (TakeInt16(item, L"OutputDeviceNo", monitor) && monitor > 0)
            output.OutputDeviceNo = monitor;
        break;
    }
    default:
        output.DirectOutput = 0;
        break;
    }
}

float FrameRateByRule(const ConfigValueMap &item, float fallback)
{
    float rate = 0.0f;
    if (TakeReal(item, L"OutputFramerate", rate) && rate >= 10.0f && rate <= 120.0f)
        return rate;
    const float global = CTYXGVMS::GeneralSettings().GlobalFramerate;
    if (global >= 10.0f && global <= 120.0f)
        return global;
    return fallback;
}

bool ResolveSourceKey(const ConfigValueMap &item, const wchar_t *key, int32_t consumerKind, int32_t &id,
                      std::wstring &text)
{
    const stConfigValue *value = FindItemValue(item, key);
    if (!value || value->text.empty())
        return false;
    const int32_t resolved = ResolveWorkerId(value->text, consumerKind);
    if (resolved <= 0)
        return false;
    id = resolved;
    text = value->text;
    return true;
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

ConfigPath ItemChildPath(const stConfigSection &section, const stTYXWorkerConfig &record, const wchar_t *child,
                         int16_t childId)
{
    ConfigPath path;
    path[1] = stConfigPathStep{section.path, 0};
    path[2] = stConfigPathStep{record.Name, record.No};
    path[3] = stConfigPathStep{child, childId};
    return path;
}
