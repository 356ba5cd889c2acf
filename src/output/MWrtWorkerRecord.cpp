#include "output/MWrtWorker.h"

#include "output/MWrtWorkerLog.h"

#include "core/TYXUtils.h"
#include "host/TYXEvent.h"
#include "platform/FileSystem.h"

#include <algorithm>
#include <filesystem>
#include <numeric>

// Record files of a media writer: folder and disk checks, names, the list line, the clean-up by
// age and the cut into segments.
//
// The cut: once a segment is due, the write sweep holds back while every input's queued packages
// are copied into its reserved queue, until the reserved frames hold a common video key frame.
// Then the old file takes what lies before each input's aligned start, the new file starts with
// the reserved frames, and the sweep goes on from there: the files join without a gap and without
// an overlap. While the record folder cannot be used the cut waits and the old file goes on; when
// a queue comes close to full before a common key frame arrives, the old file goes on as well and
// the frames from that key frame to the cut are then in both files.
//
// An input left out of the output that now delivers is taken in by the same cut, at the picture's
// next key frame (a late picture: its own first one); a push is reopened the same way for it.

namespace {

constexpr uint64_t kMiB = 1048576;
// A file is finished while the disk still has room for its index (a few tens of bytes a packet);
// a new one needs a little more, so that a full disk does not breed small files.
constexpr uint64_t kWriteFloorBytes = kMiB;
constexpr uint64_t kIndexBytesPerPacket = 64;
constexpr uint64_t kOpenFloorBytes = 4 * kMiB;
constexpr uint32_t kDiskCheckIntervalMs = 1000;
constexpr uint64_t kDiskCheckBytes = 256 * 1024;
constexpr int32_t kReservedRetries = 2;
constexpr int64_t kAnyStart = TYX_NOPTS_VALUE + 1;

long long LL(int64_t value)
{
    return static_cast<long long>(value);
}

} // namespace

// ---- folder and disk ----

bool CTYXMediaWriteWorker::CheckRecordFolder(bool report)
{
    const std::string root = RootFolderUtf8();
    if (!IsPathReadWritable(root)) {
        // A removed folder comes back, as the next file name would make it.
        std::error_code error;
        std::filesystem::create_directories(root, error);
    }
    if (IsPathReadWritable(root))
        return true;
    if (report) {
        MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%s:%x] Warning: Recoding path(%s) Checking failed!", m_name.c_str(),
               m_workerId, m_recordSettings.RootFolder.c_str());
        NotifyWriterEvent(TYX_EVENT_RECORD_PATH_FAILED, 0, std::string());
    }
    return false;
}

void CTYXMediaWriteWorker::CheckRecordDiskSpace(bool report)
{
    int64_t total = 0;
    const int64_t free = GetRecordDiskSpace(total);
    if (!report)
        return;
    if (free < 0) {
        MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%s:%x] Warning:Disck space Checking failed with err=%d returned!",
               m_name.c_str(), m_workerId, static_cast<int32_t>(free));
    } else if (free < m_recordSettings.SpaceWarnLimit) {
        MW_LOG(3, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] Warning:Free space(%d MB remain) of recoding-disk is under warning limit!",
               m_name.c_str(), m_workerId, static_cast<int32_t>(free));
        NotifyWriterEvent(TYX_EVENT_DISK_SPACE_LOW, free, std::string());
    }
}

int64_t CTYXMediaWriteWorker::GetRecordDiskSpace(int64_t &totalMB)
{
    totalMB = 0;
    if (m_recordSettings.RootFolder.empty())
        return -2;
    uint64_t freeBytes = 0;
    uint64_t totalBytes = 0;
    const int32_t result = m_diskSpace(RootFolderUtf8(), freeBytes, totalBytes);
    if (result < 0)
        return result;
    totalMB = static_cast<int64_t>(totalBytes / kMiB);
    return static_cast<int64_t>(freeBytes / kMiB);
}

