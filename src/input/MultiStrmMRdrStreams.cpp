// The stream threads of the multi-stream read worker: one per source stream. Each takes the copies
// that the main thread queued for its stream, drops them until the stream can start cleanly, and
// sends the rest, stamped on the program clock, to the worker's consumers.

#include "input/MultiStrmMRdrWorker.h"

#include "core/debuglog.h"
#include "platform/Thread.h"

#include <cmath>

namespace {

constexpr uint32_t kWaitHandledMs = 0;
constexpr uint32_t kWaitEmptyMs = 10;
constexpr uint32_t kWaitNoStreamMs = 50;
constexpr uint32_t kEstimateTimeoutMs = 10000;

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
    const stReadStreamState *lastState = nullptr;
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
    while (m_exitEvent->Wait(wait) != TYX_WAIT_OBJECT_0)
        wait = StreamThreadPass(thread);
    TYX_LOG(5, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d] Received exit signal, exiting...",
            m_name.c_str(), m_workerId, thread.subNo);
    return 0;
}

uint32_t CMultiStrmMediaReadWorker::StreamThreadPass(stStreamThreadState &thread)
{
    const auto record = FindThreadRecord(thread.threadId);
    if (!record) {
        thread.keyPending = true;
        return kWaitNoStreamMs;
    }
    FramePackage package;
    {
        CReadLockGuard guard(record->lock);
        const int16_t index = record->containerIndex;
        if (index < 0) {
            thread.keyPending = true;
            return kWaitNoStreamMs;
        }
        const bool piADTC = record->config && record->config->PiADTC;
        if (thread.served < 0) {
            thread.served = index;
            thread.outputId = record->outputId;
        } else if (thread.served != index) {
            thread.served = index;
            thread.outputId = record->outputId;
            thread.estimationDone = false;
            thread.keyPending = true;
            thread.piADTC = piADTC;
            thread.moved = true;
        } else if (thread.moved) {
            thread.outputId = record->outputId;
            thread.piADTC = piADTC;
            thread.keyPending = true;
        }
        thread.subNo = record->subNo;
        thread.kind = record->kind;
        CCsLock queueGuard(record->queueLock);
        if (record->queue.empty())
            return kWaitEmptyMs;
        package = record->queue.front();
        record->queue.pop_front();
    }
    HandleStreamPackage(thread, package);
    return kWaitHandledMs;
}

void CMultiStrmMediaReadWorker::HandleStreamPackage(stStreamThreadState &thread, FramePackage &package)
{
    const auto state = FindStream(thread.served);
    if (!state) {
        FreeFramePackage(package);
        return;
    }
    // A new stream record means the source was opened again: start with a key frame once more.
    if (state.get() != thread.lastState) {
        thread.lastState = state.get();
        thread.keyPending = true;
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
    if (!key && thread.keyPending)
        PushReservedKeyFrame(thread, *state, package);
    StampAndSend(thread, *state, package);
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

void CMultiStrmMediaReadWorker::PushReservedKeyFrame(stStreamThreadState &thread, stReadStreamState &state,
                                                     const FramePackage &next)
{
    FramePackage key;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.reservedKeyFrame.nLength <= 0 || !state.reservedKeyFrame.pData)
            return;
        // Taken over: the reserved copy is sent once.
        key = state.reservedKeyFrame;
        state.reservedKeyFrame = FramePackage{};
    }
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Before convert, Pts of key frame was [%lld] and new read pkt pts is [%lld], duration=%lld.",
            m_name.c_str(), m_workerId, thread.subNo, static_cast<long long>(key.pts), static_cast<long long>(next.pts),
            static_cast<long long>(next.duration));
    if (next.pts != TYX_NOPTS_VALUE)
        key.pts = next.pts - next.duration;
    StampAndSend(thread, state, key);
    TYX_LOG(7, L"MultiStrmMediaReadWorker[%s:%x]Single-stream-proc thread[SubNo=%d]Catching Key frame pushed 1st while leaving dropping phase.",
            m_name.c_str(), m_workerId, thread.subNo);
}

void CMultiStrmMediaReadWorker::StampAndSend(stStreamThreadState &thread, stReadStreamState &state,
                                             FramePackage &package)
{
    const int64_t readPts = package.pts;
    const int64_t readDts = package.dts;
    if (m_useNTP)
        TimeStamp2NTP(state, package);
    else
        TimeStampByLocalClock(state, package);
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

void CMultiStrmMediaReadWorker::TimeStamp2NTP(stReadStreamState &state, FramePackage &package)
{
    bool before = false;
    {
        std::lock_guard<std::mutex> lock(state.mutex);
        const int64_t base = m_baseTimeUTC > 0 ? m_baseTimeUTC.load() : state.streamBaseTime;
        const AVRational tb = state.info.timeBase;
        state.lastPts = package.pts;
        if (package.pts != TYX_NOPTS_VALUE) {
            if (package.pts > state.basePts) {
                package.pts = base + TicksToUsRounded(package.pts - state.basePts, tb);
            } else {
                before = package.pts < state.basePts;
                package.pts = base + TicksToUs(package.pts - state.basePts, tb);
            }
        }
        package.duration = TicksToUsRounded(package.duration, tb);
    }
    package.dts = NowUs();
    if (before)
        TYX_LOG(6, L"Media-Reading thread:Pts[%lld] less than StrmBasedTimestamp read!", static_cast<long long>(package.pts));
}

void CMultiStrmMediaReadWorker::TimeStampByLocalClock(stReadStreamState &state, FramePackage &package)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    const AVRational tb = state.info.timeBase;
    if (state.localBaseTime == 0) {
        // Never take an absent time stamp as a base: packets of B-frame streams may lack a dts.
        state.localBasePts = package.pts != TYX_NOPTS_VALUE ? package.pts : package.dts;
        state.localBaseDts = package.dts != TYX_NOPTS_VALUE ? package.dts : package.pts;
        const int64_t delayMs = state.config ? state.config->EstmtDly : 0;
        state.localBaseTime = NowUs() - delayMs * 1000;
        package.pts = package.dts = state.localBaseTime;
    } else {
        if (package.pts != TYX_NOPTS_VALUE)
            package.pts = state.localBaseTime + TicksToUs(package.pts - state.localBasePts, tb);
        if (package.dts != TYX_NOPTS_VALUE)
            package.dts = state.localBaseTime + TicksToUs(package.dts - state.localBaseDts, tb);
    }
    // The published time base is 1/1000000, so the duration is given in it as well.
    package.duration = TicksToUsRounded(package.duration, tb);
}
