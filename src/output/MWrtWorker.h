#pragma once

#include "core/TYXConfigRecords.h"
#include "core/TYXWorker.h"
#include "host/GlobalVars.h"
#include "output/RecordFiles.h"
#include "output/StreamWriter.h"
#include "output/WrittenStreamState.h"
#include "platform/Event.h"
#include "platform/FileHold.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct stMediaWriteWorkerConfig;

// Step codes of a media writer (read by the status commands: 22, 25, 26, 29 and 31 count as writing).
constexpr uint16_t TYX_MW_STEP_OPENING = 20;
constexpr uint16_t TYX_MW_STEP_OPENED = 22;
constexpr uint16_t TYX_MW_STEP_REOPENING = 24;
constexpr uint16_t TYX_MW_STEP_SYNCHRONIZING = 25;
constexpr uint16_t TYX_MW_STEP_IDLE = 27;
constexpr uint16_t TYX_MW_STEP_WRITING = 29;
constexpr uint16_t TYX_MW_STEP_CLOSED = 30;
constexpr uint16_t TYX_MW_STEP_CLOSING = 31;
constexpr uint16_t TYX_MW_STEP_OPEN_FAILED = 44;

// Stream states of a media writer's statistics entries.
constexpr int32_t TYX_MW_STREAMS_RUNNING = 0;
constexpr int32_t TYX_MW_STREAMS_ERROR = 0x1001;
constexpr int32_t TYX_MW_STREAMS_OPEN_FAILED = 0x1002;
constexpr int32_t TYX_MW_STREAMS_CLOSED = 0x1101;
constexpr int32_t TYX_MW_STREAMS_CACHING = 0x1201;
constexpr int32_t TYX_MW_STREAMS_SYNCHRONIZING = 0x1204;

// Results of the start synchronisation.
constexpr int32_t TYX_MW_SYNC_EXIT = -1;
constexpr int32_t TYX_MW_SYNC_TIMEOUT = -2;
constexpr int32_t TYX_MW_SYNC_IMPOSSIBLE = -4;

// Results of WritePaketToMedia besides 0 and the stream writer's errors.
constexpr int32_t TYX_MW_WRITE_DISCARDED = -8;     // before the stream start, or out of order
constexpr int32_t TYX_MW_WRITE_BAD_DURATION = -16;
constexpr int32_t TYX_MW_WRITE_NO_DATA = -64;

// The last stage of the pipeline: takes coded video and audio packages from its inputs, waits to be
// told to start pushing, aligns every input on a common video key frame, opens its output (a record
// file, an RTSP or an RTMP push) and writes the packages with rebased time stamps until it is told
// to stop, its inputs go away or its output changes. A record writer cuts its file into segments
// at a common key frame, lists every finished file and watches its folder and disk. An input
// that delivered nothing when the output started, or that its container cannot hold, is left out
// of it; the first kind is taken in by a cut at the next common key frame once it delivers (a
// record file is cut, a push reopened).
//
// Main thread: idle (27) --start-pushing--> synchronising (25) --> opening (20) --> open (22)
// --> writing (29) [--cut due--> closing (31) --> old file closed (30) --> new file (22/25/29)]
// --stop-pushing--> closed (30) --> idle (27). Input loss, a write failure or an open failure go
// back to synchronising (open failures after 30 s, or at once on a start command or a new
// destination; what queued during that wait is dropped). Every stream of an output counts its time
// stamps from one origin, the start its synchronisation found.
//
// Locks: the output lock (stream writer, output maps, written states) is taken first, by the main
// thread around every use of the output and by ChangeOutput; then the input-link lock; then a
// link's critical section, which the producer also takes to append. Packages are popped under the
// link section and written outside it, so a slow push never holds up the producer.
class CTYXMediaWriteWorker : public CTYXWorker, public CTYXCaseInfoTarget
{
public:
    using WallClock = std::function<int64_t()>; // seconds since 1970
    using DiskSpaceSource = std::function<int32_t(const std::string &path, uint64_t &freeBytes, uint64_t &totalBytes)>;

    CTYXMediaWriteWorker(uint32_t workerId, const InputLinkMap *inputLinks);
    ~CTYXMediaWriteWorker() override;

    // ---- worker operations ----
    // Makes the stream writer by MWType and copies the record settings; -1 without record.
    int32_t CopyInConfiguration(const stTYXWorkerConfig *config) override;
    // Checks the record folder and removes out-of-date recordings; the number of output streams
    // (0), or -1 (no folder, folder not accessible, no stream writer).
    int32_t Initialize(uint8_t flag, int32_t value) override;
    // Finishes an open output (trailer, list line) and drops the stream writer.
    void unInitialize() override;
    uint32_t WorkingFunc() override;
    StreamStatisticsMap GetInputStatistics(uint32_t) const override { return {}; }
    StreamStatisticsMap GetOutputStatistics(uint32_t) const override { return {}; }
    // Case number, case name and cycle number of the next record files; a text that could lead out
    // of the record folder is refused (logged) and the earlier one kept. Any thread.
    void SetCaseTexts(const std::wstring &caseNumber, const std::wstring &caseName,
                      const std::wstring &cycleNumber) override;

