#include "rcm/RcmCommandCheck.h"

#include "config/ConfigKeywords.h"
#include "core/OsdOsgConfig.h"
#include "core/TYXUtils.h"
#include "core/TextCompare.h"
#include "output/RecordFiles.h"
#include "rcm/RcmTables.h"

#include <cwchar>
#include <functional>
#include <initializer_list>
#include <optional>

namespace {

constexpr size_t kAliasMax = 63;
constexpr size_t kCaseTextMax = 31;
constexpr size_t kListMax = 256;
constexpr size_t kLongTextMax = 510;

struct stCheckContext
{
    const RcmParamMap &params;
    stRCCommand &record;
};

const std::wstring *FindParam(const RcmParamMap &params, std::initializer_list<const wchar_t *> keys)
{
    for (const wchar_t *key : keys) {
        const auto found = params.find(key);
        if (found != params.end())
            return &found->second;
    }
    return nullptr;
}

// A text parameter of minLength..maxLength characters into the record's narrow text slot.
int32_t ReadText(stCheckContext &c, std::initializer_list<const wchar_t *> keys, size_t slot, size_t maxLength,
                 bool required = true)
{
    const std::wstring *value = FindParam(c.params, keys);
    if (!value)
        return required ? RCM_ERR_PARAM_MISSED : 0;
    if (value->empty() || value->size() > maxLength)
        return RCM_ERR_PARAM_VALUE;
    c.record.Texts[slot] = WStringToString(*value);
    return 0;
}

std::optional<int64_t> ParseDecimal(const std::wstring &text)
{
    if (text.empty() || text.size() > 11)
        return std::nullopt;
    size_t i = (text[0] == L'-' || text[0] == L'+') ? 1 : 0;
    if (i == text.size())
        return std::nullopt;
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9')
            return std::nullopt;
        value = value * 10 + (text[i] - L'0');
    }
    return text[0] == L'-' ? -value : value;
}

// A decimal parameter in min..max; absent gives fallback when there is one, else 304.
int32_t ReadNumber(stCheckContext &c, std::initializer_list<const wchar_t *> keys, int64_t min, int64_t max,
                   int64_t &out, std::optional<int64_t> fallback = std::nullopt)
{
    const std::wstring *value = FindParam(c.params, keys);
    if (!value) {
        if (!fallback)
            return RCM_ERR_PARAM_MISSED;
        out = *fallback;
        return 0;
    }
    const auto number = ParseDecimal(*value);
    if (!number || *number < min || *number > max)
        return RCM_ERR_PARAM_VALUE;
    out = *number;
    return 0;
}

// "Start" 1 or "Stop" 0 into the second number.
int32_t ReadAction(stCheckContext &c)
{
    const std::wstring *value = FindParam(c.params, {L"Action"});
    if (!value)
        return RCM_ERR_PARAM_MISSED;
    if (EqualsNoCase(*value, L"Start"))
        c.record.Number2 = 1;
    else if (EqualsNoCase(*value, L"Stop"))
        c.record.Number2 = 0;
    else
        return RCM_ERR_PARAM_VALUE;
    return 0;
}

bool IsTrue(const std::wstring *value)
{
    return value && (EqualsNoCase(*value, L"True") || EqualsNoCase(*value, L"Yes") || *value == L"1");
}

template <typename Map>
std::optional<int64_t> LookUpName(const Map &table, const std::wstring &name)
{
    for (const auto &[key, code] : table) {
        if (EqualsNoCase(key, name))
            return static_cast<int64_t>(code);
    }
    return std::nullopt;
}

template <typename Map>
int32_t ReadName(stCheckContext &c, const wchar_t *key, const Map &table, int64_t &out,
                 std::optional<int64_t> fallback = std::nullopt)
{
    const std::wstring *value = FindParam(c.params, {key});
    if (!value) {
        if (!fallback)
            return RCM_ERR_PARAM_MISSED;
        out = *fallback;
        return 0;
    }
    const auto code = LookUpName(table, *value);
    if (!code)
        return RCM_ERR_PARAM_VALUE;
    out = *code;
    return 0;
}

