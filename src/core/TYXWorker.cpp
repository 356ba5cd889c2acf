#include "core/TYXWorker.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "platform/TickCount.h"

#include <algorithm>
#include <new>

// Package traffic, links, parameters, statistics and identity. Thread and push control live in
// TYXWorkerThreads.cpp.
//
// Ownership of package data: one owner at a time. A package with data that reaches several
// consumers is copied for all but one; the original goes to exactly one queue (the last consumer
// reached) and the caller learns it from handedOver. Packages without data carry no ownership and
// are queued as they are.

namespace {

constexpr int kMaxUpstreamDepth = 32; // a cyclic graph must not recurse without end

} // namespace

struct CTYXWorker::stSendTarget
{
    uint32_t streamId;
    uint32_t consumerId;
    stWorkerConsumerLink *link;
};

CTYXWorker::CTYXWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                       int32_t workerKind, bool perInputParams, bool perOutputParams)
    : m_programClock(GetCurrentTimeUs), m_tickSource(GetTickCount32), m_wallClockUs(GetSystemTimeUs)
{
    try {
        m_exitEvent = std::make_unique<CEvent>(true, false);
        m_startPushEvent = std::make_unique<CEvent>(false, false);
        m_stopPushEvent = std::make_unique<CEvent>(false, false);
    } catch (const std::bad_alloc &) {
        return; // a worker without its events keeps id -1 and no links
    }
    m_workerId = workerId;
    m_workerKind = workerKind;
    m_perInputParams = perInputParams;
    m_perOutputParams = perOutputParams;
    if (inputLinks)
        m_inputLinks.Items() = *inputLinks;
    if (consumerLinks)
        m_consumerLinks.Items() = *consumerLinks;
    // An input turns Hungry a second after its last package; a link that was never stamped counts
    // from the worker's creation.
    const int64_t now = NowUs();
    for (auto &entry : m_inputLinks.Items()) {
        if (entry.second.lastActiveTime.load() == 0)
            entry.second.lastActiveTime = now;
    }
}

// ---- sending ----

void CTYXWorker::CollectSendTargets(ConsumerLinkMap::iterator stream, int32_t kind, std::vector<stSendTarget> &targets)
{
    const size_t limit = FramePackageQueueLimit(kind);
    for (auto &[consumerId, link] : stream->second) {
        if (!link.HasQueue())
            continue;
        size_t size = 0;
        {
            CCsLock lock(*link.queueLock);
            size = link.queue->size();
        }
        if (size < limit) {
            int32_t expected = TYX_LINK_BLOCKING;
            if (link.state.compare_exchange_strong(expected, TYX_LINK_NORMAL)) {
                link.prevState = TYX_LINK_BLOCKING;
                TYX_LOG(3, L"Workers[%s:%x]: Downstream's(OutputStrm[%x] to consumer:%x) queue just recovered from blocking.",
                        m_name.c_str(), m_workerId, stream->first, consumerId);
            }
            expected = TYX_LINK_HUNGRY;
            if (link.state.compare_exchange_strong(expected, TYX_LINK_NORMAL)) {
                link.prevState = TYX_LINK_HUNGRY;
                TYX_LOG(3, L"Workers[%s:%x]: Downstream's(OutputStrm[%x] to consumer:%x) queue just recovered from Hungry.",
                        m_name.c_str(), m_workerId, stream->first, consumerId);
            }
            targets.push_back({stream->first, consumerId, &link});
            continue;
        }
        int32_t current = link.state.load();
        while (current != TYX_LINK_BLOCKING && !link.state.compare_exchange_weak(current, TYX_LINK_BLOCKING)) {
        }
        if (current != TYX_LINK_BLOCKING) {
            link.prevState = current;
            TYX_LOG(3, L"Worker[%s:%x]: Downstream's(OutputStrm[%x] To consumer:%x) queue just blocked.",
                    m_name.c_str(), m_workerId, stream->first, consumerId);
        }
    }
}

