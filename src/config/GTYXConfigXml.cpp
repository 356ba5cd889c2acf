#include "config/GTYXConfigXml.h"

#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigText.h"
#include "config/ConfigXmlDocument.h"
#include "config/IniFile.h"
#include "config/WorkerReference.h"
#include "core/debuglog.h"
#include "core/TYXUtils.h"
#include "host/GlobalVars.h"

#include <unistd.h>

#include <list>
#include <vector>

namespace {

constexpr const wchar_t *SYS_GENERAL = L"/Config/General";
constexpr int32_t MAX_FIXED_DEVICES = 32767; // device numbers are signed 16-bit where they are used

bool Accessible(const std::wstring &path, int mode)
{
    const std::string utf8 = WStringToString(path);
    return !utf8.empty() && access(utf8.c_str(), mode) == 0;
}

// The companion keeps Windows-style folders; a name is joined with the separator the folder uses.
std::wstring JoinPath(const std::wstring &folder, const std::wstring &name)
{
    if (!folder.empty() && (folder.back() == L'/' || folder.back() == L'\\'))
        return folder + name;
    return folder + L"/" + name;
}

// A 16-bit setting takes a value only when it fits: a wrapped one (65535 as -1) would be a value
// nobody configured.
bool FitsInt16(const wchar_t *key, int32_t value)
{
    if (value >= INT16_MIN && value <= INT16_MAX)
        return true;
    TYX_LOG(3, L"Configuration: %s(%d) does not fit its field (-32768..32767), ignored it!", key, value);
    return false;
}

ConfigPath MakePath(const wchar_t *first, const wchar_t *second)
{
    ConfigPath path;
    path[1] = stConfigPathStep{first, 0};
    path[2] = stConfigPathStep{second, 0};
    return path;
}

void LoadGpuList(CConfigXmlDocument &document, stTYXGeneralSettings &settings)
{
    const wchar_t *gpuSection = L"/Config/General/GPUSetting";
    stConfigValue value;
    int32_t gpuNumber = 0;
    if (ReadNodeValue(document, gpuSection, L"GPUNumber", 2, value))
        gpuNumber = value.integer;
    if (gpuNumber <= 0)
        return;

    const ConfigKeySchema schema = {{L"GpuType", 11}, {L"manufacturer", 35}, {L"DeviceName", 26}, {L"VendorId", 3},
                                    {L"PCIBUSID", 2}, {L"PCIDEVICEID", 2},   {L"GPULUID", 3},     {L"Exclusive", 1}};
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.SkipEmptyItems = 1;
    std::vector<ConfigValueMap> items;
    document.ReadElementList(gpuSection, items, &schema, flags);
    for (const ConfigValueMap &item : items) {
        const stConfigValue *id = FindItemValue(item, L"id");
        if (!id || id->integer < 1 || id->integer > gpuNumber || id->integer > 0xFFFF)
            continue;
        stTYXGpuSetting gpu;
        if (const stConfigValue *type = FindItemValue(item, L"GpuType"))
            gpu.GpuType = EqualsNoCase(type->text, L"InCore") ? 1 : (EqualsNoCase(type->text, L"Adapter") ? 2 : 0);
        if (!TakeText(item, L"DeviceName", gpu.DeviceName) || !TakeText(item, L"manufacturer", gpu.manufacturer))
            continue;
        TakeInt(item, L"VendorId", gpu.VendorId);
        // The LUID is 64 bits wide; the hexadecimal read keeps all of them.
        if (const stConfigValue *luid = FindItemValue(item, L"GPULUID"))
            gpu.GPULUID = luid->integer64;
        TakeInt(item, L"PCIBUSID", gpu.PCIBUSID);
        TakeInt(item, L"PCIDEVICEID", gpu.PCIDEVICEID);
        TakeBool(item, L"Exclusive", gpu.Exclusive);
        const uint16_t number = static_cast<uint16_t>(id->integer);
        if (!settings.GPUs.emplace(number, gpu).second) {
            TYX_LOG(3, L"Configuration:GPU(No=%d, Name=%s) configured duplicated!, Skip it!", id->integer,
                    gpu.DeviceName.c_str());
        }
    }
}

void LoadEfficiencyCtrl(CConfigXmlDocument &document, stTYXGeneralSettings &settings)
{
    const ConfigKeySchema schema = {{L"RealtimeCtrl", 1}, {L"SIF", 1},        {L"MTRTD", 2},      {L"MTIFD", 2},
                                    {L"RTL_Level0", 2},   {L"RTL_Level1", 2}, {L"RTL_Level2", 2}, {L"RTL_Level3", 2},
                                    {L"AVSyn", 1},        {L"AVSynLimit", 2}};
    ConfigValueMap values;
    document.ReadElement(MakePath(SYS_GENERAL, L"EfficiencyCtrl"), values, &schema);
    if (values.empty())
        return;
    TakeBool(values, L"RealtimeCtrl", settings.RealtimeCtrl);
    TakeBool(values, L"SIF", settings.SIF);
    TakeBool(values, L"AVSyn", settings.AVSyn);

    int32_t number = 1000;
    TakeInt(values, L"MTRTD", number);
    settings.MTRTD = static_cast<int16_t>((number < 0 || number > 10000) ? 1000 : number);
    number = 500;
    TakeInt(values, L"MTIFD", number);
    settings.MTIFD = static_cast<uint16_t>((number < 0 || number > 5000) ? 500 : number);

    const std::pair<const wchar_t *, int16_t *> shorts[] = {
        {L"RTL_Level0", &settings.RTL_Level0}, {L"RTL_Level1", &settings.RTL_Level1},
        {L"RTL_Level2", &settings.RTL_Level2}, {L"RTL_Level3", &settings.RTL_Level3},
        {L"AVSynLimit", &settings.AVSynLimit}};
    for (const auto &[key, field] : shorts) {
        if (TakeInt(values, key, number) && FitsInt16(key, number))
            *field = static_cast<int16_t>(number);
    }
}

void LoadSysGeneralKeys(CConfigXmlDocument &document, stTYXGeneralSettings &settings)
{
    stConfigValue value;
    if (ReadNodeValue(document, SYS_GENERAL, L"LocalTimeSvr", 42, value))
        settings.LocalTimeSvr = value.text;
    if (ReadNodeValue(document, SYS_GENERAL, L"TimeSynCycle", 2, value))
        settings.TimeSynCycle = value.integer;
    if (ReadNodeValue(document, SYS_GENERAL, L"PeopleDetect", 1, value))
        settings.PeopleDetect = value.boolean != 0;
    if (ReadNodeValue(document, SYS_GENERAL, L"FaceID", 1, value))
        settings.FaceID = value.boolean != 0;
    if (ReadNodeValue(document, SYS_GENERAL, L"ServiceName", 21, value))
        settings.ServiceName = value.text;
    if (ReadNodeValue(document, SYS_GENERAL, L"ShowProgress", 1, value))
        settings.ShowProgress = value.boolean != 0;

    settings.DebugLevel = 3;
    // Judged on the whole value: 257 is no level 1, nor 65544 a life of 8 days.
    if (ReadNodeValue(document, SYS_GENERAL, L"DebugLevel", 2, value))
        settings.DebugLevel = static_cast<uint8_t>((value.integer >= 1 && value.integer <= 8) ? value.integer : 3);
    settings.DebuglogLife = 15;
    if (ReadNodeValue(document, SYS_GENERAL, L"DebuglogLife", 2, value))
        settings.DebuglogLife = static_cast<int16_t>((value.integer >= 8 && value.integer <= 365) ? value.integer : 15);
    if (ReadNodeValue(document, SYS_GENERAL, L"DebuglogSizeLimit", 2, value))
        settings.DebuglogSizeLimit = (value.integer >= 129 && value.integer <= 131071) ? value.integer : 8192;
    settings.InitializeMonitors = false;
    if (ReadNodeValue(document, SYS_GENERAL, L"InitializeMonitors", 1, value))
        settings.InitializeMonitors = value.boolean != 0;
    if (ReadNodeValue(document, SYS_GENERAL, L"DependedService", 20, value) && !value.text.empty()) {
        std::list<std::wstring> names;
        if (SplitCommaList(value.text, names) < 0)
            TYX_LOG(3, L"Configuration: DependedService list is longer than %d characters, ignore it.",
                    static_cast<int32_t>(MAX_COMMA_LIST_TEXT));
        for (const std::wstring &name : names)
            settings.DependedService.emplace(name, 0);
    }
    settings.TimeWaitingDpdc = 30000;
    if (ReadNodeValue(document, SYS_GENERAL, L"TimeWaitingDpdc", 2, value))
        settings.TimeWaitingDpdc = (value.integer >= 0 && value.integer <= 180000) ? value.integer : 30000;
    settings.KeyStrmWaitTime = 15;
    if (ReadNodeValue(document, SYS_GENERAL, L"KeyStrmWaitTime", 2, value))
        settings.KeyStrmWaitTime = static_cast<uint16_t>((value.integer >= 0 && value.integer <= 180) ? value.integer : 15);
}

void LoadSysConfigPart(CConfigXmlDocument &document, stTYXGeneralSettings &settings)
{
    LoadGpuList(document, settings);
    stConfigValue value;
    if (ReadNodeValue(document, SYS_GENERAL, L"BindInterface", 26, value))
        settings.BindInterface = value.text;
    if (ReadNodeValue(document, SYS_GENERAL, L"BindMAC", 41, value))
        settings.BindMAC = value.text;
    if (ReadNodeValue(document, SYS_GENERAL, L"GlobalTyxId", 5, value))
        settings.GlobalTyxId = value.integer;
    LoadEfficiencyCtrl(document, settings);
    LoadSysGeneralKeys(document, settings);
}

void LoadStreamCfgPart(CConfigXmlDocument &document, stTYXGeneralSettings &settings)
{
    struct stTextKey
    {
        const wchar_t *key;
        int32_t typeCode;
        std::wstring *field;
    };
    const stTextKey texts[] = {
        {L"Location", 33, &settings.Location},           {L"CustomerName", 35, &settings.CustomerName},
        {L"StandByMsg", 20, &settings.StandByMsg},       {L"TRVKAddr", 42, &settings.TRVKAddr},
        {L"StreamPushPath", 20, &settings.StreamPushPath}, {L"FtpRecordPath", 25, &settings.FtpRecordPath},
        {L"FtpUser", 23, &settings.FtpUser},             {L"FtpPwd", 24, &settings.FtpPwd},
        {L"LiveBCWriter", 21, &settings.LiveBCWriter},   {L"PreviewWriter", 21, &settings.PreviewWriter},
        {L"RecordWriter", 21, &settings.RecordWriter}};
    const std::pair<const wchar_t *, int32_t *> colours[] = {{L"DefaultBGC", &settings.DefaultBGC},
                                                             {L"ErrMsgColor", &settings.ErrMsgColor},
                                                             {L"InfoMsgColor", &settings.InfoMsgColor}};
    stConfigValue value;
    for (const stTextKey &text : texts) {
        if (ReadNodeValue(document, SYS_GENERAL, text.key, text.typeCode, value))
            *text.field = value.text;
    }
    for (const auto &[key, field] : colours) {
        if (ReadNodeValue(document, SYS_GENERAL, key, 45, value))
            *field = ParseColor(value.text.c_str());
    }
    settings.MsgHeight = 32;
    if (ReadNodeValue(document, SYS_GENERAL, L"MsgHeight", 2, value) && FitsInt16(L"MsgHeight", value.integer))
        settings.MsgHeight = static_cast<int16_t>(value.integer);
    if (ReadNodeValue(document, SYS_GENERAL, L"TRVKPushPort", 2, value) && FitsInt16(L"TRVKPushPort", value.integer))
        settings.TRVKPushPort = static_cast<int16_t>(value.integer);
    settings.GlobalFramerate = 0.0f;
    if (ReadNodeValue(document, SYS_GENERAL, L"GlobalFramerate", 4, value) && value.real >= 10.0f && value.real <= 120.0f)
        settings.GlobalFramerate = value.real;
    settings.GlobalSamplerate = 0;
    if (ReadNodeValue(document, SYS_GENERAL, L"GlobalSamplerate", 4, value))
        settings.GlobalSamplerate = TruncateToInt32(value.real);
}

void ReadFixedDevices(CConfigXmlDocument &document, const wchar_t *countKey, const wchar_t *prefix,
                      FixedDeviceMap &devices)
{
    const wchar_t *section = L"/Config/RAVIODevices";
    stConfigValue value;
    if (!ReadNodeValue(document, section, countKey, 2, value) || value.integer < 1)
        return;
    int32_t count = value.integer;
    if (count > MAX_FIXED_DEVICES) {
        TYX_LOG(3, L"Configuration: %s(%d) is more than %d devices, only the first %d are read.", countKey, count,
                MAX_FIXED_DEVICES, MAX_FIXED_DEVICES);
        count = MAX_FIXED_DEVICES;
    }
    for (int32_t i = 1; i <= count; ++i) {
        const std::wstring key = prefix + std::to_wstring(i);
        if (ReadNodeValue(document, section, key.c_str(), 26, value))
            devices[static_cast<uint16_t>(i)] = value.text;
    }
}

// The companion program runs on this host: its folder and files must be there.
bool CheckLocalMox(const ConfigValueMap &values, stMoxConfig &settings)
{
    bool failed = false;
    TakeText(values, L"MOXPath", settings.MOXPath);
    if (settings.MOXPath.empty()) {
        TYX_LOG(2, L"Configuration: Configed MOX path is invalid, please checking it!");
        failed = true;
    } else if (!Accessible(settings.MOXPath, F_OK)) {
        TYX_LOG(2, L"Configuration: Configed MOX path(%s) is inaccessible, please checking it!", settings.MOXPath.c_str());
        failed = true;
    }
    TakeText(values, L"MOXMainPE", settings.MOXMainPE);
    if (settings.MOXMainPE.empty()) {
        TYX_LOG(2, L"Configuration: Configed MOX main file name is invalid, please checking it!");
        failed = true;
    } else {
        const std::wstring mainFile = JoinPath(settings.MOXPath, settings.MOXMainPE);
        if (!Accessible(mainFile, R_OK)) {
            TYX_LOG(2, L"Configuration: Configed MOX main file(%s) is inaccessible, please checking it!", mainFile.c_str());
            failed = true;
        }
    }
    TakeText(values, L"MOXConfigFile", settings.MOXConfigFile);
    if (settings.MOXConfigFile.empty()) {
        TYX_LOG(2, L"Configuration: Configed MOX config file name is invalid, please checking it!");
        failed = true;
    } else {
        const std::wstring configFile = JoinPath(settings.MOXPath, settings.MOXConfigFile);
        if (!Accessible(configFile, R_OK | W_OK)) {
            TYX_LOG(2, L"Configuration: Configed MOX config file(%s) is inaccessible for write, please checking it!",
                    configFile.c_str());
            failed = true;
        }
    }
    TakeText(values, L"MOX_RCPort_Item", settings.MOX_RCPort_Item);
    return !failed;
}

int32_t InRangeOr(int32_t value, int32_t low, int32_t high, int32_t fallback)
{
    return (value >= low && value <= high) ? value : fallback;
}

// The FFmpeg audio push that stands in for a companion on another host.
bool CheckAudioPush(const ConfigValueMap &values, stMoxConfig &settings)
{
    bool failed = false;
    TakeText(values, L"FpgMainPath", settings.FpgMainPath);
    if (settings.FpgMainPath.size() <= 2) {
        TYX_LOG(2, L"Configuration: Configed FFMPEG path is invalid, please checking it!");
        failed = true;
    } else if (!Accessible(settings.FpgMainPath, F_OK)) {
        TYX_LOG(2, L"Configuration: Configed FFMPEG path(%s) is inaccessible, please checking it!",
                settings.FpgMainPath.c_str());
        failed = true;
    }
    TakeText(values, L"AudioPushCmd", settings.AudioPushCmd);
    if (settings.AudioPushCmd.size() < 8) {
        TYX_LOG(2, L"Configuration: Configed audio push command is invalid, please checking it!");
        failed = true;
    }
    TakeText(values, L"AudioAdapter", settings.AudioAdapter);
    if (settings.AudioAdapter.empty()) {
        TYX_LOG(2, L"Configuration: Configed audio adapter is invalid, please checking it!");
        failed = true;
    }
    TakeText(values, L"DestURL", settings.DestURL);
    TakeText(values, L"ARecordPath", settings.ARecordPath);
    if (!Accessible(settings.ARecordPath, R_OK | W_OK)) {
        TYX_LOG(2, L"Configuration: Configed Audio record path is inaccessible for write, please checking it!");
        failed = true;
    }
    TakeText(values, L"ARecordPrefix", settings.ARecordPrefix);
    if (settings.ARecordPrefix.size() > 32) {
        TYX_LOG(3, L"Configuration: Configed Audio record prefix is invalid, ignore it.");
        settings.ARecordPrefix.clear();
    }
    int32_t number = 44100;
    TakeInt(values, L"SampleRate", number);
    settings.SampleRate = InRangeOr(number, 8000, 96000, 44100);
    number = 16;
    TakeInt(values, L"BitWidth", number);
    settings.BitWidth = static_cast<int16_t>(InRangeOr(number, 8, 32, 16));
    number = 2;
    TakeInt(values, L"Channel", number);
    settings.Channel = static_cast<int16_t>(InRangeOr(number, 1, 8, 2));
    number = 128;
    TakeInt(values, L"AEBitRate", number);
    settings.AEBitRate = InRangeOr(number, 4, 1024, 128);
    return !failed;
}

} // namespace