    // ---- output ----
    // Opens the output and adds one stream per input stream: the number of output streams, or -1
    // (no writer), -2 (no input parameters, no record file name), or the writer's error.
    int32_t OpenOutput();
    // Replaces the push destination (remote-command thread): 0 once the new destination is open,
    // -1 for an empty URL, a URL of another protocol, a record writer or no writer, else the open
    // or prepare error. The next
    // pass aligns the inputs again, so the new destination starts on a key frame.
    int32_t ChangeOutput(const std::string &url);
    // Rebases the package to the output stream's time and writes it: 0, TYX_MW_WRITE_* or the
    // writer's result (TYX_WRITER_PACKAGE_REFUSED: that package could not be written, and is not
    // tried again).
    int32_t WritePaketToMedia(const FramePackage &package, int64_t streamStartTime, WrittenStreamState &state,
                              int32_t timeBaseNum, int32_t timeBaseDen, bool first, int32_t retries);
    // Whether a result of WritePaketToMedia dropped that package alone: the output goes on.
    static bool IsPackageDiscarded(int32_t result)
    {
        return result == TYX_MW_WRITE_DISCARDED || result == TYX_MW_WRITE_BAD_DURATION ||
               result == TYX_MW_WRITE_NO_DATA || result == TYX_WRITER_PACKAGE_REFUSED;
    }
    // Aligns every input on the earliest of the latest video key frames: the number aligned, or
    // TYX_MW_SYNC_*; startTime and the aligned ids are filled.
    int32_t SynchronizeStreamsByVKeyFrameSimple(int64_t &startTime, int32_t state, std::vector<uint32_t> &aligned);
    // Queues a writer event (3, 21, 22, 33, 34); -1 for any other type.
    int32_t NotifyWriterEvent(int32_t type, int64_t value, const std::string &reason);

    // ---- input links (shared input-link lock) ----
    int32_t FlushInputQueues();
    // The inputs fed by media-source readers; connected receives how many of them are connected.
    int32_t CountConnectedSources(int32_t &connected);
    int32_t ResetInputLinkTimes();
    int32_t ClearReservedFrames();

    // ---- record files ----
    std::wstring MakeRecordFileName();
    // Appends the file's line to its folder's list: 0, -1 (no current file), -2 (file missing; the
    // path is cleared), -4, -8.
    int32_t SaveRecordFileInfoW(std::wstring &path);
    int32_t CleanUpOutOfDateRecords();
    // Free megabytes of the record folder's disk (total in totalMB), or a negative code.
    int64_t GetRecordDiskSpace(int64_t &totalMB);
    // Copies what the inputs hold into their reserved queues; videoStreams receives the video
    // inputs that have a key frame reserved.
    int32_t ReserveFrames4AllStreams(std::set<uint32_t> &videoStreams);
    int32_t SynchronizeStreamsByReservedFramesEx(int32_t videoCount, int64_t &startTime, std::vector<uint32_t> &aligned);

    // ---- state, for the status commands and tests ----
    uint16_t GetInputLostCode() const { return m_inputLostCode.load(); }
    std::wstring GetRecordFileNameW() const;
    std::wstring GetDestination() const;
    bool IsOutputOpened();
    std::wstring GetCaseNumber() const;
    std::wstring GetCaseName() const;
    std::wstring GetCycleNumber() const;

    // ---- injection (tests) ----
    void SetWallClock(WallClock clock);
    void SetDiskSpaceSource(DiskSpaceSource source);
    // Caps every wait of the main thread, so that 1 s and 30 s retries pass at once; the last
    // wait the loop asked for stays readable.
    void SetMaxWaitMs(uint32_t maxWaitMs) { m_maxWaitMs = maxWaitMs; }
    uint32_t LastRequestedWaitMs() const { return m_lastRequestedWaitMs.load(); }
    // Replaces the stream writer made by CopyInConfiguration.
    void SetStreamWriter(std::unique_ptr<CStreamWriter> writer);

private:
    enum class EPass { Continue, Leave };
    enum class ESweepEnd { None, WriteFailed, InputLost };
    struct stSyncStream;

