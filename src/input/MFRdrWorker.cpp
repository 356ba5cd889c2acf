#include "input/MFRdrWorker.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "platform/Thread.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
#include <libavutil/time.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>

// Play: waiting for the start delay -> cycle 0 -> (end position or end of file read) -> with Repeat
// and the playing time not yet over: seek back, next cycle, read ahead while the one before is
// still handed over (given up when the playing time is over once the one before has gone) ->
// otherwise finished once the packages read ahead are handed over (reader closed, status -92,
// thread ended). A read error ends the thread likewise with status -102; a file that cannot be
// opened is tried again every 20 s. Each pass hands over the first package read ahead when its
// time has come, else reads one more while the read-ahead lacks, else waits for that package.

namespace {

const AVRational kMicroseconds{1, 1000000};
// A source that is this far (µs) behind its clock (after pushing was stopped, a slow disk) moves
// its time line on instead of rushing to catch up.
constexpr int64_t kPacingRestartUs = 500000;
// Packages marked discard (decoded, not shown) go this many times faster than their time line.
constexpr int64_t kDiscardPace = 20;
// Waits shorter than this (µs) are not slept.
constexpr int64_t kPacingMinWaitUs = 1000;
// A file is read this far (µs of its time line) ahead of the package it hands over next: a stream
// stored behind another (a camera's chunks of a second, a sound track stored 0.8 s ahead) is then at
// hand when its time comes. Within this many packages and bytes.
constexpr int64_t kReadAheadUs = 3000000;
constexpr size_t kReadAheadMostPackages = 1000;
constexpr int64_t kReadAheadMostBytes = int64_t{64} << 20;

// A time stamp of the package in µs, moved by shift ticks: its dts, else its pts.
int64_t DecodeTimeUs(const FramePackage &package, const AVRational &timeBase, int64_t shift)
{
    const int64_t ticks = package.dts != TYX_NOPTS_VALUE ? package.dts : package.pts;
    return ticks == TYX_NOPTS_VALUE ? TYX_NOPTS_VALUE : av_rescale_q(ticks + shift, timeBase, kMicroseconds);
}

int64_t SecondsToUs(float seconds)
{
    return static_cast<int64_t>(double(seconds) * 1000000.0);
}

} // namespace

CMediaFileReadWorker::CMediaFileReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks)
    : CMultiStrmMediaReadWorker(workerId, consumerLinks)
{
    m_typeCode = 1;
    TYX_LOG(6, L"MediaFileReadWorker[%d] constructed.", static_cast<int32_t>(workerId));
}

bool CMediaFileReadWorker::SleepPacing(int64_t microseconds)
{
    if (m_pacingSleep)
        return m_pacingSleep(microseconds);
    // Whole milliseconds on the exit event, so that a long duration cannot hold up a stop.
    if (microseconds >= 1000 && ExitRequested(static_cast<uint32_t>(microseconds / 1000)))
        return true;
    av_usleep(static_cast<unsigned>(microseconds % 1000));
    return false;
}

int32_t CMediaFileReadWorker::Initialize(uint8_t flag, int32_t value)
{
    TYX_LOG(6, L"MediaFileReadWorker[%x:%s] initializing...", m_workerId, m_name.c_str());
    CMultiStrmMediaReadWorker::Initialize(flag, value);
    m_initTime = NowUs();
    return 0;
}

void CMediaFileReadWorker::unInitialize()
{
    TYX_LOG(6, L"MediaFileReadWorker[%x:%s] uninitializing...", m_workerId, m_name.c_str());
    CMultiStrmMediaReadWorker::unInitialize();
}

CMediaSourceReader *CMediaFileReadWorker::CreateReader(const stMediaSourceReadWorkerConfig &)
{
    auto reader = std::make_unique<CMediaFileReader>();
    m_fileReader = reader.get();
    m_reader = std::move(reader);
    return m_reader.get();
}

int32_t CMediaFileReadWorker::GetStreamDelayParam(uint8_t, int32_t configuredDelay)
{
    return configuredDelay > 0 ? configuredDelay : 50;
}