void InitGeneralSettings(stTYXGeneralSettings &settings)
{
    settings.DebugLevel = 5;
    settings.GPUs.clear();
    settings.InitializeMonitors = false;
    settings.DefaultBGC = 0;
    settings.ErrMsgColor = 4;
    settings.InfoMsgColor = 16;
    settings.MsgHeight = 0;
    settings.MTRTD = 0;
    settings.RTL_Level0 = 100;
    settings.RTL_Level1 = 300;
    settings.RTL_Level2 = 900;
    settings.RTL_Level3 = 2700;
    settings.MTIFD = 0;
    settings.AVSynLimit = 300;
    settings.SIF = true;
    settings.RealtimeCtrl = true;
    settings.AVSyn = true;
    settings.PeopleDetect = false;
    settings.FaceID = false;
    settings.ServiceName.clear();
    settings.DependedService.clear();
    settings.TimeWaitingDpdc = 0;
    settings.KeyStrmWaitTime = 0;
    settings.CustomerName.clear();
    settings.StandByMsg.clear();
    settings.TRVKAddr.clear();
    settings.TRVKPushPort = 1935;
    settings.StreamPushPath.clear();
    settings.FtpRecordPath.clear();
    settings.FtpUser.clear();
    settings.FtpPwd.clear();
    settings.LiveBCWriter.clear();
    settings.PreviewWriter.clear();
    settings.RecordWriter.clear();
    settings.ShowProgress = false;
}

