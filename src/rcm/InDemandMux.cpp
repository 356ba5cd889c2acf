// The mux's source and child-window lists of a layout change.

#include "rcm/InDemandChanges.h"

#include "core/debuglog.h"
#include "core/TextCompare.h"
#include "host/GlobalVars.h"
#include "pipeline/InputLinks.h"
#include "platform/TickCount.h"
#include "vproc/VideoMuxWorker.h"

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

constexpr uint32_t JOIN_SETTLE_MS = 35;

// The muxes of the alias (every mux when it is empty), in id order.
std::vector<std::shared_ptr<CVideoMuxWorker>> CollectMuxes(const std::wstring &muxAlias, bool firstOnly)
{
    std::vector<std::shared_ptr<CVideoMuxWorker>> muxes;
    for (const auto &[id, record] : CTYXGVMS::CopyVMPMap()) {
        if (!record || record->MPType != TYX_MP_MUX || (!muxAlias.empty() && !EqualsNoCase(record->Name, muxAlias)))
            continue;
        if (auto mux = std::dynamic_pointer_cast<CVideoMuxWorker>(record->Worker)) {
            muxes.push_back(std::move(mux));
            if (firstOnly)
                break;
        }
    }
    return muxes;
}

// The input joins the mux and the producer sends to it: false when the mux refused a new input that it
// does not already have.
bool JoinMux(CVideoMuxWorker &mux, uint32_t inputId, CTYXWorker &producer)
{
    stWorkerInputLink link = mux.AddInputStream(inputId, 1);
    if (!link.HasQueue())
        return mux.GetInputLink(inputId).has_value();
    mux.SetInputParameters(producer.GetOutputParameters(), inputId);
    CTYXGVMS::AddConsumerLink(inputId, static_cast<int32_t>(mux.GetWorkerId()), link);
    producer.SetConsumerLink(inputId, mux.GetWorkerId(), &link);
    return true;
}

int32_t MapRemovalResult(int32_t result)
{
    switch (result) {
    case -208: return -26;
    case -206: return -24;
    case -204: return -22;
    default: return result;
    }
}

} // namespace

uint32_t VideoOutputOf(const CTYXWorker &producer, uint32_t producerId)
{
    std::vector<uint32_t> outputs;
    producer.GetOutputStreamIds(outputs);
    return outputs.empty() ? producerId + 1 : outputs.front();
}

int32_t AddVSToMux(const std::wstring &sourceAlias, const std::wstring &muxAlias, int32_t region)
{
    uint32_t inputId = 0;
    std::shared_ptr<CTYXWorker> producer;
    if (const int32_t found = FindSourceInputId(sourceAlias, inputId, producer); found != 0)
        return found;
    const auto muxes = CollectMuxes(muxAlias, false);
    if (muxes.empty()) {
        RCPROC_LOG(3, L"[In demand]Muxer not found in TYX!");
        return IND_NO_OBJECT;
    }
    // The region is checked before the input joins, so a refused command leaves no half-joined input.
    for (const auto &mux : muxes) {
        if (region < 0 || static_cast<size_t>(region) > mux->GetWindowCount()) {
            RCPROC_LOG(3, L"Invalid Region No(%d) for current mux-layout(%d)!", region, mux->GetLayoutType());
            return IND_REGION_OUTSIDE_LAYOUT;
        }
    }
    RCPROC_LOG(6, L"[In demand]Adding new videos stream (MSReadWorker=%s, DecoderId=%d) into Mux...",
               sourceAlias.c_str(), static_cast<int>(inputId));
    for (const auto &mux : muxes) {
        if (!JoinMux(*mux, inputId, *producer))
            continue;
        if (region == 0) {
            RCPROC_LOG(5, L"[In demand]No Valid Region No(%d) defined for new added RVS(alias=%s, DecoderID=%d), leave it standby.",
                       region, sourceAlias.c_str(), static_cast<int>(inputId));
            continue;
        }
        SleepMs(JOIN_SETTLE_MS);
        RCPROC_LOG(6, L"[In demand]Changing Region(%d) with RVS(alias=%s, DecoderID=%d)...", region,
                   sourceAlias.c_str(), static_cast<int>(inputId));
        const int32_t changed = mux->ChangeRegionInput(region, static_cast<int32_t>(inputId));
        if (changed < 0) {
            RCPROC_LOG(3, L"Region(%d) Changing failed with Err=%d!", region, changed);
            return changed;
        }
        RCPROC_LOG(5, L"[In demand]Region(%d) was Changed to RVS(alias=%s, DecoderID=%d).", region,
                   sourceAlias.c_str(), static_cast<int>(inputId));
    }
    return 0;
}