int32_t CMediaFileReadWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *source = dynamic_cast<const stMediaSourceReadWorkerConfig *>(config);
    if (!source)
        return -1;
    if (m_sourcePath.empty())
        m_sourcePath = source->MSFullPath;
    if (CMultiStrmMediaReadWorker::CopyInConfiguration(config) < 0)
        return -1;
    // Files are always stamped against the local clock.
    m_useNTP = 0;
    // Made at every open, for the container indexes that open found the streams at.
    m_playStates.clear();
    m_repeat = source->Repeat;
    m_startDelay = SecondsToUs(source->StartDelay);
    m_showTime = SecondsToUs(source->ShowTime);
    m_playFrom = SecondsToUs(source->PlayFrom);
    m_playTo = SecondsToUs(source->PlayTo);
    return 0;
}

int32_t CMediaFileReadWorker::OnMediaSourceOpenned(bool notify)
{
    CMultiStrmMediaReadWorker::OnMediaSourceOpenned(notify);
    // The streams of this open, where it found them: an index of an earlier open may be another
    // stream's now, or no selected stream's, which would fail the seek of every stream.
    m_playStates.clear();
    {
        CReadLockGuard guard(m_streamTable.Lock());
        for (const auto &[index, state] : m_streamTable.Items()) {
            stFileStreamPlayState &play = m_playStates[index];
            play.streamIndex = index;
            play.timeBase = state->info.timeBase;
        }
    }
    TYX_LOG(5, L"[%s:%x]Seeking to configured postion.", m_name.c_str(), m_workerId);
    m_seekBackIndex = SeekToConfiguredPosition(m_seekBackTimestamp);
    return 0;
}

bool CMediaFileReadWorker::SeekStreams(int64_t targetUs, bool forEnd, int16_t &index, int64_t &timestamp)
{
    StreamSeekMap seeks;
    for (const auto &[streamIndex, play] : m_playStates) {
        if (streamIndex >= 0)
            seeks[streamIndex].target = targetUs;
    }
    if (seeks.empty() || !m_fileReader || m_fileReader->SeekStreamsBySimpleWay(seeks, index, timestamp) <= 0)
        return false;
    for (const auto &[streamIndex, seek] : seeks) {
        if (!seek.positioned)
            continue;
        stFileStreamPlayState &play = m_playStates[streamIndex];
        if (forEnd) {
            play.endDts = seek.chosenDts;
        } else {
            play.startKeyDts = seek.keyDts != TYX_NOPTS_VALUE ? seek.keyDts : seek.keyPts;
            play.startDts = seek.chosenDts;
            play.startPts = seek.chosenPts;
        }
    }
    return true;
}

int16_t CMediaFileReadWorker::SeekToConfiguredPosition(int64_t &timestamp)
{
    int16_t index = -1;
    timestamp = TYX_NOPTS_VALUE;
    if (m_playTo > 0) {
        if (!SeekStreams(m_playTo, true, index, timestamp)) {
            timestamp = TYX_NOPTS_VALUE;
            return -1;
        }
        if (m_playFrom <= 0) {
            // Without a start position the play begins at the start of the file, not at the key
            // frame before the end.
            m_fileReader->SeekToPosition(-1, TYX_NOPTS_VALUE);
            timestamp = TYX_NOPTS_VALUE;
            return -1;
        }
    }
    if (m_playFrom > 0 && !SeekStreams(m_playFrom, false, index, timestamp)) {
        timestamp = TYX_NOPTS_VALUE;
        return -1;
    }
    return index;
}

void CMediaFileReadWorker::SetStreamBaseTime(int16_t containerIndex, int64_t time, int64_t pts, int64_t dts)
{
    const auto state = FindStream(containerIndex);
    if (!state)
        return;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->streamBaseTime = time;
    state->localBaseTime = time;
    // A package without one of its stamps gives the other as base.
    state->localBasePts = pts != TYX_NOPTS_VALUE ? pts : dts;
    state->localBaseDts = dts != TYX_NOPTS_VALUE ? dts : pts;
}

