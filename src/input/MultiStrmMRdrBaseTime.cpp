// Joining a live source: draining what it had buffered before the worker came, and finding the
// program-clock time at which each stream starts, by the source's own start time or by the arrival
// of its packets. All of this runs on the worker's main thread.

#include "input/MultiStrmMRdrWorker.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"

extern "C" {
#include <libavutil/mathematics.h>
}

#include <algorithm>

namespace {

constexpr int32_t kVideoSlowReadsNeeded = 6;
constexpr uint32_t kVideoSlowReadMs = 15;
constexpr int32_t kAudioSlowReadsNeeded = 30;
constexpr uint32_t kAudioSlowReadMs = 5;

} // namespace

struct CMultiStrmMediaReadWorker::stBacklogEntry
{
    std::shared_ptr<stReadStreamState> state;
    int32_t needed = 0;
    uint32_t slowMs = 0;
    int32_t slowReads = 0;
    int64_t packets = 0;
    int64_t firstArrival = 0;
    bool caughtUp = false;
};

struct CMultiStrmMediaReadWorker::stBaseTimeEntry
{
    int16_t index = -1;
    std::shared_ptr<stReadStreamState> state;
    int32_t mediaType = 0;
    int32_t delayMs = 0;
    bool inBlocks = false;
    int32_t gapMaxMs = 0;
    int32_t blocksToSkip = 0;
    double packetsPerSecond = 0.0;
    int64_t previousArrival = 0;
    int32_t blocks = 0;
    int64_t count = 0;
    bool found = false;
    int64_t baseTime = 0;
    int64_t foundPts = TYX_NOPTS_VALUE;
    int64_t foundDts = TYX_NOPTS_VALUE;
    int64_t lastPts = TYX_NOPTS_VALUE;
    int64_t lastDts = TYX_NOPTS_VALUE;
    int64_t packetsRead = 0;
};

bool CMultiStrmMediaReadWorker::TakeBacklogPacket(stBacklogEntry &entry, const FramePackage &package, uint32_t readMs)
{
    if (entry.packets++ == 0)
        entry.firstArrival = NowUs();
    if (package.flags & TYX_PKT_FLAG_KEY) {
        ReserveKeyFrame(package);
        TYX_LOG(7, L"MultiStrmMediaReadWorker[%s]Key frame of stream(%d) read and backdup.", m_name.c_str(),
                static_cast<int32_t>(package.streamIndex));
    }
    if (entry.caughtUp)
        return false;
    // A read that had to wait means the buffered part is drained.
    if (readMs >= entry.slowMs && ++entry.slowReads >= entry.needed) {
        entry.caughtUp = true;
        return true;
    }
    return false;
}

int32_t CMultiStrmMediaReadWorker::SkipStreamBacklogs(int64_t &packetsRead)
{
    packetsRead = 0;
    std::map<int16_t, stBacklogEntry> entries;
    {
        CReadLockGuard guard(m_streamTable.Lock());
        for (const auto &[index, state] : m_streamTable.Items()) {
            stBacklogEntry entry;
            entry.state = state;
            if (state->info.mediaType == TYX_MEDIA_VIDEO) {
                entry.needed = kVideoSlowReadsNeeded;
                entry.slowMs = kVideoSlowReadMs;
            } else if (state->info.mediaType == TYX_MEDIA_AUDIO) {
                entry.needed = kAudioSlowReadsNeeded;
                entry.slowMs = kAudioSlowReadMs;
            } else {
                continue;
            }
            entries[index] = entry;
        }
    }
    if (entries.empty())
        return 0;

    const uint32_t start = NowTickMs();
    int32_t caughtUp = 0;
    int32_t result = TYX_SKIP_TIMED_OUT;
    while (!ExitRequested(0)) {
        if (!m_reader || !m_reader->IsOpened()) {
            result = TYX_SKIP_READER_CLOSED;
            break;
        }
        FramePackage package;
        const uint32_t before = NowTickMs();
        const int32_t read = m_reader->ReadPacket(package);
        const uint32_t after = NowTickMs();
        if (read < 0) {
            result = TYX_SKIP_READ_ERROR;
            break;
        }
        if (read == 0) {
            result = TYX_SKIP_END_OF_STREAM;
            break;
        }
        ++packetsRead;
        const auto found = entries.find(package.streamIndex);
        if (found != entries.end() && TakeBacklogPacket(found->second, package, uint32_t(after - before)) &&
            ++caughtUp == static_cast<int32_t>(entries.size())) {
            result = caughtUp;
            break;
        }
        // Whatever the packet was: a track that stopped sending never catches up, and it must
        // not keep the others from starting.
        if (uint32_t(NowTickMs() - start) > TYX_BASE_TIME_SEARCH_MS)
            break;
    }
    for (auto &[index, entry] : entries) {
        std::lock_guard<std::mutex> lock(entry.state->mutex);
        entry.state->packetsRead += entry.packets;
    }
    return result;
}