int32_t RemoveVSFromMux(const std::wstring &sourceAlias, const std::wstring &replacementAlias)
{
    if (sourceAlias.empty())
        return IND_SOURCE_NOT_FOUND;
    if (EqualsNoCase(sourceAlias, replacementAlias)) {
        RCPROC_LOG(3, L"[RemoveVSFromMux]Operation rejected for removing and replacement video is same one(alias=%s)!",
                   sourceAlias.c_str());
        return IND_SOURCE_NOT_FOUND;
    }
    uint32_t inputId = 0;
    std::shared_ptr<CTYXWorker> producer;
    if (FindSourceInputId(sourceAlias, inputId, producer) != 0) {
        RCPROC_LOG(3, L"[In demand]RemoveVSFromMux:Media source with alias(%s) not found...", sourceAlias.c_str());
        return IND_SOURCE_NOT_FOUND;
    }
    uint32_t replacementId = static_cast<uint32_t>(-1);
    std::shared_ptr<CTYXWorker> replacement;
    if (!replacementAlias.empty() && FindSourceInputId(replacementAlias, replacementId, replacement) != 0)
        replacementId = static_cast<uint32_t>(-1);
    // Only a mux has inputs to take out: another first mid-processor is no candidate.
    const auto muxes = CollectMuxes({}, true);
    if (muxes.empty())
        return IND_NO_OBJECT;
    CVideoMuxWorker &mux = *muxes.front();
    stWorkerInputLink removed;
    const int32_t result = mux.RemoveInputStream(inputId, &removed, replacementId);
    if (result < 0)
        return MapRemovalResult(result);
    CTYXGVMS::RemoveConsumerLinks(inputId, mux.GetWorkerId());
    producer->RemoveConsumerLink(inputId, mux.GetWorkerId());
    // No producer sends to it any more: what it still queues (pictures in device memory) is freed now.
    ReleaseLinkQueue(removed);
    return 0;
}

int32_t ChangeMuxLayoutOnDemand(int32_t layoutType, const std::wstring &sources, const std::wstring &childWindows)
{
    std::list<std::wstring> aliases;
    std::vector<stPipWindowInfo> windows;
    ParseMuxLayoutLists(sources, childWindows, aliases, windows);
    std::map<int32_t, int16_t> regions;
    const int32_t needed = BuildMuxLayoutRegions(layoutType, aliases, regions);
    if (needed < 0)
        return needed;
    const auto muxes = CollectMuxes({}, true);
    if (muxes.empty())
        return IND_NO_OBJECT;
    return muxes.front()->ChangeMuxLayout(layoutType, regions, windows.empty() ? nullptr : &windows);
}

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
        producer = reader;
        inputId = VideoOutputOf(*producer, static_cast<uint32_t>(readerId));
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
        inputId = VideoOutputOf(*producer, id);
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
    for (size_t i = 0; i < records.size() && i < feedIds.size(); ++i) {
        const auto feeder = CTYXGVMS::GetWorkerInstanceById(feedIds[i]);
        if (feeder && feeder->Worker)
            feedOf.emplace(records[i].Name, VideoOutputOf(*feeder->Worker, feedIds[i]));
    }
    // The mux numbers its windows from 1: a region 0 would leave the first source without a window.
    int16_t region = 1;
    for (const std::wstring &alias : aliases) {
        const auto feed = feedOf.find(alias);
        if (feed != feedOf.end() && regions.emplace(static_cast<int32_t>(feed->second), region).second)
            ++region;
    }
    return static_cast<int32_t>(regions.size()) < needed ? IND_TOO_FEW_SOURCES : needed;
}
