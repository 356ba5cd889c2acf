#include "output/MWrtWorker.h"

#include "output/MWrtWorkerLog.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/MultiStrmMRdrWorker.h"
#include "output/MP4Wrapper.h"
#include "output/RTMPWriter.h"
#include "output/RTSPWriter.h"
#include "platform/FileSystem.h"
#include "platform/Thread.h"

#include <algorithm>
#include <filesystem>

// The media write worker: configuration, initialisation, the main thread's loop and its work
// pass. Output opening and writing are in MWrtWorkerOutput.cpp, synchronisation and rebasing in
// MWrtWorkerSync.cpp, record files and cutting in MWrtWorkerRecord.cpp.

namespace {

constexpr uint32_t kIdleWaitMs = 10;
constexpr uint32_t kNoInputWaitMs = 100;
constexpr uint32_t kSyncRetryWaitMs = 1000;
constexpr uint32_t kReopenWaitMs = 30000;
constexpr uint16_t kInputLost = 24;
constexpr size_t kMaxCaseTextLength = 128;
constexpr uint32_t kCloseGraceMs = 1000;

} // namespace

CTYXMediaWriteWorker::CTYXMediaWriteWorker(uint32_t workerId, const InputLinkMap *inputLinks)
    : CTYXWorker(workerId, inputLinks, nullptr, TYX_KIND_MEDIA_WRITER, true, false),
      m_wallClock([] { return static_cast<int64_t>(std::time(nullptr)); }), m_diskSpace(GetDiskSpace)
{
    m_inputStreamTypes = 0x15;
    m_outputStreamTypes = 0x14;
}

CTYXMediaWriteWorker::~CTYXMediaWriteWorker()
{
    // A writer dropped without unInitialize still finishes its file.
    std::lock_guard<std::mutex> lock(m_outputMutex);
    CloseWriter();
    m_streamWriter.reset();
    ClearReservedFrames();
}

// ---- configuration ----

int32_t CTYXMediaWriteWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *writer = dynamic_cast<const stMediaWriteWorkerConfig *>(config);
    if (!writer)
        return -1;
    CTYXWorker::CopyInConfiguration(config);
    m_mwType = writer->MWType;
    m_rtspOverTcp = writer->RtspOverTcp != 0;
    m_requireAllInputs = writer->RequireAllInputs != 0;
    m_configuredUrl = writer->outputURL;
    if (writer->RecordSettings)
        m_recordSettings = *writer->RecordSettings;

    std::unique_ptr<CStreamWriter> created;
    const std::string url = WStringToString(writer->outputURL);
    switch (m_mwType) {
    case TYX_WRITER_FILE: created = std::make_unique<CMP4Wrapper>(); break;
    case TYX_WRITER_RTSP: created = std::make_unique<CRTSPWriter>(url, m_rtspOverTcp); break;
    case TYX_WRITER_RTMP: created = std::make_unique<CRTMPWriter>(url); break;
    default: break;
    }
    SetStreamWriter(std::move(created));
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        m_destination = writer->outputURL;
    }
    for (const stTYXWorkerItemInfo &item : writer->InputItems) {
        if (item.Id > 0)
            UpdateStatistics(true, static_cast<uint32_t>(item.Id), [](stStreamStatistics &) {});
    }
    return 0;
}

bool CTYXMediaWriteWorker::IsInCloseGrace() const
{
    return m_inCloseGrace.load() && NowTickMs() - m_closeGraceFrom.load() < kCloseGraceMs;
}

void CTYXMediaWriteWorker::SetStreamWriter(std::unique_ptr<CStreamWriter> writer)
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    CloseWriter();
    m_streamWriter = std::move(writer);
    // A push that hangs in the network gives up once the worker is asked to exit, after the short
    // while its last close may take to send what it still holds. A record file is not
    // interrupted: its trailer is written after the exit request, and without it the recording
    // cannot be played.
    if (m_streamWriter && m_streamWriter->GetWriterType() != TYX_WRITER_FILE)
        m_streamWriter->SetInterruptCheck([this] { return ExitRequested() && !IsInCloseGrace(); });
}

