#include "output/MWrtWorker.h"

#include "output/MWrtWorkerLog.h"


#include <algorithm>
#include <climits>
#include <cmath>

// Stream synchronisation on a common video key frame (over the input queues at the start, over the
// reserved queues at a record cut) and the rebasing of package time stamps to the output.
//
// Terms: LOFPOS is the latest of the streams' first time stamps (the first package of the fastest
// stream), EOLPOS the earliest of their last ones (the last package of the slowest). Every video
// stream needs a key frame in [LOFPOS, EOLPOS]; the earliest of their latest ones is the start.

namespace {

constexpr uint32_t kCollectTimeoutMs = 10000;
constexpr uint32_t kEmptyQueueWaitMs = 150;
constexpr uint32_t kCollectPassWaitMs = 100;
constexpr int32_t kRetryWaitMs = 5;

// The log texts of the two synchronisations, which differ in small ways.
struct stSyncTexts
{
    const wchar_t *keyFound;
    const wchar_t *keyEarly;
    const wchar_t *tooFewKeys;
    const wchar_t *earliestTooEarly;
    const wchar_t *startSet;
};

const stSyncTexts kStartTexts = {
    L"MediaWriteWorker[%s:%x] The latest Key-Frame[dts=%lld] found for input stream[%d] between LOFPOS and EOLPOS.",
    L"MediaWriteWorker[%s:%x] The latest Key-Frame[dts=%lld] for input stream[%d] is earlier than Ts-Of-LoFPOS.",
    L"MediaWriteWorker[%s:%x] The input streams are unable-Synchronized for Only[%d] V-streams whose VKFrame before EOLPOS[%lld] found.",
    L"MediaWriteWorker[%s:%x]The input streams are unable-Synchronized for the Earliest-VKF[%lld] is earlier than LOFPOS[%lld].",
    L"MediaWriteWorker[%s:%x]:Streams writing-starttime was set to [%lld] at Time[%lld].",
};

const stSyncTexts kReservedTexts = {
    L"MediaWriteWorker[%s:%x] The latest Key-Frame[%lld] found for input stream[%x] between LOFPOS and EOLPOS.",
    L"MediaWriteWorker[%s:%x] The latest Key-Frame[%lld] for input stream[%d] is earlier than Ts-Of-LoFPOS.",
    L"MediaWriteWorker[%s:%x] The input streams are unable-Synchronized for \t\t\t\tOnly[%d] V-streams whose VKFrame between LOFPOS[%lld] and EOLPOS[%lld] found.",
    L"MediaWriteWorker[%s:%x]The input streams are unable-Synchronized for \t\t\t\tthe Earliest-VKF[%lld] is earlier than LOFPOS[%lld].",
    L"MediaWriteWorker[%s:%x]:Streams writing starttime was set to [%lld] at Time[%lld]. ",
};

// A package that can take part in the alignment: data and a time stamp.
bool IsValidForSync(const FramePackage &package)
{
    return package.nLength >= 1 && package.dts != TYX_NOPTS_VALUE;
}

bool IsKeyFrame(const FramePackage &package)
{
    return (package.flags & TYX_PKT_FLAG_KEY) != 0;
}

FramePackageQueue *QueueOf(stWorkerInputLink &link, bool reserved)
{
    return reserved ? link.reservedFrames.get() : link.queue.get();
}

long long LL(int64_t value)
{
    return static_cast<long long>(value);
}

} // namespace

struct CTYXMediaWriteWorker::stSyncStream
{
    uint32_t streamId = 0;
    bool video = false;
    bool joiner = false; // left out of the output so far, taken in by this cut
    bool hasPoints = false;
    int64_t first = 0;   // dts of the first and last valid package, µs
    int64_t last = 0;
};

// ---- start synchronisation ----