    // Thread steps.
    void OnThreadStart();
    void OnStartPushing();
    void OnStopPushing();
    // Ends the wait after a failed open: what queued meanwhile is stale and dropped, and the
    // output starts again on a fresh common key frame.
    void EndReopenWait();
    // An output change: the next pass aligns every input again and opens the output from there.
    void Resynchronize();
    EPass WorkPass();
    EPass RunStartSynchronisation();
    bool OpenOutputInPass();
    EPass WriteSweep();
    // Writes one popped package of a link; why the sweep must end, if it must.
    ESweepEnd WriteSweptPackage(uint32_t streamId, const FramePackage &package, int16_t index,
                                const stTimeBase &timeBase, int64_t streamStartTime);
    void FlushLinkQueue(uint32_t streamId, stWorkerInputLink &link);
    // Sound is not written past the picture written so far, nor, once the sound's sources have
    // stopped, the picture past the sound they delivered: an output ends both together whenever
    // it ends. Under the input-link and output locks.
    // Where the picture written so far ends (µs, the earliest end over the video inputs): none
    // before every video input wrote, the largest time without video inputs.
    std::optional<int64_t> PictureEnd() const;
    // Where the sound ends once the producers of every sound input have stopped (µs, the end of
    // what they delivered); the largest time while any of them may deliver more, or without sound.
    int64_t FinalSoundEnd() const;
    // Whether the front package waits for the other streams to reach its time (none: they have
    // not started), for five seconds at most.
    bool IsHeldBack(const FramePackage &front, const std::optional<int64_t> &otherEnd) const;
    // Closes an open output with the reason (event 34); a record file is also listed (event 3).
    void FinishOutput(const char *reason, bool reportStop);
    void CloseWriter();
    // A write that cannot go on: the output is finished ("Writing failed.") and opened again later.
    void AbandonOutput();
    // The list line (once per file, when configured) and event 3; stopTexts picks the stop's log texts.
    void ListFinishedRecordFile(bool stopTexts);

    // Record files (MWrtWorkerRecord.cpp).
    bool CheckRecordFolder(bool report);
    void CheckRecordDiskSpace(bool report);
    // True when the disk can no longer take the index of the open file (it is then finished).
    bool IsDiskNearlyFull(bool opening);
    // Sets m_holdForCut; cuts when due (a record file's segment) or wanted (an input to take in)
    // and possible.
    EPass CutCheck();
    // Starts a cut when one is due or wanted: true when a cut is pending now.
    bool StartCutWhenWanted();
    bool IsSegmentDue() const;
    // What an input can start on: any package of a sound, a key frame of a picture.
    static bool IsStartable(const FramePackage &package, bool video);
    static bool HoldsStartable(const FramePackageQueue *queue, bool video);
    // The left-out inputs that have something to start on, queued or reserved: any package of a
    // sound, a key frame of a picture.
    std::set<uint32_t> JoiningInputs();
    EPass CutNow();
    void WriteQueuedIntoOldFile();
    bool WriteReservedIntoNewFile();
    // True when a queue is so full that holding back for a cut would make its producer drop.
    bool IsAnyQueueNearlyFull();
    int32_t VideoInputCount();

    // Synchronisation (MWrtWorkerSync.cpp).
    int32_t CollectExtremePoints(std::vector<stSyncStream> &streams);
    void TrimInvalidPackages(uint32_t streamId, FramePackageQueue &queue, bool reserved);
    // The latest key frame not after notAfter in the input's queue, or with earliest the first one
    // not before notBefore (when that is not after notAfter).
    bool FindKeyFrame(uint32_t streamId, bool reserved, int64_t notBefore, int64_t notAfter, bool earliest,
                      int64_t &dts);
    int32_t FindStartTime(const std::vector<stSyncStream> &streams, bool reserved, int64_t &startTime);
    int32_t AlignQueues(int64_t startTime, bool reserved, std::vector<uint32_t> &aligned);
    // Leaves the inputs that delivered nothing in the collection's time out of the output.
    void LeaveOutSilentInputs(std::vector<stSyncStream> &streams);
    bool IsLeftOut(uint32_t streamId) const { return m_leftOutStreams.count(streamId) != 0; }
    bool IsNotHeld(uint32_t streamId) const { return m_notHeldStreams.count(streamId) != 0; }
    // Not a stream of the open output: left out, or not held by its container.
    bool IsOutsideOutput(uint32_t streamId) const { return IsLeftOut(streamId) || IsNotHeld(streamId); }
    // The inputs a start or a cut waits for: those outside the output are not.
    int32_t InputsOfOutput()
    {
        return GetInputLinkCount() - static_cast<int32_t>(m_leftOutStreams.size() + m_notHeldStreams.size());
    }
    // A left-out input that now delivers something to start on asks for a cut that takes it in;
    // what it sent before that is dropped. One that the container cannot hold stays out. Main
    // thread, output lock held.
    void NoteDeliveringLeftOutInputs();
    // Keeps the input out of the output for good, its container cannot hold its codec: one log
    // line per input names it, its codec and the container.
    void LeaveOutNotHeld(uint32_t streamId, int32_t codecId);
    int32_t InputCodecId(uint32_t streamId);
    int64_t ToOutputUnits(int64_t microseconds, int32_t num, int32_t den) const;

