#pragma once

#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"
#include "input/GMediaReader.h"
#include "input/ReadStreamState.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A read result that reports B-frames the source may not carry (no reader gives it today).
constexpr int32_t TYX_MSR_BFRAMES_FOUND = 0x40000000;
// Stream-thread queues hold at most this many packages; more are dropped.
constexpr size_t TYX_STREAM_THREAD_QUEUE_LIMIT = 900;
// Base-time searches and backlog skipping give up after this many ms.
constexpr uint32_t TYX_BASE_TIME_SEARCH_MS = 2999;
// A status that ends a stretch of packages waits this long (ms) for the stream threads to send
// what they hold; the rest is dropped.
constexpr uint32_t TYX_STREAM_DRAIN_MS = 2000;

// Results of the backlog skipping and the base-time search.
constexpr int32_t TYX_SKIP_READER_CLOSED = -2;
constexpr int32_t TYX_SKIP_READ_ERROR = -8;
constexpr int32_t TYX_SKIP_END_OF_STREAM = -4;
constexpr int32_t TYX_SKIP_TIMED_OUT = -16;
constexpr int32_t TYX_SBT_NO_ENTRY = -1;
constexpr int32_t TYX_SBT_END_OF_STREAM = -2;

// The common base of the read workers of demultiplexed sources (files, RTSP, RTMP). The derived
// worker's main thread reads packages and queues a copy of each to the thread of its stream; one
// stream thread per source stream drops the start packages, holds back a key frame, stamps every
// package on the program clock (µs) and sends it to the consumers.
//
// Stream thread: no stream -> dropping (until the stream has a base time and the start drop count
// is reached) -> [delay estimating] -> pushing. Every open of the source is a new session: a video
// stream starts each one on a key frame. Every stamp of a session comes from the source's one time
// base, so that its streams stay in step.
// The worker owns the reader, the stream table (container index -> stReadStreamState) and the
// thread map (thread id -> StrmPrcsThdPrmtrs).
// Lock order: thread map, then a record's lock, then its queue; the stream table alone or inside
// a record's lock; a stream state's mutex innermost. Per package the main thread takes only its
// stream thread's queue lock, and a stream thread takes its whole queue at once.
class CMultiStrmMediaReadWorker : public CTYXWorker
{
public:
    CMultiStrmMediaReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks);
    ~CMultiStrmMediaReadWorker() override;

    int32_t Initialize(uint8_t flag, int32_t value) override;
    void unInitialize() override;
    // Creates the reader, opens the source once and keeps the configured streams it really has.
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    // Sends the status to the output streams the source carries: a configured stream that the
    // source lacks gets nothing, not even the source's status.
    int32_t SendStatusPaket2Consumers(int32_t statusCode, int64_t value) override;
    // The delay in ms of the stream with that output id, -256 when no stream has it.
    int32_t GetUpstreamDelay(uint32_t outputStreamId) override;
    // Rebuilds the stream table and publishes the output parameters after every open.
    virtual int32_t OnMediaSourceOpenned(bool notify);
    // Makes the worker's reader; none when the configuration names no source it can read.
    virtual CMediaSourceReader *CreateReader(const stMediaSourceReadWorkerConfig &config) = 0;
    virtual int32_t GetStreamDelayParam(uint8_t piADTC, int32_t configuredDelay) = 0;
    // Sub number (0: all streams) -> the stream's counters.
    virtual std::map<int16_t, stReadStreamCounts> GetStreamStatisticsA(int16_t subNo);
    virtual std::map<int16_t, stReadStreamCounts> GetStreamStatisticsB(int16_t subNo);

    // Waits after the end of a stream and after a read error before the source is opened again.
    void SetReopenWaits(uint32_t afterEndMs, uint32_t afterErrorMs);
    void SetReopenFlags(bool afterEnd, bool afterError);
    // Seconds during which a crucial stream's source is retried in CopyInConfiguration (0: none).
    void SetConnectRetryPeriod(int32_t seconds) { m_connectRetrySeconds = seconds; }
    CMediaSourceReader *Reader() const { return m_reader.get(); }
    // True when the configuration's look at the source found configured streams in it; false when
    // the source could not be opened then (its streams are kept for a later open all the same).
    bool StreamsFoundAtConfiguration() const { return m_streamsFound; }
    int64_t BaseTimeUTC() const { return m_baseTimeUTC.load(); }
    // The source path as it may be logged and reported (a password masked).
    std::wstring SourcePathForLog() const;
    // Packages waiting in the stream threads' queues or being handled by them.
    int64_t PendingStreamPackages();

