#pragma once

#include "input/MediaFileReader.h"
#include "input/MultiStrmMRdrWorker.h"

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
    AVRational timeBase{0, 1};
};

// Plays a media file into the graph as if it were live: after a start delay, from a configured
// position, paced by its own time stamps (slightly faster than real time), up to a configured end
// or the end of the file, and again from the start position until a playing time has passed.
// The streams of the file share one clock: one pacing clock, one time base taken at the first
// hand-over, and one offset per repeated cycle.
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

    ReadStep ReadOnce(uint32_t &timeout, int64_t &handedOver);
    ReadStep StartNextCycle();
    ReadStep HandOver(FramePackage &package, stFileStreamPlayState &play, int64_t &handedOver);
    // Moves a package of a later cycle onto the time line after the cycles before it.
    void ShiftIntoCycle(FramePackage &package, const stFileStreamPlayState &play);
    // Waits until the source's clock lets a package of that media time go; true on exit.
    bool PaceHandOver(int64_t mediaUs, bool discard);
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
    bool m_endReached = false;
    uint32_t m_openRetryWaitMs = 20000;
    PacingSleep m_pacingSleep;
    // The source's clock: the deadline of the last package and its media time (µs, cycle offset
    // included); no package yet while the media time is absent.
    int64_t m_paceDeadline = 0;
    int64_t m_paceMediaUs = TYX_NOPTS_VALUE;
    // Repeated cycles: the offset of this cycle, the end of what was handed over so far and the
    // earliest time stamp of the first cycle, all µs; the next package opens a cycle.
    int64_t m_cycleOffsetUs = 0;
    int64_t m_cycleEndUs = TYX_NOPTS_VALUE;
    int64_t m_cycleStartUs = TYX_NOPTS_VALUE;
    int16_t m_cycleStartIndex = -1;            // the stream and tick of that earliest stamp
    int64_t m_cycleStartTicks = TYX_NOPTS_VALUE;
    bool m_cycleOpening = false;
    bool m_sourceBaseTaken = false;
};