    // Helpers.
    uint32_t Wait(uint32_t ms);
    int32_t WaitExit(uint32_t ms);
    bool ExitRequested() const { return m_exitEvent && m_exitEvent->IsSet(); }
    // While the thread's last close runs, for a bounded while: a push's network calls go on.
    bool IsInCloseGrace() const;
    int64_t NowSeconds() const { return m_wallClock(); }
    std::tm LocalTimeNow() const;
    bool IsRecordWriter() const { return m_mwType == TYX_WRITER_FILE; }
    void SetStep(uint16_t step) { m_workingStep = step; }
    // One output stream per input stream parameter record; the number added.
    int32_t AddOutputStreams(bool fromChange);
    bool LookUpOutput(uint32_t streamId, int16_t &index, stTimeBase &timeBase);
    bool IsPushUrlAcceptable(const std::string &url) const;
    std::string RootFolderUtf8() const;
    stRecordCaseTexts CaseTexts() const;

    // Configuration.
    int32_t m_mwType = 0;
    bool m_rtspOverTcp = false;
    bool m_requireAllInputs = true;
    stRecordFileConfig m_recordSettings;
    std::wstring m_configuredUrl;

    // Case texts (any thread, under m_caseMutex).
    mutable std::mutex m_caseMutex;
    std::wstring m_caseNumber = L"Undefined-Case-No";
    std::wstring m_cycleNumber = L"Cycle-No";
    std::wstring m_caseName = L"Undefined-Case-Name";

    // Output (under m_outputMutex).
    mutable std::mutex m_outputMutex;
    std::unique_ptr<CStreamWriter> m_streamWriter;
    std::map<int16_t, int64_t> m_writtenCounts;
    std::map<uint32_t, int16_t> m_outputStreamOfInput;
    std::map<int16_t, WrittenStreamState> m_writtenStates;
    std::map<uint32_t, stTimeBase> m_outputTimeBases;   // input stream id -> time base of its packages
    std::set<uint32_t> m_unmappedReported;
    // Inputs that had delivered nothing when the output started: the output goes on without
    // them and takes them in by a cut once they deliver. Changed by the main thread under the
    // output lock; a new start synchronisation waits for them again.
    std::set<uint32_t> m_leftOutStreams;
    // Inputs whose codec the container of the open output cannot hold; made again at every open
    // (by the main thread, or by an output change), under the output lock.
    std::set<uint32_t> m_notHeldStreams;
    std::set<uint32_t> m_notHeldReported;  // each named in the log once
    CFileHold m_recordHold;                // the current record file, until its list line is written
    std::string m_recordFileName;
    std::wstring m_recordFileNameW;
    std::wstring m_destination;
    int64_t m_timeOrigin = TYX_NOPTS_VALUE; // µs: the output time 0 of every stream of the open output
    bool m_recordFileListed = true;  // the current record file has its list line (or there is none)

    // Main thread state.
    int64_t m_recordStartTime = 0;   // program clock µs of the current file's start
    std::tm m_recordBeginTime{};
    uint32_t m_waitMs = 0;
    bool m_started = false;
    bool m_synchronized = false;
    int64_t m_syncStart = TYX_NOPTS_VALUE; // µs: the start the last synchronisation found, for the next output
    bool m_cutPending = false;
    bool m_cutDue = false;           // the pending cut ends a segment (else it only takes inputs in)
    bool m_joinWanted = false;       // a left-out input delivers: the next cut takes it in
    bool m_cutChecksReported = false;
    bool m_holdForCut = false;       // the sweep waits so that the old output ends where the new one begins
    bool m_cutOverlaps = false;      // this cut could not hold back: the files overlap
    bool m_folderFailureReported = false;
    uint32_t m_lastDiskCheckTick = 0;
    uint64_t m_bytesSinceDiskCheck = 0;
    std::set<uint32_t> m_reservedVideoStreams;
    std::set<uint32_t> m_cutJoiners;     // left-out inputs aligned in the reserved frames of this cut
    std::atomic<bool> m_resyncRequested{false};
    CEvent m_outputChangedEvent{false};  // a new destination is open: a reopen wait ends
    bool m_reopenWaiting = false;        // the main thread waits to open the output again
    std::atomic<uint16_t> m_inputLostCode{0};
    std::atomic<bool> m_inCloseGrace{false};
    std::atomic<uint32_t> m_closeGraceFrom{0}; // tick count

    // Injection.
    WallClock m_wallClock;
    DiskSpaceSource m_diskSpace;
    uint32_t m_maxWaitMs = 0xFFFFFFFFu;
    std::atomic<uint32_t> m_lastRequestedWaitMs{0};
};