bool CTYXMediaWriteWorker::IsDiskNearlyFull(bool opening)
{
    if (!opening) {
        // Often enough that a fast writer cannot pass the floor between two looks.
        const uint32_t now = NowTickMs();
        if (now - m_lastDiskCheckTick < kDiskCheckIntervalMs && m_bytesSinceDiskCheck < kDiskCheckBytes)
            return false;
        m_lastDiskCheckTick = now;
        m_bytesSinceDiskCheck = 0;
    }
    uint64_t freeBytes = 0;
    uint64_t totalBytes = 0;
    if (m_diskSpace(RootFolderUtf8(), freeBytes, totalBytes) < 0)
        return false; // nothing known: the writes will tell
    const int64_t freeMB = static_cast<int64_t>(freeBytes / kMiB);
    if (opening) {
        if (freeBytes >= kOpenFloorBytes)
            return false;
        MW_LOG(2, "OpenOutput", L"MediaWriteWorker[%s:%x] Warning:Free space(%d MB remain) of recoding-disk is too small for a new record file!",
               m_name.c_str(), m_workerId, static_cast<int32_t>(freeMB));
        NotifyWriterEvent(TYX_EVENT_DISK_SPACE_LOW, freeMB, std::string());
        return true;
    }
    const int64_t packets = std::accumulate(m_writtenCounts.begin(), m_writtenCounts.end(), int64_t{0},
                                            [](int64_t sum, const auto &entry) { return sum + entry.second; });
    if (freeBytes >= kWriteFloorBytes + static_cast<uint64_t>(packets) * kIndexBytesPerPacket)
        return false;
    // Finished now, while its index still fits: a file without it would not play.
    MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%s:%x] Warning:Free space(%d MB remain) of recoding-disk leaves no room, record file(%s) finished!",
           m_name.c_str(), m_workerId, static_cast<int32_t>(freeMB), m_recordFileNameW.c_str());
    NotifyWriterEvent(TYX_EVENT_DISK_SPACE_LOW, freeMB, std::string());
    AbandonOutput();
    return true;
}

// ---- names, list, clean-up ----

std::wstring CTYXMediaWriteWorker::MakeRecordFileName()
{
    return ::MakeRecordFileName(m_recordSettings, CaseTexts(), LocalTimeNow());
}

int32_t CTYXMediaWriteWorker::SaveRecordFileInfoW(std::wstring &path)
{
    if (m_recordFileNameW.size() <= 4)
        return -1;
    const int32_t result = AppendRecordListLine(path, m_recordBeginTime, LocalTimeNow());
    if (result == -2)
        path.clear();
    return result;
}

int32_t CTYXMediaWriteWorker::CleanUpOutOfDateRecords()
{
    return ::CleanUpOutOfDateRecords(m_recordSettings.RootFolder, m_recordSettings.StorageLife,
                                     static_cast<std::time_t>(NowSeconds()));
}

// ---- reserving ----

int32_t CTYXMediaWriteWorker::VideoInputCount()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    int32_t count = 0;
    for (const auto &[streamId, link] : m_inputLinks.Items())
        count += link.paketKind == TYX_PKT_KIND_CODED_VIDEO && !IsOutsideOutput(streamId) ? 1 : 0;
    return count;
}

// ---- taking inputs in ----

bool CTYXMediaWriteWorker::IsStartable(const FramePackage &package, bool video)
{
    return package.pData && package.nLength > 0 && package.dts != TYX_NOPTS_VALUE &&
           (!video || (package.flags & TYX_PKT_FLAG_KEY));
}

bool CTYXMediaWriteWorker::HoldsStartable(const FramePackageQueue *queue, bool video)
{
    if (!queue)
        return false;
    return std::any_of(queue->begin(), queue->end(),
                       [video](const FramePackage &package) { return IsStartable(package, video); });
}

int32_t CTYXMediaWriteWorker::InputCodecId(uint32_t streamId)
{
    std::lock_guard<std::mutex> lock(m_paramsMutex);
    const auto found = m_inputParamsMap.find(streamId);
    return found == m_inputParamsMap.end() ? 0 : found->second.codecId;
}

void CTYXMediaWriteWorker::LeaveOutNotHeld(uint32_t streamId, int32_t codecId)
{
    m_leftOutStreams.erase(streamId);
    m_notHeldStreams.insert(streamId);
    if (!m_notHeldReported.insert(streamId).second)
        return;
    MW_LOG(3, "OpenOutput",
           L"MediaWriteWorker[%s:%x] Input stream[%X] (codec %S) cannot be held by the %S container: it is left out of this output, which goes on without it.",
           m_name.c_str(), m_workerId, streamId, avcodec_get_name(static_cast<AVCodecID>(codecId)),
           m_streamWriter->GetContainerName().c_str());
}