#define TYX_CHECK(call)                                                                                                \
    do {                                                                                                               \
        const int32_t result_ = (call);                                                                                \
        if (result_ != 0)                                                                                              \
            return result_;                                                                                            \
    } while (0)

int32_t CheckWriterControl(stCheckContext &c)
{
    TYX_CHECK(ReadText(c, {L"WorkerAlias"}, 0, kAliasMax));
    return ReadAction(c);
}

int32_t CheckOsdNumber(stCheckContext &c, std::initializer_list<const wchar_t *> keys)
{
    int64_t number = 0;
    TYX_CHECK(ReadNumber(c, keys, 1, 65534, number));
    c.record.Number1 = static_cast<int32_t>(number);
    return 0;
}

int32_t CheckOsdControl(stCheckContext &c)
{
    TYX_CHECK(CheckOsdNumber(c, {L"OsdId"}));
    return ReadAction(c);
}

int32_t CheckOsdSetText(stCheckContext &c)
{
    TYX_CHECK(CheckOsdNumber(c, {L"OsdId"}));
    return ReadText(c, {L"OsdText"}, 0, kLongTextMax);
}

int32_t CheckNewInputOsd(stCheckContext &c)
{
    int64_t type = 0, position = 0, color = 0, height = 0, x = 0, y = 0;
    TYX_CHECK(ReadName(c, L"osdType", OsdContentTypeNames(), type));
    TYX_CHECK(ReadName(c, L"posBase", OsdPositionNames(), position));
    TYX_CHECK(ReadName(c, L"txtColor", OsdColorNames(), color, 16));
    // The text height has no default: the writers draw 16 to 128 pixels in steps of 4.
    TYX_CHECK(ReadNumber(c, {L"txtHeight"}, 16, 128, height));
    if (height % 4 != 0)
        return RCM_ERR_PARAM_VALUE;
    TYX_CHECK(ReadNumber(c, {L"nXShift"}, -32768, 32767, x, 0));
    TYX_CHECK(ReadNumber(c, {L"nYShift"}, -32768, 32767, y, 0));
    TYX_CHECK(ReadText(c, {L"VideoAlias"}, 0, kAliasMax));
    TYX_CHECK(ReadText(c, {L"OsdText"}, 1, kLongTextMax, type == 6));
    c.record.Number1 = static_cast<int32_t>(static_cast<uint32_t>(type) | static_cast<uint32_t>(position) << 8 |
                                            static_cast<uint32_t>(color) << 16 |
                                            static_cast<uint32_t>(height) << 24);
    c.record.Number2 = (static_cast<uint32_t>(x) & 0xFFFFu) | (static_cast<uint32_t>(y) & 0xFFFFu) << 16;
    return 0;
}

int32_t CheckRegion(stCheckContext &c)
{
    int64_t region = 0;
    TYX_CHECK(ReadNumber(c, {L"RegionNo"}, 1, 64, region));
    c.record.Number1 = static_cast<int32_t>(region);
    TYX_CHECK(ReadText(c, {L"VSAlias"}, 0, kAliasMax));
    // The mux is optional: without it the command goes to the system's mux.
    return ReadText(c, {L"MuxAlias"}, 1, kAliasMax, false);
}

int32_t CheckFocus(stCheckContext &c)
{
    TYX_CHECK(ReadText(c, {L"VSAlias"}, 0, kAliasMax));
    return ReadText(c, {L"MuxAlias"}, 1, kAliasMax, false);
}

int32_t CheckReplaceInput(stCheckContext &c)
{
    TYX_CHECK(ReadText(c, {L"OrgVSAlias"}, 0, kAliasMax));
    return ReadText(c, {L"NewVSAlias"}, 1, kAliasMax);
}

int32_t CheckRemoveFromMux(stCheckContext &c)
{
    TYX_CHECK(ReadText(c, {L"Replacement"}, 0, kAliasMax));
    // Without a replacement the source just leaves the mux.
    return ReadText(c, {L"VSAlias"}, 1, kAliasMax, false);
}