void CTYXMediaWriteWorker::SetCaseTexts(const std::wstring &caseNumber, const std::wstring &caseName,
                                        const std::wstring &cycleNumber)
{
    for (const std::wstring *text : {&caseNumber, &caseName, &cycleNumber}) {
        if (!IsSafeRecordNamePart(*text, kMaxCaseTextLength)) {
            MW_LOG(3, "SetCaseTexts", L"MediaWriteWorker[%s:%x] Case text(%s) refused: not a plain file name part!",
                   m_name.c_str(), m_workerId, text->c_str());
            return;
        }
    }
    std::lock_guard<std::mutex> lock(m_caseMutex);
    m_caseNumber = caseNumber;
    m_caseName = caseName;
    m_cycleNumber = cycleNumber;
}

stRecordCaseTexts CTYXMediaWriteWorker::CaseTexts() const
{
    std::lock_guard<std::mutex> lock(m_caseMutex);
    return stRecordCaseTexts{m_caseNumber, m_cycleNumber, m_caseName};
}

std::wstring CTYXMediaWriteWorker::GetCaseNumber() const
{
    return CaseTexts().caseNumber;
}

std::wstring CTYXMediaWriteWorker::GetCaseName() const
{
    return CaseTexts().caseName;
}

std::wstring CTYXMediaWriteWorker::GetCycleNumber() const
{
    return CaseTexts().cycleNumber;
}

void CTYXMediaWriteWorker::SetWallClock(WallClock clock)
{
    m_wallClock = clock ? std::move(clock) : WallClock([] { return static_cast<int64_t>(std::time(nullptr)); });
}

void CTYXMediaWriteWorker::SetDiskSpaceSource(DiskSpaceSource source)
{
    m_diskSpace = source ? std::move(source) : DiskSpaceSource(GetDiskSpace);
}

// ---- initialisation ----

int32_t CTYXMediaWriteWorker::Initialize(uint8_t flag, int32_t value)
{
    m_threadState = TYX_THREAD_INITIALIZING;
    {
        std::lock_guard<std::mutex> lock(m_caseMutex);
        m_caseNumber = L"Undefined-Case-No";
        m_cycleNumber = L"Cycle-No";
        m_caseName = L"Undefined-Case-Name";
    }
    if (IsRecordWriter()) {
        const std::wstring &root = m_recordSettings.RootFolder;
        if (root.empty())
            return -1;
        if (!IsUsableRecordRoot(root)) {
            MW_LOG(2, "Initialize", L"MediaWriteWorker[%s:%x] Warning: Recoding path(%s) refused: it has control characters!",
                   m_name.c_str(), m_workerId, root.c_str());
            return -1;
        }
        // A root that is not there yet is made, as the first file name would make it.
        std::error_code error;
        std::filesystem::create_directories(RootFolderUtf8(), error);
        if (!IsPathReadWritable(RootFolderUtf8())) {
            MW_LOG(2, "Initialize", L"MediaWriteWorker[%s:%x] Warning: Recoding path(%s) Checking failed!",
                   m_name.c_str(), m_workerId, root.c_str());
            return -1;
        }
        const int32_t cleaned = CleanUpOutOfDateRecords();
        if (cleaned > 0) {
            if (IsProcessScreenOutputOn())
                ConsolePrintf("%d out-of-date record files cleaned!\n", cleaned);
            MW_LOG(5, "Initialize",
                   L"MediaWriteWorker[%s:%x] %d record files cleaned based on current storage life(%d) setting.",
                   m_name.c_str(), m_workerId, cleaned, static_cast<int32_t>(m_recordSettings.StorageLife));
        }
        // A run that died (a crash, a kill, a power cut) left its last file unlisted, finished or not.
        if (m_recordSettings.SaveRecordFileList) {
            const int32_t entered = ListUnlistedRecordFiles(root);
            if (entered > 0)
                MW_LOG(3, "Initialize",
                       L"MediaWriteWorker[%s:%x] %d record files that an earlier run left unlisted entered in their list.",
                       m_name.c_str(), m_workerId, entered);
        }
    }
    CTYXWorker::Initialize(flag, value);
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (!m_streamWriter)
        return -1;
    m_threadState = TYX_THREAD_INITIALIZED;
    return m_streamWriter->GetStreamCount();
}

