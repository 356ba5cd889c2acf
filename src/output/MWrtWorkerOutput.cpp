#include "output/MWrtWorker.h"

#include "output/MWrtWorkerLog.h"

#include "core/TYXUtils.h"
#include "host/TYXEvent.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <thread>

// Opening, changing and closing the output of a media writer, and the write sweep. Every function
// here runs with the output lock held (ChangeOutput takes it itself).

namespace {

constexpr int64_t kSliceUs = 100000;        // stream time one input is served before the next
// The longest one stream waits for another: a stream that stalls longer does not hold it up.
constexpr int64_t kHoldUs = 5000000;
constexpr uint32_t kChangeOutputPauseMs = 200;
constexpr uint16_t kInputLost = 24;
constexpr size_t kMaxUrlLength = 2048;

// The end (pts + duration, µs) of the last package with data in the queue, or TYX_NOPTS_VALUE.
int64_t QueuedEnd(const stWorkerInputLink &link)
{
    CCsLock lock(*link.queueLock);
    for (auto package = link.queue->rbegin(); package != link.queue->rend(); ++package) {
        const int64_t time = package->pts != TYX_NOPTS_VALUE ? package->pts : package->dts;
        if (package->nLength > 0 && time != TYX_NOPTS_VALUE)
            return time + package->duration;
    }
    return TYX_NOPTS_VALUE;
}

// The producer was bound once and its thread no longer runs (nor waits to, suspended), or it is
// gone: nothing more comes on the link. The stop releases a stopped worker, which leaves it in the
// state of a worker never started.
bool HasProducerStopped(const stWorkerInputLink &link)
{
    const std::weak_ptr<CTYXWorker> none;
    if (!link.producer.owner_before(none) && !none.owner_before(link.producer))
        return false;
    const std::shared_ptr<CTYXWorker> producer = link.producer.lock();
    if (!producer)
        return true;
    const uint16_t state = producer->GetThreadState();
    return state != TYX_THREAD_CREATED && state != TYX_THREAD_RUNNING;
}

} // namespace

// ---- opening ----

int32_t CTYXMediaWriteWorker::AddOutputStreams(bool fromChange)
{
    StreamParamsMap inputs;
    {
        std::lock_guard<std::mutex> lock(m_paramsMutex);
        inputs = m_inputParamsMap;
    }
    m_outputStreamOfInput.clear();
    m_writtenStates.clear();
    m_writtenCounts.clear();
    m_outputTimeBases.clear();
    m_unmappedReported.clear();
    m_notHeldStreams.clear();
    m_timeOrigin = TYX_NOPTS_VALUE;
    const std::wstring destination = m_destination;
    int32_t added = 0;
    for (const auto &[streamId, params] : inputs) {
        if (IsLeftOut(streamId))
            continue;
        stWriterStreamParams writerParams = stWriterStreamParams::FromStreamParams(params);
        const int32_t index = m_streamWriter->addNewStream(writerParams, 0);
        if (index == TYX_WRITER_STREAM_NOT_HELD) {
            LeaveOutNotHeld(streamId, writerParams.codecId);
            continue;
        }
        if (index < 0) {
            if (fromChange)
                MW_LOG(3, "ChangeOutput", L"[WID=%d]Dest media(URL=%s) stream adding failed with error=%d.",
                       static_cast<int32_t>(m_workerId), destination.c_str(), index);
            else
                MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x]Dest media(URL=%s) stream adding failed with error=%d.",
                       m_name.c_str(), m_workerId, destination.c_str(), index);
            continue;
        }
        const int32_t rate = params.mediaType == 1 ? params.sampleRate
                                                   : static_cast<int32_t>(std::lround(av_q2d(writerParams.frameRate)));
        if (fromChange)
            MW_LOG(6, "ChangeOutput", L"[WID=%d]Dest media(URL=%s) stream[%d] added with frameRate=%d. (or samplerate=%d).",
                   static_cast<int32_t>(m_workerId), destination.c_str(), index, rate, rate);
        else
            MW_LOG(6, "OpenOutput",
                   L"MediaWriteWorker[%s:%x]Dest media(URL=%s) stream[%d] added with frameRate=%d. (or samplerate=%d).",
                   m_name.c_str(), m_workerId, destination.c_str(), index, rate, rate);
        const auto outputIndex = static_cast<int16_t>(index);
        m_outputStreamOfInput[streamId] = outputIndex;
        m_writtenStates[outputIndex] = WrittenStreamState();
        m_writtenStates[outputIndex].outputIndex = outputIndex;
        m_writtenCounts[outputIndex] = 0;
        stTimeBase timeBase = params.timeBase;
        if (timeBase.num <= 0 || timeBase.den <= 0) {
            // Package times are µs; without a time base of its own the stream keeps them.
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x] Input stream[%X] has no valid time base(%d/%d), use 1/1000000.",
                   m_name.c_str(), m_workerId, streamId, timeBase.num, timeBase.den);
            timeBase = stTimeBase{1, 1000000};
        }
        m_outputTimeBases[streamId] = timeBase;
        ++added;
    }
    return added;
}