int32_t CheckDelInput(stCheckContext &c, const wchar_t *listedKey)
{
    return ReadText(c, {L"Alias", listedKey}, 0, kAliasMax);
}

// The case texts name the record folders and files: a text that cannot be a plain part of a file
// name would be refused by every writer, so the command is refused here, where the client hears it.
int32_t ReadCaseText(stCheckContext &c, const wchar_t *key, size_t slot)
{
    TYX_CHECK(ReadText(c, {key}, slot, kCaseTextMax));
    return IsSafeRecordNamePart(*FindParam(c.params, {key}), kCaseTextMax) ? 0 : RCM_ERR_PARAM_VALUE;
}

int32_t CheckCaseInfo(stCheckContext &c)
{
    TYX_CHECK(ReadCaseText(c, L"caseNo", 0));
    TYX_CHECK(ReadCaseText(c, L"CycleName", 1));
    return ReadCaseText(c, L"caseName", 2);
}

int32_t CheckMonitorOutput(stCheckContext &c)
{
    int64_t monitor = 0;
    TYX_CHECK(ReadNumber(c, {L"MonitorNo"}, 1, 64, monitor));
    c.record.Number1 = static_cast<int32_t>(monitor);
    return ReadText(c, {L"VideoAlias"}, 0, kAliasMax);
}

int32_t CheckAdditionalInput(stCheckContext &c)
{
    int64_t output = 0;
    TYX_CHECK(ReadNumber(c, {L"OutputCid"}, 1, 64, output));
    c.record.Number1 = static_cast<int32_t>(output);
    return ReadText(c, {L"VSAlias"}, 0, kAliasMax);
}

int32_t CheckMuxLayout(stCheckContext &c)
{
    const std::wstring *name = FindParam(c.params, {L"NewLayout"});
    if (!name)
        return RCM_ERR_PARAM_MISSED;
    std::optional<int64_t> layout;
    for (const auto &[code, text] : MuxLayoutNameTable()) {
        if (code >= 1 && code <= 21 && EqualsNoCase(text, *name))
            layout = code;
    }
    if (!layout)
        return RCM_ERR_PARAM_VALUE;
    c.record.Number1 = static_cast<int32_t>(*layout);
    TYX_CHECK(ReadText(c, {L"VSList"}, 0, kListMax));
    if (*layout == 2 || *layout == 3 || *layout == 5)
        return ReadText(c, {L"ChildWindows"}, 1, kListMax);
    return 0;
}

int32_t CheckSource(stCheckContext &c, bool video)
{
    TYX_CHECK(ReadText(c, {video ? L"VSAlias" : L"ASAlias"}, 0, kAliasMax));
    TYX_CHECK(ReadText(c, {L"InputURL"}, 1, kLongTextMax));
    int64_t streamId = 0, delay = 0, cache = 0, engine = 0;
    TYX_CHECK(ReadNumber(c, {L"StreamId"}, 0, 65535, streamId, 0));
    TYX_CHECK(ReadNumber(c, {L"EstmtDly"}, 0, 65535, delay, 150));
    TYX_CHECK(ReadNumber(c, {L"CacheTime"}, 0, 65535, cache, 0));
    TYX_CHECK(ReadName(c, L"DecodeEng", DecodeEngineNames(), engine, 65535));
    const bool authenticate = IsTrue(FindParam(c.params, {L"Authenticate"}));
    const bool ntp = IsTrue(FindParam(c.params, {L"supportNTP"}));
    const bool sif = video && IsTrue(FindParam(c.params, {L"fSIFRequired"}));
    if (authenticate) {
        TYX_CHECK(ReadText(c, {L"Username"}, 2, kAliasMax));
        TYX_CHECK(ReadText(c, {L"Password"}, 3, kAliasMax));
    }
    c.record.Number1 = static_cast<int32_t>((authenticate ? 1u << 16 : 0u) | static_cast<uint32_t>(streamId));
    c.record.Number2 = (ntp ? 1u << 16 : 0u) | static_cast<uint32_t>(delay);
    c.record.Number3 = (sif ? 1u << 16 : 0u) | static_cast<uint32_t>(cache);
    c.record.Number4 = static_cast<uint32_t>(engine) & 0xFFFFu;
    return 0;
}