void CMediaFileReadWorker::FinishPlay()
{
    m_reader->Close();
    m_workingStep = 30;
    SetStreamState(TYX_STATUS_CLOSED);
    ReportReaderEvent(TYX_EVENT_SOURCE_CLOSED);
    SendStatusAfterStreams(TYX_SRC_CLOSED, NowUs());
    TYX_LOG(6, L"MediaFileReadWorker[%s:%d]Exiting for play task finshed.", m_name.c_str(), static_cast<int32_t>(m_workerId));
}

CMediaFileReadWorker::ReadStep CMediaFileReadWorker::StartNextCycle()
{
    TYX_LOG(6, L"MediaFileReadWorker[%s:%x]The [%d]cycle finished, Repeat from configued beginning for set-playing-time(%d seconds) not eslaped.",
            m_name.c_str(), m_workerId, static_cast<int32_t>(m_cycleCount.load()), static_cast<int32_t>(m_showTime / 1000000));
    // Without a start position the cycle starts again at the first packet of the file, which may
    // be a sound track's priming before the first picture.
    if (m_seekBackIndex < 0)
        m_fileReader->SeekToStart(m_cycleStartIndex, m_cycleStartTicks);
    else
        m_fileReader->SeekToPosition(m_seekBackIndex, m_seekBackTimestamp);
    // Every cycle replays the stretch the first one showed.
    if (m_loops == 0)
        m_loopLength = LoopLength();
    ++m_loops;
    ++m_cycleCount;
    m_endReached = false;
    return ReadStep::Continue;
}

CMediaFileReadWorker::stFraction CMediaFileReadWorker::LoopLength()
{
    // Every cycle replays the same stretch of every stream, so one length moves them all and keeps
    // a picture and the sound of one moment of the file together. The pictures set it, so that
    // the next cycle's first picture follows the last one a picture later; a sound track that
    // runs on past them (its priming, its last frame) gives up what overlaps. Without pictures,
    // or with pictures that cover less than half of the longest stream (a cover picture beside
    // its music), the longest stream sets it.
    const stStreamSpan *longest = nullptr;
    const stStreamSpan *pictures = nullptr;
    int16_t picturesIndex = -1;
    for (const auto &[index, span] : m_spans) {
        if (span.end == TYX_NOPTS_VALUE)
            continue;
        if (span.video && !pictures) {
            pictures = &span;
            picturesIndex = index;
        }
        if (!longest || av_compare_ts(span.end - span.first, span.timeBase, longest->end - longest->first, longest->timeBase) > 0)
            longest = &span;
    }
    if (!longest)
        return {1, 1000000};
    const stFraction whole{(longest->end - longest->first) * longest->timeBase.num, longest->timeBase.den};
    if (!pictures)
        return whole;
    const stFraction picture = PictureLoopLength(picturesIndex, *pictures);
    if (2.0 * double(picture.num) / double(picture.den) < double(whole.num) / double(whole.den))
        return whole;
    return picture;
}

CMediaFileReadWorker::stFraction CMediaFileReadWorker::PictureLoopLength(int16_t index, const stStreamSpan &span)
{
    const AVRational tb = span.timeBase;
    const int64_t spanTicks = span.end - span.first;
    // One picture: the stream's rate when its packages agree with it to a tick (29.97 or 59.94
    // pictures a second are no whole number of ticks of 1/90000), else their duration.
    stFraction picture{span.duration * tb.num, tb.den};
    const auto state = FindStream(index);
    const AVRational rate = state ? state->info.frameRate : AVRational{0, 1};
    if (rate.num > 0 && rate.den > 0 &&
        (span.duration <= 0 || std::fabs(double(span.duration) * tb.num * rate.num - double(tb.den) * rate.den) <=
                                   double(tb.num) * rate.num))
        picture = {rate.den, rate.num};
    if (picture.num <= 0)
        return {spanTicks * tb.num, tb.den};
    // The span in pictures, to the nearest, but never so few that the next cycle's first picture
    // would come before this cycle's last. One tick is tickNum / tickDen pictures.
    const int64_t tickNum = picture.den * tb.num;
    const int64_t tickDen = picture.num * tb.den;
    const int64_t pictures = std::max(av_rescale_rnd(spanTicks, tickNum, tickDen, AV_ROUND_NEAR_INF),
                                      av_rescale_rnd(span.last - span.first, tickNum, tickDen, AV_ROUND_DOWN) + 1);
    return {pictures * picture.num, picture.den};
}

