// The stream threads of the multi-stream read worker: one per source stream. Each takes the copies
// that the main thread queued for its stream, drops them until the stream can start cleanly, and
// sends the rest, stamped on the program clock, to the worker's consumers.

#include "input/MultiStrmMRdrWorker.h"

#include "core/debuglog.h"
#include "platform/Thread.h"

#include <chrono>
#include <cmath>
#include <thread>

namespace {

constexpr uint32_t kWaitHandledMs = 0;
constexpr uint32_t kWaitEmptyMs = 10;
constexpr uint32_t kWaitNoStreamMs = 50;
constexpr uint32_t kEstimateTimeoutMs = 10000;
// A thread whose packages come faster than this looks for the next one a while before it sleeps:
// waking a sleeping thread costs more than the package itself.
constexpr auto kBurstGap = std::chrono::microseconds(1000);
constexpr auto kBurstSpin = std::chrono::microseconds(50);

// value x num x 1000000 / den, truncated, without overflow.
int64_t TicksToUs(int64_t value, const AVRational &timeBase)
{
    if (timeBase.den == 0)
        return 0;
    return static_cast<int64_t>(static_cast<__int128>(value) * timeBase.num * 1000000 / timeBase.den);
}

// The same, rounded to the nearest microsecond.
int64_t TicksToUsRounded(int64_t value, const AVRational &timeBase)
{
    if (timeBase.den == 0)
        return 0;
    return std::llround(static_cast<double>(timeBase.num) * static_cast<double>(value) * 1000000.0 / timeBase.den);
}

int32_t KindOf(int32_t mediaType)
{
    return mediaType == TYX_MEDIA_AUDIO ? TYX_PKT_KIND_CODED_AUDIO : TYX_PKT_KIND_CODED_VIDEO;
}

} // namespace

struct CMultiStrmMediaReadWorker::stStreamThreadState
{
    int32_t threadId = 0;
    int16_t served = -1;           // container index served, -1 none
    uint32_t outputId = 0;
    int16_t subNo = 0;
    int32_t kind = 0;
    bool keyPending = true;
    bool estimationDone = false;
    bool piADTC = false;
    bool moved = false;
    int64_t dropped = 0;           // packages dropped at the start
    bool firstReceived = false;
    bool firstPushed = false;
    uint32_t session = 0;          // the open whose packages the thread handles
    int64_t waitingForKey = 0;     // video packages dropped this session before its first key frame
    std::shared_ptr<StrmPrcsThdPrmtrs> record;
    std::vector<FramePackage> batch;  // the packages taken from the queue at once
    // Packages of a source settling on new stamps, in their order, unstamped: they go out once the
    // mapping of their time line is final.
    struct stHeld
    {
        FramePackage package;
        int32_t epoch = 0;
        std::shared_ptr<stReadStreamState> state;
    };
    std::vector<stHeld> held;
    bool estimating = false;
    uint32_t estimateStart = 0;
    int64_t estimateSkipped = 0;
};

uint32_t CMultiStrmMediaReadWorker::SingleStreamProcThread()
{
    stStreamThreadState thread;
    thread.threadId = GetCurrentThreadIdInt();
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Single-Stream-Proc thread[TID=%d] started.", m_name.c_str(), m_workerId,
            thread.threadId);
    // Only the first stream thread clears the mark: one started after a reopen must not undo a
    // stop of pushing.
    if (!m_pushMarkCleared.exchange(true))
        m_pushingStopped = 0;
    uint32_t wait = kWaitHandledMs;
    std::chrono::steady_clock::time_point lastBatch;
    for (;;) {
        if (wait == kWaitHandledMs)
            lastBatch = std::chrono::steady_clock::now();
        else if (wait == kWaitEmptyMs && thread.record && SpinForPackages(*thread.record, lastBatch))
            wait = kWaitHandledMs;
        // An empty queue is waited on with its event, so that a package is handled as soon as it
        // is queued; the mark goes up before the last look, so that no package is missed.
        int32_t woken;
        if (wait == kWaitEmptyMs && thread.record) {
            thread.record->sleeping = true;
            woken = thread.record->pending ? m_exitEvent->Wait(0)
                                           : WaitForAnyEvent({m_exitEvent.get(), &thread.record->queued}, wait);
            thread.record->sleeping = false;
        } else {
            woken = m_exitEvent->Wait(wait);
        }
        if (woken == TYX_WAIT_OBJECT_0)
            break;
        wait = StreamThreadPass(thread);
    }
    for (stStreamThreadState::stHeld &held : thread.held)
        FreeFramePackage(held.package);
    thread.held.clear();
    thread.record.reset();
    TYX_LOG(5, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d] Received exit signal, exiting...",
            m_name.c_str(), m_workerId, thread.subNo);
    return 0;
}