void CTYXMediaWriteWorker::NoteDeliveringLeftOutInputs()
{
    // A pending cut reserves what they deliver and takes them in itself.
    if (m_leftOutStreams.empty() || m_cutPending)
        return;
    std::vector<uint32_t> delivering;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (auto &[streamId, link] : m_inputLinks.Items()) {
            if (!IsLeftOut(streamId) || !link.HasQueue())
                continue;
            const bool video = link.paketKind == TYX_PKT_KIND_CODED_VIDEO;
            FramePackageQueue dropped;
            bool delivers = false;
            {
                CCsLock lock(*link.queueLock);
                while (!link.queue->empty() && !IsStartable(link.queue->front(), video)) {
                    dropped.push_back(link.queue->front());
                    link.queue->pop_front();
                }
                delivers = !link.queue->empty();
            }
            for (FramePackage &package : dropped) {
                CountPaket(streamId, package, true, false);
                FreeFramePackage(package);
            }
            if (delivers)
                delivering.push_back(streamId);
        }
    }
    for (const uint32_t streamId : delivering) {
        const int32_t codecId = InputCodecId(streamId);
        if (!m_streamWriter->CanHoldCodec(codecId)) {
            LeaveOutNotHeld(streamId, codecId);
            continue;
        }
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] Input stream[%x] delivers: the output is cut at the next common key frame to take it in.",
               m_name.c_str(), m_workerId, streamId);
        m_joinWanted = true;
    }
}

std::set<uint32_t> CTYXMediaWriteWorker::JoiningInputs()
{
    std::set<uint32_t> joining;
    CReadLockGuard guard(m_inputLinks.Lock());
    for (const auto &[streamId, link] : m_inputLinks.Items()) {
        if (!IsLeftOut(streamId) || !link.queueLock)
            continue;
        const bool video = link.paketKind == TYX_PKT_KIND_CODED_VIDEO;
        CCsLock lock(*link.queueLock);
        if (HoldsStartable(link.queue.get(), video) || HoldsStartable(link.reservedFrames.get(), video))
            joining.insert(streamId);
    }
    return joining;
}

bool CTYXMediaWriteWorker::IsAnyQueueNearlyFull()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    for (const auto &entry : m_inputLinks.Items()) {
        const stWorkerInputLink &link = entry.second;
        if (!link.HasQueue())
            continue;
        CCsLock lock(*link.queueLock);
        if (link.queue->size() * 3 >= FramePackageQueueLimit(link.paketKind) * 2)
            return true;
    }
    return false;
}

int32_t CTYXMediaWriteWorker::ReserveFrames4AllStreams(std::set<uint32_t> &videoStreams)
{
    CReadLockGuard guard(m_inputLinks.Lock());
    int32_t copied = 0;
    for (auto &[streamId, link] : m_inputLinks.Items()) {
        if (!link.HasQueue())
            continue;
        const bool video = link.paketKind == TYX_PKT_KIND_CODED_VIDEO;
        CCsLock lock(*link.queueLock);
        if (!link.reservedFrames)
            link.reservedFrames = CreateLinkPackageQueue(); // releases what is left in it
        FramePackageQueue &reserved = *link.reservedFrames;
        // The queue is copied on every pass of a pending cut: what was copied before is skipped.
        int64_t lastReserved = reserved.empty() ? TYX_NOPTS_VALUE : reserved.back().dts;
        const FramePackage *newestKey = nullptr;
        for (const FramePackage &package : *link.queue) {
            if (package.nLength <= 0 || !package.pData || package.dts == TYX_NOPTS_VALUE)
                continue;
            if (lastReserved != TYX_NOPTS_VALUE && package.dts <= lastReserved)
                continue;
            FramePackage copy;
            copy.inDevice = package.inDevice;
            if (DuplicateFramePackage(copy, package) <= 0)
                continue;
            reserved.push_back(copy);
            lastReserved = package.dts;
            ++copied;
            if (video && (package.flags & TYX_PKT_FLAG_KEY))
                newestKey = &package;
        }
        // Bounded like the link itself while no common key frame comes.
        while (reserved.size() > FramePackageQueueLimit(link.paketKind)) {
            FreeFramePackage(reserved.front());
            reserved.pop_front();
        }
        if (newestKey)
            MW_LOG(5, "ReserveFrames4AllStreams",
                   L"MediaWriteWorker[%s:%x] The newest Reserved Key frame of input stream[%x] \t\t\t\t\t\twas updated to TS[pts=%lld,dts=%lld] at:[%lld].",
                   m_name.c_str(), m_workerId, streamId, LL(newestKey->pts), LL(newestKey->dts), LL(NowUs()));
        if (!video)
            continue;
        for (const FramePackage &package : reserved) {
            if (package.flags & TYX_PKT_FLAG_KEY) {
                videoStreams.insert(streamId);
                break;
            }
        }
    }
    return copied;
}

