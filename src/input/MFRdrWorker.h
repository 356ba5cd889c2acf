#pragma once

#include "input/MediaFileReader.h"
#include "input/MultiStrmMRdrWorker.h"
#include "input/ReadAheadQueue.h"

#include <functional>
#include <map>

// The playing state of one stream of a file (time stamps in the stream's time base).
struct stFileStreamPlayState
{
    int16_t streamIndex = -1;
    int64_t firstTime = 0;                  // program clock of the first hand-over, 0 none yet
    int64_t firstPts = TYX_NOPTS_VALUE;
    int64_t firstDts = TYX_NOPTS_VALUE;
    int64_t firstDuration = 0;
    int64_t lastTime = 0;                   // the last hand-over
    int64_t lastPts = TYX_NOPTS_VALUE;
    int64_t lastDts = TYX_NOPTS_VALUE;
    int64_t lastDuration = 0;
    int64_t startKeyDts = TYX_NOPTS_VALUE;  // the key frame at or before the start
    int64_t startDts = TYX_NOPTS_VALUE;
    int64_t startPts = TYX_NOPTS_VALUE;     // what is shown before it is decoded only
    int64_t endDts = TYX_NOPTS_VALUE;
    int64_t cycleLastPts = TYX_NOPTS_VALUE; // the last package of the finished cycle
    int64_t cycleLastDts = TYX_NOPTS_VALUE;
    int64_t readPts = TYX_NOPTS_VALUE;      // the last package read, its cycle's shift included
    int64_t readDts = TYX_NOPTS_VALUE;
    int64_t readUs = TYX_NOPTS_VALUE;       // its time on the file's time line (µs)
    AVRational timeBase{0, 1};
};

// Plays a media file into the graph as if it were live: after a start delay, from a configured
// position, at the speed of its own time stamps on the program clock, up to a configured end or
// the end of the file, and again from the start position until a playing time has passed.
// The streams of the file share one time line, mapped onto the program clock at the first
// hand-over: the file is read ahead of that clock and its packages are handed over in the order of
// their times, each when its time has come, so that a stream stored behind another (a camera's
// chunks of a second, a sound track stored ahead) reaches the graph in time; a package is stamped
// with its time, and every repeated cycle moves all streams on by one offset.
class CMediaFileReadWorker : public CMultiStrmMediaReadWorker
{
public:
    // Sleeps up to the given µs unless the worker is asked to exit; true when it was.
    using PacingSleep = std::function<bool(int64_t microseconds)>;

    CMediaFileReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks);

    uint32_t WorkingFunc() override;
    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    int32_t OnMediaSourceOpenned(bool notify) override;
    CMediaSourceReader *CreateReader(const stMediaSourceReadWorkerConfig &config) override;
    int32_t GetStreamDelayParam(uint8_t piADTC, int32_t configuredDelay) override;

    // Positions the file for the configured play range; the seek-back target's stream index (-1
    // for the start of the file) and its timestamp.
    int16_t SeekToConfiguredPosition(int64_t &timestamp);
    void SetStreamBaseTime(int16_t containerIndex, int64_t time, int64_t pts, int64_t dts);

    void SetOpenRetryWait(uint32_t milliseconds) { m_openRetryWaitMs = milliseconds; }
    void SetPacingSleep(PacingSleep sleep) { m_pacingSleep = std::move(sleep); }
    int16_t CycleCount() const { return m_cycleCount.load(); }