int32_t LoadGeneralCfgXml(const std::wstring &path, stTYXGeneralSettings &settings, bool gpuSettings)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    if (gpuSettings)
        LoadSysConfigPart(document, settings);
    else
        LoadStreamCfgPart(document, settings);
    return 0;
}

int32_t LoadRAVIODevicesCfgXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    FixedDeviceMap *maps[] = {&CTYXGVMS::FixedVideoInDevices(), &CTYXGVMS::FixedVideoOutDevices(),
                              &CTYXGVMS::FixedAudioInDevices(), &CTYXGVMS::FixedAudioOutDevices()};
    for (FixedDeviceMap *devices : maps)
        devices->clear();
    ReadFixedDevices(document, L"FixedVideoIn", L"FVIDN-", *maps[0]);
    ReadFixedDevices(document, L"FixedVideoOut", L"FVODN-", *maps[1]);
    ReadFixedDevices(document, L"FixedAudioIn", L"FAIDN-", *maps[2]);
    ReadFixedDevices(document, L"FixedAudioOut", L"FAODN-", *maps[3]);
    int32_t total = 0;
    for (const FixedDeviceMap *devices : maps)
        total += static_cast<int32_t>(devices->size());
    return total;
}

int32_t LoadMoxConfigXml(const std::wstring &path, stMoxConfig &settings)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, __func__);
    if (result != 0)
        return result;
    bool failed = false;

    const ConfigKeySchema moxSchema = {{L"MOXInLocal", 1}, {L"MOXPath", 25}, {L"MOXMainPE", 25},
                                       {L"MOXConfigFile", 25}, {L"MOX_RCPort_Item", 20}};
    ConfigValueMap values;
    document.ReadElement(MakePath(L"/Config/MoxConfig", L"MOXSetting"), values, &moxSchema);
    if (!values.empty()) {
        settings.MOXInLocal = false;
        TakeBool(values, L"MOXInLocal", settings.MOXInLocal);
        if (settings.MOXInLocal && !CheckLocalMox(values, settings))
            failed = true;
    }

    if (!settings.MOXInLocal) {
        const ConfigKeySchema pushSchema = {{L"UseFpgAudio", 1},   {L"FpgMainPath", 25},  {L"AudioPushCmd", 25},
                                            {L"AudioAdapter", 26}, {L"SampleRate", 2},    {L"BitWidth", 2},
                                            {L"Channel", 2},       {L"AEBitRate", 2},     {L"DestURL", 27},
                                            {L"ARecordPath", 25},  {L"ARecordPrefix", 20}};
        values.clear();
        document.ReadElement(MakePath(L"/Config/MoxConfig", L"MOXSimulator"), values, &pushSchema);
        if (!values.empty()) {
            settings.UseFpgAudio = false;
            TakeBool(values, L"UseFpgAudio", settings.UseFpgAudio);
            if (settings.UseFpgAudio && !CheckAudioPush(values, settings))
                failed = true;
        }
    }
    return failed ? -1 : 0;
}

int32_t WriteCtrlPortSetting(const wchar_t *file, uint16_t port)
{
    if (!file)
        return 0;
    return WriteIniText(file, L"TYXGeneral", L"CtrlPort", std::to_wstring(port));
}

int32_t WriteMWriterOutputURL(int32_t writerNumber, const wchar_t *file, const std::wstring &url)
{
    if (!file)
        return 0;
    const std::wstring section = L"MWriter_#" + std::to_wstring(static_cast<int16_t>(writerNumber));
    return WriteIniText(file, section, L"outputURL", url);
}