int32_t CMultiStrmMediaReadWorker::GetMSBaseTimeByNTP()
{
    if (!m_reader)
        return 0;
    const int64_t start = m_reader->GetMaxValue();
    if (start <= 0 || start <= m_baseTimeUTC)
        return 0;
    // The source's start is a time of day: it meets the program clock as the host's clock reads now,
    // which a step of the host's time since the program's start has moved.
    const int64_t base = start - WallOfProgramUs(0) - (m_useUTC ? TYX_CLOCK_OFFSET_US : 0);
    m_baseTimeUTC = base;
    TYX_LOG(5, L"MultiStrmMediaReadWorker[%s]Media stream start time got[%lld]...At[%lld].", m_name.c_str(),
            static_cast<long long>(base), static_cast<long long>(NowUs()));
    CReadLockGuard guard(m_streamTable.Lock());
    for (const auto &[index, state] : m_streamTable.Items()) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->streamBaseTime = base;
    }
    return 1;
}

int32_t CMultiStrmMediaReadWorker::GetSBTBySkipPkts(std::vector<stBaseTimeEntry> &entries)
{
    if (entries.empty() || !m_reader || !m_reader->IsOpened())
        return TYX_SBT_NO_ENTRY;
    const int64_t now = NowUs();
    for (stBaseTimeEntry &entry : entries)
        entry.previousArrival = now;
    const uint32_t start = NowTickMs();
    int32_t found = 0;
    while (found < static_cast<int32_t>(entries.size()) && !ExitRequested(0)) {
        FramePackage package;
        const int32_t read = m_reader->ReadPacket(package);
        if (read == 0) {
            TYX_LOG(3, L"MultiStrmMediaReadWorker[%s]Media source stream EOF!", m_name.c_str());
            return TYX_SBT_END_OF_STREAM;
        }
        if (read < 0)
            return read;
        const int64_t arrival = NowUs();
        if (package.nLength >= 1) {
            const auto entry = std::find_if(entries.begin(), entries.end(),
                                            [&](const stBaseTimeEntry &e) { return e.index == package.streamIndex; });
            if (entry != entries.end()) {
                ++entry->packetsRead;
                if (package.flags & TYX_PKT_FLAG_KEY) {
                    ReserveKeyFrame(package);
                    TYX_LOG(7, L"MultiStrmMediaReadWorker[%s]Key frame of stream(%d) read and backdup.", m_name.c_str(),
                            static_cast<int32_t>(package.streamIndex));
                }
                const int64_t previousPts = entry->lastPts;
                const int64_t previousDts = entry->lastDts;
                entry->lastPts = package.pts;
                entry->lastDts = package.dts;
                if (!entry->found) {
                    if (entry->inBlocks) {
                        const int64_t gapMs = (arrival - entry->previousArrival) / 1000;
                        if (gapMs > entry->gapMaxMs && ++entry->blocks >= entry->blocksToSkip) {
                            entry->found = true;
                            const bool hasPrevious = previousPts != TYX_NOPTS_VALUE || previousDts != TYX_NOPTS_VALUE;
                            entry->foundPts = hasPrevious ? previousPts : package.pts;
                            entry->foundDts = hasPrevious ? previousDts : package.dts;
                        }
                    } else if (++entry->count >= entry->packetsPerSecond) {
                        entry->found = true;
                        entry->foundPts = package.pts;
                        entry->foundDts = package.dts;
                    }
                    if (entry->found) {
                        entry->baseTime = arrival - int64_t(entry->delayMs) * 1000;
                        ++found;
                    }
                    entry->previousArrival = arrival;
                }
            }
        }
        if (uint32_t(NowTickMs() - start) >= TYX_BASE_TIME_SEARCH_MS)
            break;
    }
    return found;
}