private:
    enum class ReadStep
    {
        Continue,
        Finish,
        End,
    };

    // What the first cycle showed of one stream, in the stream's own time base: the earliest and
    // the latest time a package is shown, and the end of the package that ends last.
    struct stStreamSpan
    {
        AVRational timeBase{0, 1};
        int64_t first = TYX_NOPTS_VALUE;
        int64_t last = TYX_NOPTS_VALUE;
        int64_t end = TYX_NOPTS_VALUE;
        int64_t duration = 0;                   // the last known package duration
        bool video = false;
    };
    // An exact length in seconds: num / den.
    struct stFraction
    {
        int64_t num = 0;
        int64_t den = 1;
    };

    ReadStep ReadOnce(uint32_t &timeout, int64_t &handedOver);
    ReadStep StartNextCycle();
    // Reads one package into the read-ahead queue.
    ReadStep ReadAhead();
    void HoldPackage(FramePackage &package, stFileStreamPlayState &play);
    // Hands the first package of the read-ahead queue over, once its time has come.
    ReadStep HandOverHeld(int64_t &handedOver);
    // True while the queue reaches less than the read-ahead ahead of its first package.
    bool MayReadAhead() const;
    // The program time at which a held package is due: INT64_MIN at once, INT64_MAX not before the
    // read-ahead is full (no time line yet).
    int64_t DueTime(const CReadAheadQueue::stHeld &held) const;
    // Whether the play ends rather than repeat: no Repeat, or its playing time since the first
    // hand-over has passed.
    bool ShowTimeOver() const;
    ReadStep EndOnReadError();
    // How far each cycle moves the file on: the span of its pictures in whole pictures, as a rule.
    stFraction LoopLength();
    stFraction PictureLoopLength(int16_t index, const stStreamSpan &span);
    // What the cycles so far and the time lost behind the clock add to a stamp of that time base.
    int64_t CycleShift(const AVRational &timeBase) const;
    int64_t LostShift(const AVRational &timeBase) const;
    // A sound package of a later cycle that would not come after its stream's last one.
    bool OverlapsLastCycle(const FramePackage &package, const stFileStreamPlayState &play) const;
    void NoteSpan(const FramePackage &package, const AVRational &timeBase);
    // Waits until the package's time on the file's time line (µs, the cycles and the lost time
    // included) has come: a package behind where the file has got (stored beyond the read-ahead)
    // goes at once, the lead-in before the start position (startUs, likewise) at its own faster
    // pace; a reader that fell behind its clock moves the time line on instead (mediaUs and the
    // lost time grow). True on exit.
    bool PaceHandOver(int64_t &mediaUs, bool discard, int64_t startUs);
    void FinishPlay();
    bool SeekStreams(int64_t targetUs, bool forEnd, int16_t &index, int64_t &timestamp);
    bool SleepPacing(int64_t microseconds);

    int64_t m_initTime = 0;
    int64_t m_firstHandOverTime = 0;
    int64_t m_startDelay = 0;                    // µs
    int64_t m_showTime = 0;
    int64_t m_playFrom = 0;
    int64_t m_playTo = 0;
    uint8_t m_repeat = 0;
    int16_t m_seekBackIndex = -1;
    int64_t m_seekBackTimestamp = TYX_NOPTS_VALUE;
    std::atomic<int16_t> m_cycleCount{0};
    CMediaFileReader *m_fileReader = nullptr;    // the base class's reader
    std::map<int16_t, stFileStreamPlayState> m_playStates; // by container index
    bool m_endReached = false;                   // the reading reached the end of a cycle
    bool m_finishing = false;                    // nothing more is read: the play ends when the queue is empty
    int32_t m_readError = 0;                     // the failed read that ends the play
    CReadAheadQueue m_held;
    int64_t m_holdFailures = 0;                  // packages that could not be copied into it
    int64_t m_readFrontUs = TYX_NOPTS_VALUE;     // the latest time on the time line read so far (µs)
    uint32_t m_openRetryWaitMs = 20000;
    PacingSleep m_pacingSleep;
    // The file's time line on the program clock: media time m (µs, offset included) is due at
    // m_clockOrigin + m - m_mediaOrigin; no origin before the first hand-over.
    int64_t m_clockOrigin = 0;
    int64_t m_mediaOrigin = TYX_NOPTS_VALUE;
    // How far the file has got on its time line over all its streams (µs, offset included): the
    // latest media time of a package shown so far.
    int64_t m_timelineUs = TYX_NOPTS_VALUE;
    // The deadline and media time of the last package, which packages marked discard follow.
    int64_t m_paceDeadline = 0;
    int64_t m_paceMediaUs = TYX_NOPTS_VALUE;
    // Added to the time stamps of every stream (µs): the time the source fell behind its clock.
    int64_t m_lostUs = 0;
    // The cycles that went before the one being read (the 16-bit cycle count would wrap within a
    // day of a short clip), those before the one being handed over, and the length of each.
    int64_t m_loops = 0;
    int64_t m_handedLoops = 0;
    stFraction m_loopLength;
    std::map<int16_t, stStreamSpan> m_spans;   // by container index
    // The earliest time stamp of the first cycle: a cycle without a start position starts there.
    int64_t m_cycleStartUs = TYX_NOPTS_VALUE;
    int16_t m_cycleStartIndex = -1;
    int64_t m_cycleStartTicks = TYX_NOPTS_VALUE;
};
