// Sources added to the running graph.

#include "rcm/InDemandChanges.h"

#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "input/MultiStrmMRdrWorker.h"

#include <set>

#define RCPROC_LOG(level, format, ...) \
    DebugLog((level), "RCProcFuncs", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr uint32_t READER_NUMBER_BASE = 256;
constexpr uint32_t DECODER_ID_BASE = 0x02000000u;
constexpr uint32_t MAX_DECODER_NUMBER = 0x1FF;
constexpr int32_t MEDIA_TYPE_VIDEO = 0;

// The first reader number from count + 1 up whose id no reader has: ids stay unique after removals.
uint32_t NewReaderNumber()
{
    const auto readers = CTYXGVMS::CopyMReaderMap();
    std::set<uint32_t> used;
    for (const auto &[id, record] : readers)
        used.insert(id);
    uint32_t number = static_cast<uint32_t>(readers.size()) + 1;
    while (used.count((number + READER_NUMBER_BASE) << 16) != 0)
        ++number;
    return number;
}

// The first free decoder number; its id keeps the low 16 bits for the streams.
uint32_t NewDecoderId()
{
    const auto decoders = CTYXGVMS::CopyDecoderMap();
    for (uint32_t number = 1; number <= MAX_DECODER_NUMBER; ++number) {
        const uint32_t id = DECODER_ID_BASE + (number << 16);
        if (decoders.count(id) == 0)
            return id;
    }
    return 0;
}

// What was made so far, undone in reverse when a later step fails.
struct stAddedSource
{
    uint32_t readerId = 0;
    std::wstring readerName;
    std::shared_ptr<stMediaReadWorkerInstanceInfo> reader;
    std::vector<std::shared_ptr<stVideoDecodeWorkerInstanceInfo>> decoders;
    std::vector<uint32_t> decoderStreams;

    void RollBack()
    {
        for (const auto &decoder : decoders) {
            CTYXGVMS::DestroyDecoderById(static_cast<uint32_t>(decoder->WorkerId));
            ForgetConfig(CTYXGVMS::VideoDecoderConfigs(), decoder->Name);
        }
        if (reader)
            CTYXGVMS::DestroyMReaderById(readerId);
        CTYXGVMS::RemoveConsumerLinks(0, readerId);
        ForgetConfig(CTYXGVMS::MSReaderConfigs(), readerName);
    }
    template <typename Registry>
    static void ForgetConfig(Registry &registry, const std::wstring &name)
    {
        CReadWriteLock &lock = CTYXGVMS::ConfigRegistryLock();
        lock.LockWrite();
        registry.erase(name);
        lock.UnlockWrite();
    }
};

template <typename Registry, typename Record>
bool AddConfig(Registry &registry, const Record &config)
{
    CReadWriteLock &lock = CTYXGVMS::ConfigRegistryLock();
    lock.LockWrite();
    const bool added = registry.emplace(config.Name, config).second;
    lock.UnlockWrite();
    return added;
}

stVideoDecodeWorkerConfig DecoderConfig(const stMediaSourceReadWorkerConfig &source, const stTYXStreamConfig &stream,
                                        uint32_t decoderId)
{
    stVideoDecodeWorkerConfig config;
    config.WorkerId = static_cast<int32_t>(decoderId);
    config.No = static_cast<int16_t>((decoderId - DECODER_ID_BASE) >> 16);
    const std::wstring suffix = stream.StrmAlias.empty() ? std::wstring() : L"." + stream.StrmAlias;
    config.Name = source.Name + suffix;
    config.VideoSource = stream.StreamId;
    config.VideoSourceName = L"MediaSources." + source.Name + L".VideoOutput" + suffix;
    config.BuildIOItems();
    return config;
}

int32_t CreateDecoder(const stMediaSourceReadWorkerConfig &source, const stTYXStreamConfig &stream,
                      const stInDemandGraph &graph, stAddedSource &added, uint32_t &decoderId)
{
    decoderId = NewDecoderId();
    if (decoderId == 0)
        return -1;
    stVideoDecodeWorkerConfig config = DecoderConfig(source, stream, decoderId);
    if (!AddConfig(CTYXGVMS::VideoDecoderConfigs(), config))
        return IND_ALIAS_IN_USE;
    auto record = std::make_shared<stVideoDecodeWorkerInstanceInfo>();
    const int32_t result = graph.create(TYX_KIND_VIDEO_DECODER, &config, record.get());
    if (result < 0 || !record->Worker) {
        stAddedSource::ForgetConfig(CTYXGVMS::VideoDecoderConfigs(), config.Name);
        CTYXGVMS::RemoveConsumerLinks(0, decoderId);
        return result < 0 ? result : -1;
    }
    CTYXGVMS::PublishWorkerInstance(record);
    added.decoders.push_back(record);
    added.decoderStreams.push_back(static_cast<uint32_t>(stream.StreamId));
    RCPROC_LOG(5, L"[In demand] Decoder for the new Media source (Alias=%s) created successfully.",
               source.Name.c_str());
    return 0;
}

// The reader hands each decoded stream to its decoder through the decoder's own input link.
void LinkDecoders(stAddedSource &added)
{
    for (size_t i = 0; i < added.decoders.size(); ++i) {
        const auto &decoder = added.decoders[i];
        const uint32_t streamId = added.decoderStreams[i];
        if (auto link = decoder->Worker->GetInputLink(streamId))
            added.reader->Worker->SetConsumerLink(streamId, static_cast<uint32_t>(decoder->WorkerId), &*link);
        CTYXGVMS::BindProducerWorker(static_cast<int32_t>(streamId), added.reader->Worker);
    }
}

stStreamParams OutputParamsOf(const CTYXWorker &reader, uint32_t streamId)
{
    if (const auto perStream = reader.GetOutputParametersMap()) {
        const auto found = perStream->find(streamId);
        if (found != perStream->end())
            return found->second;
    }
    return reader.GetOutputParameters();
}

void StartSource(stAddedSource &added, const stInDemandGraph &graph)
{
    CTYXWorker &reader = *added.reader->Worker;
    reader.Initialize(0, graph.deviceIndex);
    for (size_t i = 0; i < added.decoders.size(); ++i) {
        CTYXWorker &decoder = *added.decoders[i]->Worker;
        const uint32_t streamId = added.decoderStreams[i];
        decoder.SetInputParameters(OutputParamsOf(reader, streamId), streamId);
        decoder.Initialize(1, graph.deviceIndex);
        decoder.StartWorkingThread(1, graph.screenOutput);
        RCPROC_LOG(6, L"[In demand]New Decoder started with ThreadId=%d.", static_cast<int>(decoder.GetThreadId()));
    }
    reader.StartWorkingThread(1, graph.screenOutput);
    RCPROC_LOG(6, L"[In demand]New Media reader started with ThreadId=%d.", static_cast<int>(reader.GetThreadId()));
    // Consumers first, so that nothing the reader sends finds a decoder not yet running.
    for (const auto &decoder : added.decoders)
        decoder->Worker->ResumeWorkingThread();
    reader.ResumeWorkingThread();
}

// A network source has streams only when its first look at the source found them: one that could
// not be opened is not added. A capture source has its configured streams.
bool HasSourceStreams(const CTYXWorker &reader)
{
    if (const auto *network = dynamic_cast<const CMultiStrmMediaReadWorker *>(&reader))
        return network->StreamsFoundAtConfiguration();
    return true;
}

int32_t CheckNewSource(const stMediaSourceReadWorkerConfig &config)
{
    if (config.Name.empty())
        return IND_SOURCE_NOT_FOUND;
    std::shared_ptr<CTYXWorker> existing;
    if (CTYXGVMS::GetMReaderByAlias(config.Name, existing) > 0 && existing) {
        RCPROC_LOG(3, L"[In demand]Media adding failed for Media source with same alias(%s) already exist...",
                   config.Name.c_str());
        return IND_ALIAS_IN_USE;
    }
    // Checked before anything is made, so a refused source leaves nothing behind.
    if (config.MSTYPE != TYX_MS_RTSP && config.MSTYPE != TYX_MS_RTMP && config.MSTYPE != TYX_MS_VCAP)
        return IND_SOURCE_TYPE_REFUSED;
    if (config.Streams.empty())
        return IND_SOURCE_WITHOUT_STREAMS;
    return 0;
}

} // namespace