int64_t CMediaFileReadWorker::CycleShift(const AVRational &timeBase) const
{
    if (m_loops == 0 || timeBase.num <= 0 || timeBase.den <= 0)
        return 0;
    // From the exact length of all the cycles, so that no rounding adds up from cycle to cycle.
    return av_rescale_rnd(m_loops * m_loopLength.num, timeBase.den, m_loopLength.den * timeBase.num, AV_ROUND_NEAR_INF);
}

int64_t CMediaFileReadWorker::LostShift(const AVRational &timeBase) const
{
    return m_lostUs == 0 ? 0 : av_rescale_q(m_lostUs, kMicroseconds, timeBase);
}

bool CMediaFileReadWorker::OverlapsLastCycle(const FramePackage &package, const stFileStreamPlayState &play) const
{
    if (m_loops == 0 || package.mediaType != TYX_MEDIA_AUDIO)
        return false;
    const int64_t shift = CycleShift(play.timeBase);
    if (package.dts != TYX_NOPTS_VALUE && play.readDts != TYX_NOPTS_VALUE)
        return package.dts + shift <= play.readDts;
    if (package.pts != TYX_NOPTS_VALUE && play.readPts != TYX_NOPTS_VALUE)
        return package.pts + shift <= play.readPts;
    return false;
}

void CMediaFileReadWorker::NoteSpan(const FramePackage &package, const AVRational &timeBase)
{
    const int64_t shown = package.pts != TYX_NOPTS_VALUE ? package.pts : package.dts;
    if (shown == TYX_NOPTS_VALUE)
        return;
    stStreamSpan &span = m_spans[package.streamIndex];
    span.timeBase = timeBase;
    span.video = package.mediaType == TYX_MEDIA_VIDEO;
    if (package.duration > 0)
        span.duration = package.duration;
    // A package without a duration takes that of the one before it.
    const int64_t end = shown + std::max<int64_t>(span.duration, 1);
    if (span.first == TYX_NOPTS_VALUE || shown < span.first)
        span.first = shown;
    if (span.last == TYX_NOPTS_VALUE || shown > span.last)
        span.last = shown;
    if (span.end == TYX_NOPTS_VALUE || end > span.end)
        span.end = end;
}

bool CMediaFileReadWorker::PaceHandOver(int64_t &mediaUs, bool discard, int64_t startUs)
{
    // Deadlines follow from the media time alone, so a late wake-up delays one package and not
    // every package after it.
    const int64_t now = NowUs();
    if (mediaUs == TYX_NOPTS_VALUE)
        return false;
    if (m_mediaOrigin == TYX_NOPTS_VALUE) {
        // A play that begins with a lead-in shows its first picture when the lead-in, at its own
        // pace, has gone: that picture is due then, not after the lead-in's length in the file.
        if (discard && startUs != TYX_NOPTS_VALUE && startUs > mediaUs) {
            m_clockOrigin = now + (startUs - mediaUs) / kDiscardPace;
            m_mediaOrigin = startUs;
        } else {
            m_clockOrigin = now;
            m_mediaOrigin = mediaUs;
            m_timelineUs = mediaUs;
        }
        m_paceDeadline = now;
        m_paceMediaUs = mediaUs;
        return false;
    }
    int64_t deadline = now;
    if (discard) {
        // The lead-in goes at its own pace ahead of the first picture shown, off the time line.
        deadline = m_paceDeadline + std::max<int64_t>(mediaUs - m_paceMediaUs, 0) / kDiscardPace;
    } else if (m_timelineUs == TYX_NOPTS_VALUE || mediaUs > m_timelineUs) {
        // Packages leave the file in storage order, not time order: only the package that takes
        // the file further on its time line sets the pace, and only it can tell that the whole
        // reader fell behind.
        const int64_t due = m_clockOrigin + (mediaUs - m_mediaOrigin);
        deadline = due;
        if (now - due > kPacingRestartUs) {
            // Far behind (pushing was stopped, a slow disk): the time line moves on by what was
            // lost instead of rushing to catch up, and the stamps of every stream move with it.
            const int64_t lost = now - due;
            m_lostUs += lost;
            mediaUs += lost;
            deadline = now;
        }
        m_timelineUs = mediaUs;
    }
    // Otherwise the package lies behind where the file has got (a stream stored later than the
    // other): it goes at once and keeps its stamp.
    m_paceDeadline = deadline;
    m_paceMediaUs = mediaUs;
    const int64_t wait = deadline - now;
    return wait >= kPacingMinWaitUs && SleepPacing(wait);
}