int16_t CTYXWorker::SendPaket2Consumers(bool &handedOver, FramePackage &package, bool copy, bool handOver,
                                        uint32_t outputStreamId)
{
    handedOver = false;
    CReadLockGuard guard(m_consumerLinks.Lock());
    ConsumerLinkMap &streams = m_consumerLinks.Items();
    if (streams.empty())
        return 0;

    // First find the queues with room (each checked under its own lock), so that the original can
    // go to the last of them and the copies are made outside every queue lock.
    std::vector<stSendTarget> targets;
    std::vector<uint32_t> visited;
    if (outputStreamId == 0) {
        for (auto stream = streams.begin(); stream != streams.end(); ++stream) {
            visited.push_back(stream->first);
            CollectSendTargets(stream, package.kind, targets);
        }
    } else {
        const auto stream = streams.find(outputStreamId);
        if (stream == streams.end())
            return 0;
        visited.push_back(stream->first);
        CollectSendTargets(stream, package.kind, targets);
    }

    const bool hasData = package.pData != nullptr && package.nLength > 0;
    const bool giveOriginal = !copy || handOver;
    int16_t queued = 0;
    for (size_t i = 0; i < targets.size(); ++i) {
        FramePackage outgoing;
        if (giveOriginal && i + 1 == targets.size()) {
            outgoing = package;
            handedOver = true;
        } else if (hasData) {
            outgoing.inDevice = package.inDevice;
            DuplicateFramePackage(outgoing, package); // a failed copy is queued without data
        } else {
            outgoing = package;
        }
        stWorkerConsumerLink &link = *targets[i].link;
        {
            CCsLock lock(*link.queueLock);
            outgoing.queuedTime = NowUs();
            link.queue->push_back(outgoing);
        }
        link.lastActiveTime = NowUs();
        ++queued;
    }

    for (uint32_t streamId : visited)
        CountPaket(streamId, package, false, true);
    return queued;
}

FramePackage CTYXWorker::MakeStatusPaket(int32_t statusCode, int64_t value) const
{
    FramePackage status;
    status.nLength = statusCode;
    status.pts = NowUs();
    status.dts = value;
    status.streamIndex = 0;
    status.mediaType = 0;
    status.format = 0;
    return status;
}

int32_t CTYXWorker::SendStatusPaket2Consumers(int32_t statusCode, int64_t value)
{
    FramePackage status = MakeStatusPaket(statusCode, value);
    bool handedOver = false;
    return SendPaket2Consumers(handedOver, status, false, false, 0);
}

// ---- receiving ----

void CTYXWorker::MarkHungryWhenIdle(stWorkerInputLink &link, uint32_t streamId)
{
    int32_t current = link.state.load();
    if (current == TYX_LINK_HUNGRY || NowUs() - link.lastActiveTime.load() <= TYX_HUNGRY_AFTER_US)
        return;
    if (!link.state.compare_exchange_strong(current, TYX_LINK_HUNGRY))
        return;
    link.prevState = current;
    TYX_LOG(3, L"Workers[%s:%x]: Upstream's(From Stream:%x) queue is in Hungry!", m_name.c_str(), m_workerId, streamId);
}

int32_t CTYXWorker::ReceivePaketFromUpStream(FramePackage &package, uint32_t streamId, bool take)
{
    CReadLockGuard guard(m_inputLinks.Lock());
    InputLinkMap &links = m_inputLinks.Items();
    const auto found = streamId == 0 ? links.begin() : links.find(streamId);
    if (found == links.end()) {
        TYX_LOG(3, L"There no input queue found for stream(%d)of worker[WID=%d]!", static_cast<int32_t>(streamId),
                static_cast<int32_t>(m_workerId));
        return -1;
    }
    stWorkerInputLink &link = found->second;
    if (!link.HasQueue()) {
        TYX_LOG(3, L"NULL input queue for input stream(%d)of worker[WID=%d]!", static_cast<int32_t>(streamId),
                static_cast<int32_t>(m_workerId));
        return -2;
    }

    int32_t queued = 0;
    {
        CCsLock lock(*link.queueLock);
        queued = static_cast<int32_t>(link.queue->size());
        if (queued > 0) {
            if (take) {
                package = link.queue->front();
                link.queue->pop_front();
            } else {
                FramePackage copy;
                copy.inDevice = link.queue->front().inDevice;
                DuplicateFramePackage(copy, link.queue->front());
                package = copy;
            }
        }
    }
    if (queued == 0) {
        MarkHungryWhenIdle(link, found->first);
        return 0;
    }

    // A package arriving ends an idle spell: the input counts from now and is no longer Hungry.
    link.lastActiveTime = NowUs();
    int32_t expected = TYX_LINK_HUNGRY;
    if (link.state.compare_exchange_strong(expected, TYX_LINK_NORMAL)) {
        link.prevState = TYX_LINK_HUNGRY;
        TYX_LOG(5, L"Workers[%s:%x]: Upstream's(From Stream:%x) queue just recovered from Hungry.", m_name.c_str(),
                m_workerId, found->first);
    }
    CountPaket(found->first, package, true, false);
    return queued;
}