int32_t CTYXMediaWriteWorker::OpenOutput()
{
    if (!m_streamWriter)
        return -1;
    {
        std::lock_guard<std::mutex> lock(m_paramsMutex);
        if (m_inputParamsMap.empty())
            return -2;
    }
    CloseWriter();
    int32_t result = 0;
    if (IsRecordWriter()) {
        const std::wstring name = MakeUniqueRecordPath(MakeRecordFileName());
        if (name.size() <= 3) {
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x] Invalid new record file name (%s) got!", m_name.c_str(),
                   m_workerId, name.c_str());
            return -2;
        }
        if (IsDiskNearlyFull(true))
            return -ENOSPC;
        m_destination = name;
        const std::string utf8 = WStringToString(name);
        result = m_streamWriter->Open(&utf8, nullptr, 0);
        if (result < 0) {
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x]Record file(%s) opening failed with error=%d.",
                   m_name.c_str(), m_workerId, name.c_str(), result);
            return result;
        }
        m_recordFileName = utf8;
        m_recordFileNameW = name;
        m_recordBeginTime = LocalTimeNow();
    } else {
        const std::string url = WStringToString(m_destination);
        result = m_streamWriter->Open(&url, nullptr, 0);
        if (result < 0) {
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x]Dest media(URL=%s) opening failed with error=%d.",
                   m_name.c_str(), m_workerId, m_destination.c_str(), result);
            return result;
        }
    }
    const int32_t added = AddOutputStreams(false);
    if (added == 0) {
        // Nothing the container can hold: no empty file is made for it.
        CloseWriter();
        return -2;
    }
    if (IsRecordWriter()) {
        stWriterMetadata metadata;
        metadata.title = L"VideoRecord";
        const stRecordCaseTexts texts = CaseTexts();
        metadata.comment = texts.caseName + (texts.cycleNumber.empty() ? L"" : L":" + texts.cycleNumber);
        metadata.composer = L"Kestro Information Technology";
        result = m_streamWriter->PrepareForWriting(&metadata);
        if (result < 0) {
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x]Record file(%s) preparing failed with error=%d.",
                   m_name.c_str(), m_workerId, m_recordFileNameW.c_str(), result);
            CloseWriter();
            return result;
        }
        m_recordFileListed = false;
        // Held until its list line is written, so that no start of another writer lists it first.
        m_recordHold.Take(m_recordFileName);
        m_recordStartTime = NowUs();
    } else {
        result = m_streamWriter->PrepareForWriting(nullptr);
        if (result < 0) {
            MW_LOG(3, "OpenOutput", L"MediaWriteWorker[%s:%x]Dest media(URL=%s) preparing failed with error=%d.",
                   m_name.c_str(), m_workerId, m_destination.c_str(), result);
            return result;
        }
    }
    return added;
}

bool CTYXMediaWriteWorker::IsPushUrlAcceptable(const std::string &url) const
{
    if (url.size() > kMaxUrlLength)
        return false;
    for (char c : url) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    }
    // Only the writer's own protocol: any other scheme (file:, pipe:) would let a command write
    // where it likes.
    const std::string scheme = m_mwType == TYX_WRITER_RTSP ? "rtsp://" : "rtmp://";
    if (url.size() <= scheme.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i])
            return false;
    }
    return true;
}

