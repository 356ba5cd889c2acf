#include "config/GTYXConfigXml.h"

#include "config/ConfigItem.h"
#include "config/ConfigKeySchema.h"
#include "config/ConfigKeywords.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigText.h"
#include "config/WorkerConfigLoader.h"
#include "config/WorkerReference.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"

#include <unistd.h>

// The on-screen texts and graphics load after every worker section: each item names the worker
// that draws it, and only a configured worker can own one. They are numbered items of their own
// (any element name, an "id" attribute) and take no part in the load order of the workers.

namespace {

constexpr const wchar_t *OSD_SECTION = L"/Config/OSDs";
constexpr const wchar_t *OSG_SECTION = L"/Config/OSGs";
constexpr int32_t MAX_OVERLAY_NUMBER = 0x7FFF; // registry keys are 16-bit

uint8_t DrawTargetOfRole(int32_t roleCode)
{
    switch (roleCode) {
    case ROLE_AUDIO_INPUT:
    case ROLE_VIDEO_INPUT: return OVERLAY_TARGET_INPUT;
    case ROLE_AUDIO_OUTPUT:
    case ROLE_VIDEO_OUTPUT: return OVERLAY_TARGET_OUTPUT;
    case ROLE_TO_DOWNSTREAM: return OVERLAY_TARGET_DOWNSTREAM;
    case ROLE_TO_RENDERING: return OVERLAY_TARGET_RENDERING;
    default: return OVERLAY_TARGET_NONE;
    }
}

// One overlay section as read: its count, schema and items with their elements.
struct stOverlaySection
{
    const wchar_t *path;
    const wchar_t *countKey;
    int32_t schemaKind;
    const wchar_t *label; // "OSD"
};

const stOverlaySection kOsds = {OSD_SECTION, L"OSDCount", CFG_SCHEMA_OSD, L"OSD"};
const stOverlaySection kOsgs = {OSG_SECTION, L"OSGCount", CFG_SCHEMA_OSG, L"OSG"};

// Loads the document, empties the registry and reads the section's items into read (nothing when
// the count is below 1). The Load code, or 0.
template <typename Registry>
int32_t ReadOverlaySection(CConfigXmlDocument &document, const std::wstring &path, const char *loader,
                           const stOverlaySection &section, Registry &registry, stConfigSectionRead &read)
{
    const int32_t result = OpenConfigDocument(document, path, loader);
    if (result != 0)
        return result;
    registry.clear();
    stConfigValue value;
    read.count = ReadNodeValue(document, section.path, section.countKey, 2, value) ? value.integer : 0;
    if (read.count < 1)
        return 0;
    GetConfigKeySchema(section.schemaKind, read.schema);
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.SkipEmptyItems = 1;
    std::vector<ConfigValueMap> values;
    std::vector<ConfigElement> elements;
    document.ReadElementList(section.path, values, &read.schema, flags, &elements);
    for (size_t i = 0; i < values.size(); ++i)
        read.items.push_back(stConfigSectionItem{std::move(values[i]), elements[i]});
    return 0;
}

// The item's number when it lies in 1..count; the item gets its label.
bool ItemNumber(CConfigItem &item, const stOverlaySection &section, int32_t count, int16_t &number)
{
    const stConfigValue *id = item.Find(L"id");
    if (!id)
        return false;
    item.SetLabel(std::wstring(section.label) + L"(No=" + std::to_wstring(id->integer) + L")");
    const std::wstring idKey = L"id(" + std::to_wstring(id->integer) + L")";
    if (id->integer < 1 || id->integer > MAX_OVERLAY_NUMBER) {
        item.Refuse(idKey, L"is outside 1.." + std::to_wstring(MAX_OVERLAY_NUMBER));
        return false;
    }
    if (id->integer > count) {
        item.Refuse(idKey, L"is above " + std::wstring(section.countKey) + L"(" + std::to_wstring(count) + L")");
        return false;
    }
    number = static_cast<int16_t>(id->integer);
    return true;
}

// "DrawOn": the owner and the picture drawn on. A reference that does not parse, or names no
// configured worker or stream, drops the item: it would have no owner to draw it.
bool ReadOverlayOwner(const CConfigItem &item, stTYXOverlayOwner &owner)
{
    if (!item.RequiredText(L"DrawOn", owner.DrawOn))
        return false;
    stTYXWorkerReference reference;
    const int32_t parsed = ResolveWorkerReference(owner.DrawOn, reference);
    if (parsed <= 0) {
        item.Refuse(L"DrawOn", ReferenceParseFault(parsed));
        return false;
    }
    owner.Section = reference.Section;
    owner.Alias = reference.Alias;
    owner.Role = reference.Role;
    const stTYXWorkerConfig *config = nullptr;
    FindWorkerConfigByAlias(reference.SectionKind, reference.Alias, &config);
    if (!config) {
        item.Refuse(L"DrawOn", L"names no worker " + reference.Alias + L" among the configured " + reference.Section);
        return false;
    }
    // Writer ids run above the signed range, so the id is judged by its kind, not its sign.
    const uint32_t id = static_cast<uint32_t>(LookupWorkerReference(reference));
    if (CTYXGVMS::GetWorkerKindById(id) == TYX_KIND_NONE) {
        item.Refuse(L"DrawOn", L"names no output stream of " + reference.Alias);
        return false;
    }
    owner.OwnerStreamId = id;
    // The worker's own id: a writer's does not end in 00.
    owner.OwnerWorkerId = static_cast<uint32_t>(config->WorkerId);
    owner.DrawTarget = DrawTargetOfRole(reference.RoleCode);
    return true;
}

void ReadOsdKeys(const CConfigItem &item, stTYXOSDConfig &record)
{
    record.OsdType = ReadKeyword(item, L"OsdType", ParseOsdContent, 0, nullptr,
                                 L"is no text type (Time, Date, Datetime, StaticText, DynamicText)", L"nothing is drawn.");
    if (record.OsdType == 6)
        item.Text(L"Content", record.Content);
    record.PosBase = ReadKeyword(item, L"PosBase", ParsePositionBase, 0, nullptr,
                                 L"is no position it knows (Center, LTCorner, RBCorner, ...)", L"0 is used.");
    item.Int16(L"XShift", record.XShift);
    item.Int16(L"YShift", record.YShift);
    record.TextColor = ReadKeyword(item, L"TextColor", ParseColor, 16, L"Black",
                                   L"is no colour it knows (Black, Blue, Green, Red, Yellow, White)", L"Black is used.");
    int32_t height = 0;
    if (item.Int(L"TextHeight", height)) {
        const int32_t lowByte = height & 0xFF;
        record.TextHeight = lowByte < 16 ? 16 : (lowByte > 128 ? 128 : lowByte);
    }
}

// A relative picture path is taken from the program folder, wherever the process was started.
std::wstring ResolveSourceFile(const std::wstring &file)
{
    const std::wstring &folder = CTYXGVMS::ProgramFolder();
    if (file.empty() || file.front() == L'/' || folder.empty())
        return file;
    if (folder.back() == L'/')
        return folder + file;
    return folder + L"/" + file;
}

bool IsReadable(const std::wstring &file)
{
    const std::string utf8 = WStringToString(file);
    return !utf8.empty() && access(utf8.c_str(), R_OK) == 0;
}

// The item's own "Parameters" element, every child a text of 1 to 257 characters.
void ReadGeometryParameters(CConfigXmlDocument &document, const CConfigItem &item, stTYXOSGConfig &record)
{
    const ConfigKeySchema anyText;
    ConfigValueMap values;
    ReadNestedElement(document, item, L"Parameters", 0, anyText, values);
    for (const auto &[name, value] : values)
        record.Parameters.emplace(name, value.text);
}

bool ReadGeometryKeys(CConfigXmlDocument &document, const CConfigItem &item, stTYXOSGConfig &record)
{
    if (!item.RequiredText(L"GmtType", record.GmtType))
        return false;
    item.Text(L"posUnit", record.posUnit);
    int32_t weight = 0;
    if (item.Int(L"weight", weight))
        record.weight = weight & 0xFF;
    item.Text(L"lineColor", record.lineColor);
    item.Text(L"lineType", record.lineType);
    item.Bool(L"Transparent", record.Transparent);
    record.fillingColor.clear();
    item.Text(L"fillingColor", record.fillingColor);
    item.Int16(L"XRangeL", record.XRangeL);
    item.Int16(L"XRangeR", record.XRangeR);
    bool needParameters = false;
    if (item.Bool(L"GmtNeedPrmtrs", needParameters) && needParameters)
        ReadGeometryParameters(document, item, record);
    return true;
}

bool ReadImageKeys(const CConfigItem &item, bool animation, stTYXOSGConfig &record)
{
    std::wstring file;
    if (!item.RequiredText(L"SourceFile", file))
        return false;
    record.SourceFile = ResolveSourceFile(file);
    if (!IsReadable(record.SourceFile)) {
        TYX_LOG(2, L"Configuration: Configured OSG Graphic file(%s) is inaccessible, please checking it!",
                record.SourceFile.c_str());
        return false;
    }
    record.SourceFileOk = 1;
    item.Int16(L"PosX", record.PosX);
    item.Int16(L"PosY", record.PosY);
    item.Real(L"Resize", record.Resize);
    item.UInt16(L"StartDelay", record.StartDelay);
    item.UInt16(L"ShowTime", record.ShowTime);
    if (animation) {
        item.Int(L"FromFrame", record.FromFrame);
        item.Int(L"ToFrame", record.ToFrame);
        item.Bool(L"Repeat", record.Repeat);
    }
    return true;
}

// The graphic's keys after its owner; false when it is dropped.
bool ReadOsgKeys(CConfigXmlDocument &document, const CConfigItem &item, stTYXOSGConfig &record)
{
    if (item.Text(L"CordOrgPos", record.CordOrgPos) && EqualsNoCase(record.CordOrgPos, L"Specify")) {
        item.UInt16(L"CntrCrdX", record.CntrCrdX);
        item.UInt16(L"CntrCrdY", record.CntrCrdY);
    }
    item.Text(L"OSGType", record.OSGType);
    if (EqualsNoCase(record.OSGType, L"Geometry"))
        return ReadGeometryKeys(document, item, record);
    if (EqualsNoCase(record.OSGType, L"PICTURE"))
        return ReadImageKeys(item, false, record);
    if (EqualsNoCase(record.OSGType, L"ANIMATE"))
        return ReadImageKeys(item, true, record);
    item.Ignore(L"OSGType", item.Has(L"OSGType") ? L"is no graphic type (Geometry, PICTURE, ANIMATE)" : L"is missing",
                L"nothing is drawn.");
    return true;
}

// Reads every item of an overlay section with readKeys(document, item, record) into the registry.
template <typename Record, typename Registry, typename ReadKeys>
int32_t LoadOverlaySection(const std::wstring &path, const char *loader, const stOverlaySection &section,
                           Registry &registry, ReadKeys readKeys)
{
    CConfigXmlDocument document;
    stConfigSectionRead read;
    const int32_t result = ReadOverlaySection(document, path, loader, section, registry, read);
    if (result != 0)
        return result;
    for (const stConfigSectionItem &entry : read.items) {
        CConfigItem item = MakeSectionItem(read, entry, loader);
        int16_t number = 0;
        Record record;
        if (!ItemNumber(item, section, read.count, number) || !ReadOverlayOwner(item, record) ||
            !readKeys(document, item, record))
            continue;
        if (!registry.emplace(number, std::move(record)).second)
            item.Log(L"configured duplicated!, Skip it!");
    }
    return static_cast<int32_t>(registry.size());
}

} // namespace

int32_t LoadOSDConfigXml(const std::wstring &path)
{
    return LoadOverlaySection<stTYXOSDConfig>(path, __func__, kOsds, CTYXGVMS::OSDConfigs(),
                                              [](CConfigXmlDocument &, const CConfigItem &item, stTYXOSDConfig &record) {
                                                  ReadOsdKeys(item, record);
                                                  return true;
                                              });
}

int32_t LoadOSGConfigXml(const std::wstring &path)
{
    return LoadOverlaySection<stTYXOSGConfig>(path, __func__, kOsgs, CTYXGVMS::OSGConfigs(), ReadOsgKeys);
}