// ---- cutting ----

bool CTYXMediaWriteWorker::IsSegmentDue() const
{
    // Timed on the program clock: a step of the host's time neither cuts early nor lets a file grow on.
    const int64_t segmentUs = static_cast<int64_t>(m_recordSettings.SegmentLength) * 60 * 1000000;
    return IsRecordWriter() && m_recordStartTime > 0 && NowUs() - m_recordStartTime + 2000000 >= segmentUs;
}

bool CTYXMediaWriteWorker::StartCutWhenWanted()
{
    const bool due = IsSegmentDue();
    const bool join = m_joinWanted;
    m_joinWanted = false;
    if (!due && !join)
        return false;
    ClearReservedFrames();
    m_reservedVideoStreams.clear();
    if (due)
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] It's time for record-file cutting...Reserving frames and set key frame for [%d] V-Strm as start-point",
               m_name.c_str(), m_workerId, VideoInputCount());
    m_cutPending = true;
    m_cutDue = due;
    m_cutChecksReported = false;
    m_folderFailureReported = false;
    m_cutOverlaps = false;
    return true;
}

CTYXMediaWriteWorker::EPass CTYXMediaWriteWorker::CutCheck()
{
    m_holdForCut = false;
    if (!m_cutPending && !StartCutWhenWanted())
        return EPass::Continue;
    // A segment that falls due meanwhile is ended by the cut under way.
    m_cutDue = m_cutDue || IsSegmentDue();
    const std::set<uint32_t> joining = JoiningInputs();
    if (!m_cutDue && joining.empty()) {
        // The input that asked for the cut sends nothing to start on any more: nothing to cut for.
        m_cutPending = false;
        ClearReservedFrames();
        return EPass::Continue;
    }
    SetStep(TYX_MW_STEP_CLOSING);
    SetStateOfAllStreams(TYX_MW_STREAMS_CACHING);
    if (IsRecordWriter()) {
        // Checked on every pass of the pending cut, reported once per cut.
        const bool report = !m_cutChecksReported;
        m_cutChecksReported = true;
        if (!CheckRecordFolder(!m_folderFailureReported)) {
            m_folderFailureReported = true;
            ClearReservedFrames();
            m_reservedVideoStreams.clear();
            return EPass::Continue;
        }
        m_folderFailureReported = false;
        CheckRecordDiskSpace(report);
    }

    int32_t videos = VideoInputCount();
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        for (const uint32_t streamId : joining) {
            const auto found = m_inputLinks.Items().find(streamId);
            videos += found != m_inputLinks.Items().end() && found->second.paketKind == TYX_PKT_KIND_CODED_VIDEO ? 1 : 0;
        }
    }
    m_cutJoiners.clear();
    if (videos == 0 && joining.empty()) {
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] Start record-file cutting at once since no V-Strm.",
               m_name.c_str(), m_workerId);
        return CutNow();
    }
    if (!m_cutOverlaps && IsAnyQueueNearlyFull()) {
        // Holding back any longer would make the producers drop: this cut lets the old file go on,
        // and the frames from the common key frame on will then be in both files.
        MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x] No common key frame before the input queues filled up; the old record file goes on until the cut.",
               m_name.c_str(), m_workerId);
        m_cutOverlaps = true;
    }
    ReserveFrames4AllStreams(m_reservedVideoStreams);
    if (static_cast<int32_t>(m_reservedVideoStreams.size()) >= videos) {
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] Latest Key-frame for all [%d] V-Strm reserved. Synchronizing in ReservedFrames...",
               m_name.c_str(), m_workerId, videos);
        int64_t start = 0;
        std::vector<uint32_t> aligned;
        const int32_t result = SynchronizeStreamsByReservedFramesEx(videos, start, aligned);
        // The cut needs every stream of the file; a left-out input that aligned joins the new one.
        const int32_t inputs = InputsOfOutput();
        for (const uint32_t streamId : aligned)
            if (IsLeftOut(streamId))
                m_cutJoiners.insert(streamId);
        const int32_t alignedInputs = result - static_cast<int32_t>(m_cutJoiners.size());
        // A cut made only to take inputs in waits until one of them can be.
        if (result >= 0 && alignedInputs >= inputs && (m_cutDue || !m_cutJoiners.empty())) {
            MW_LOG(5, "WorkingFunc",
                   L"MediaWriteWorker[%s:%x] Reserved-Frames synchronized successfully with %d of %d streams aligned!",
                   m_name.c_str(), m_workerId, alignedInputs, inputs);
            return CutNow();
        }
    }
    m_holdForCut = !m_cutOverlaps;
    return EPass::Continue;
}