int32_t CTYXWorker::PopPaketsFromInputQueue(bool freeData, bool count, uint16_t maxCount, uint32_t streamId)
{
    CReadLockGuard guard(m_inputLinks.Lock());
    InputLinkMap &links = m_inputLinks.Items();
    auto first = links.begin();
    auto last = links.end();
    if (streamId != 0) {
        first = links.find(streamId);
        if (first == links.end()) {
            TYX_LOG(3, L"There no input queue found for stream(%x)of worker[%s:%x]!", streamId, m_name.c_str(), m_workerId);
            return -1;
        }
        last = std::next(first);
    }

    int32_t total = 0;
    std::vector<FramePackage> removed;
    for (auto it = first; it != last; ++it) {
        stWorkerInputLink &link = it->second;
        if (!link.HasQueue()) {
            TYX_LOG(3, L"NULL input queue for stream(%x)of worker[%s:%x]!", it->first, m_name.c_str(), m_workerId);
            continue;
        }
        removed.clear();
        {
            CCsLock lock(*link.queueLock);
            size_t n = link.queue->size();
            if (maxCount > 0)
                n = std::min<size_t>(n, maxCount);
            for (size_t i = 0; i < n; ++i) {
                removed.push_back(link.queue->front());
                link.queue->pop_front();
            }
        }
        // Released outside the queue lock, so the producer is not held up by a device free.
        for (FramePackage &package : removed) {
            if (count)
                CountPaket(it->first, package, true, false);
            if (freeData)
                FreeFramePackage(package);
        }
        total += static_cast<int32_t>(removed.size());
    }
    return total;
}

// ---- links ----

std::optional<stWorkerInputLink> CTYXWorker::GetInputLink(uint32_t streamId)
{
    CReadLockGuard guard(m_inputLinks.Lock());
    const auto found = m_inputLinks.Items().find(streamId);
    if (found == m_inputLinks.Items().end())
        return std::nullopt;
    return found->second;
}

bool CTYXWorker::IsOwnOutputStream(uint32_t outputStreamId) const
{
    CReadLockGuard guard(m_outputItemsLock);
    if (m_outputItems.empty())
        return outputStreamId == m_workerId + 1; // a single output
    return std::any_of(m_outputItems.begin(), m_outputItems.end(), [outputStreamId](const stTYXWorkerItemInfo &item) {
        return static_cast<uint32_t>(item.Id) == outputStreamId;
    });
}

int32_t CTYXWorker::SetConsumerLink(uint32_t outputStreamId, uint32_t consumerId, const stWorkerConsumerLink *link)
{
    if (!link)
        return -1;
    // A stream without consumers so far has no entry; one of this worker's streams gets one now, so
    // that a consumer added while the graph runs is reached.
    const bool own = IsOwnOutputStream(outputStreamId);
    CWriteLockGuard guard(m_consumerLinks.Lock());
    auto stream = m_consumerLinks.Items().find(outputStreamId);
    if (stream == m_consumerLinks.Items().end()) {
        if (!own)
            return -2;
        stream = m_consumerLinks.Items().emplace(outputStreamId, ConsumerMap()).first;
    }
    stream->second[consumerId] = *link;
    return 0;
}

int32_t CTYXWorker::RemoveConsumerLink(uint32_t outputStreamId, uint32_t consumerId)
{
    // Sends hold the read lock for their whole pass: once the write lock is ours, none is filling
    // the queue, and no later one will find it.
    CWriteLockGuard guard(m_consumerLinks.Lock());
    int32_t removed = 0;
    for (auto &[streamId, consumers] : m_consumerLinks.Items()) {
        if (outputStreamId == 0 || streamId == outputStreamId)
            removed += static_cast<int32_t>(consumers.erase(consumerId));
    }
    return removed;
}

void CTYXWorker::ResetOutputLinks(const ConsumerLinkMap *links)
{
    CWriteLockGuard guard(m_consumerLinks.Lock());
    m_consumerLinks.Items().clear();
    if (links)
        m_consumerLinks.Items() = *links;
}