protected:
    // Main thread operations of the derived workers.
    int32_t CreateStrmProcThrdsByConfig();
    int32_t AddNewSSPThread(int16_t subNo, int16_t containerIndex, int32_t mediaType);
    // Hands a copy of the package to its stream thread; the thread id, 0 when no thread serves it.
    int32_t QueuePaketToStreamThread(const FramePackage &package);
    // The same with the package's own host data, which a thread that takes it owns from then on
    // (the package is left empty); data that no thread took stays the caller's.
    int32_t HandPaketToStreamThread(FramePackage &package);
    // Reads what a live source had buffered; the number of streams caught up or a negative code,
    // with the packets read in packetsRead.
    int32_t SkipStreamBacklogs(int64_t &packetsRead);
    int32_t SkipBacklogs(int64_t &packetsRead) { return SkipStreamBacklogs(packetsRead); }
    int32_t GetMSBaseTimeByNTP();
    // Finds base times by the arrival of packets (all streams when wanted is empty); the number
    // found or a negative code (TYX_SBT_END_OF_STREAM, TYX_SBT_NO_ENTRY, a read error).
    int32_t GetStrmBaseTimeInPktsRcving(const std::vector<int16_t> &wanted, std::vector<int16_t> *found);
    bool HasStreamBaseTime(int16_t containerIndex);
    bool AllStreamsHaveBaseTime();
    // True when every stream the configuration asks for (every stream, when none is configured)
    // has its base time.
    bool AwaitedStreamsHaveBaseTime();
    // Finds the base times of the awaited streams by the arrival of their packets; a stream that
    // gives none within one search is given up and starts with its next package, as does every
    // stream nobody configured. What the stream threads hold is handled (dropped, for want of a
    // base) first, so that nothing read before the search is sent after it. The search's result.
    int32_t FindBaseTimesByArrival();
    // The one time base of every stream of the source, for this open: media time mediaUs (µs) is
    // on the program clock at clockUs. The first one given holds; stamping uses it. Without one,
    // a base-time search or the first package stamped gives it.
    void SetSourceTimeBase(int64_t clockUs, int64_t mediaUs);
    bool HasSourceTimeBase() const { return m_sourceBase && m_sourceBase->IsSet(); }
    // Waits up to timeoutMs for the stream threads to send what they hold, drops the rest, and
    // sends the status, so that no data package of the stretch follows it.
    int32_t SendStatusAfterStreams(int32_t statusCode, int64_t value, uint32_t timeoutMs = TYX_STREAM_DRAIN_MS);
    // Keeps a copy of a key frame as its stream's reserved key frame; the container index, -1 for
    // a package without one, -2 for a stream not in the table.
    int32_t ReserveKeyFrame(const FramePackage &package);
    void ReportReaderEvent(int32_t type);
    // Counts a package read by the main thread in its stream's counters; false when no stream
    // has it.
    bool CountReadPackage(const FramePackage &package);
    void SetStreamState(int32_t code) { SetStateOfAllStreams(code); }
    bool ExitRequested(uint32_t timeoutMs = 0) { return m_exitEvent->Wait(timeoutMs) == TYX_WAIT_OBJECT_0; }
    // Waits with the given time-out on the exit, start-pushing and stop-pushing events; 0, 1, 2
    // for the event, or TYX_WAIT_TIMEOUT.
    int32_t WaitWorkerEvents(uint32_t timeoutMs);
    std::shared_ptr<stReadStreamState> FindStream(int16_t containerIndex);
    std::shared_ptr<stReadStreamState> FindStreamByOutput(uint32_t outputId);

    // Stamping, for the stream threads: from the source's start time (baseUTC, when above 0) or
    // through the mapping of the source's clock.
    void TimeStamp2NTP(stReadStreamState &state, FramePackage &package, const stSourceMapping &mapping, int64_t baseUTC);
    void TimeStampByLocalClock(stReadStreamState &state, FramePackage &package, const stSourceMapping &mapping);

    int32_t m_msType = 0;
    std::unique_ptr<CMediaSourceReader> m_reader;
    std::wstring m_sourcePath;               // as opened (credentials included)
    uint8_t m_useNTP = 0;
    uint8_t m_useUTC = 0;
    std::atomic<int64_t> m_baseTimeUTC{0};
    std::atomic<uint8_t> m_openedInInit{0};
    uint8_t m_reopenAfterEnd = 1;
    uint32_t m_reopenWaitAfterEndMs = 10000;
    uint8_t m_reopenAfterError = 1;
    uint32_t m_reopenWaitAfterErrorMs = 10000;
    int32_t m_dropCountVideo = 0;
    int32_t m_dropCountAudio = 0;
    uint8_t m_skipBacklogs = 1;
    struct stBackupCodec
    {
        int32_t mediaType = -1;
        int32_t codecId = 0;
    };
    std::map<int16_t, stBackupCodec> m_backupCodecIds;  // stream number -> last valid codec id
    std::map<int16_t, stTYXStreamConfig> m_streamConfigs; // configured stream number -> record
    CRWLockedMap<int16_t, std::shared_ptr<stReadStreamState>> m_streamTable;
    CRWLockedMap<int32_t, std::shared_ptr<StrmPrcsThdPrmtrs>> m_threadMap;
    int32_t m_connectRetrySeconds = 0;
    bool m_keepOpenAfterInit = false;       // the reading thread goes on with the first open
    bool m_streamsFound = false;            // the configuration's open found configured streams
    bool m_followSourceClock = false;       // a live source: its clock's rate and jumps are followed