void CTYXMediaWriteWorker::WriteQueuedIntoOldFile()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    for (auto &[streamId, link] : m_inputLinks.Items()) {
        if (!link.HasQueue() || !link.reservedFrames || link.reservedFrames->empty() || IsOutsideOutput(streamId))
            continue;
        int16_t index = -1;
        stTimeBase timeBase;
        if (!LookUpOutput(streamId, index, timeBase))
            continue;
        // The new file starts at the input's first reserved frame; what lies before it ends the old one.
        const int64_t boundary = link.reservedFrames->front().dts;
        WrittenStreamState &state = m_writtenStates[index];
        int32_t written = 0;
        bool failed = false;
        for (;;) {
            FramePackage package;
            {
                CCsLock lock(*link.queueLock);
                if (link.queue->empty() || (link.queue->front().dts != TYX_NOPTS_VALUE && link.queue->front().dts >= boundary))
                    break;
                package = link.queue->front();
                link.queue->pop_front();
            }
            CountPaket(streamId, package, true, false);
            if (!failed && package.pData && package.nLength > 0) {
                const bool first = state.firstWriteTime == TYX_NOPTS_VALUE;
                const int32_t result =
                    WritePaketToMedia(package, kAnyStart, state, timeBase.num, timeBase.den, first, 0);
                if (result == 0) {
                    CountPaket(streamId, package, false, true);
                    ++written;
                } else if (!IsPackageDiscarded(result)) {
                    failed = true; // the old file is being closed anyway
                }
            }
            FreeFramePackage(package);
        }
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] [%d] remain pakets before the last pkt in reserved-frames wrote into avStream[%d] of current (Old) record file.",
               m_name.c_str(), m_workerId, written, static_cast<int32_t>(index));
    }
}

bool CTYXMediaWriteWorker::WriteReservedIntoNewFile()
{
    CReadLockGuard guard(m_inputLinks.Lock());
    for (auto &[streamId, link] : m_inputLinks.Items()) {
        if (!link.queueLock || !link.reservedFrames || IsOutsideOutput(streamId))
            continue;
        int16_t index = -1;
        stTimeBase timeBase;
        if (!LookUpOutput(streamId, index, timeBase))
            continue;
        WrittenStreamState &state = m_writtenStates[index];
        state = WrittenStreamState();
        state.outputIndex = index;
        FramePackageQueue reserved;
        {
            CCsLock lock(*link.queueLock);
            reserved.swap(*link.reservedFrames);
        }
        if (reserved.empty())
            continue;
        link.streamStartTime = reserved.front().dts;
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] Stream-Start-time of avStream[%d] was set to [%lld].",
               m_name.c_str(), m_workerId, static_cast<int32_t>(index), LL(link.streamStartTime));
        int32_t written = 0;
        bool failed = false;
        const int64_t lastReserved = reserved.back().dts;
        for (FramePackage &package : reserved) {
            if (!failed && package.pData && package.nLength > 0) {
                const int32_t result = WritePaketToMedia(package, link.streamStartTime, state, timeBase.num,
                                                         timeBase.den, written == 0, kReservedRetries);
                if (result == 0) {
                    CountPaket(streamId, package, false, true);
                    ++written;
                } else if (!IsPackageDiscarded(result)) {
                    failed = true;
                }
            }
            FreeFramePackage(package);
        }
        // The reserved frames were copies of what the input still queues: those are written now.
        FramePackageQueue done;
        {
            CCsLock lock(*link.queueLock);
            while (!link.queue->empty() &&
                   (link.queue->front().dts == TYX_NOPTS_VALUE || link.queue->front().dts <= lastReserved)) {
                done.push_back(link.queue->front());
                link.queue->pop_front();
            }
        }
        for (FramePackage &package : done) {
            CountPaket(streamId, package, true, false);
            FreeFramePackage(package);
        }
        MW_LOG(5, "WorkingFunc",
               L"MediaWriteWorker[%s:%x] [%d] Reserved frames wrote into avStream[%d] of the new record file, With StrmStartTime=[%lld], Timebase=[%d/%d].",
               m_name.c_str(), m_workerId, written, static_cast<int32_t>(index), LL(link.streamStartTime),
               timeBase.num, timeBase.den);
        if (failed)
            return false;
    }
    return true;
}