int32_t CheckServiceExit(stCheckContext &c)
{
    int64_t seconds = 0;
    TYX_CHECK(ReadNumber(c, {L"RestartAfterSecs"}, 0, 86400, seconds, 0));
    c.record.Number1 = static_cast<int32_t>(seconds);
    return 0;
}

int32_t CheckOsgGeometry(stCheckContext &c)
{
    TYX_CHECK(ReadText(c, {L"VideoAlias", L"OwnerWorker"}, 0, kAliasMax));
    const std::wstring *position = FindParam(c.params, {L"OSGStrmPos"});
    if (!position)
        return RCM_ERR_PARAM_MISSED;
    const int32_t target = ParseOverlayStreamPosition(*position);
    if (target == 0)
        return RCM_ERR_PARAM_VALUE;
    c.record.Number2 = static_cast<uint32_t>(target);
    int64_t count = 0;
    TYX_CHECK(ReadNumber(c, {L"GeometryNum"}, 0, 65535, count, 0));
    c.record.Number1 = static_cast<int32_t>(count);
    return ReadText(c, {L"OSGData", L"GeometryData"}, 1, kLongTextMax);
}

int32_t CheckServerAddress(stCheckContext &c)
{
    const std::wstring *family = FindParam(c.params, {L"Family"});
    const uint32_t familyCode = family && EqualsNoCase(*family, L"IPV6") ? 23u : 2u;
    const bool dhcp = IsTrue(FindParam(c.params, {L"useDHCP"}));
    c.record.Number1 = static_cast<int32_t>(familyCode << 16 | (dhcp ? 1u : 0u));
    if (dhcp)
        return 0;
    const std::wstring *address = FindParam(c.params, {L"IPAddr"});
    if (!address)
        return RCM_ERR_PARAM_MISSED;
    int64_t prefix = 64;
    TYX_CHECK(ReadNumber(c, {L"PrexLen"}, 2, 127, prefix, 64));
    c.record.Number2 = static_cast<uint32_t>(prefix);
    c.record.WideTexts[0] = *address;
    if (const std::wstring *mask = FindParam(c.params, {L"NetMask"}))
        c.record.WideTexts[1] = *mask;
    if (const std::wstring *gateway = FindParam(c.params, {L"Gateway"}))
        c.record.WideTexts[2] = *gateway;
    return 0;
}

int32_t CheckControlPorts(stCheckContext &c)
{
    int64_t tyxPort = 0, moxPort = 0;
    TYX_CHECK(ReadNumber(c, {L"tyxPort"}, 0, 65535, tyxPort));
    TYX_CHECK(ReadNumber(c, {L"moxPort"}, 0, 65535, moxPort));
    c.record.Number1 = static_cast<int32_t>(tyxPort);
    c.record.Number2 = static_cast<uint32_t>(moxPort);
    return 0;
}

struct stNameLess
{
    bool operator()(const std::string &a, const std::string &b) const
    {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
            return FoldAsciiCase(static_cast<unsigned char>(x)) < FoldAsciiCase(static_cast<unsigned char>(y));
        });
    }
};

using CheckFunction = std::function<int32_t(stCheckContext &)>;