int32_t CTYXMediaWriteWorker::SynchronizeStreamsByVKeyFrameSimple(int64_t &startTime, int32_t,
                                                                  std::vector<uint32_t> &aligned)
{
    aligned.clear();
    SetStep(TYX_MW_STEP_SYNCHRONIZING);
    MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple", L"MediaWriteWorker[%s:%x] Synchronizing input streams in simple way...",
           m_name.c_str(), m_workerId);
    {
        // Every start waits for all its inputs again, however the last output went.
        std::lock_guard<std::mutex> lock(m_outputMutex);
        m_leftOutStreams.clear();
    }
    std::vector<stSyncStream> streams;
    const int32_t collected = CollectExtremePoints(streams);
    if (collected < 0)
        return collected;
    LeaveOutSilentInputs(streams);
    int64_t start = 0;
    const int32_t found = FindStartTime(streams, false, start);
    if (found < 0)
        return found;
    AlignQueues(start, false, aligned);
    m_syncStart = start;
    MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple",
           L"MediaWriteWorker[%s:%x] Streams synchronized with OutputStarttime was set to [%lld]!", m_name.c_str(),
           m_workerId, LL(start));
    startTime = start;
    m_recordStartTime = NowUs();
    return static_cast<int32_t>(aligned.size());
}

int32_t CTYXMediaWriteWorker::CollectExtremePoints(std::vector<stSyncStream> &streams)
{
    // The inputs are waited for from the first package that any of them delivers: a picture that
    // comes a few seconds after its sound is not left out for the time spent looking before.
    const uint32_t entry = NowTickMs();
    std::optional<uint32_t> firstDelivery;
    std::map<uint32_t, stSyncStream> points;
    uint32_t pendingWait = 0;
    for (;;) {
        std::vector<std::pair<uint32_t, bool>> links;
        {
            CReadLockGuard guard(m_inputLinks.Lock());
            for (const auto &[streamId, link] : m_inputLinks.Items())
                links.emplace_back(streamId, link.paketKind == TYX_PKT_KIND_CODED_VIDEO);
        }
        bool complete = true;
        for (const auto &[streamId, video] : links) {
            stSyncStream &stream = points[streamId];
            stream.streamId = streamId;
            stream.video = video;
            if (stream.hasPoints)
                continue;
            MW_LOG(6, "SynchronizeStreamsByVKeyFrameSimple",
                   L"MediaWriteWorker[%s:%x]: Getting StrmExtremePoint for Input stream[ID=%d]......", m_name.c_str(),
                   m_workerId, static_cast<int32_t>(streamId));
            // The wait happens outside every lock, so links can change meanwhile.
            if (WaitExit(pendingWait) == TYX_WAIT_OBJECT_0) {
                MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple", L"MediaWriteWorker[%s:%x] received exit signal, exiting...",
                       m_name.c_str(), m_workerId);
                return TYX_MW_SYNC_EXIT;
            }
            pendingWait = 0;
            CReadLockGuard guard(m_inputLinks.Lock());
            const auto found = m_inputLinks.Items().find(streamId);
            if (found == m_inputLinks.Items().end())
                continue;
            stWorkerInputLink &link = found->second;
            if (!link.HasQueue()) {
                MW_LOG(3, "SynchronizeStreamsByVKeyFrameSimple",
                       L"MediaWriteWorker[%s:%x] [SynchronizeStreamsByVKeyFrame] NULL InputPkgQueue pointer! exiting...",
                       m_name.c_str(), m_workerId);
                return TYX_MW_SYNC_EXIT;
            }
            CCsLock lock(*link.queueLock);
            TrimInvalidPackages(streamId, *link.queue, false);
            if (link.queue->empty()) {
                MW_LOG(6, "SynchronizeStreamsByVKeyFrameSimple",
                       L"MediaWriteWorker[%s:%x]There no pakets For input stream[%x], waiting...", m_name.c_str(),
                       m_workerId, streamId);
                pendingWait = kEmptyQueueWaitMs;
                complete = false;
                continue;
            }
            stream.hasPoints = true;
            stream.first = link.queue->front().dts;
            stream.last = link.queue->back().dts;
            MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple",
                   L"MediaWriteWorker[%s:%x]There [%d] valid pakets in stream[%x], its first paket TS is [%lld] and last paket TS is [%lld].",
                   m_name.c_str(), m_workerId, static_cast<int32_t>(link.queue->size()), streamId, LL(stream.first),
                   LL(stream.last));
        }
        streams.clear();
        int32_t withPoints = 0;
        for (const auto &[streamId, stream] : points) {
            streams.push_back(stream);
            withPoints += stream.hasPoints ? 1 : 0;
        }
        if (complete && withPoints == static_cast<int32_t>(links.size()))
            return 0;
        const uint32_t now = NowTickMs();
        if (withPoints > 0 && !firstDelivery)
            firstDelivery = now;
        if (now - firstDelivery.value_or(entry) >= kCollectTimeoutMs) {
            MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple",
                   L"MediaWriteWorker[%s:%x]:Timedout(%d) in geting StrmExtremePoint for streams! ", m_name.c_str(),
                   m_workerId, static_cast<int32_t>(kCollectTimeoutMs));
            if (withPoints < static_cast<int32_t>(links.size())) {
                MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple",
                       L"MediaWriteWorker[%s:%x]:Streams synchronizing falied StrmExtremePoint for only %d streams got! ",
                       m_name.c_str(), m_workerId, withPoints);
                // What the other inputs delivered is recorded and pushed without the silent
                // ones (LeaveOutSilentInputs), rather than waiting for them without end.
                if (withPoints == 0)
                    return TYX_MW_SYNC_TIMEOUT;
            }
            return 0;
        }
        if (WaitExit(kCollectPassWaitMs) == TYX_WAIT_OBJECT_0) {
            MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple", L"MediaWriteWorker[%s:%x] received exit signal, exiting...",
                   m_name.c_str(), m_workerId);
            return TYX_MW_SYNC_EXIT;
        }
    }
}

