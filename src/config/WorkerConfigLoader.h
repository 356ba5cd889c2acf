#pragma once

#include "config/ConfigItem.h"
#include "config/ConfigLoaderUtils.h"
#include "config/ConfigXmlDocument.h"
#include "config/WorkerConfigIndex.h"
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
// Every item that is dropped gets one log line that names it, the key and the reason.

// One worker section of "StreamCfg.xml".
struct stConfigSection
{
    const wchar_t *path;     // "/Config/MediaSources"
    const wchar_t *countKey; // "MSCount"
    int32_t schemaKind;      // CFG_SCHEMA_*
    uint32_t idBase;         // the worker id of element number 0
    uint32_t idLast;         // the last id of the kind's range
    const wchar_t *label;    // how log lines name an item: "MWreader"
    const wchar_t *duplicateLabel = nullptr; // the duplicate line's own, where it differs
};

// The highest element number whose worker id stays in the section's range (and in 16 bits).
int32_t MaxItemNumber(const stConfigSection &section);

// The items of a section as read: the count, the schema they were read by, and per item its values
// and its element (for the elements nested in it).
struct stConfigSectionItem
{
    ConfigValueMap values;
    ConfigElement element = nullptr;
};
struct stConfigSectionRead
{
    int32_t count = 0;
    ConfigKeySchema schema;
    std::vector<stConfigSectionItem> items;
};

// Reads the section's count and items (after the document is loaded): the count (a failed read
// counts 0); items stay empty when it is below 1, which is logged when the section holds items.
// Items without a usable "id" are logged. When items were read, LoadSeqCounter grows by one.
void ReadConfigSection(CConfigXmlDocument &document, const stConfigSection &section, const stReadElementFlags &flags,
                       const char *loader, stConfigSectionRead &read);
// The flags of the common procedure: ReadId, KeepNodeName and SkipEmptyItems.
stReadElementFlags CommonSectionFlags();

// The item of one entry of a section read.
CConfigItem MakeSectionItem(const stConfigSectionRead &read, const stConfigSectionItem &entry, const char *loader);

// Begins an item: Name from "nodeName", LoadSeq, No and WorkerId from "id", and the item's label.
// False (logged) when the number is below 1, above the count or beyond the kind's id range.
bool BeginWorkerItem(CConfigItem &item, const stConfigSection &section, int32_t count, stTYXWorkerConfig &record);
// BeginWorkerItem, then the duplicate check against the index (logged with the section's label),
// then "DisplayName".
bool BeginUniqueWorkerItem(CConfigItem &item, const stConfigSection &section, int32_t count,
                           const CWorkerConfigIndex &index, stTYXWorkerConfig &record);
// "DisplayName" when present.
void ReadDisplayName(const CConfigItem &item, stTYXWorkerConfig &record);

// The direct-output rule: "DirectOutput", then "outputOn" and the keys of its window mode.
void ReadDirectOutputKeys(const CConfigItem &item, stDirectOutputConfig &output);
// The frame-rate rule: "OutputFramerate" in 10..120, else GlobalFramerate in 10..120, else fallback.
float FrameRateByRule(const CConfigItem &item, float fallback);

// A key that names the worker's source by a reference text: true with the resolved stream id and
// the text; false, logged, when the key is missing or does not name a fitting output stream.
bool ResolveSourceKey(const CConfigItem &item, const wchar_t *key, int32_t consumerKind, int32_t mediaType,
                      int32_t &id, std::wstring &text);

// A keyword key: its code by parse(text), or absent when the key is absent. A text that gives 0 and
// is not zeroWord (none: no keyword of the table has code 0) is logged with the reason and outcome.
template <typename Parse>
int32_t ReadKeyword(const CConfigItem &item, const wchar_t *key, Parse parse, int32_t absent, const wchar_t *zeroWord,
                    const wchar_t *reason, const wchar_t *outcome)
{
    const stConfigValue *value = item.Find(key);
    if (!value)
        return absent;
    const int32_t code = parse(value->text.c_str());
    if (code == 0 && !(zeroWord && EqualsNoCase(value->text, zeroWord)))
        item.Ignore(key, reason, outcome);
    return code;
}

// The engine key of a decoder or encoder ("DecoderType", "EncoderType"; absent NVGPU, an unknown
// word FFMPG) and "HwAcclrt" (absent or unknown none; DIRECTX only where directX is set).
void ReadCodecEngine(const CConfigItem &item, const wchar_t *engineKey, bool directX, int32_t &engine,
                     int32_t &hardware);

// The name of an audio rendering device by its number; a number not in the list is logged, and the
// name is then left as it is (the device's default).
bool FindAudioRenderingDevice(int16_t number, std::wstring &name);

// The element named child with the id (0: the first) under the item's own element, read by the
// schema; empty when there is none.
void ReadNestedElement(CConfigXmlDocument &document, const CConfigItem &item, const wchar_t *child, int16_t childId,
                       const ConfigKeySchema &schema, ConfigValueMap &values);

// Builds the record's items and enters it under its name; a name already there keeps its record,
// and the item is logged as a duplicate.
template <typename Record>
bool RegisterWorkerConfig(WorkerConfigRegistry<Record> &registry, CWorkerConfigIndex &index, const CConfigItem &item,
                          Record &&record)
{
    record.BuildIOItems();
    const int32_t workerId = record.WorkerId;
    std::wstring name = record.Name;
    if (!registry.emplace(name, std::move(record)).second) {
        item.Log(L"configured duplicated!, Skip it!");
        return false;
    }
    index.Add(workerId, name);
    return true;
}

// The whole procedure over a section whose items need nothing but their own keys: each item is
// begun (with checkDuplicates, a repeated id or name is passed over), read by readKeys(item,
// record) and registered when that gives true. The registry's size, or the code of a file that
// does not load.
template <typename Record, typename ReadKeys>
int32_t LoadWorkerSection(const std::wstring &path, const stConfigSection &section, const char *loader,
                          WorkerConfigRegistry<Record> &registry, bool checkDuplicates, ReadKeys readKeys)
{
    CConfigXmlDocument document;
    const int32_t result = OpenConfigDocument(document, path, loader);
    if (result != 0)
        return result;
    stConfigSectionRead read;
    ReadConfigSection(document, section, CommonSectionFlags(), loader, read);
    CWorkerConfigIndex index(registry);
    for (const stConfigSectionItem &entry : read.items) {
        CConfigItem item = MakeSectionItem(read, entry, loader);
        Record record;
        if (checkDuplicates) {
            if (!BeginUniqueWorkerItem(item, section, read.count, index, record))
                continue;
        } else {
            if (!BeginWorkerItem(item, section, read.count, record))
                continue;
            ReadDisplayName(item, record);
        }
        if (readKeys(item, record))
            RegisterWorkerConfig(registry, index, item, std::move(record));
    }
    return static_cast<int32_t>(registry.size());
}