bool CMultiStrmMediaReadWorker::SpinForPackages(const StrmPrcsThdPrmtrs &record,
                                                std::chrono::steady_clock::time_point lastBatch)
{
    // Real time, not the worker's clock: this is about the cost of a sleep, not about stamps.
    const auto now = std::chrono::steady_clock::now();
    if (now - lastBatch > kBurstGap)
        return false;
    const auto until = now + kBurstSpin;
    while (std::chrono::steady_clock::now() < until) {
        if (record.pending.load(std::memory_order_acquire))
            return true;
        std::this_thread::yield();
    }
    return false;
}

bool CMultiStrmMediaReadWorker::FollowRecord(stStreamThreadState &thread, StrmPrcsThdPrmtrs &record)
{
    const int16_t index = record.containerIndex;
    if (index < 0) {
        thread.keyPending = true;
        return false;
    }
    const bool piADTC = record.config && record.config->PiADTC;
    if (thread.served >= 0 && record.subNo != thread.subNo) {
        // Moved to another stream.
        thread.estimationDone = false;
        thread.keyPending = true;
        thread.piADTC = piADTC;
        thread.moved = true;
    } else if (thread.moved) {
        thread.piADTC = piADTC;
        thread.keyPending = true;
    }
    // The container index of its stream holds for one open only: the next open may find the same
    // stream at another index (it starts a new session, which begins on a key frame anyway).
    thread.served = index;
    thread.outputId = record.outputId;
    thread.subNo = record.subNo;
    thread.kind = record.kind;
    return true;
}

uint32_t CMultiStrmMediaReadWorker::StreamThreadPass(stStreamThreadState &thread)
{
    if (!thread.record)
        thread.record = FindThreadRecord(thread.threadId);
    const std::shared_ptr<StrmPrcsThdPrmtrs> record = thread.record;
    if (!record) {
        thread.keyPending = true;
        return kWaitNoStreamMs;
    }
    // Everything queued is taken at once: one hold of the queue lock per batch, not per package.
    std::vector<FramePackage> &batch = thread.batch;
    {
        CReadLockGuard guard(record->lock);
        if (!FollowRecord(thread, *record))
            return kWaitNoStreamMs;
        CCsLock queueGuard(record->queueLock);
        if (!record->queue.empty()) {
            batch.swap(record->queue);
            record->pending = false;
            record->busy = true;
        }
    }
    if (batch.empty()) {
        // What waits for its source to settle goes out when the time is up, packages or none; but
        // not while packages of the source still wait to be observed: one of them may have come
        // in time to prolong the wait.
        if (!thread.held.empty())
            ReleaseHeld(thread, PendingStreamPackages() == 0 ? NowUs() : 0);
        return kWaitEmptyMs;
    }
    const auto state = FindStream(thread.served);
    const bool exiting = m_exitEvent->IsSet();
    for (FramePackage &package : batch) {
        if (!state || exiting)
            FreeFramePackage(package);
        else
            HandleStreamPackage(thread, state, package);
    }
    batch.clear();
    record->busy = false;
    return kWaitHandledMs;
}