void CMediaFileReadWorker::HoldPackage(FramePackage &package, stFileStreamPlayState &play)
{
    // Shown before the start position: decoded, not shown.
    const int64_t shown = package.pts != TYX_NOPTS_VALUE ? package.pts : package.dts;
    const int64_t start = play.startPts != TYX_NOPTS_VALUE ? play.startPts : play.startDts;
    const bool leadIn = start != TYX_NOPTS_VALUE && play.startDts > 0 && shown != TYX_NOPTS_VALUE && shown < start;
    if (leadIn)
        package.flags |= TYX_PKT_FLAG_DISCARD;

    // Marked by the demuxer too (the priming of a sound stream).
    const bool discard = (package.flags & TYX_PKT_FLAG_DISCARD) != 0;
    if (m_loops == 0) {
        // A cycle repeats what was shown: neither the lead-in before the start position nor what
        // the demuxer marks as not shown adds to its length.
        if (!discard)
            NoteSpan(package, play.timeBase);
        const int64_t rawStart = std::min(package.pts != TYX_NOPTS_VALUE ? package.pts : INT64_MAX,
                                          package.dts != TYX_NOPTS_VALUE ? package.dts : INT64_MAX);
        const int64_t rawStartUs = rawStart == INT64_MAX ? TYX_NOPTS_VALUE : av_rescale_q(rawStart, play.timeBase, kMicroseconds);
        if (rawStartUs != TYX_NOPTS_VALUE && (m_cycleStartUs == TYX_NOPTS_VALUE || rawStartUs < m_cycleStartUs)) {
            m_cycleStartUs = rawStartUs;
            m_cycleStartIndex = package.streamIndex;
            m_cycleStartTicks = rawStart;
        }
    } else if (OverlapsLastCycle(package, play)) {
        return;
    }
    const int64_t cycleShift = CycleShift(play.timeBase);
    // A stream keeps its own order in the queue: a package stamped before the one read before it
    // (a picture without a dts after a later one) or without stamps goes right after that one.
    int64_t mediaUs = DecodeTimeUs(package, play.timeBase, cycleShift);
    if (play.readUs != TYX_NOPTS_VALUE && (mediaUs == TYX_NOPTS_VALUE || mediaUs < play.readUs))
        mediaUs = play.readUs;
    int64_t startUs = play.startDts != TYX_NOPTS_VALUE ? play.startDts : play.startPts;
    if (startUs != TYX_NOPTS_VALUE)
        startUs = av_rescale_q(startUs + cycleShift, play.timeBase, kMicroseconds);
    if (cycleShift != 0) {
        if (package.pts != TYX_NOPTS_VALUE)
            package.pts += cycleShift;
        if (package.dts != TYX_NOPTS_VALUE)
            package.dts += cycleShift;
    }
    play.readPts = package.pts;
    play.readDts = package.dts;
    play.readUs = mediaUs;
    if (mediaUs != TYX_NOPTS_VALUE && (m_readFrontUs == TYX_NOPTS_VALUE || mediaUs > m_readFrontUs))
        m_readFrontUs = mediaUs;
    CReadAheadQueue::stHeld place;
    place.mediaUs = mediaUs;
    place.startUs = startUs;
    place.discard = discard;
    place.cycle = m_loops;
    // The first packages of a stream without stamps go at once.
    if (!m_held.Push(mediaUs == TYX_NOPTS_VALUE ? INT64_MIN : mediaUs, package, place) && m_holdFailures++ % 1000 == 0)
        TYX_LOG(3, L"MediaFileReadWorker[%s:%x]Pkt(pts=%lld) of stream[%d] dropped: no memory to hold it, %lld pkts so far.",
                m_name.c_str(), m_workerId, static_cast<long long>(package.pts), static_cast<int32_t>(package.streamIndex),
                static_cast<long long>(m_holdFailures));
}