const std::map<std::string, CheckFunction, stNameLess> &CheckTable()
{
    static const auto none = [](stCheckContext &) { return 0; };
    static const auto unsupported = [](stCheckContext &) { return RCM_ERR_NOT_SUPPORTED; };
    static const std::map<std::string, CheckFunction, stNameLess> table = {
        {"MediaWriterControl", CheckWriterControl},
        {"OSDControl", CheckOsdControl},
        {"OSDSetText", CheckOsdSetText},
        {"AddNewInputOSD", CheckNewInputOsd},
        {"RemoveOsd", [](stCheckContext &c) { return CheckOsdNumber(c, {L"OsdId"}); }},
        {"RemoveOSG", [](stCheckContext &c) { return CheckOsdNumber(c, {L"nOsgGroupId", L"OsgGroupId"}); }},
        {"RemoveOSGGeometry", [](stCheckContext &c) { return CheckOsdNumber(c, {L"nOsgGroupId", L"OsgGroupId"}); }},
        {"DelInputVideo", [](stCheckContext &c) { return CheckDelInput(c, L"VSAlias"); }},
        {"DelInputAudio", [](stCheckContext &c) { return CheckDelInput(c, L"ASAlias"); }},
        {"ChangeRegionInput", CheckRegion},
        {"AddVSToMux", CheckRegion},
        {"ChangeMuxFocus", CheckFocus},
        {"SetActvSpkrVI", CheckFocus},
        {"ChangeStdlFocus", CheckFocus},
        {"ReplaceMuxInput", CheckReplaceInput},
        {"RmvVSFrmMux", CheckRemoveFromMux},
        {"SetCaseInfo", CheckCaseInfo},
        {"StartDirectOutput", CheckMonitorOutput},
        {"ChangeAdtnStdlInput", CheckAdditionalInput},
        {"StopDirectOutput", [](stCheckContext &c) { return ReadText(c, {L"VideoAlias"}, 0, kAliasMax); }},
        {"ChangeMuxLayout", CheckMuxLayout},
        {"AddInputVideo", [](stCheckContext &c) { return CheckSource(c, true); }},
        {"AddInputAudio", [](stCheckContext &c) { return CheckSource(c, false); }},
        {"ServiceExit", CheckServiceExit},
        {"GotoDebugMode", CheckServiceExit},
        {"GotoWorkingMode", CheckServiceExit},
        {"KOVRestart", none},
        {"KOVShutdown", none},
        {"MOXExit", none},
        {"MOXStart", none},
        {"StartWork", none},
        {"StopWork", none},
        {"AddOSGGeometry", CheckOsgGeometry},
        {"AddOSGPicture", unsupported},
        {"AddOSGAnimate", unsupported},
        {"SetServerName", [](stCheckContext &c) { return ReadText(c, {L"ServerName"}, 0, kAliasMax); }},
        {"SetLiveBCURL", [](stCheckContext &c) { return ReadText(c, {L"LiveBCURL"}, 0, kLongTextMax); }},
        {"SetServerAddr", CheckServerAddress},
        {"SetServerRCPort", CheckControlPorts},
        {"SetTRVKInfo", none},
    };
    return table;
}

bool HasParamEntry(const std::string &command)
{
    for (const auto &[name, params] : RcmCommandParamTable()) {
        if (stNameLess{}(name, command) == false && stNameLess{}(command, name) == false)
            return true;
    }
    return false;
}

} // namespace

int32_t ParseOverlayStreamPosition(const std::wstring &name)
{
    static const std::map<std::wstring, int32_t> positions = {{L"VideoInput", OVERLAY_TARGET_INPUT},
                                                              {L"VideoOutput", OVERLAY_TARGET_OUTPUT},
                                                              {L"ToDownstream", OVERLAY_TARGET_DOWNSTREAM},
                                                              {L"ToRendering", OVERLAY_TARGET_RENDERING}};
    return static_cast<int32_t>(LookUpName(positions, name).value_or(0));
}

int32_t CheckRcmCommand(const std::string &command, const RcmParamMap &params, stRCCommand &record)
{
    if (!HasParamEntry(command))
        return RCM_CHECK_NO_ENTRY;
    const auto &table = CheckTable();
    const auto check = table.find(command);
    if (check == table.end())
        return RCM_CHECK_NO_CHECK;
    record = stRCCommand{};
    stCheckContext context{params, record};
    return check->second(context);
}
