#include "config/GTYXConfigXml.h"

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

// Loads the document, empties the registry and reads the section's items; the number of items read
// is in items, and count is the section's count (below 1: nothing read). The Load code, or 0.
template <typename Registry>
int32_t ReadOverlaySection(CConfigXmlDocument &document, const std::wstring &path, const char *loader,
                           const wchar_t *section, const wchar_t *countKey, int32_t schemaKind, Registry &registry,
                           int32_t &count, std::vector<ConfigValueMap> &items)
{
    const int32_t result = OpenConfigDocument(document, path, loader);
    if (result != 0)
        return result;
    registry.clear();
    stConfigValue value;
    count = ReadNodeValue(document, section, countKey, 2, value) ? value.integer : 0;
    if (count < 1)
        return 0;
    ConfigKeySchema schema;
    GetConfigKeySchema(schemaKind, schema);
    stReadElementFlags flags;
    flags.ReadId = 1;
    flags.SkipEmptyItems = 1;
    document.ReadElementList(section, items, &schema, flags);
    return 0;
}

// The item's number when it lies in 1..count.
bool ItemNumber(const ConfigValueMap &item, int32_t count, int16_t &number)
{
    const stConfigValue *id = FindItemValue(item, L"id");
    if (!id || id->integer < 1 || id->integer > count || id->integer > MAX_OVERLAY_NUMBER)
        return false;
    number = static_cast<int16_t>(id->integer);
    return true;
}

// "DrawOn": the owner and the picture drawn on. A reference that does not parse, or names no
// configured worker or stream, drops the item: it would have no owner to draw it.
bool ReadOverlayOwner(const ConfigValueMap &item, stTYXOverlayOwner &owner)
{
    if (!TakeText(item, L"DrawOn", owner.DrawOn))
        return false;
    stTYXWorkerReference reference;
    if (ResolveWorkerReference(owner.DrawOn, reference) <= 0)
        return false;
    owner.Section = reference.Section;
    owner.Alias = reference.Alias;
    owner.Role = reference.Role;
    const int32_t id = LookupWorkerReference(reference);
    if (id <= 0)
        return false;
    owner.OwnerStreamId = static_cast<uint32_t>(id);
    owner.OwnerWorkerId = owner.OwnerStreamId & ~TYX_STREAM_BITS;
    owner.DrawTarget = DrawTargetOfRole(reference.RoleCode);
    return true;
}