int32_t CTYXMediaWriteWorker::ChangeOutput(const std::string &url)
{
    if (url.empty())
        return -1;
    std::lock_guard<std::mutex> lock(m_outputMutex);
    // A record file's path is made by the writer itself; a command may only move a push.
    if (!m_streamWriter || IsRecordWriter())
        return -1;
    if (!IsPushUrlAcceptable(url)) {
        MW_LOG(3, "ChangeOutput", L"[WID=%d]Dest media(URL=%s) refused: not a %s address!",
               static_cast<int32_t>(m_workerId), StringToWString(url).substr(0, 256).c_str(),
               m_mwType == TYX_WRITER_RTSP ? L"RTSP" : L"RTMP");
        return -1;
    }
    CloseWriter();
    m_exitEvent->Wait(kChangeOutputPauseMs);
    m_destination = StringToWString(url);
    // Whatever the open gives, the next output starts on a common key frame, every stream from
    // one origin.
    m_resyncRequested = true;
    int32_t result = m_streamWriter->Open(&url, nullptr, 0);
    if (result < 0) {
        MW_LOG(3, "ChangeOutput", L"[WID=%d]Dest media(URL=%S) opening failed with error=%d.",
               static_cast<int32_t>(m_workerId), url.c_str(), result);
        return result;
    }
    AddOutputStreams(true);
    result = m_streamWriter->PrepareForWriting(nullptr);
    if (result < 0)
        MW_LOG(3, "ChangeOutput", L"[WID=%d]Dest media(URL=%S) preparing failed with error=%d.",
               static_cast<int32_t>(m_workerId), url.c_str(), result);
    else
        m_outputChangedEvent.Set(); // a wait to open the old destination again is over
    return result;
}

// ---- closing ----

void CTYXMediaWriteWorker::CloseWriter()
{
    if (m_streamWriter)
        m_streamWriter->Close();
}

void CTYXMediaWriteWorker::FinishOutput(const char *reason, bool reportStop)
{
    if (!m_streamWriter || !m_streamWriter->IsOpened()) {
        CloseWriter();
        return;
    }
    CloseWriter();
    if (reportStop)
        NotifyWriterEvent(TYX_EVENT_OUTPUT_STOPPED, 0, reason ? reason : "");
    if (IsRecordWriter())
        ListFinishedRecordFile(true);
}

void CTYXMediaWriteWorker::AbandonOutput()
{
    SetStateOfAllStreams(TYX_MW_STREAMS_ERROR);
    FinishOutput("Writing failed.", true);
    SetStep(TYX_MW_STEP_CLOSED);
    // The reopened output starts again on a common key frame, every stream from 0.
    m_synchronized = false;
    m_cutPending = false;
    ClearReservedFrames();
}

void CTYXMediaWriteWorker::ListFinishedRecordFile(bool stopTexts)
{
    // Each finished file gets one line, however many stops follow it.
    if (m_recordSettings.SaveRecordFileList && !m_recordFileListed) {
        std::wstring path = m_recordFileNameW;
        const int32_t result = SaveRecordFileInfoW(path);
        m_recordFileListed = true;
        if (result != 0 && stopTexts)
            MW_LOG(3, "SaveRecordFileInfoW",
                   L"MediaWriteWorker[%s:%d] Error: Failed(with err=%d) while save just-finished record file name!",
                   m_name.c_str(), static_cast<int32_t>(m_workerId), result);
        else if (result != 0)
            MW_LOG(3, "SaveRecordFileInfoW",
                   L"MediaWriteWorker[%s:%x]Error: Failed(with err=%d) while save just-finished record file name!",
                   m_name.c_str(), m_workerId, result);
        else if (stopTexts)
            MW_LOG(6, "SaveRecordFileInfoW", L"MediaWriteWorker[%s:%d]: Just-finished record file name saved.",
                   m_name.c_str(), static_cast<int32_t>(m_workerId));
        else
            MW_LOG(6, "SaveRecordFileInfoW", L"MediaWriteWorker[%s:%x]: Just-finished record file name saved.",
                   m_name.c_str(), m_workerId);
    }
    m_recordHold.Release();
    NotifyWriterEvent(TYX_EVENT_RECORD_FILE_FINISHED, 0, std::string());
}