private:
    struct stStreamThreadState;
    struct stBaseTimeEntry;
    struct stBacklogEntry;

    uint32_t SingleStreamProcThread();
    uint32_t StreamThreadPass(stStreamThreadState &thread);
    // True when packages came within a short spin, for a thread that was just busy.
    static bool SpinForPackages(const StrmPrcsThdPrmtrs &record, std::chrono::steady_clock::time_point lastBatch);
    // Takes the thread's stream from its record; false while it serves none.
    bool FollowRecord(stStreamThreadState &thread, StrmPrcsThdPrmtrs &record);
    void HandleStreamPackage(stStreamThreadState &thread, const std::shared_ptr<stReadStreamState> &state,
                             FramePackage &package);
    // Adds one sample to the stream's delay estimate; true when the estimate is done.
    bool EstimateDelay(stStreamThreadState &thread, stReadStreamState &state);
    // Sends the reserved key frame ahead of the package; false when there is none.
    bool PushReservedKeyFrame(stStreamThreadState &thread, const std::shared_ptr<stReadStreamState> &state,
                              const FramePackage &next);
    // Stamps the package and sends it, after what the thread held; or holds it while its source
    // settles (it starts, or its stamps jumped).
    void StampAndSend(stStreamThreadState &thread, const std::shared_ptr<stReadStreamState> &state, FramePackage &package);
    // Sends the held packages whose time line has settled, a wait ended by nowUs (the program
    // clock, the arrival of the package at hand; INT64_MAX: at once) included.
    void ReleaseHeld(stStreamThreadState &thread, int64_t nowUs);
    void SendStamped(stStreamThreadState &thread, stReadStreamState &state, FramePackage &package,
                     const stSourceMapping &mapping, int64_t baseUTC);
    // The source's mapping onto the program clock for a package of the stream; a source without
    // one yet takes it from this package: its media time is now, less the stream's delay. A live
    // source's package that came through the stream thread's queue tells its clock its arrival.
    stSourceClockStep SourceClockStepOf(stReadStreamState &state, const FramePackage &package);
    std::shared_ptr<StrmPrcsThdPrmtrs> FindThreadRecord(int32_t threadId);
    // The configuration of a stream number when it is of the stream's media type; a number
    // configured for the other type is logged and gives none.
    const stTYXStreamConfig *ConfigOfStream(int16_t number, int32_t mediaType);
    // Gives the thread made for this stream number and kind the container index of this open; its
    // id, 0 when there is none.
    int32_t PlaceStreamThread(int16_t subNo, int32_t kind, int16_t containerIndex);
    void KeepFoundStreams(const stMediaSourceReadWorkerConfig &source, const StreamRequestMap &requests, int32_t mediaType);
    void GiveUpBaseTime(stReadStreamState &state, bool awaited);
    bool StreamThreadsIdle();
    // Waits up to timeoutMs for the stream threads to handle what they hold, then drops the rest.
    void DrainStreamThreads(uint32_t timeoutMs, int32_t statusCode);
    int64_t DropQueuedPackages();
    std::shared_ptr<StrmPrcsThdPrmtrs> StartStreamThread(int16_t subNo, int16_t containerIndex, uint32_t outputId,
                                                         int32_t kind, const stTYXStreamConfig *config);
    stStreamParams CopyAVStrmInfoToThdIOPam(int16_t number, const stMediaStreamInfo &info);
    int32_t OpenForConfiguration(const std::string &path, StreamRequestMap &video, StreamRequestMap &audio,
                                 bool crucial);
    int32_t GetSBTBySkipPkts(std::vector<stBaseTimeEntry> &entries);
    // Counts a packet of a stream whose backlog is skipped (a key frame is kept); true when this
    // read made the stream caught up.
    bool TakeBacklogPacket(stBacklogEntry &entry, const FramePackage &package, uint32_t readMs);
    // Anchors the source on the packet the base-time search found for the entry (offset: the
    // time base that puts it its delay before its arrival), unless it is anchored already.
    void AnchorSource(stSourceTimeBase &base, const stBaseTimeEntry &entry, int64_t offset);
    int32_t StreamDropCount(int32_t mediaType) const;

    // A stream's state and the record of its thread, as the main thread found them this session.
    struct stStreamRoute
    {
        std::shared_ptr<stReadStreamState> state;
        std::shared_ptr<StrmPrcsThdPrmtrs> record;
    };
    // The route of a container index; found under the table locks once a session (main thread).
    const stStreamRoute &RouteOf(int16_t containerIndex);
    // Puts a package whose data the worker owns into its stream thread's queue; the thread id, 0
    // when no thread took it (the data is then still the caller's).
    int32_t EnqueueForStreamThread(FramePackage &package);

    std::atomic<bool> m_pushMarkCleared{false};
    std::atomic<uint32_t> m_sessionNo{0};   // opens of the source so far
    std::map<int16_t, stStreamRoute> m_routes; // main thread only
    uint32_t m_routesSession = 0;
    // The time base of the current open (main thread); each stream state holds the one of its own
    // open, which its thread stamps with.
    std::shared_ptr<stSourceTimeBase> m_sourceBase;
};