void ReadOsdKeys(const ConfigValueMap &item, stTYXOSDConfig &record)
{
    const stConfigValue *type = FindItemValue(item, L"OsdType");
    record.OsdType = type ? ParseOsdContent(type->text.c_str()) : 0;
    if (record.OsdType == 6)
        TakeText(item, L"Content", record.Content);
    const stConfigValue *position = FindItemValue(item, L"PosBase");
    record.PosBase = position ? ParsePositionBase(position->text.c_str()) : 0;
    TakeInt16(item, L"XShift", record.XShift);
    TakeInt16(item, L"YShift", record.YShift);
    const stConfigValue *color = FindItemValue(item, L"TextColor");
    record.TextColor = color ? ParseColor(color->text.c_str()) : 16;
    int32_t height = 0;
    if (TakeInt(item, L"TextHeight", height)) {
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

void ReadGeometryParameters(CConfigXmlDocument &document, int16_t number, stTYXOSGConfig &record)
{
    ConfigPath path;
    path[1] = stConfigPathStep{OSG_SECTION, 0};
    path[2] = stConfigPathStep{L"OSG", number};
    path[3] = stConfigPathStep{L"Parameters", 0};
    ConfigValueMap values;
    const ConfigKeySchema anyText;
    document.ReadElement(path, values, &anyText);
    for (const auto &[name, value] : values)
        record.Parameters.emplace(name, value.text);
}

bool ReadGeometryKeys(CConfigXmlDocument &document, const ConfigValueMap &item, int16_t number,
                      stTYXOSGConfig &record)
{
    if (!TakeText(item, L"GmtType", record.GmtType))
        return false;
    TakeText(item, L"posUnit", record.posUnit);
    int32_t weight = 0;
    if (TakeInt(item, L"weight", weight))
        record.weight = weight & 0xFF;
    TakeText(item, L"lineColor", record.lineColor);
    TakeText(item, L"lineType", record.lineType);
    TakeBool(item, L"Transparent", record.Transparent);
    record.fillingColor.clear();
    TakeText(item, L"fillingColor", record.fillingColor);
    TakeInt16(item, L"XRangeL", record.XRangeL);
    TakeInt16(item, L"XRangeR", record.XRangeR);
    bool needParameters = false;
    if (TakeBool(item, L"GmtNeedPrmtrs", needParameters) && needParameters)
        ReadGeometryParameters(document, number, record);
    return true;
}

bool ReadImageKeys(const ConfigValueMap &item, bool animation, stTYXOSGConfig &record)
{
    std::wstring file;
    if (!TakeText(item, L"SourceFile", file))
        return false;
    record.SourceFile = ResolveSourceFile(file);
    if (!IsReadable(record.SourceFile)) {
        TYX_LOG(2, L"Configuration: Configured OSG Graphic file(%s) is inaccessible, please checking it!",
                record.SourceFile.c_str());
        return false;
    }
    record.SourceFileOk = 1;
    TakeInt16(item, L"PosX", record.PosX);
    TakeInt16(item, L"PosY", record.PosY);
    TakeReal(item, L"Resize", record.Resize);
    int16_t seconds = 0;
    if (TakeInt16(item, L"StartDelay", seconds))
        record.StartDelay = static_cast<uint16_t>(seconds);
    if (TakeInt16(item, L"ShowTime", seconds))
        record.ShowTime = static_cast<uint16_t>(seconds);
    if (animation) {
        TakeInt(item, L"FromFrame", record.FromFrame);
        TakeInt(item, L"ToFrame", record.ToFrame);
        TakeBool(item, L"Repeat", record.Repeat);
    }
    return true;
}

// The graphic's keys after its owner; false when it is dropped.
bool ReadOsgKeys(CConfigXmlDocument &document, const ConfigValueMap &item, int16_t number, stTYXOSGConfig &record)
{
    if (TakeText(item, L"CordOrgPos", record.CordOrgPos) && EqualsNoCase(record.CordOrgPos, L"Specify")) {
        int16_t coordinate = 0;
        if (TakeInt16(item, L"CntrCrdX", coordinate))
            record.CntrCrdX = static_cast<uint16_t>(coordinate);
        if (TakeInt16(item, L"CntrCrdY", coordinate))
            record.CntrCrdY = static_cast<uint16_t>(coordinate);
    }
    TakeText(item, L"OSGType", record.OSGType);
    if (EqualsNoCase(record.OSGType, L"Geometry"))
        return ReadGeometryKeys(document, item, number, record);
    if (EqualsNoCase(record.OSGType, L"PICTURE"))
        return ReadImageKeys(item, false, record);
    if (EqualsNoCase(record.OSGType, L"ANIMATE"))
        return ReadImageKeys(item, true, record);
    return true;
}

} // namespace

int32_t LoadOSDConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    OsdConfigRegistry &registry = CTYXGVMS::OSDConfigs();
    int32_t count = 0;
    std::vector<ConfigValueMap> items;
    const int32_t result = ReadOverlaySection(document, path, __func__, OSD_SECTION, L"OSDCount", CFG_SCHEMA_OSD,
                                              registry, count, items);
    if (result != 0)
        return result;
    for (const ConfigValueMap &item : items) {
        int16_t number = 0;
        stTYXOSDConfig record;
        if (!ItemNumber(item, count, number) || !ReadOverlayOwner(item, record))
            continue;
        ReadOsdKeys(item, record);
        registry.emplace(number, std::move(record));
    }
    return static_cast<int32_t>(registry.size());
}

int32_t LoadOSGConfigXml(const std::wstring &path)
{
    CConfigXmlDocument document;
    OsgConfigRegistry &registry = CTYXGVMS::OSGConfigs();
    int32_t count = 0;
    std::vector<ConfigValueMap> items;
    const int32_t result = ReadOverlaySection(document, path, __func__, OSG_SECTION, L"OSGCount", CFG_SCHEMA_OSG,
                                              registry, count, items);
    if (result != 0)
        return result;
    for (const ConfigValueMap &item : items) {
        int16_t number = 0;
        stTYXOSGConfig record;
        if (!ItemNumber(item, count, number) || !ReadOverlayOwner(item, record))
            continue;
        if (ReadOsgKeys(document, item, number, record))
            registry.emplace(number, std::move(record));
    }
    return static_cast<int32_t>(registry.size());
}