void CMultiStrmMediaReadWorker::HandleStreamPackage(stStreamThreadState &thread, const std::shared_ptr<stReadStreamState> &state,
                                                    FramePackage &package)
{
    // Every open of the source is a session of its own, which starts with a key frame again.
    if (state->session != thread.session) {
        // What the last open held goes first, on the mapping its clock has.
        ReleaseHeld(thread, INT64_MAX);
        thread.session = state->session;
        thread.keyPending = true;
        thread.waitingForKey = 0;
    }
    if (!thread.firstReceived) {
        thread.firstReceived = true;
        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]The 1st paket[pts=%lld,dts=%lld] of stream[%x] received at[%lld]...",
                m_name.c_str(), m_workerId, static_cast<long long>(package.pts), static_cast<long long>(package.dts),
                thread.outputId, static_cast<long long>(NowUs()));
    }
    const bool key = (package.flags & TYX_PKT_FLAG_KEY) != 0;
    if (key)
        TYX_LOG(7, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d] Key frame read.", m_name.c_str(),
                m_workerId, thread.subNo);

    bool hasBaseTime;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        hasBaseTime = state->streamBaseTime > 0;
    }
    if (!hasBaseTime || thread.dropped < StreamDropCount(package.mediaType)) {
        if (key) {
            ReserveKeyFrame(package);
            TYX_LOG(7, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Catching Key frame updated in dropping phase.",
                    m_name.c_str(), m_workerId, thread.subNo);
        }
        ++thread.dropped;
        FreeFramePackage(package);
        return;
    }
    if (thread.piADTC && !m_openedInInit && !thread.estimationDone) {
        if (key) {
            ReserveKeyFrame(package);
            TYX_LOG(7, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Catching Key frame updated in delay-estimating phase.",
                    m_name.c_str(), m_workerId, thread.subNo);
        }
        if (m_useNTP)
            thread.estimationDone = EstimateDelay(thread, *state);
        FreeFramePackage(package);
        return;
    }
    if (m_pushingStopped) {
        FreeFramePackage(package);
        return;
    }
    if (!key && thread.keyPending && !PushReservedKeyFrame(thread, state, package) &&
        package.mediaType == TYX_MEDIA_VIDEO) {
        // No decoder can start on this package: the session waits for its first key frame.
        if (thread.waitingForKey++ == 0)
            TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d] waits for a key frame.",
                    m_name.c_str(), m_workerId, thread.subNo);
        FreeFramePackage(package);
        return;
    }
    StampAndSend(thread, state, package);
    thread.keyPending = false;
}

bool CMultiStrmMediaReadWorker::EstimateDelay(stStreamThreadState &thread, stReadStreamState &state)
{
    stStreamDelayEstimate &estimate = *state.estimate;
    if (!thread.estimating) {
        thread.estimating = true;
        thread.estimateStart = NowTickMs();
    }
    ++thread.estimateSkipped;
    std::lock_guard<std::mutex> lock(estimate.lock);
    if (estimate.delay <= TYX_DELAY_ESTIMATE)
        estimate.samples.push_back(static_cast<int32_t>(static_cast<uint32_t>(NowUs() / 1000)));
    const int32_t frameSize = estimate.audioFrameSize > 0 ? estimate.audioFrameSize : 1024;
    const double needed = estimate.mediaType == TYX_MEDIA_VIDEO ? 3.0 * estimate.frameRate
                                                                 : 3.0 * estimate.sampleRate / frameSize;
    const int32_t defaultDelay = estimate.mediaType == TYX_MEDIA_VIDEO ? 300 : 150;
    if (!estimate.samples.empty() && double(estimate.samples.size()) >= needed) {
        int64_t sum = 0;
        for (const int32_t sample : estimate.samples)
            sum += sample;
        if (sum <= 0)
            TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d]Single-stream-proc thread[SubNo=%d] Media source stream avg delay time is negtive (%d ms)! Set it to default value then.",
                    m_name.c_str(), static_cast<int32_t>(m_workerId), thread.subNo, static_cast<int32_t>(sum));
        const int32_t average = AverageStreamDelay(estimate.samples, estimate.mediaType);
        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Single-stream-proc thread[SubNo=%d]Media source stream avg delay time is %d ms.",
                m_name.c_str(), static_cast<int32_t>(m_workerId), thread.subNo, average);
        estimate.delay = average;
        estimate.samples.clear();
        return true;
    }
    if (uint32_t(NowTickMs() - thread.estimateStart) >= kEstimateTimeoutMs) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Stream(%d) timed out in delay estimating!..with mBaseTimeUTC=%lld, and %d pkts skipped.",
                m_name.c_str(), m_workerId, thread.subNo, static_cast<int32_t>(thread.served),
                static_cast<long long>(m_baseTimeUTC.load()), static_cast<int32_t>(thread.estimateSkipped));
        if (estimate.delay <= TYX_DELAY_ESTIMATE)
            estimate.delay = defaultDelay;
        estimate.samples.clear();
        return true;
    }
    return false;
}