// Drops packages without data or time stamp from both ends of a queue (its link's lock held).
void CTYXMediaWriteWorker::TrimInvalidPackages(uint32_t streamId, FramePackageQueue &queue, bool reserved)
{
    auto drop = [&](FramePackage &package, bool front) {
        if (!reserved)
            MW_LOG(5, "SynchronizeStreamsByVKeyFrameSimple",
                   L"MediaWriteWorker[%s:%x]:Pkt[pts=%lld,dts=%lld] with invalid length[%d] of Input stream[ID=%d] found, dicard it.",
                   m_name.c_str(), m_workerId, LL(package.pts), LL(package.dts), package.nLength,
                   static_cast<int32_t>(streamId));
        else if (front)
            MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
                   L"MediaWriteWorker[%s:%x]:Pkt[pts=%lld, dts=%lld] with invalid length[%d] found in front of Input stream[ID=%d], dicard it.",
                   m_name.c_str(), m_workerId, LL(package.pts), LL(package.dts), package.nLength,
                   static_cast<int32_t>(streamId));
        else
            MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
                   L"MediaWriteWorker[%s:%x]:Pkt[pts=%lld, dts=%lld] with invalid length[%d] found at back of Input stream[ID=%d], dicard it.",
                   m_name.c_str(), m_workerId, LL(package.pts), LL(package.dts), package.nLength,
                   static_cast<int32_t>(streamId));
        if (!reserved)
            CountPaket(streamId, package, true, false);
        FreeFramePackage(package);
    };
    while (!queue.empty() && !IsValidForSync(queue.front())) {
        drop(queue.front(), true);
        queue.pop_front();
    }
    while (!queue.empty() && !IsValidForSync(queue.back())) {
        drop(queue.back(), false);
        queue.pop_back();
    }
}

void CTYXMediaWriteWorker::LeaveOutSilentInputs(std::vector<stSyncStream> &streams)
{
    std::set<uint32_t> silent;
    for (const stSyncStream &stream : streams) {
        if (stream.hasPoints)
            continue;
        silent.insert(stream.streamId);
        MW_LOG(3, "SynchronizeStreamsByVKeyFrameSimple",
               L"MediaWriteWorker[%s:%x] Input stream[%x] delivered nothing within %d ms: the output starts without it and takes it in at a key frame once it comes.",
               m_name.c_str(), m_workerId, stream.streamId, static_cast<int32_t>(kCollectTimeoutMs));
    }
    if (silent.empty())
        return;
    std::erase_if(streams, [](const stSyncStream &stream) { return !stream.hasPoints; });
    std::lock_guard<std::mutex> lock(m_outputMutex);
    m_leftOutStreams = std::move(silent);
}