void CMultiStrmMediaReadWorker::AnchorSource(stSourceTimeBase &base, const stBaseTimeEntry &entry, int64_t offset)
{
    if (base.IsSet())
        return;
    base.SetOnce(offset);
    if (!m_followSourceClock)
        return;
    // A live source's start is measured from the packet it was anchored on: what the search read
    // after it may still have come faster than its media (a backlog), which only the clock's wait
    // for the start can tell. Observed the way the stream threads observe theirs, by decode stamp.
    const int64_t tick = entry.foundDts != TYX_NOPTS_VALUE ? entry.foundDts : entry.foundPts;
    const int64_t arrival = entry.baseTime + int64_t(entry.delayMs) * 1000;
    (void)base.clock.Observe(entry.index, av_rescale_q(tick, entry.state->info.timeBase, AVRational{1, 1000000}), arrival);
}

int32_t CMultiStrmMediaReadWorker::GetStrmBaseTimeInPktsRcving(const std::vector<int16_t> &wanted,
                                                               std::vector<int16_t> *foundStreams)
{
    std::vector<stBaseTimeEntry> entries;
    {
        CReadLockGuard guard(m_streamTable.Lock());
        for (const auto &[index, state] : m_streamTable.Items()) {
            if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), index) == wanted.end())
                continue;
            stBaseTimeEntry entry;
            entry.index = index;
            entry.state = state;
            entry.mediaType = state->info.mediaType;
            const bool video = entry.mediaType == TYX_MEDIA_VIDEO;
            const int32_t configured = state->config ? state->config->EstmtDly : -1;
            entry.delayMs = configured >= 0 ? configured : (video ? 300 : 150);
            if (state->config && state->config->PktInBlock) {
                entry.inBlocks = true;
                entry.gapMaxMs = state->config->PktItvMax;
                entry.blocksToSkip = state->config->BlocksSkipAtBegin;
            } else if (video) {
                const AVRational rate = state->info.frameRate;
                entry.packetsPerSecond = rate.den > 0 ? double(rate.num) / rate.den : 0.0;
            } else {
                const int32_t frameSize = state->info.frameSize > 0 ? state->info.frameSize : 1024;
                entry.packetsPerSecond = double(state->info.sampleRate) / frameSize;
            }
            entries.push_back(std::move(entry));
        }
    }

    const int32_t result = GetSBTBySkipPkts(entries);
    for (stBaseTimeEntry &entry : entries) {
        std::lock_guard<std::mutex> lock(entry.state->mutex);
        entry.state->packetsRead += entry.packetsRead;
    }
    if (result < 0) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s] GetSBTBySkipPktBlocks() failed with error=%d return!", m_name.c_str(), result);
        return result;
    }
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s]: [%d] streams StrmBaseTime retrieved with GetSBTBySkipPktBlocks().",
            m_name.c_str(), result);
    // One tick for both stamps, so that pts - dts survives; a packet of a B-frame stream may lack
    // its dts.
    const auto tickOf = [](const stBaseTimeEntry &entry) {
        return entry.foundPts != TYX_NOPTS_VALUE ? entry.foundPts : entry.foundDts;
    };
    // The streams of the source share one time base: the one that puts every found packet at
    // least its stream's delay before its arrival, so that no stream is stamped ahead of the clock.
    // It is in place before any stream counts as found.
    int64_t sourceOffset = stSourceTimeBase::kUnset;
    const stBaseTimeEntry *anchor = nullptr;
    for (const stBaseTimeEntry &entry : entries) {
        if (!entry.found || tickOf(entry) == TYX_NOPTS_VALUE)
            continue;
        const int64_t offset = entry.baseTime - av_rescale_q(tickOf(entry), entry.state->info.timeBase, AVRational{1, 1000000});
        if (sourceOffset == stSourceTimeBase::kUnset || offset < sourceOffset) {
            sourceOffset = offset;
            anchor = &entry;
        }
    }
    if (anchor && entries.front().state->sourceBase)
        AnchorSource(*entries.front().state->sourceBase, *anchor, sourceOffset);
    for (stBaseTimeEntry &entry : entries) {
        if (!entry.found)
            continue;
        const int64_t tick = tickOf(entry);
        std::lock_guard<std::mutex> lock(entry.state->mutex);
        entry.state->streamBaseTime = entry.baseTime;
        entry.state->localBaseTime = entry.baseTime;
        entry.state->basePts = tick;
        entry.state->localBasePts = tick;
        entry.state->localBaseDts = tick;
        entry.state->lastPts = entry.lastPts;
        if (foundStreams)
            foundStreams->push_back(entry.index);
    }
    return result;
}