int32_t CTYXWorker::AddInputLink(uint32_t streamId, const stWorkerInputLink &link)
{
    if (streamId == 0 || !link.HasQueue())
        return -1;
    stWorkerInputLink record(link);
    if (record.lastActiveTime.load() == 0)
        record.lastActiveTime = NowUs(); // an input turns Hungry a second after it is added
    CWriteLockGuard guard(m_inputLinks.Lock());
    return m_inputLinks.Items().emplace(streamId, record).second ? 0 : -2;
}

int32_t CTYXWorker::RemoveInputLink(uint32_t streamId, stWorkerInputLink *removed)
{
    CWriteLockGuard guard(m_inputLinks.Lock());
    const auto found = m_inputLinks.Items().find(streamId);
    if (found == m_inputLinks.Items().end())
        return -1;
    if (removed)
        *removed = found->second;
    m_inputLinks.Items().erase(found);
    return 0;
}

int32_t CTYXWorker::FindConsumerLink(uint32_t consumerId)
{
    CWriteLockGuard guard(m_consumerLinks.Lock());
    int32_t found = 0;
    for (const auto &stream : m_consumerLinks.Items())
        found += stream.second.count(consumerId) > 0 ? 1 : 0;
    return found;
}

int32_t CTYXWorker::BindInputLinkProducer(uint32_t streamId, const std::shared_ptr<CTYXWorker> &producer)
{
    CWriteLockGuard guard(m_inputLinks.Lock());
    const auto found = m_inputLinks.Items().find(streamId);
    if (found == m_inputLinks.Items().end())
        return -1;
    found->second.producer = producer;
    found->second.producerId = producer ? producer->GetWorkerId() : 0;
    return 0;
}

int32_t CTYXWorker::GetInputLinkCount()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    return static_cast<int32_t>(m_inputLinks.Items().size());
}

int32_t CTYXWorker::GetQueuedPktsCount()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    if (m_inputLinks.Items().empty()) {
        TYX_LOG(3, L"There no input queue found for stream(%d)of worker[WID=%d]!", 0, static_cast<int32_t>(m_workerId));
        return -1;
    }
    stWorkerInputLink &link = m_inputLinks.Items().begin()->second;
    if (!link.HasQueue()) {
        TYX_LOG(3, L"NULL input queue for stream(%d)of worker[WID=%d]!", 0, static_cast<int32_t>(m_workerId));
        return -2;
    }
    CCsLock lock(*link.queueLock);
    return static_cast<int32_t>(link.queue->size());
}

void CTYXWorker::LockInputLinks(bool exclusive)
{
    if (exclusive)
        m_inputLinks.LockWrite();
    else
        m_inputLinks.LockRead();
}

void CTYXWorker::UnlockInputLinks(bool exclusive)
{
    if (exclusive)
        m_inputLinks.UnlockWrite();
    else
        m_inputLinks.UnlockRead();
}

int32_t CTYXWorker::GetUpstreamDelay(uint32_t outputStreamId)
{
    static thread_local int depth = 0;
    struct stDepthGuard
    {
        stDepthGuard() { ++depth; }
        ~stDepthGuard() { --depth; }
    } depthGuard;
    if (depth > kMaxUpstreamDepth) {
        TYX_LOG(3, L"Worker[%s:%x]: Upstream of stream[%x] is deeper than %d workers; the links form a cycle.",
                m_name.c_str(), m_workerId, outputStreamId, kMaxUpstreamDepth);
        return -1;
    }
    if (outputStreamId <= m_workerId)
        return -1;

    int32_t inputStreamId = 0;
    {
        CReadLockGuard guard(m_routeMap.Lock());
        const auto route = m_routeMap.Items().find(outputStreamId);
        if (route != m_routeMap.Items().end())
            inputStreamId = route->second;
    }
    int32_t delay = 0;
    if (inputStreamId > 0) {
        std::shared_ptr<CTYXWorker> producer;
        {
            CReadLockGuard guard(m_inputLinks.Lock());
            const auto link = m_inputLinks.Items().find(static_cast<uint32_t>(inputStreamId));
            if (link != m_inputLinks.Items().end())
                producer = link->second.producer.lock();
        }
        if (producer)
            delay = producer->GetUpstreamDelay(static_cast<uint32_t>(inputStreamId));
    }
    if (delay < 0)
        return delay;

    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    const auto entry = m_outputStatistics.find(outputStreamId);
    if (entry != m_outputStatistics.end() && entry->second.fps > 0.0f)
        delay += static_cast<int32_t>(1000.0 / entry->second.fps);
    return delay;
}