CTYXMediaWriteWorker::EPass CTYXMediaWriteWorker::CutNow()
{
    const bool record = IsRecordWriter();
    if (record)
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] Start record-file cutting Now...", m_name.c_str(), m_workerId);
    else
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] Output(%s) is reopened to take in the inputs that deliver now...",
               m_name.c_str(), m_workerId, m_destination.c_str());
    WriteQueuedIntoOldFile();
    const std::wstring oldName = m_recordFileNameW;
    CloseWriter();
    SetStep(TYX_MW_STEP_CLOSED);
    SetStateOfAllStreams(TYX_MW_STREAMS_CLOSED);
    if (record) {
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] The Old record file(%s) closed.", m_name.c_str(), m_workerId,
               oldName.c_str());
        if (oldName.size() < 5) {
            m_cutPending = false;
            ClearReservedFrames();
            return EPass::Continue;
        }
        SetStep(TYX_MW_STEP_SYNCHRONIZING);
        ListFinishedRecordFile(false);
    } else {
        NotifyWriterEvent(TYX_EVENT_OUTPUT_STOPPED, 0, std::string());
        SetStep(TYX_MW_STEP_SYNCHRONIZING);
    }

    // Inputs left out of the old output that came meanwhile are in the new one.
    for (const uint32_t streamId : m_cutJoiners) {
        m_leftOutStreams.erase(streamId);
        if (record)
            MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x] Input stream[%x] delivers now: taken into the new record file.",
                   m_name.c_str(), m_workerId, streamId);
        else
            MW_LOG(3, "WorkingFunc", L"MediaWriteWorker[%s:%x] Input stream[%x] delivers now: taken into the reopened output.",
                   m_name.c_str(), m_workerId, streamId);
    }
    m_cutJoiners.clear();
    SetStep(TYX_MW_STEP_OPENING);
    const int32_t opened = OpenOutput();
    if (opened < 1) {
        SetStep(TYX_MW_STEP_OPEN_FAILED);
        if (record)
            MW_LOG(2, "WorkingFunc", L"MediaWriteWorker[%s:%x]Error: record-file creating failed with err=%d!",
                   m_name.c_str(), m_workerId, opened);
        SetStateOfAllStreams(TYX_MW_STREAMS_OPEN_FAILED);
        m_cutPending = false;
        ClearReservedFrames();
        return EPass::Continue;
    }
    if (record)
        MW_LOG(5, "WorkingFunc", L"MMediaWriteWorker[%s:%x] New record file(%s) created.", m_name.c_str(), m_workerId,
               m_recordFileNameW.c_str());
    else
        NotifyWriterEvent(TYX_EVENT_OUTPUT_STARTED, 0, std::string());
    m_recordStartTime = NowUs();
    SetStep(TYX_MW_STEP_OPENED);
    SetStateOfAllStreams(TYX_MW_STREAMS_RUNNING);
    SetStep(TYX_MW_STEP_SYNCHRONIZING);
    if (!WriteReservedIntoNewFile()) {
        // Handled like any write failure: the output is reopened on a common key frame.
        AbandonOutput();
        return EPass::Continue;
    }
    SetStep(TYX_MW_STEP_WRITING);
    ClearReservedFrames();
    m_cutPending = false;
    if (record)
        MW_LOG(5, "WorkingFunc", L"MediaWriteWorker[%s:%x] Record file cutting finsished.", m_name.c_str(), m_workerId);
    return EPass::Continue;
}