void CTYXMediaWriteWorker::unInitialize()
{
    {
        std::lock_guard<std::mutex> lock(m_outputMutex);
        FinishOutput(nullptr, false);
        m_streamWriter.reset();
    }
    ClearReservedFrames();
    CTYXWorker::unInitialize();
}

// ---- main thread ----

uint32_t CTYXMediaWriteWorker::Wait(uint32_t ms)
{
    m_lastRequestedWaitMs = ms;
    return std::min(ms, m_maxWaitMs);
}

int32_t CTYXMediaWriteWorker::WaitExit(uint32_t ms)
{
    return m_exitEvent->Wait(Wait(ms));
}

std::tm CTYXMediaWriteWorker::LocalTimeNow() const
{
    const std::time_t now = static_cast<std::time_t>(NowSeconds());
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

uint32_t CTYXMediaWriteWorker::WorkingFunc()
{
    if (m_name.empty()) {
        MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%x] Warning: MediaWriteWorker has no Alias!", m_workerId);
        return 1;
    }
    OnThreadStart();
    const int32_t tid = GetCurrentThreadIdInt();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_outputMutex);
            if (!m_streamWriter) {
                MW_LOG(3, "WorkingFunc",
                       L"MediaWriteWorker[%s:%x] thread[Tid=%d] Fatal error:StrmWriter wasn't created! exiting...",
                       m_name.c_str(), m_workerId, tid);
                break;
            }
        }
        const int32_t signalled = WaitForAnyEvent(
            {m_exitEvent.get(), m_startPushEvent.get(), m_stopPushEvent.get(), &m_outputChangedEvent}, Wait(m_waitMs));
        if (signalled == TYX_WAIT_OBJECT_0) {
            MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] thread[Tid=%d] received exit signal, exiting...",
                   m_name.c_str(), m_workerId, tid);
            break;
        }
        if (signalled == TYX_WAIT_OBJECT_0 + 1)
            OnStartPushing();
        else if (signalled == TYX_WAIT_OBJECT_0 + 2)
            OnStopPushing();
        else if (signalled == TYX_WAIT_OBJECT_0 + 3)
            EndReopenWait();
        else if (WorkPass() == EPass::Leave)
            break;
    }
    MW_LOG(6, "WorkingFunc", L"MediaWriteWorker[%s:%x] Thread[%d] is exiting...", m_name.c_str(), m_workerId, tid);
    {
        // Program exit and a stop of the worker finish the file like a stop command does; a push
        // still sends what its muxer holds (the last sound waits there for its picture).
        m_closeGraceFrom = NowTickMs();
        m_inCloseGrace = true;
        std::lock_guard<std::mutex> lock(m_outputMutex);
        FinishOutput(nullptr, false);
        m_streamWriter.reset();
    }
    if (IsProcessScreenOutputOn())
        ConsolePrintf("Media writing Thread[%d] is exiting...\n", tid);
    return 0;
}

void CTYXMediaWriteWorker::OnThreadStart()
{
    const int32_t tid = GetCurrentThreadIdInt();
    if (IsProcessScreenOutputOn())
        ConsolePrintf("Media-Writing Thread[%d] Started.\n", tid);
    MW_LOG(6, "WorkingFunc", L"MediaWriteWorker[%s:%x] Thread[%d] started.", m_name.c_str(), m_workerId, tid);
    if (IsRecordWriter()) {
        if (!IsPathReadWritable(RootFolderUtf8())) {
            MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%s] Warning: Recoding path(%s) Checking failed!",
                   m_name.c_str(), m_recordSettings.RootFolder.c_str());
            NotifyWriterEvent(TYX_EVENT_RECORD_PATH_FAILED, 0, std::string());
        }
        int64_t total = 0;
        const int64_t free = GetRecordDiskSpace(total);
        if (free < 0)
            MW_LOG(2, "WorkingFunc", L"MMediaWriteWorker[%s] Warning:Disk space Checking failed with err=%d returned!",
                   m_name.c_str(), static_cast<int32_t>(free));
        else if (free < m_recordSettings.SpaceWarnLimit)
            MW_LOG(3, "WorkingFunc",
                   L"MediaWriteWorker[%s] Warning:Free space(%d MB remain) of recoding-disk is under warning limit!",
                   m_name.c_str(), static_cast<int32_t>(free));
    }
    SetStateOfAllStreams(TYX_MW_STREAMS_CLOSED);
    m_threadState = TYX_THREAD_RUNNING;
    m_waitMs = 0;
    m_started = false;
    m_synchronized = false;
}