// ---- configuration and parameters ----

void CTYXWorker::OnIdle()
{
}

int32_t CTYXWorker::Initialize(uint8_t flag, int32_t value)
{
    m_initFlag = flag;
    m_initValue = value;
    return 0;
}

void CTYXWorker::unInitialize()
{
    m_threadState = TYX_THREAD_NONE;
}

int32_t CTYXWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (!config)
        return -1;
    m_name = config->Name;
    m_displayName = config->DisplayName;
    m_pushAtBegin = config->PushAtBegin;
    {
        CWriteLockGuard guard(m_inputItemsLock);
        m_inputItems = config->InputItems;
    }
    {
        CWriteLockGuard guard(m_outputItemsLock);
        m_outputItems = config->OutputItems;
    }
    TYX_LOG(6, L"Copy in configurations for Worker[%s:%d].", m_name.c_str(), static_cast<int32_t>(m_workerId));
    return 0;
}

void CTYXWorker::SetConfiguration(stTYXWorkerConfig *config)
{
    m_config = config;
}

int32_t CTYXWorker::Reserved11()
{
    return 0;
}

int32_t CTYXWorker::RemoveInputStream(uint32_t)
{
    return 0;
}

namespace {

// Stores params for streamId: the single record when the worker keeps one, else the stream's entry
// ((uint32_t)-1: the single record and every entry); -1 for a stream id of 0 or another negative.
int32_t StoreStreamParams(const stStreamParams &params, uint32_t streamId, bool perStream, stStreamParams &single,
                          std::map<uint32_t, stStreamParams> &perStreamMap)
{
    if (!perStream) {
        single = params;
        return 0;
    }
    const int32_t signedId = static_cast<int32_t>(streamId);
    if (signedId == -1) {
        single = params;
        for (auto &entry : perStreamMap)
            entry.second = params;
        return 0;
    }
    if (signedId <= 0)
        return -1;
    perStreamMap[streamId] = params;
    return 0;
}

// The stream's own record when the worker keeps one per stream and has it, else the single record.
const stStreamParams &StoredStreamParams(uint32_t streamId, bool perStream, const stStreamParams &single,
                                         const std::map<uint32_t, stStreamParams> &perStreamMap)
{
    if (perStream) {
        const auto found = perStreamMap.find(streamId);
        if (found != perStreamMap.end())
            return found->second;
    }
    return single;
}

} // namespace

int32_t CTYXWorker::SetInputParameters(const stStreamParams &params, uint32_t streamId)
{
    if (TYXEqualNoCase(m_name, L"VmpVSplitter"))
        TYX_LOG(6, L"Seting input parameters for TYXSplitWorker...");
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return StoreStreamParams(params, streamId, m_perInputParams, m_inputParams, m_inputParamsMap);
}

int32_t CTYXWorker::SetOutputParameters(const stStreamParams &params, uint32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return StoreStreamParams(params, streamId, m_perOutputParams, m_outputParams, m_outputParamsMap);
}

stStreamParams CTYXWorker::GetOutputParameters() const
{
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return m_outputParams;
}

std::optional<CTYXWorker::StreamParamsMap> CTYXWorker::GetOutputParametersMap() const
{
    if (!m_perOutputParams)
        return std::nullopt;
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return m_outputParamsMap;
}

stStreamParams CTYXWorker::GetInputParameters(uint32_t streamId) const
{
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return StoredStreamParams(streamId, m_perInputParams, m_inputParams, m_inputParamsMap);
}

stStreamParams CTYXWorker::GetOutputParametersOf(uint32_t streamId) const
{
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    return StoredStreamParams(streamId, m_perOutputParams, m_outputParams, m_outputParamsMap);
}

// ---- items and ids ----