bool CMultiStrmMediaReadWorker::AwaitedStreamsHaveBaseTime()
{
    CReadLockGuard guard(m_streamTable.Lock());
    bool anyConfigured = false;
    for (const auto &[index, state] : m_streamTable.Items())
        anyConfigured = anyConfigured || state->config.has_value();
    for (const auto &[index, state] : m_streamTable.Items()) {
        if (anyConfigured && !state->config)
            continue;
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->streamBaseTime <= 0)
            return false;
    }
    return true;
}

void CMultiStrmMediaReadWorker::GiveUpBaseTime(stReadStreamState &state, bool awaited)
{
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.streamBaseTime > 0)
            return;
        // Known from now on, so that the stream thread lets its packages through; they are stamped
        // through the source's time base, which the next package gives when no stream found it.
        state.streamBaseTime = NowUs();
    }
    if (awaited)
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Stream[%d] gave no packets for its base time: it starts with its next package.",
                m_name.c_str(), m_workerId, static_cast<int32_t>(state.subNo));
}

int32_t CMultiStrmMediaReadWorker::FindBaseTimesByArrival()
{
    std::vector<int16_t> awaited;
    std::vector<std::shared_ptr<stReadStreamState>> others;
    {
        CReadLockGuard guard(m_streamTable.Lock());
        bool anyConfigured = false;
        for (const auto &[index, state] : m_streamTable.Items())
            anyConfigured = anyConfigured || state->config.has_value();
        for (const auto &[index, state] : m_streamTable.Items()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (state->streamBaseTime > 0)
                continue;
            if (anyConfigured && !state->config)
                others.push_back(state);
            else
                awaited.push_back(index);
        }
    }
    int32_t result = 0;
    if (!awaited.empty()) {
        DrainStreamThreads(TYX_STREAM_DRAIN_MS, 0);
        result = GetStrmBaseTimeInPktsRcving(awaited, nullptr);
        // A read failure, the end of the stream or a stop: the caller handles it.
        if (result < 0 || ExitRequested(0))
            return result;
        for (const int16_t index : awaited) {
            if (const auto state = FindStream(index))
                GiveUpBaseTime(*state, true);
        }
    }
    for (const auto &state : others)
        GiveUpBaseTime(*state, false);
    return result;
}