void CTYXMediaWriteWorker::OnStartPushing()
{
    MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] thread[Tid=%d] Recieved Start-pushing signal.", m_name.c_str(),
           m_workerId, GetCurrentThreadIdInt());
    m_started = true;
    EndReopenWait();
    if (!IsRecordWriter())
        return;
    if (!CheckRecordFolder(true))
        SetStateOfAllStreams(TYX_MW_STREAMS_ERROR);
    CheckRecordDiskSpace(true);
}

void CTYXMediaWriteWorker::OnStopPushing()
{
    MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%d] thread[Tid=%d] Received Stop-pushing signal.", m_name.c_str(),
           static_cast<int32_t>(m_workerId), GetCurrentThreadIdInt());
    m_started = false;
    SetStateOfAllStreams(TYX_MW_STREAMS_CLOSED);
    std::lock_guard<std::mutex> lock(m_outputMutex);
    if (m_streamWriter && m_streamWriter->IsOpened()) {
        SetStep(TYX_MW_STEP_CLOSING);
        CloseWriter();
        NotifyWriterEvent(TYX_EVENT_OUTPUT_STOPPED, 0, "On demand.");
    }
    SetStep(TYX_MW_STEP_CLOSED);
    if (IsRecordWriter())
        ListFinishedRecordFile(true);
    // The next start aligns the inputs again, so the next file starts on a key frame.
    m_synchronized = false;
    m_cutPending = false;
    ClearReservedFrames();
    SetStep(TYX_MW_STEP_IDLE);
    m_reopenWaiting = false;
    m_waitMs = 0;
}

void CTYXMediaWriteWorker::Resynchronize()
{
    // The new output starts on a common key frame of all inputs: a cut under way has no file to end.
    m_synchronized = false;
    m_cutPending = false;
    m_joinWanted = false;
    ClearReservedFrames();
}

void CTYXMediaWriteWorker::EndReopenWait()
{
    if (!m_reopenWaiting)
        return;
    m_reopenWaiting = false;
    m_synchronized = false;
    m_cutPending = false;
    FlushInputQueues();
    ClearReservedFrames();
    m_waitMs = 0;
}

CTYXMediaWriteWorker::EPass CTYXMediaWriteWorker::WorkPass()
{
    if (GetInputLinkCount() <= 0) {
        m_waitMs = kNoInputWaitMs;
        return EPass::Continue;
    }
    // The wait after a failed open has run out.
    EndReopenWait();
    if (m_resyncRequested.exchange(false))
        Resynchronize();

    int32_t connected = 0;
    const int32_t readers = CountConnectedSources(connected);
    if (readers != connected && m_requireAllInputs) {
        {
            std::lock_guard<std::mutex> lock(m_outputMutex);
            if (m_streamWriter && m_streamWriter->IsOpened()) {
                SetStateOfAllStreams(TYX_MW_STREAMS_CLOSED);
                FinishOutput("Input disconnected.", true);
            }
        }
        m_inputLostCode = kInputLost;
        ResetInputLinkTimes();
        FlushInputQueues();
        m_synchronized = false;
        m_cutPending = false;
        m_waitMs = kIdleWaitMs;
        return EPass::Continue;
    }
    if (!m_started) {
        SetStep(TYX_MW_STEP_IDLE);
        SetStateOfAllStreams(TYX_MW_STREAMS_CLOSED);
        FlushInputQueues();
        m_waitMs = kIdleWaitMs;
        return EPass::Continue;
    }
    if (!m_synchronized) {
        const EPass result = RunStartSynchronisation();
        if (result == EPass::Leave || !m_synchronized)
            return result;
    }

    std::lock_guard<std::mutex> lock(m_outputMutex);
    // An output change may have come while this pass waited for the lock.
    if (m_resyncRequested.exchange(false)) {
        Resynchronize();
        m_waitMs = 0;
        return EPass::Continue;
    }
    if (!m_streamWriter->IsOpened() && !OpenOutputInPass())
        return EPass::Continue;
    SetStep(TYX_MW_STEP_WRITING);
    if (IsRecordWriter() && IsDiskNearlyFull(false)) {
        m_waitMs = kIdleWaitMs;
        return EPass::Continue;
    }
    NoteDeliveringLeftOutInputs();
    const EPass cut = CutCheck();
    if (cut == EPass::Leave)
        return cut;
    if (m_holdForCut) {
        m_waitMs = kIdleWaitMs;
        return EPass::Continue;
    }
    return WriteSweep();
}

