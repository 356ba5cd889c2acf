// The mux's source and child-window lists of a layout change.

#include "rcm/InDemandChanges.h"

#include "core/debuglog.h"
#include "host/GlobalVars.h"

#define RCPROC_LOG(level, format, ...) \
    DebugLog((level), "RCProcFuncs", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

#include <cwchar>
#include <limits>

namespace {

constexpr size_t WINDOW_NUMBERS = 6;
constexpr uint32_t FIRST_DECODER_ID = 0x02000001u;
constexpr uint32_t LAST_DECODER_ID = 0x03FFFFFFu;

// Sources each layout type shows when changed on demand.
int32_t LayoutSourceCount(int32_t layoutType)
{
    switch (layoutType) {
    case 1: case 2: case 3: case 4: case 5: case 6: case 8: case 9: return layoutType;
    default: return -1;
    }
}

std::vector<std::wstring> Split(const std::wstring &text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return parts;
}

// Numbers from outside: bounded to the field, and never negative, since they place windows on the canvas.
template <typename T>
T WindowNumber(const std::wstring &text)
{
    const long long value = std::wcstoll(text.c_str(), nullptr, 10);
    const long long most = std::numeric_limits<T>::max();
    return static_cast<T>(value < 0 ? 0 : (value > most ? most : value));
}

} // namespace

int32_t ParseMuxLayoutLists(const std::wstring &sources, const std::wstring &childWindows,
                            std::list<std::wstring> &aliases, std::vector<stPipWindowInfo> &windows)
{
    aliases.clear();
    windows.clear();
    for (std::wstring &part : Split(sources, L';')) {
        if (!part.empty())
            aliases.push_back(std::move(part));
    }
    if (aliases.size() < 2 || childWindows.empty())
        return static_cast<int32_t>(aliases.size());
    for (const std::wstring &item : Split(childWindows, L';')) {
        const std::vector<std::wstring> numbers = Split(item, L':');
        if (item.empty() || numbers.size() < WINDOW_NUMBERS)
            continue;
        stPipWindowInfo window;
        window.anchor = WindowNumber<uint8_t>(numbers[0]);
        window.kind = WindowNumber<uint8_t>(numbers[1]);
        window.x = WindowNumber<int16_t>(numbers[2]);
        window.y = WindowNumber<int16_t>(numbers[3]);
        window.width = WindowNumber<uint16_t>(numbers[4]);
        window.height = WindowNumber<uint16_t>(numbers[5]);
        windows.push_back(window);
    }
    return static_cast<int32_t>(aliases.size());
}

int32_t FindSourceInputId(const std::wstring &alias, uint32_t &inputId, std::shared_ptr<CTYXWorker> &producer)
{
    inputId = 0;
    producer.reset();
    stMediaReadWorkerInstanceInfo record;
    std::shared_ptr<CTYXWorker> reader;
    const int32_t readerId = CTYXGVMS::FindMReaderByAlias(alias, reader, &record);
    if (readerId <= 0 || !reader) {
        RCPROC_LOG(3, L"[In demand]AddVSToMux failed for Media source with alias(%s) not found...", alias.c_str());
        return IND_SOURCE_NOT_FOUND;
    }
    if (record.MSTYPE == TYX_MS_VCAP) {
        inputId = static_cast<uint32_t>(readerId);
        producer = reader;
        return 0;
    }
    std::vector<uint32_t> linked;
    CTYXGVMS::GetProducersOfConsumer(static_cast<uint32_t>(readerId), linked);
    for (uint32_t id : linked) {
        if (id < FIRST_DECODER_ID || id > LAST_DECODER_ID)
            continue;
        std::wstring decoderAlias;
        producer = CTYXGVMS::GetDecoderById(id, decoderAlias);
        if (!producer)
            continue;
        inputId = id;
        RCPROC_LOG(6, L"[In demand]Decoder ID mapped to Media source alias(%s) is(%d)...", alias.c_str(),
                   static_cast<int>(id));
        return 0;
    }
    RCPROC_LOG(3, L"[In demand]Decoder for Media source with alias(%s) not found...", alias.c_str());
    return IND_NO_OBJECT;
}

int32_t BuildMuxLayoutRegions(int32_t layoutType, const std::list<std::wstring> &aliases,
                              std::map<int32_t, int16_t> &regions)
{
    regions.clear();
    const int32_t needed = LayoutSourceCount(layoutType);
    if (needed < 0)
        return -1;
    std::vector<stMediaReadWorkerInstanceInfo> records;
    std::vector<uint32_t> feedIds;
    CTYXGVMS::CollectMReadersByAliases(aliases, records, feedIds);
    if (static_cast<int32_t>(feedIds.size()) < needed)
        return IND_TOO_FEW_SOURCES;
    // Regions follow the order the sources were listed in, whatever order the registry keeps.
    std::map<std::wstring, uint32_t> feedOf;
    for (size_t i = 0; i < records.size() && i < feedIds.size(); ++i)
        feedOf.emplace(records[i].Name, feedIds[i]);
    int16_t region = 0;
    for (const std::wstring &alias : aliases) {
        const auto feed = feedOf.find(alias);
        if (feed != feedOf.end() && regions.emplace(static_cast<int32_t>(feed->second), region).second)
            ++region;
    }
    return static_cast<int32_t>(regions.size()) < needed ? IND_TOO_FEW_SOURCES : needed;
}