// ---- the write sweep ----

bool CTYXMediaWriteWorker::LookUpOutput(uint32_t streamId, int16_t &index, stTimeBase &timeBase)
{
    const auto found = m_outputStreamOfInput.find(streamId);
    const auto params = m_outputTimeBases.find(streamId);
    if (found != m_outputStreamOfInput.end() && found->second >= 0 && params != m_outputTimeBases.end()) {
        index = found->second;
        timeBase = params->second;
        return true;
    }
    // Reported once per open: the sweep comes by a hundred times a second.
    if (!m_unmappedReported.insert(streamId).second)
        return false;
    if (found == m_outputStreamOfInput.end())
        MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x]Error: avStrm Id not found for input stream[%X]!",
               m_name.c_str(), m_workerId, streamId);
    else if (found->second < 0)
        MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x]Error: avStrmId[%d] of input stream[%X] is negative!",
               m_name.c_str(), m_workerId, static_cast<int32_t>(found->second), streamId);
    else
        MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x]Error: Parameters not found for input stream[%X]!",
               m_name.c_str(), m_workerId, streamId);
    return false;
}

CTYXMediaWriteWorker::ESweepEnd CTYXMediaWriteWorker::WriteSweptPackage(uint32_t streamId, const FramePackage &package,
                                                                         int16_t index, const stTimeBase &timeBase,
                                                                         int64_t streamStartTime)
{
    if (package.pData && package.nLength > 0) {
        WrittenStreamState &state = m_writtenStates[index];
        const bool first = state.firstWriteTime == TYX_NOPTS_VALUE;
        const int32_t result =
            WritePaketToMedia(package, streamStartTime, state, timeBase.num, timeBase.den, first, 0);
        if (result == 0) {
            CountPaket(streamId, package, false, true);
            return ESweepEnd::None;
        }
        if (IsPackageDiscarded(result))
            return ESweepEnd::None;
        return ESweepEnd::WriteFailed;
    }
    if (package.nLength >= 0)
        return ESweepEnd::None;
    m_inputLostCode = kInputLost;
    if (package.nLength == TYX_SRC_READ_FAILED || package.nLength == TYX_SRC_CLOSED) {
        MW_LOG(3, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] Received error=[%d] notify paket from input stream(%d)!...retry it later.",
               m_name.c_str(), m_workerId, package.nLength, static_cast<int32_t>(streamId));
        if (m_requireAllInputs)
            return ESweepEnd::InputLost;
    }
    return ESweepEnd::None;
}

std::optional<int64_t> CTYXMediaWriteWorker::PictureEnd() const
{
    int64_t end = INT64_MAX;
    for (const auto &[streamId, link] : m_inputLinks.Items()) {
        if (link.paketKind != TYX_PKT_KIND_CODED_VIDEO)
            continue;
        const auto output = m_outputStreamOfInput.find(streamId);
        if (output == m_outputStreamOfInput.end() || output->second < 0)
            continue;
        const auto state = m_writtenStates.find(output->second);
        if (state == m_writtenStates.end() || state->second.sourceEnd == TYX_NOPTS_VALUE)
            return std::nullopt;
        end = std::min(end, state->second.sourceEnd);
    }
    return end;
}

int64_t CTYXMediaWriteWorker::FinalSoundEnd() const
{
    int64_t end = TYX_NOPTS_VALUE;
    for (const auto &[streamId, link] : m_inputLinks.Items()) {
        // A sound outside the output does not end it.
        if (link.paketKind == TYX_PKT_KIND_CODED_VIDEO || !link.HasQueue() || IsOutsideOutput(streamId))
            continue;
        if (!HasProducerStopped(link))
            return INT64_MAX;
        end = std::max(end, QueuedEnd(link));
        const auto output = m_outputStreamOfInput.find(streamId);
        if (output == m_outputStreamOfInput.end() || output->second < 0)
            continue;
        const auto state = m_writtenStates.find(output->second);
        if (state != m_writtenStates.end())
            end = std::max(end, state->second.sourceEnd);
    }
    return end == TYX_NOPTS_VALUE ? INT64_MAX : end;
}