bool CMediaFileReadWorker::MayReadAhead() const
{
    if (m_endReached || m_finishing)
        return false;
    if (m_held.Empty())
        return true;
    if (m_held.Size() >= kReadAheadMostPackages || m_held.Bytes() >= kReadAheadMostBytes)
        return false;
    return m_readFrontUs == TYX_NOPTS_VALUE || m_readFrontUs - m_held.FrontUs() < kReadAheadUs;
}

int64_t CMediaFileReadWorker::DueTime(const CReadAheadQueue::stHeld &held) const
{
    // The same deadlines as the pacing gives them, before anything moves. The first package waits
    // for the read-ahead: the earliest of what the file stores first sets the time line.
    if (m_mediaOrigin == TYX_NOPTS_VALUE)
        return INT64_MAX;
    if (held.mediaUs == TYX_NOPTS_VALUE)
        return INT64_MIN;
    const int64_t mediaUs = held.mediaUs + m_lostUs;
    if (held.discard)
        return m_paceDeadline + std::max<int64_t>(mediaUs - m_paceMediaUs, 0) / kDiscardPace;
    if (m_timelineUs != TYX_NOPTS_VALUE && mediaUs <= m_timelineUs)
        return INT64_MIN;
    return m_clockOrigin + (mediaUs - m_mediaOrigin);
}

CMediaFileReadWorker::ReadStep CMediaFileReadWorker::HandOverHeld(int64_t &handedOver)
{
    CReadAheadQueue::stHeld &held = m_held.Front();
    FramePackage &package = held.package;
    if (m_firstHandOverTime == 0)
        m_firstHandOverTime = NowUs();
    if (held.cycle > m_handedLoops) {
        // The cycle before has been handed over: the next one was read ahead on the chance that
        // the playing time goes on, and is given up when it is over.
        if (ShowTimeOver()) {
            m_held.DropCyclesFrom(held.cycle);
            m_cycleCount = static_cast<int16_t>(m_handedLoops);
            m_finishing = true;
            return ReadStep::Continue;
        }
        m_handedLoops = held.cycle;
    }
    int64_t mediaUs = held.mediaUs != TYX_NOPTS_VALUE ? held.mediaUs + m_lostUs : TYX_NOPTS_VALUE;
    const int64_t startUs = held.startUs != TYX_NOPTS_VALUE ? held.startUs + m_lostUs : TYX_NOPTS_VALUE;
    if (PaceHandOver(mediaUs, held.discard, startUs)) {
        m_held.DropFront();
        return ReadStep::End;
    }
    const auto found = m_playStates.find(package.streamIndex);
    if (found == m_playStates.end()) {
        m_held.DropFront();
        return ReadStep::Continue;
    }
    stFileStreamPlayState &play = found->second;
    const int64_t shift = LostShift(play.timeBase);
    if (shift != 0) {
        if (package.pts != TYX_NOPTS_VALUE)
            package.pts += shift;
        if (package.dts != TYX_NOPTS_VALUE)
            package.dts += shift;
    }
    // The first hand-over maps the file's time line onto the program clock for all its streams.
    if (!HasSourceTimeBase() && m_mediaOrigin != TYX_NOPTS_VALUE)
        SetSourceTimeBase(m_clockOrigin, m_mediaOrigin);

    const int64_t now = NowUs();
    play.lastTime = now;
    play.lastPts = package.pts;
    play.lastDts = package.dts;
    play.lastDuration = package.duration;
    if (play.firstTime == 0) {
        play.firstTime = now;
        play.firstPts = package.pts;
        play.firstDts = package.dts;
        play.firstDuration = package.duration;
        SetStreamBaseTime(package.streamIndex, now, package.pts, package.dts);
    }
    // The held copy goes on as it is; what no thread took is released with the queue's entry.
    if (HandPaketToStreamThread(package) > 0)
        ++handedOver;
    m_held.DropFront();
    return ReadStep::Continue;
}

