// Sources taken out of the running graph.

#include "rcm/InDemandChanges.h"

#include "core/debuglog.h"
#include "host/GlobalVars.h"

#define RCPROC_LOG(level, format, ...) \
    DebugLog((level), "RCProcFuncs", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr uint32_t FIRST_DECODER_ID = 0x02000001u;
constexpr uint32_t LAST_DECODER_ID = 0x03FFFFFFu;

bool IsDecoderId(uint32_t id)
{
    return id >= FIRST_DECODER_ID && id <= LAST_DECODER_ID;
}

// The decoders of the reader; false when the reader, or a decoder of it, feeds anything else.
bool CollectOwnDecoders(uint32_t readerId, std::vector<uint32_t> &decoders)
{
    std::vector<uint32_t> linked;
    CTYXGVMS::GetProducersOfConsumer(readerId, linked);
    for (uint32_t id : linked) {
        if (!IsDecoderId(id))
            return false;
        decoders.push_back(id);
    }
    for (uint32_t decoder : decoders) {
        std::vector<uint32_t> users;
        CTYXGVMS::GetProducersOfConsumer(decoder, users);
        for (uint32_t id : users) {
            if (id != readerId)
                return false;
        }
    }
    return true;
}

// A removed source leaves no configuration behind either.
template <typename Registry>
void ForgetConfigOf(Registry &registry, uint32_t id)
{
    CReadWriteLock &lock = CTYXGVMS::ConfigRegistryLock();
    lock.LockWrite();
    std::erase_if(registry, [id](const auto &entry) { return static_cast<uint32_t>(entry.second.WorkerId) == id; });
    lock.UnlockWrite();
}

} // namespace

int32_t RemoveMediaSource(uint32_t &id, std::wstring &alias)
{
    std::shared_ptr<CTYXWorker> reader;
    if (id != 0) {
        reader = CTYXGVMS::GetMReaderById(id, alias);
    } else {
        const int32_t found = CTYXGVMS::FindMReaderByAlias(alias, reader);
        id = found > 0 ? static_cast<uint32_t>(found) : 0;
        if (id == 0)
            reader.reset();
    }
    if (!reader) {
        RCPROC_LOG(3, L"[In demand]The Media source (id=%d) to be removed not in MReader list.", static_cast<int>(id));
        return IND_SOURCE_NOT_FOUND;
    }
    // Every decoder of the source goes with it, so none is left running without its producer.
    std::vector<uint32_t> decoders;
    if (!CollectOwnDecoders(id, decoders)) {
        RCPROC_LOG(3, L"[In demand]Media source (Alias=%s) removing rejected for it is using by downstream.",
                   alias.c_str());
        return IND_SOURCE_IN_USE;
    }
    CTYXGVMS::DestroyMReaderById(id);
    ForgetConfigOf(CTYXGVMS::MSReaderConfigs(), id);
    RCPROC_LOG(6, L"[In demand]MReader for source(Alias=%s) removed from TYX...", alias.c_str());
    for (uint32_t decoder : decoders) {
        CTYXGVMS::DestroyDecoderById(decoder);
        ForgetConfigOf(CTYXGVMS::VideoDecoderConfigs(), decoder);
        RCPROC_LOG(6, L"[In demand]Decoder for source(Alias=%s) removed from TYX...", alias.c_str());
    }
    return 0;
}