bool CTYXMediaWriteWorker::IsHeldBack(const FramePackage &front, const std::optional<int64_t> &otherEnd) const
{
    const int64_t time = front.pts != TYX_NOPTS_VALUE ? front.pts : front.dts;
    if (front.nLength <= 0 || time == TYX_NOPTS_VALUE)
        return false;
    if (otherEnd && (time < *otherEnd || time - *otherEnd >= kHoldUs))
        return false;
    return front.queuedTime <= 0 || NowUs() - front.queuedTime < kHoldUs;
}

CTYXMediaWriteWorker::EPass CTYXMediaWriteWorker::WriteSweep()
{
    bool anyPackages = false;
    ESweepEnd end = ESweepEnd::None;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        const bool several = m_inputLinks.Items().size() > 1;
        bool haveMark = false;
        int64_t mark = 0;
        for (auto &[streamId, link] : m_inputLinks.Items()) {
            if (ExitRequested()) {
                MW_LOG(6, "WorkingFunc", L"MediaWriteWorker[%s:%x] Thread[%d] received exit signal, exiting...",
                       m_name.c_str(), m_workerId, static_cast<int32_t>(m_threadId));
                return EPass::Leave;
            }
            if (!link.HasQueue())
                continue;
            {
                CCsLock lock(*link.queueLock);
                if (link.queue->empty())
                    continue;
            }
            int16_t index = -1;
            stTimeBase timeBase;
            // A left-out input keeps what it delivers for the cut that takes it in; a pending cut
            // has copied it already.
            if (IsLeftOut(streamId) && !m_cutPending)
                continue;
            if (IsOutsideOutput(streamId) || !LookUpOutput(streamId, index, timeBase)) {
                // Without an output its packages could only grow stale and block the producer.
                FlushLinkQueue(streamId, link);
                continue;
            }
            const bool sound = link.paketKind != TYX_PKT_KIND_CODED_VIDEO;
            const std::optional<int64_t> otherEnd = sound ? PictureEnd() : std::optional<int64_t>(FinalSoundEnd());
            for (;;) {
                FramePackage package;
                {
                    // Popped under the link's lock and written outside it: a slow output never
                    // holds up the producer.
                    CCsLock lock(*link.queueLock);
                    if (link.queue->empty() || IsHeldBack(link.queue->front(), otherEnd))
                        break;
                    package = link.queue->front();
                    link.queue->pop_front();
                }
                anyPackages = true;
                CountPaket(streamId, package, true, false);
                end = WriteSweptPackage(streamId, package, index, timeBase, link.streamStartTime);
                const bool slices = several && package.nLength > 0 && package.dts != TYX_NOPTS_VALUE;
                const int64_t dts = package.dts;
                FreeFramePackage(package);
                if (end != ESweepEnd::None)
                    break;
                if (!slices)
                    continue;
                if (!haveMark) {
                    mark = dts;
                    haveMark = true;
                } else if (dts >= mark + kSliceUs) {
                    mark = dts;
                    break;
                }
            }
            if (end != ESweepEnd::None)
                break;
        }
    }
    if (end == ESweepEnd::WriteFailed) {
        AbandonOutput();
    } else if (end == ESweepEnd::InputLost) {
        SetStep(TYX_MW_STEP_CLOSING);
        FinishOutput("Input disconnected.", true);
        // The reopened output starts again on a common key frame.
        m_synchronized = false;
        m_cutPending = false;
        ClearReservedFrames();
    }
    m_waitMs = anyPackages ? 0 : 10;
    return EPass::Continue;
}

void CTYXMediaWriteWorker::FlushLinkQueue(uint32_t streamId, stWorkerInputLink &link)
{
    FramePackageQueue dropped;
    {
        CCsLock lock(*link.queueLock);
        dropped.swap(*link.queue);
    }
    for (FramePackage &package : dropped) {
        CountPaket(streamId, package, true, false);
        FreeFramePackage(package);
    }
}