int32_t CTYXMediaWriteWorker::FindStartTime(const std::vector<stSyncStream> &streams, bool reserved, int64_t &startTime)
{
    const stSyncTexts &texts = reserved ? kReservedTexts : kStartTexts;
    const char *method = reserved ? "CTYXMediaWriteWorker::SynchronizeStreamsByReservedFramesEx"
                                  : "CTYXMediaWriteWorker::SynchronizeStreamsByVKeyFrameSimple";
    bool any = false;
    int64_t eolpos = 0;
    int64_t lofpos = 0;
    int32_t videoStreams = 0;
    bool memberVideo = false;
    for (const stSyncStream &stream : streams) {
        videoStreams += stream.video ? 1 : 0;
        memberVideo = memberVideo || (stream.video && !stream.joiner);
        if (!stream.hasPoints)
            continue;
        eolpos = any ? std::min(eolpos, stream.last) : stream.last;
        lofpos = any ? std::max(lofpos, stream.first) : stream.first;
        any = true;
    }
    if (!any)
        return TYX_MW_SYNC_IMPOSSIBLE;
    DebugLog(5, "MWrtWorker", method, __LINE__, L"MediaWriteWorker[%s:%x] Timestamp the last paket of slowest input stream is [%lld].",
             m_name.c_str(), m_workerId, LL(eolpos));
    DebugLog(5, "MWrtWorker", method, __LINE__, L"MediaWriteWorker[%s:%x] Timestamp the first paket of fastest input stream is [%lld].",
             m_name.c_str(), m_workerId, LL(lofpos));
    if (lofpos > eolpos) {
        DebugLog(5, "MWrtWorker", method, __LINE__,
                 L"MediaWriteWorker[%s:%x] The input streams are unable-Synchronized for the latest \t\t\t\tstream-starttime [%lld] is later than last-paket-time[%lld] of slowest-input-stream.",
                 m_name.c_str(), m_workerId, LL(lofpos), LL(eolpos));
        return TYX_MW_SYNC_IMPOSSIBLE;
    }

    int32_t keysFound = 0;
    bool haveStart = false;
    int64_t start = 0;
    // A picture that joins an output without one starts on its own first key frame: the output's
    // sound goes on into the new file from where the old one ends. An input that joins an output
    // with a picture does so at the picture's next key frame, so that as little of it as can be is
    // lost; else the latest common key frame is the start.
    const bool latePicture = !memberVideo && videoStreams > 0;
    const bool joining = std::any_of(streams.begin(), streams.end(),
                                     [](const stSyncStream &stream) { return stream.joiner && stream.hasPoints; });
    for (const stSyncStream &stream : streams) {
        if (!stream.video || !stream.hasPoints)
            continue;
        int64_t key = 0;
        const int64_t notBefore = latePicture ? INT64_MIN : lofpos;
        if (!FindKeyFrame(stream.streamId, reserved, notBefore, eolpos, latePicture || joining, key))
            continue;
        ++keysFound;
        if (key >= lofpos)
            DebugLog(5, "MWrtWorker", method, __LINE__, texts.keyFound, m_name.c_str(), m_workerId, LL(key),
                     static_cast<int32_t>(stream.streamId));
        else
            DebugLog(5, "MWrtWorker", method, __LINE__, texts.keyEarly, m_name.c_str(), m_workerId, LL(key),
                     static_cast<int32_t>(stream.streamId));
        if (!haveStart || key < start)
            start = key;
        haveStart = true;
    }
    if (keysFound < videoStreams) {
        if (reserved)
            DebugLog(5, "MWrtWorker", method, __LINE__, texts.tooFewKeys, m_name.c_str(), m_workerId, keysFound,
                     LL(lofpos), LL(eolpos));
        else
            DebugLog(5, "MWrtWorker", method, __LINE__, texts.tooFewKeys, m_name.c_str(), m_workerId, keysFound,
                     LL(eolpos));
        return TYX_MW_SYNC_IMPOSSIBLE;
    }
    // Without video there is no key frame to wait for: every stream starts where all have data.
    if (!haveStart)
        start = lofpos;
    if (start < lofpos && !latePicture) {
        DebugLog(5, "MWrtWorker", method, __LINE__, texts.earliestTooEarly, m_name.c_str(), m_workerId, LL(start),
                 LL(lofpos));
        return TYX_MW_SYNC_IMPOSSIBLE;
    }
    DebugLog(5, "MWrtWorker", method, __LINE__, texts.startSet, m_name.c_str(), m_workerId, LL(start), LL(NowUs()));
    startTime = start;
    return keysFound;
}