bool CMediaFileReadWorker::ShowTimeOver() const
{
    if (!m_repeat || m_showTime <= 0)
        return true;
    // A file that gave nothing to play has nothing to repeat.
    if (m_firstHandOverTime == 0)
        return m_held.Empty();
    return NowUs() - m_firstHandOverTime >= m_showTime;
}

CMediaFileReadWorker::ReadStep CMediaFileReadWorker::EndOnReadError()
{
    m_reader->Close();
    m_workingStep = 44;
    SetStreamState(TYX_STATUS_ERROR);
    ReportReaderEvent(TYX_EVENT_SOURCE_CLOSED);
    SendStatusAfterStreams(TYX_SRC_READ_FAILED, NowUs());
    return ReadStep::End;
}

CMediaFileReadWorker::ReadStep CMediaFileReadWorker::ReadAhead()
{
    FramePackage package;
    const int64_t readTime = NowUs();
    const int32_t result = m_reader->ReadPacket(package);
    package.readTime = readTime;
    // A read that the stop aborted is no failure of the file.
    if (result < 0 && ExitRequested(0))
        return ReadStep::End;
    if (result < 0) {
        TYX_LOG(3, L"MediaFileReadWorker[%s:%d]Media file reading failed with error(%d) returned.", m_name.c_str(),
                static_cast<int32_t>(m_workerId), result);
        // What was read before goes on at its time; the play ends after it.
        m_readError = result;
        m_finishing = true;
        return ReadStep::Continue;
    }
    if (result == 0) {
        TYX_LOG(6, L"MediaFileReadWorker[%s:%x]Its End Of Media File!", m_name.c_str(), m_workerId);
        m_endReached = true;
        return ReadStep::Continue;
    }
    if (package.nLength < 1 || !CountReadPackage(package))
        return ReadStep::Continue;
    if (package.dts == TYX_NOPTS_VALUE)
        TYX_LOG(6, L"MediaFileReadWorker[%s:%x]Pkt with invalid dts(%lld) read.", m_name.c_str(), m_workerId,
                static_cast<long long>(package.dts));
    const auto found = m_playStates.find(package.streamIndex);
    if (found == m_playStates.end())
        return ReadStep::Continue;
    stFileStreamPlayState &play = found->second;
    if (play.startKeyDts != TYX_NOPTS_VALUE && package.dts != TYX_NOPTS_VALUE && package.dts < play.startKeyDts)
        return ReadStep::Continue;
    if (play.endDts != TYX_NOPTS_VALUE && play.endDts > 0 && package.dts != TYX_NOPTS_VALUE && package.dts >= play.endDts) {
        play.cycleLastPts = play.readPts;
        play.cycleLastDts = play.readDts;
        m_endReached = true;
        return ReadStep::Continue;
    }
    HoldPackage(package, play);
    return ReadStep::Continue;
}

CMediaFileReadWorker::ReadStep CMediaFileReadWorker::ReadOnce(uint32_t &timeout, int64_t &handedOver)
{
    timeout = 0;
    if (!m_reader) {
        TYX_LOG(3, L"MediaFileReadWorker[%s:%x]There no valid media reader instance...exit.", m_name.c_str(), m_workerId);
        return ReadStep::End;
    }
    if (!m_reader->IsOpened()) {
        m_workingStep = 20;
        TYX_LOG(6, L"MediaFileReadWorker[%s:%d]Media file wasn't open, try to open it...", m_name.c_str(),
                static_cast<int32_t>(m_workerId));
        m_baseTimeUTC = 0;
        const int32_t result = m_reader->Reopen();
        if (result < 0) {
            m_workingStep = 44;
            SetStreamState(TYX_STATUS_OPEN_FAILED);
            if (!m_pushingStopped) {
                SendStatusPaket2Consumers(TYX_SRC_CONNECT_FAILED, NowUs());
                TYX_LOG(6, L"MediaFileReadWorker[%s:%x] Media files opening failed message(ErrCode=%d) pushed to downstream.",
                        m_name.c_str(), m_workerId, result);
            }
            timeout = m_openRetryWaitMs;
            return ReadStep::Continue;
        }
        m_workingStep = 26;
        TYX_LOG(6, L"MediaFileReadWorker[%s:%x]Media source opened successfully.", m_name.c_str(), m_workerId);
        SetStreamState(TYX_STATUS_RUNNING);
        ReportReaderEvent(TYX_EVENT_SOURCE_OPENED);
        OnMediaSourceOpenned(true);
    }
    if ((m_startDelay > 0 && NowUs() - m_initTime < m_startDelay) || m_pushingStopped) {
        timeout = 10;
        return ReadStep::Continue;
    }
    if (m_endReached && !m_finishing) {
        if (ShowTimeOver())
            m_finishing = true;
        else
            StartNextCycle();
    }
    if (m_baseTimeUTC < 1)
        m_baseTimeUTC = NowUs();
    // A package whose time has come goes first; then the file is read ahead; then the next
    // package is waited for.
    if (!m_held.Empty() && DueTime(m_held.Front()) <= NowUs())
        return HandOverHeld(handedOver);
    if (MayReadAhead())
        return ReadAhead();
    if (!m_held.Empty())
        return HandOverHeld(handedOver);
    return m_readError < 0 ? EndOnReadError() : ReadStep::Finish;
}