CTYXMediaWriteWorker::EPass CTYXMediaWriteWorker::RunStartSynchronisation()
{
    SetStep(TYX_MW_STEP_SYNCHRONIZING);
    SetStateOfAllStreams(TYX_MW_STREAMS_SYNCHRONIZING);
    int64_t startTime = 0;
    std::vector<uint32_t> aligned;
    const int32_t result = SynchronizeStreamsByVKeyFrameSimple(startTime, 0, aligned);
    int32_t inputs = 0;
    {
        // An output change on the remote-command thread may be adding the streams meanwhile.
        std::lock_guard<std::mutex> lock(m_outputMutex);
        inputs = InputsOfOutput();
    }
    const int32_t count = static_cast<int32_t>(aligned.size());
    m_waitMs = kSyncRetryWaitMs;
    if (result == TYX_MW_SYNC_EXIT)
        return EPass::Leave;
    if (result == TYX_MW_SYNC_TIMEOUT) {
        if (count == 0)
            return EPass::Continue;
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%d] Error:Only partly(%d of %d) input streams aligned while syncronizing timed out.",
               m_name.c_str(), static_cast<int32_t>(m_workerId), count, inputs);
        m_synchronized = !m_requireAllInputs;
        return EPass::Continue;
    }
    if (result == TYX_MW_SYNC_IMPOSSIBLE || result < 0)
        return EPass::Continue;
    if (result < inputs) {
        MW_LOG(3, "WorkingFunc",
               L"MediaWriteWorker[%s:%d] Error:Only partly(%d of %d) input streams aligned after syncronizing",
               m_name.c_str(), static_cast<int32_t>(m_workerId), result, inputs);
        if (m_requireAllInputs) {
            ResetInputLinkTimes();
            return EPass::Continue;
        }
    } else {
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%d] Input streams syncronizing successfully with %d of %d streams aligned!",
               m_name.c_str(), static_cast<int32_t>(m_workerId), result, inputs);
    }
    m_synchronized = true;
    m_waitMs = 0;
    return EPass::Continue;
}

bool CTYXMediaWriteWorker::OpenOutputInPass()
{
    MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%d]: Output wasn't open yet. Try open it now...", m_name.c_str(),
           static_cast<int32_t>(m_workerId));
    SetStep(TYX_MW_STEP_OPENING);
    const int32_t result = OpenOutput();
    if (result < 0) {
        SetStateOfAllStreams(TYX_MW_STREAMS_OPEN_FAILED);
        SetStep(TYX_MW_STEP_OPEN_FAILED);
        MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%d] Fator error: Output opening failed with error=%d. Retry later",
               m_name.c_str(), static_cast<int32_t>(m_workerId), result);
        SetStep(TYX_MW_STEP_REOPENING);
        m_synchronized = false;
        m_cutPending = false;
        FlushInputQueues();
        ClearReservedFrames();
        m_waitMs = kReopenWaitMs;
        m_reopenWaiting = true;
        return false;
    }
    MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%d] Output opened successfully.", m_name.c_str(),
           static_cast<int32_t>(m_workerId));
    SetStep(TYX_MW_STEP_OPENED);
    SetStateOfAllStreams(TYX_MW_STREAMS_RUNNING);
    NotifyWriterEvent(TYX_EVENT_OUTPUT_STARTED, 0, std::string());
    return true;
}

// ---- events ----