bool CTYXMediaWriteWorker::FindKeyFrame(uint32_t streamId, bool reserved, int64_t notBefore, int64_t notAfter,
                                        bool earliest, int64_t &dts)
{
    CReadLockGuard guard(m_inputLinks.Lock());
    const auto found = m_inputLinks.Items().find(streamId);
    if (found == m_inputLinks.Items().end() || !found->second.queueLock)
        return false;
    stWorkerInputLink &link = found->second;
    CCsLock lock(*link.queueLock);
    const FramePackageQueue *queue = QueueOf(link, reserved);
    if (!queue)
        return false;
    if (earliest) {
        for (const FramePackage &package : *queue) {
            if (IsValidForSync(package) && IsKeyFrame(package) && package.dts >= notBefore) {
                dts = package.dts;
                return package.dts <= notAfter;
            }
        }
        return false;
    }
    for (auto it = queue->rbegin(); it != queue->rend(); ++it) {
        if (IsValidForSync(*it) && IsKeyFrame(*it) && it->dts <= notAfter) {
            dts = it->dts;
            return true;
        }
    }
    return false;
}

int32_t CTYXMediaWriteWorker::AlignQueues(int64_t startTime, bool reserved, std::vector<uint32_t> &aligned)
{
    aligned.clear();
    const char *method = reserved ? "CTYXMediaWriteWorker::SynchronizeStreamsByReservedFramesEx"
                                  : "CTYXMediaWriteWorker::SynchronizeStreamsByVKeyFrameSimple";
    CReadLockGuard guard(m_inputLinks.Lock());
    for (auto &[streamId, link] : m_inputLinks.Items()) {
        // A left-out input joins only at a cut, where its reserved frames start the new file.
        if (!link.queueLock || (!reserved && IsLeftOut(streamId)))
            continue;
        const bool video = link.paketKind == TYX_PKT_KIND_CODED_VIDEO;
        int32_t discarded = 0;
        int32_t remain = 0;
        {
            CCsLock lock(*link.queueLock);
            FramePackageQueue *queue = QueueOf(link, reserved);
            if (!queue || queue->empty())
                continue;
            while (!queue->empty()) {
                FramePackage &front = queue->front();
                if (IsValidForSync(front) && front.dts >= startTime && (!video || IsKeyFrame(front)))
                    break;
                if (!reserved)
                    CountPaket(streamId, front, true, false);
                FreeFramePackage(front);
                queue->pop_front();
                ++discarded;
            }
            remain = static_cast<int32_t>(queue->size());
            if (!queue->empty()) {
                link.streamStartTime = queue->front().dts;
                aligned.push_back(streamId);
            }
        }
        DebugLog(5, "MWrtWorker", method, __LINE__,
                 L"MediaWriteWorker[%s:%x]:Input stream[ID=%X] Aligned with %d frames discarded and %d pakets remain. ",
                 m_name.c_str(), m_workerId, streamId, discarded, remain);
    }
    return static_cast<int32_t>(aligned.size());
}

// ---- synchronisation within the reserved frames ----

int32_t CTYXMediaWriteWorker::SynchronizeStreamsByReservedFramesEx(int32_t, int64_t &startTime,
                                                                   std::vector<uint32_t> &aligned)
{
    aligned.clear();
    MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
           L"MediaWriteWorker[%s:%x] Synchronizing input streams within Reserved-frames in simple way at:[%lld]...",
           m_name.c_str(), m_workerId, LL(NowUs()));
    std::vector<stSyncStream> streams;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (auto &[streamId, link] : m_inputLinks.Items()) {
            // A left-out input takes part once it has delivered something: it joins the new file.
            // One that sends nothing cannot hold the cut up.
            const bool leftOut = IsLeftOut(streamId);
            const bool video = link.paketKind == TYX_PKT_KIND_CODED_VIDEO;
            if (IsNotHeld(streamId) || (leftOut && !HoldsStartable(link.reservedFrames.get(), video)))
                continue;
            stSyncStream stream;
            stream.streamId = streamId;
            stream.video = video;
            stream.joiner = leftOut;
            if (!link.reservedFrames || !link.queueLock) {
                MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
                       L"MediaWriteWorker[%s:%x] [SynchronizeStreamsByReservedFramesEx] NULL pReservedFrames pointer for stream[%x]! skip...",
                       m_name.c_str(), m_workerId, streamId);
                streams.push_back(stream);
                continue;
            }
            CCsLock lock(*link.queueLock);
            TrimInvalidPackages(streamId, *link.reservedFrames, true);
            if (link.reservedFrames->empty()) {
                MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
                       L"MediaWriteWorker[%s:%x]There no pakets For input stream[%x], waiting...", m_name.c_str(),
                       m_workerId, streamId);
            } else {
                stream.hasPoints = true;
                stream.first = link.reservedFrames->front().dts;
                stream.last = link.reservedFrames->back().dts;
            }
            streams.push_back(stream);
        }
    }
    int64_t start = 0;
    const int32_t found = FindStartTime(streams, true, start);
    if (found < 0)
        return found;
    AlignQueues(start, true, aligned);
    m_syncStart = start;
    MW_LOG(5, "SynchronizeStreamsByReservedFramesEx",
           L"MediaWriteWorker[%s:%x] Streams synchronized with OutputStarttime was set to [%lld]!", m_name.c_str(),
           m_workerId, LL(start));
    startTime = start;
    return static_cast<int32_t>(aligned.size());
}