bool CMultiStrmMediaReadWorker::PushReservedKeyFrame(stStreamThreadState &thread,
                                                     const std::shared_ptr<stReadStreamState> &state, const FramePackage &next)
{
    FramePackage key;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->reservedKeyFrame.nLength <= 0 || !state->reservedKeyFrame.pData)
            return false;
        // Taken over: the reserved copy is sent once.
        key = state->reservedKeyFrame;
        state->reservedKeyFrame = FramePackage{};
    }
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Before convert, Pts of key frame was [%lld] and new read pkt pts is [%lld], duration=%lld.",
            m_name.c_str(), m_workerId, thread.subNo, static_cast<long long>(key.pts), static_cast<long long>(next.pts),
            static_cast<long long>(next.duration));
    if (next.pts != TYX_NOPTS_VALUE && key.pts != TYX_NOPTS_VALUE) {
        // Moved to just before the package; its dts moves with it, so that it keeps its pts-dts
        // difference.
        const int64_t moved = next.pts - next.duration - key.pts;
        key.pts += moved;
        if (key.dts != TYX_NOPTS_VALUE)
            key.dts += moved;
    }
    // Moved in time, it tells nothing of the sender's clock.
    key.queuedTime = 0;
    StampAndSend(thread, state, key);
    TYX_LOG(7, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Catching Key frame pushed 1st while leaving dropping phase.",
            m_name.c_str(), m_workerId, thread.subNo);
    return true;
}

void CMultiStrmMediaReadWorker::StampAndSend(stStreamThreadState &thread, const std::shared_ptr<stReadStreamState> &state,
                                             FramePackage &package)
{
    const int64_t baseUTC = m_baseTimeUTC.load();
    // With the source's start time the stamps come from it; without, from the source's clock.
    const stSourceClockStep step = m_useNTP && baseUTC > 0 ? stSourceClockStep{} : SourceClockStepOf(*state, package);
    if (step.held) {
        thread.held.push_back({package, step.epoch, state});
        thread.record->held = static_cast<int32_t>(thread.held.size());
        return;
    }
    ReleaseHeld(thread, package.queuedTime);
    SendStamped(thread, *state, package, step.mapping, baseUTC);
}

void CMultiStrmMediaReadWorker::ReleaseHeld(stStreamThreadState &thread, int64_t nowUs)
{
    size_t released = 0;
    for (; released < thread.held.size(); ++released) {
        stStreamThreadState::stHeld &held = thread.held[released];
        CSourceClock &clock = held.state->sourceBase->clock;
        if (!clock.Settled(held.epoch, nowUs))
            break;
        // One that no package of its source could place (the source ended first) goes nowhere.
        const stSourceMapping mapping = clock.MappingOf(held.epoch);
        if (m_pushingStopped || !mapping.IsSet())
            FreeFramePackage(held.package);
        else
            SendStamped(thread, *held.state, held.package, mapping, 0);
    }
    thread.held.erase(thread.held.begin(), thread.held.begin() + static_cast<std::ptrdiff_t>(released));
    if (thread.record)
        thread.record->held = static_cast<int32_t>(thread.held.size());
}

void CMultiStrmMediaReadWorker::SendStamped(stStreamThreadState &thread, stReadStreamState &state, FramePackage &package,
                                            const stSourceMapping &mapping, int64_t baseUTC)
{
    const int64_t readPts = package.pts;
    const int64_t readDts = package.dts;
    if (m_useNTP)
        TimeStamp2NTP(state, package, mapping, baseUTC);
    else
        TimeStampByLocalClock(state, package, mapping);
    package.kind = thread.kind ? thread.kind : KindOf(package.mediaType);
    const int32_t length = package.nLength;
    const int32_t mediaType = package.mediaType;
    const int64_t pts = package.pts;
    const int64_t dts = package.dts;
    bool handedOver = false;
    SendPaket2Consumers(handedOver, package, true, true, thread.outputId);
    if (!handedOver)
        FreeFramePackage(package);
    if (length > 0) {
        std::lock_guard<std::mutex> lock(state.mutex);
        ++state.packetsSent;
        if (mediaType == TYX_MEDIA_VIDEO)
            ++state.unitsSent;
        else if (state.info.frameSize > 0)
            state.unitsSent += state.info.frameSize;
    }
    if (!thread.firstPushed) {
        thread.firstPushed = true;
        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]The 1st paket(pts=[%lld:%lld], dts=[%lld:%lld]) of stream[%x] pushed at[%lld]...",
                m_name.c_str(), m_workerId, static_cast<long long>(readPts), static_cast<long long>(pts),
                static_cast<long long>(readDts), static_cast<long long>(dts), thread.outputId,
                static_cast<long long>(NowUs()));
    }
}