int32_t CTYXMediaWriteWorker::NotifyWriterEvent(int32_t type, int64_t value, const std::string &reason)
{
    stTYXEvent event;
    event.type = type;
    event.workerId = static_cast<int32_t>(m_workerId);
    event.attributes["WorkerName"] = stTYXEventValue::WText(m_name);
    switch (type) {
    case TYX_EVENT_RECORD_FILE_FINISHED: {
        const size_t slash = m_recordFileName.find_last_of("/\\");
        event.attributes["RecordFileName"] =
            stTYXEventValue::Text(slash == std::string::npos ? m_recordFileName : m_recordFileName.substr(slash + 1));
        break;
    }
    case TYX_EVENT_DISK_SPACE_LOW:
        event.attributes["FreeSpaceInMB"] = stTYXEventValue::Int32(static_cast<int32_t>(value));
        event.attributes["RootFolder"] = stTYXEventValue::WText(m_recordSettings.RootFolder);
        break;
    case TYX_EVENT_RECORD_PATH_FAILED:
        event.attributes["RootFolder"] = stTYXEventValue::WText(m_recordSettings.RootFolder);
        break;
    case TYX_EVENT_OUTPUT_STARTED:
    case TYX_EVENT_OUTPUT_STOPPED:
        if (!m_destination.empty())
            event.attributes["OutputName"] = stTYXEventValue::Text(WStringToString(m_destination));
        if (type == TYX_EVENT_OUTPUT_STOPPED && !reason.empty())
            event.attributes["Reason"] = stTYXEventValue::Text(reason);
        break;
    default:
        return -1;
    }
    return ReportTYXEvent(event);
}

// ---- input links ----

int32_t CTYXMediaWriteWorker::FlushInputQueues()
{
    return PopPaketsFromInputQueue(true, true, 0, 0);
}

int32_t CTYXMediaWriteWorker::CountConnectedSources(int32_t &connected)
{
    connected = 0;
    std::vector<uint32_t> producers;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (const auto &[streamId, link] : m_inputLinks.Items()) {
            const uint32_t producer = streamId & ~TYX_STREAM_BITS;
            if (producer >= 0x01000001u && producer <= 0x01FFFFFEu)
                producers.push_back(producer);
        }
    }
    int32_t readers = 0;
    for (uint32_t producer : producers) {
        const auto record =
            std::dynamic_pointer_cast<stMediaReadWorkerInstanceInfo>(CTYXGVMS::GetWorkerInstanceById(producer));
        if (!record)
            continue;
        ++readers;
        // Any demuxing source counts as connected while its reader is open; a source without a
        // connection of its own (a capture device) always does.
        const CMediaSourceReader *reader = record->SourceReader.get();
        if (!reader) {
            if (const auto *worker = dynamic_cast<const CMultiStrmMediaReadWorker *>(record->Worker.get()))
                reader = worker->Reader();
            else {
                ++connected;
                continue;
            }
        }
        if (reader && reader->IsOpened())
            ++connected;
    }
    return readers;
}

int32_t CTYXMediaWriteWorker::ResetInputLinkTimes()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    for (auto &entry : m_inputLinks.Items())
        entry.second.streamStartTime = 0;
    m_recordStartTime = 0;
    m_recordBeginTime = std::tm{};
    return static_cast<int32_t>(m_inputLinks.Items().size());
}

int32_t CTYXMediaWriteWorker::ClearReservedFrames()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    int32_t released = 0;
    for (auto &entry : m_inputLinks.Items()) {
        if (!entry.second.reservedFrames)
            continue;
        for (FramePackage &package : *entry.second.reservedFrames) {
            FreeFramePackage(package);
            ++released;
        }
        entry.second.reservedFrames->clear();
    }
    return released;
}

// ---- state ----

std::wstring CTYXMediaWriteWorker::GetRecordFileNameW() const
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    return m_recordFileNameW;
}

std::wstring CTYXMediaWriteWorker::GetDestination() const
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    return m_destination;
}

bool CTYXMediaWriteWorker::IsOutputOpened()
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    return m_streamWriter && m_streamWriter->IsOpened();
}

std::string CTYXMediaWriteWorker::RootFolderUtf8() const
{
    return WStringToString(m_recordSettings.RootFolder);
}