// ---- rebasing ----

int64_t CTYXMediaWriteWorker::ToOutputUnits(int64_t microseconds, int32_t num, int32_t den) const
{
    if (num <= 0 || den <= 0) {
        num = 1;
        den = 1000000;
    }
    // Halves round away from zero, as llround does.
    return std::llround(static_cast<double>(microseconds) * den / (static_cast<double>(num) * 1000000.0));
}

int32_t CTYXMediaWriteWorker::WritePaketToMedia(const FramePackage &package, int64_t streamStartTime,
                                                WrittenStreamState &state, int32_t timeBaseNum, int32_t timeBaseDen,
                                                bool first, int32_t retries)
{
    const int32_t index = state.outputIndex;
    if (package.dts == TYX_NOPTS_VALUE || package.dts < streamStartTime) {
        MW_LOG(3, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Stream[%d] Paket discard for its \t\t\t\ttimestamp(pts=%lld, dts=%lld) is smaller than stream-start-time[%lld]!",
               m_name.c_str(), m_workerId, index, LL(package.pts), LL(package.dts), LL(streamStartTime));
        return TYX_MW_WRITE_DISCARDED;
    }
    if (package.duration <= 0) {
        MW_LOG(3, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Stream[%d] Paket[pts=%lld, dts=%lld] discard for its duration(%lld) is invalid!",
               m_name.c_str(), m_workerId, index, LL(package.pts), LL(package.dts), LL(package.duration));
        return TYX_MW_WRITE_BAD_DURATION;
    }
    if (!package.pData || package.nLength <= 0) {
        MW_LOG(3, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Stream[%d] Paket[pts=%lld, dts=%lld] \t\t\t\tdiscard for its data length(%lld) or data-pointer is invalid!",
               m_name.c_str(), m_workerId, index, LL(package.pts), LL(package.dts), LL(package.nLength));
        return TYX_MW_WRITE_NO_DATA;
    }
    const int64_t sourcePts = package.pts == TYX_NOPTS_VALUE ? package.dts : package.pts;
    // Every stream of the output counts from one origin, the start its synchronisation found, so
    // that a picture and the sound that came with it keep their distance; a picture's pts stays
    // after its dts by the reordering it had.
    if (m_timeOrigin == TYX_NOPTS_VALUE) {
        m_timeOrigin = m_syncStart != TYX_NOPTS_VALUE && m_syncStart <= package.dts ? m_syncStart : package.dts;
        m_syncStart = TYX_NOPTS_VALUE;
    }
    if (package.dts < m_timeOrigin) {
        MW_LOG(3, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Stream[%d] Paket discard for its \t\t\t\ttimestamp(pts=%lld, dts=%lld) is smaller than stream-start-time[%lld]!",
               m_name.c_str(), m_workerId, index, LL(package.pts), LL(package.dts), LL(m_timeOrigin));
        return TYX_MW_WRITE_DISCARDED;
    }
    FramePackage out = package;
    out.duration = ToOutputUnits(package.duration, timeBaseNum, timeBaseDen);
    out.pts = ToOutputUnits(sourcePts - m_timeOrigin, timeBaseNum, timeBaseDen);
    out.dts = ToOutputUnits(package.dts - m_timeOrigin, timeBaseNum, timeBaseDen);
    if (first || state.firstWriteTime == TYX_NOPTS_VALUE) {
        state.firstWriteTime = NowUs();
    } else {
        // Once a stream has written a package, every later dts must be larger: the muxers refuse
        // an equal one and the output would be closed for it.
        if (state.lastDts != TYX_NOPTS_VALUE && out.dts <= state.lastDts) {
            if (++state.discardsInRow <= 3 || state.discardsInRow % 1000 == 0)
                MW_LOG(3, "WritePaketToMedia",
                       L"MediaWriteWorker[%s:%x] Stream[%d] New Paket's TS[dts=%lld:%lld](size=%d) <= the previous wrote one[%lld:%lld](size=%d)(StrmStartTime=[%lld], Timebase=%d/%d), Discard!",
                       m_name.c_str(), m_workerId, index, LL(package.dts), LL(out.dts), package.nLength,
                       LL(state.lastSourceDts), LL(state.lastDts), state.lastSize, LL(streamStartTime), timeBaseNum,
                       timeBaseDen);
            return TYX_MW_WRITE_DISCARDED;
        }
    }
    if (out.pts < out.dts)
        out.pts = out.dts;

    const AVRational timeBase = timeBaseNum > 0 && timeBaseDen > 0 ? AVRational{timeBaseNum, timeBaseDen}
                                                                    : AVRational{1, 1000000};
    int64_t &writtenCount = m_writtenCounts[static_cast<int16_t>(index)];
    int32_t result = m_streamWriter->writeFrame(static_cast<int16_t>(index), out, timeBase);
    int32_t attempt = 0;
    // The writer has logged it; the same package would be refused again.
    if (result == TYX_WRITER_PACKAGE_REFUSED)
        return result;
    if (result < 0) {
        MW_LOG(3, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Paket writing(into avStrm[%d]) failed with error = [%d]!\n\t With old TS:[pts=%lld,dts=%lld], new TS:[pts=%lld,dts=%lld],\n\t and previous wrote frame old TS:[pts=%lld,dts=%lld], new TS:[pts=%lld,dts=%lld], \n\t and StrmStartTime=[%lld], Timebase=%d/%d).\n",
               m_name.c_str(), m_workerId, index, result, LL(package.pts), LL(package.dts), LL(out.pts), LL(out.dts),
               LL(state.lastSourcePts), LL(state.lastSourceDts), LL(state.lastPts), LL(state.lastDts),
               LL(streamStartTime), timeBaseNum, timeBaseDen);
        while (result < 0 && attempt < retries) {
            if (m_exitEvent->Wait(kRetryWaitMs) == TYX_WAIT_OBJECT_0) {
                MW_LOG(5, "WritePaketToMedia", L"MediaWriteWorker[%s:%x] received exit signal in re-writing paket, exiting...",
                       m_name.c_str(), m_workerId);
                return result;
            }
            ++attempt;
            result = m_streamWriter->writeFrame(static_cast<int16_t>(index), out, timeBase);
        }
        if (result < 0)
            return result;
        MW_LOG(6, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] Paket wrote(into avStrm[%d]) after [%d] retried, While oldDts=[%lld], newDts=[%lld], size=[%d], StrmStartTime=[%lld], Timebase=%d/%d.",
               m_name.c_str(), m_workerId, index, attempt, LL(package.dts), LL(out.dts), package.nLength,
               LL(streamStartTime), timeBaseNum, timeBaseDen);
    } else {
        MW_LOG(6, "WritePaketToMedia",
               L"MediaWriteWorker[%s:%x] The [%d] Paket wrote(into avStrm[%d]),\n While oldTs[pts=%lld,dts=%lld], newTs[pts=%lld,dts=%lld], size=[%d], StrmStartTime=[%lld], Timebase=%d/%d.",
               m_name.c_str(), m_workerId, static_cast<int32_t>(writtenCount + 1),
               index, LL(package.pts), LL(package.dts), LL(out.pts), LL(out.dts), package.nLength,
               LL(streamStartTime), timeBaseNum, timeBaseDen);
    }
    ++writtenCount;
    m_bytesSinceDiskCheck += static_cast<uint64_t>(package.nLength);
    state.lastSourceDts = package.dts;
    state.lastSourcePts = sourcePts;
    state.lastDts = out.dts;
    state.lastPts = out.pts;
    state.lastSize = package.nLength;
    state.discardsInRow = 0;
    const int64_t end = sourcePts + package.duration;
    if (state.sourceEnd == TYX_NOPTS_VALUE || end > state.sourceEnd)
        state.sourceEnd = end;
    return 0;
}
