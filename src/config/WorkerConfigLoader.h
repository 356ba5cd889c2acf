#pragma once

#include "config/ConfigLoaderUtils.h"
#include "config/ConfigXmlDocument.h"
#include "config/WorkerReference.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The procedure that every section loader of "StreamCfg.xml" shares, in pieces that each loader
// strings together: read the section, begin each item, read the common keys, register the record.

// One worker section of "StreamCfg.xml".
struct stConfigSection
{
    const wchar_t *path;     // "/Config/MediaSources"
    const wchar_t *countKey; // "MSCount"
    int32_t schemaKind;      // CFG_SCHEMA_*
    uint32_t idBase;         // the worker id of element number 0
};

// Reads the section's count and items (after the document is loaded): the count (a failed read
// counts 0); items stay empty when it is below 1. When items were read, LoadSeqCounter grows by one.
int32_t ReadConfigSection(CConfigXmlDocument &document, const stConfigSection &section,
                          const stReadElementFlags &flags, std::vector<ConfigValueMap> &items);
// The flags of the common procedure: ReadId, KeepNodeName and SkipEmptyItems.
stReadElementFlags CommonSectionFlags();

// Begins an item: LoadSeq, No and WorkerId from "id" (1..count) and Name from "nodeName". False when
// the item has no valid id or name and is to be passed over without a message.
bool BeginWorkerItem(const ConfigValueMap &item, int32_t count, uint32_t idBase, stTYXWorkerConfig &record);
// "DisplayName" when present.
void ReadDisplayName(const ConfigValueMap &item, stTYXWorkerConfig &record);

// The direct-output rule: "DirectOutput", then "outputOn" and the keys of its window mode.
void ReadDirectOutputKeys(const ConfigValueMap &item, stDirectOutputConfig &output);
// The frame-rate rule: "OutputFramerate" in 10..120, else GlobalFramerate in 10..120, else fallback.
float FrameRateByRule(const ConfigValueMap &item, float fallback);
// The low 16 bits of an integer key when present.
bool TakeInt16(const ConfigValueMap &values, const wchar_t *key, int16_t &target);

// A key that names the worker's source by a reference text: true with the resolved stream id and
// the text when the key is present, not empty and resolves above 0 for a consumer of the kind.
bool ResolveSourceKey(const ConfigValueMap &item, const wchar_t *key, int32_t consumerKind, int32_t &id,
                      std::wstring &text);

// The name of an audio rendering device by its number; a number not in the list is logged, and the
// name is then left as it is (the device's default).
bool FindAudioRenderingDevice(int16_t number, std::wstring &name);

// The element path of a nested element of an item ("Stream", "ChildWindow", "Output") with its id
// (0: the first), found under the item's own element by name and number.
ConfigPath ItemChildPath(const stConfigSection &section, const stTYXWorkerConfig &record, const wchar_t *child,
                         int16_t childId);

// Builds the record's items and enters it under its name; a name already there keeps its record.
template <typename Record>
void RegisterWorkerConfig(WorkerConfigRegistry<Record> &registry, Record &&record)
{
    record.BuildIOItems();
    std::wstring name = record.Name;
    registry.emplace(std::move(name), std::move(record));
}

// Begins an item as BeginWorkerItem does and reads its display name. An item whose worker id or
// name the registry already has is passed over, logged with the section's label ("Decoder").
template <typename Record>
bool BeginUniqueWorkerItem(const ConfigValueMap &item, int32_t count, uint32_t idBase,
                           const WorkerConfigRegistry<Record> &registry, const wchar_t *label, Record &record)
{
    if (!BeginWorkerItem(item, count, idBase, record))
        return false;
    if (HasWorkerConfig(registry, record.WorkerId, record.Name)) {
        TYX_LOG(3, L"Configuration:%s(No=%d, Name=%s) configured duplicated!, Skip it!", label,
                static_cast<int32_t>(record.No), record.Name.c_str());
        return false;
    }
    ReadDisplayName(item, record);
    return true;
}

// The whole procedure over a section whose items need nothing but their own keys: each item is
// begun (with a label, a repeated id or name is passed over), read by readKeys(item, record) and
// registered when that gives true. The registry's size, or the code of a file that does not load.
template <typename Record, typename ReadKeys>
int32_t LoadWorkerSection(const std::wstring &path, const stConfigSection &section, const char *loader,
                          WorkerConfigRegistry<Record> &registry, const wchar_t *duplicateLabel, ReadKeys readKeys)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, loader);
    if (result != 0)
        return result;
    std::vector<ConfigValueMap> items;
    const int32_t count = ReadConfigSection(document, section, CommonSectionFlags(), items);
    for (const ConfigValueMap &item : items) {
        Record record;
        if (duplicateLabel) {
            if (!BeginUniqueWorkerItem(item, count, section.idBase, registry, duplicateLabel, record))
                continue;
        } else {
            if (!BeginWorkerItem(item, count, section.idBase, record))
                continue;
            ReadDisplayName(item, record);
        }
        if (readKeys(item, record))
            RegisterWorkerConfig(registry, std::move(record));
    }
    return static_cast<int32_t>(registry.size());
}