int32_t AddMediaSource2TYX(const stMediaSourceReadWorkerConfig &request, int32_t decoderChoice,
                           std::list<stMediaStreamLink> &streams, const stInDemandGraph &graph)
{
    if (const int32_t refused = CheckNewSource(request); refused != 0)
        return refused;
    if (!graph.create)
        return -1;
    stMediaSourceReadWorkerConfig config = request;
    const uint32_t number = NewReaderNumber();
    const uint32_t readerId = (number + READER_NUMBER_BASE) << 16;
    config.No = static_cast<int16_t>(number);
    config.WorkerId = static_cast<int32_t>(readerId);
    for (auto &[streamNumber, stream] : config.Streams)
        stream.StreamId = static_cast<int32_t>(readerId) + streamNumber;
    config.BuildIOItems();
    if (!AddConfig(CTYXGVMS::MSReaderConfigs(), config))
        return IND_ALIAS_IN_USE;

    stAddedSource added;
    added.readerId = readerId;
    added.readerName = config.Name;
    auto reader = std::make_shared<stMediaReadWorkerInstanceInfo>();
    const int32_t created = graph.create(TYX_KIND_MEDIA_READER, &config, reader.get());
    if (created < 0 || !reader->Worker) {
        RCPROC_LOG(3, L"[In demand]Error=%d returned while Create media-reading Worker for Media source (Alias=%s, URL=%s).",
                   created, config.Name.c_str(), config.MSFullPath.c_str());
        added.RollBack();
        return created < 0 ? created : -1;
    }
    if (!HasSourceStreams(*reader->Worker)) {
        RCPROC_LOG(3, L"[In demand]Media source (Alias=%s, URL=%s) could not be opened or has none of the streams asked for.",
                   config.Name.c_str(), config.MSFullPath.c_str());
        added.RollBack();
        return IND_SOURCE_WITHOUT_STREAMS;
    }
    reader->MSTYPE = config.MSTYPE;
    CTYXGVMS::PublishWorkerInstance(reader);
    added.reader = reader;

    streams.clear();
    for (const auto &[streamNumber, stream] : config.Streams) {
        stMediaStreamLink link{static_cast<uint32_t>(stream.StreamId), 0, stream.StrmAlias};
        const bool video = stream.MediaType == MEDIA_TYPE_VIDEO && config.MSTYPE != TYX_MS_VCAP;
        if (video && decoderChoice != IND_DECODER_DEFAULT && decoderChoice != IND_DECODER_NOT_GIVEN) {
            RCPROC_LOG(3, L"[In demand]Unsupport decoder required for new Media source (Alias=%s), rejected.",
                       config.Name.c_str());
        } else if (video) {
            const int32_t result = CreateDecoder(config, stream, graph, added, link.decoderId);
            if (result < 0) {
                RCPROC_LOG(3, L"[In demand]Error=%d returned while Create decoding Worker for Media source (Alias=%s, URL=%s).",
                           result, config.Name.c_str(), config.MSFullPath.c_str());
                added.RollBack();
                streams.clear();
                return result;
            }
        }
        streams.push_back(link);
    }
    LinkDecoders(added);
    StartSource(added, graph);
    RCPROC_LOG(5, L"[In demand]The new Media source (Alias=%s) added successfully.", config.Name.c_str());
    return static_cast<int32_t>(readerId);
}