stSourceClockStep CMultiStrmMediaReadWorker::SourceClockStepOf(stReadStreamState &state, const FramePackage &package)
{
    stSourceClockStep step;
    if (!state.sourceBase)
        return step;
    CSourceClock &clock = state.sourceBase->clock;
    const AVRational tb = state.info.timeBase;
    // The decode order is the order of arrival.
    const int64_t observed = package.dts != TYX_NOPTS_VALUE ? package.dts : package.pts;
    // A live package moved in time tells nothing of the sender's clock, nor where its start lies:
    // it waits with its stream until the source has settled, or its stamp would come from a
    // mapping that the wait then moves.
    if (m_followSourceClock && package.queuedTime <= 0 && observed != TYX_NOPTS_VALUE)
        return clock.Place(package.streamIndex);
    if (!clock.IsAnchored()) {
        // Never take an absent time stamp as a base: packets of B-frame streams may lack a dts.
        const int64_t ticks = package.pts != TYX_NOPTS_VALUE ? package.pts : package.dts;
        if (ticks == TYX_NOPTS_VALUE)
            return step;
        const int64_t delayMs = state.config ? state.config->EstmtDly : 0;
        // From its arrival, not from when this thread got to it.
        const int64_t arrival = package.queuedTime > 0 ? package.queuedTime : NowUs();
        clock.AnchorOnce(arrival - delayMs * 1000 - TicksToUs(ticks, tb));
    }
    // A file is paced by the program clock itself; only a live sender's clock runs on its own.
    if (!m_followSourceClock || observed == TYX_NOPTS_VALUE) {
        step.mapping = clock.Mapping();
        return step;
    }
    step = clock.Observe(package.streamIndex, TicksToUs(observed, tb), package.queuedTime);
    if (step.reanchored)
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Stamps of stream[%d] jumped by %lld ms: the source is re-anchored on the program clock.",
                m_name.c_str(), m_workerId, static_cast<int32_t>(state.subNo), static_cast<long long>(step.jumpUs / 1000));
    return step;
}

void CMultiStrmMediaReadWorker::TimeStamp2NTP(stReadStreamState &state, FramePackage &package, const stSourceMapping &mapping,
                                              int64_t baseUTC)
{
    bool before = false;
    // Without the source's start time the stamps come from the source's time base, as against the
    // local clock.
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const AVRational tb = state.info.timeBase;
        // pts and dts alike, so that the source's pts-dts difference survives.
        auto toClock = [&](int64_t value) {
            if (baseUTC <= 0)
                return mapping.Map(TicksToUsRounded(value, tb));
            if (value > state.basePts)
                return baseUTC + TicksToUsRounded(value - state.basePts, tb);
            return baseUTC + TicksToUs(value - state.basePts, tb);
        };
        state.lastPts = package.pts;
        const bool stamped = baseUTC > 0 || mapping.IsSet();
        if (stamped && package.pts != TYX_NOPTS_VALUE) {
            before = baseUTC > 0 && package.pts < state.basePts;
            package.pts = toClock(package.pts);
        }
        if (stamped && package.dts != TYX_NOPTS_VALUE)
            package.dts = toClock(package.dts);
        package.duration = TicksToUsRounded(package.duration, tb);
    }
    if (before)
        TYX_LOG(6, L"Media-Reading thread:Pts[%lld] less than StrmBasedTimestamp read!", static_cast<long long>(package.pts));
}

void CMultiStrmMediaReadWorker::TimeStampByLocalClock(stReadStreamState &state, FramePackage &package,
                                                      const stSourceMapping &mapping)
{
    // One base for every stream of the source: a picture and the sound of the same moment of the
    // source get the same stamp, whichever stream came first, and pts - dts stays what it was.
    const AVRational tb = state.info.timeBase;
    if (mapping.IsSet()) {
        if (package.pts != TYX_NOPTS_VALUE)
            package.pts = mapping.Map(TicksToUs(package.pts, tb));
        if (package.dts != TYX_NOPTS_VALUE)
            package.dts = mapping.Map(TicksToUs(package.dts, tb));
    }
    // The published time base is 1/1000000, so the duration is given in it as well.
    package.duration = TicksToUsRounded(package.duration, tb);
}