int32_t CTYXWorker::GetInputStreamIds(std::vector<uint32_t> &ids) const
{
    CReadLockGuard guard(m_inputItemsLock);
    ids.clear();
    for (const stTYXWorkerItemInfo &item : m_inputItems) {
        if (item.Id > 0)
            ids.push_back(static_cast<uint32_t>(item.Id));
        else if (item.No >= 0)
            ids.push_back(static_cast<uint32_t>(item.No));
    }
    return static_cast<int32_t>(ids.size());
}

int32_t CTYXWorker::GetOutputStreamIds(std::vector<uint32_t> &ids) const
{
    CReadLockGuard guard(m_outputItemsLock);
    ids.clear();
    for (const stTYXWorkerItemInfo &item : m_outputItems)
        ids.push_back(static_cast<uint32_t>(item.Id));
    return static_cast<int32_t>(ids.size());
}

int32_t CTYXWorker::Reserved19()
{
    return 0;
}

uint32_t CTYXWorker::GetOutputStreamIdByName(const std::wstring &name) const
{
    CReadLockGuard guard(m_outputItemsLock);
    if (name.empty() || m_outputItems.empty())
        return m_workerId;
    for (const stTYXWorkerItemInfo &item : m_outputItems) {
        if (TYXEqualNoCase(item.Name, name))
            return static_cast<uint32_t>(item.Id);
    }
    return 0;
}

uint32_t CTYXWorker::GetOutputStreamIdByNo(int32_t number) const
{
    CReadLockGuard guard(m_outputItemsLock);
    if (number <= 0 || m_outputItems.empty())
        return m_workerId;
    for (const stTYXWorkerItemInfo &item : m_outputItems) {
        if (item.No == static_cast<int16_t>(number))
            return static_cast<uint32_t>(item.Id);
    }
    return 0;
}

uint8_t CTYXWorker::GetInputStreamTypes() const
{
    return m_inputStreamTypes;
}

uint8_t CTYXWorker::GetOutputStreamTypes() const
{
    return m_outputStreamTypes;
}

// ---- statistics ----

namespace {

StreamStatisticsMap CopyStatistics(const StreamStatisticsMap &statistics, uint32_t streamId)
{
    if (streamId == 0)
        return statistics;
    StreamStatisticsMap copy;
    const auto found = statistics.find(streamId);
    if (found != statistics.end())
        copy.insert(*found);
    return copy;
}

} // namespace

StreamStatisticsMap CTYXWorker::GetInputStatistics(uint32_t streamId) const
{
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    return CopyStatistics(m_inputStatistics, streamId);
}

StreamStatisticsMap CTYXWorker::GetOutputStatistics(uint32_t streamId) const
{
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    return CopyStatistics(m_outputStatistics, streamId);
}

void CTYXWorker::UpdateStatistics(bool input, uint32_t streamId, const std::function<void(stStreamStatistics &)> &update)
{
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    update((input ? m_inputStatistics : m_outputStatistics)[streamId]);
}

void CTYXWorker::CountPaket(uint32_t streamId, const FramePackage &package, bool input, bool output)
{
    const int64_t withData = package.nLength > 0 ? 1 : 0;
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    if (input) {
        stStreamStatistics &entry = m_inputStatistics[streamId];
        ++entry.packetsIn;
        entry.dataPacketsIn += withData;
    }
    if (output) {
        stStreamStatistics &entry = m_outputStatistics[streamId];
        ++entry.packetsOut;
        entry.dataPacketsOut += withData;
    }
}

void CTYXWorker::SetStateOfAllStreams(StreamStatisticsMap &statistics, int32_t code)
{
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    for (auto &entry : statistics)
        entry.second.state = code;
}

void CTYXWorker::SetStateOfAllStreams(int32_t code)
{
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    for (auto &entry : m_inputStatistics)
        entry.second.state = code;
    for (auto &entry : m_outputStatistics)
        entry.second.state = code;
}

int32_t CTYXWorker::CreateBlankVideoFrame(FramePackage &package, const stColorYuv &color)
{
    return CreateBlankVideoFramePackage(package, color);
}

void CTYXWorker::SetClockSources(ProgramClock programClockUs, TickSource tickCountMs, WallClockUs wallClockUs)
{
    m_programClock = programClockUs ? std::move(programClockUs) : ProgramClock(GetCurrentTimeUs);
    m_tickSource = tickCountMs ? std::move(tickCountMs) : TickSource(GetTickCount32);
    m_wallClockUs = wallClockUs ? std::move(wallClockUs) : WallClockUs(GetSystemTimeUs);
}