uint32_t CMediaFileReadWorker::WorkingFunc()
{
    const int32_t threadId = GetCurrentThreadIdInt();
    TYX_LOG(6, L"MediaFileReadWorker[%s:%x]Reading Thread[%d] Starting.", m_name.c_str(), m_workerId, threadId);
    if (!m_reader) {
        TYX_LOG(3, L"MediaFileReadWorker[%s:%x]:There no valid media reader instance...exit.", m_name.c_str(), m_workerId);
        return 1;
    }
    if (!m_reader->IsOpened()) {
        const int32_t result = m_reader->Reopen();
        if (result < 0) {
            SetStreamState(TYX_STATUS_OPEN_FAILED);
            TYX_LOG(3, L"MediaFileReadWorker[%s:%x]Media file opening failed with error=%d.", m_name.c_str(), m_workerId, result);
            ReportReaderEvent(TYX_EVENT_SOURCE_OPEN_FAILED);
        } else {
            TYX_LOG(6, L"MediaFileReadWorker[%s:%x]Media file opened successfully.", m_name.c_str(), m_workerId);
            OnMediaSourceOpenned(true);
            SetStreamState(TYX_STATUS_RUNNING);
        }
    }
    m_openedInInit = 1;

    int64_t handedOver = 0;
    uint32_t timeout = 0;
    for (;;) {
        const int32_t signalled = WaitWorkerEvents(timeout);
        if (signalled == TYX_WAIT_OBJECT_0) {
            TYX_LOG(5, L"MediaFileReadWorker[%s:%x]Reading Thread[%d] Recieved exit signal, exiting...", m_name.c_str(),
                    m_workerId, threadId);
            break;
        }
        if (signalled == TYX_WAIT_OBJECT_0 + 1) {
            TYX_LOG(5, L"MediaFileReadWorker[%s:%x]Reading Thread[%d] Recieved data-pushing signal.", m_name.c_str(),
                    m_workerId, threadId);
            m_workingStep = 29;
            if (!m_pushingStopped) {
                timeout = 0;
                continue;
            }
            m_pushingStopped = 0;
        } else if (signalled == TYX_WAIT_OBJECT_0 + 2) {
            TYX_LOG(5, L"MediaFileReadWorker[%s:%x]Reading Thread[%d] Recieved STOP-data-pushing signal.", m_name.c_str(),
                    m_workerId, threadId);
            m_workingStep = 27;
            m_pushingStopped = 1;
            timeout = 0;
            continue;
        }
        const ReadStep step = ReadOnce(timeout, handedOver);
        if (step == ReadStep::Finish)
            FinishPlay();
        if (step != ReadStep::Continue)
            break;
    }

    m_held.Clear();
    TYX_LOG(6, L"MediaFileReadWorker[%s:%d]Media reading Thread[%d] exiting.", m_name.c_str(),
            static_cast<int32_t>(m_workerId), threadId);
    m_workingStep = 31;
    if (m_screenOutput)
        std::printf("Media reading Thread[%d] is exiting...\n", threadId);
    return static_cast<uint32_t>(handedOver);
}
