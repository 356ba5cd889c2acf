#include "input/MultiStrmMRdrWorker.h"

#include "core/FrameRateAdjuster.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "host/TYXEvent.h"
#include "input/MediaUrl.h"
#include "input/ReadWorkerSteps.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"

extern "C" {
#include <libavcodec/codec_par.h>
}

#include <cmath>

namespace {

constexpr int32_t kDefaultFrameRate = 30;
constexpr int32_t kMinFrameRate = 10;
constexpr int32_t kMaxFrameRate = 120;
constexpr int32_t kMaxValidCodecId = 102399;
constexpr uint32_t kConnectRetryPauseMs = 3000;

int32_t KindOfMediaType(int32_t mediaType)
{
    return mediaType == TYX_MEDIA_VIDEO ? TYX_PKT_KIND_CODED_VIDEO
           : mediaType == TYX_MEDIA_AUDIO ? TYX_PKT_KIND_CODED_AUDIO
                                          : TYX_PKT_KIND_NONE;
}

} // namespace

int32_t AverageStreamDelay(const std::vector<int32_t> &samples, int32_t mediaType)
{
    int64_t sum = 0;
    for (const int32_t sample : samples)
        sum += sample;
    if (sum <= 0 || samples.empty())
        return 50;
    const int64_t average = sum / static_cast<int64_t>(samples.size());
    if (average < 1)
        return mediaType == TYX_MEDIA_VIDEO ? 300 : 150;
    return static_cast<int32_t>(average);
}

StrmPrcsThdPrmtrs::~StrmPrcsThdPrmtrs()
{
    CCsLock guard(queueLock);
    for (FramePackage &package : queue)
        FreeFramePackage(package);
    queue.clear();
}

CMultiStrmMediaReadWorker::CMultiStrmMediaReadWorker(uint32_t workerId, const ConsumerLinkMap *consumerLinks)
    : CTYXWorker(workerId, nullptr, consumerLinks, 1, true, true)
{
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%d] constructed.", static_cast<int32_t>(workerId));
    m_inputStreamTypes = static_cast<uint8_t>((m_inputStreamTypes & ~(0x01 | 0x02 | 0x08)) | 0x04 | 0x10);
    m_outputStreamTypes = static_cast<uint8_t>((m_outputStreamTypes & ~(0x02 | 0x08)) | 0x01 | 0x04 | 0x10);
}

CMultiStrmMediaReadWorker::~CMultiStrmMediaReadWorker()
{
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%d:%s] destructed.", static_cast<int32_t>(m_workerId), m_name.c_str());
    // The stream threads run member functions of this class: they end before its members go. A
    // shared worker gets here only once they let go of it; the last of them may be this thread.
    EndChildThreads(*m_exitEvent, m_childMutex, m_childThreads, 5000);
    if (m_reader)
        m_reader->Close();
}

void CMultiStrmMediaReadWorker::SetReopenWaits(uint32_t afterEndMs, uint32_t afterErrorMs)
{
    m_reopenWaitAfterEndMs = afterEndMs;
    m_reopenWaitAfterErrorMs = afterErrorMs;
}

void CMultiStrmMediaReadWorker::SetReopenFlags(bool afterEnd, bool afterError)
{
    m_reopenAfterEnd = afterEnd ? 1 : 0;
    m_reopenAfterError = afterError ? 1 : 0;
}

std::wstring CMultiStrmMediaReadWorker::SourcePathForLog() const
{
    return MaskUrlCredentials(m_sourcePath);
}

int64_t CMultiStrmMediaReadWorker::PendingStreamPackages()
{
    int64_t pending = 0;
    CReadLockGuard guard(m_threadMap.Lock());
    for (const auto &[id, record] : m_threadMap.Items()) {
        CCsLock queueGuard(record->queueLock);
        pending += static_cast<int64_t>(record->queue.size()) + (record->busy ? 1 : 0);
    }
    return pending;
}

bool CMultiStrmMediaReadWorker::StreamThreadsIdle()
{
    if (PendingStreamPackages() > 0)
        return false;
    CReadLockGuard guard(m_threadMap.Lock());
    for (const auto &[id, record] : m_threadMap.Items()) {
        if (record->held > 0)
            return false;
    }
    return true;
}

int64_t CMultiStrmMediaReadWorker::DropQueuedPackages()
{
    int64_t dropped = 0;
    CReadLockGuard guard(m_threadMap.Lock());
    for (const auto &[id, record] : m_threadMap.Items()) {
        CCsLock queueGuard(record->queueLock);
        for (FramePackage &package : record->queue)
            FreeFramePackage(package);
        dropped += static_cast<int64_t>(record->queue.size());
        record->queue.clear();
        record->pending = false;
    }
    return dropped;
}

void CMultiStrmMediaReadWorker::DrainStreamThreads(uint32_t timeoutMs, int32_t statusCode)
{
    // A source that ends while it settles on new stamps lets go of what its threads hold now.
    if (m_sourceBase)
        m_sourceBase->clock.Settled(0, INT64_MAX);
    // Counted in 1 ms waits on the exit event, so that an injected clock cannot stretch it.
    for (uint32_t waited = 0; !StreamThreadsIdle(); ++waited) {
        if (waited >= timeoutMs || ExitRequested(1)) {
            const int64_t dropped = DropQueuedPackages();
            if (dropped > 0)
                TYX_LOG(5, L"MultiStrmMediaReadWorker[%s:%x]%lld pkts of the stream threads dropped before status(%d).",
                        m_name.c_str(), m_workerId, static_cast<long long>(dropped), statusCode);
            return;
        }
    }
}

int32_t CMultiStrmMediaReadWorker::SendStatusPaket2Consumers(int32_t statusCode, int64_t value)
{
    // The output items are the streams the source was found to carry (all configured ones while
    // it has not been opened). A consumer of a missing stream, a writer waiting for its sound,
    // would otherwise take the status for the stream's first package.
    std::vector<uint32_t> carried;
    {
        CReadLockGuard guard(m_outputItemsLock);
        for (const stTYXWorkerItemInfo &item : m_outputItems)
            carried.push_back(static_cast<uint32_t>(item.Id));
    }
    int32_t queued = 0;
    for (const uint32_t outputId : carried) {
        FramePackage status = MakeStatusPaket(statusCode, value);
        bool handedOver = false;
        queued += SendPaket2Consumers(handedOver, status, false, false, outputId);
    }
    return queued;
}

int32_t CMultiStrmMediaReadWorker::SendStatusAfterStreams(int32_t statusCode, int64_t value, uint32_t timeoutMs)
{
    DrainStreamThreads(timeoutMs, statusCode);
    return SendStatusPaket2Consumers(statusCode, value);
}

void CMultiStrmMediaReadWorker::SetSourceTimeBase(int64_t clockUs, int64_t mediaUs)
{
    if (m_sourceBase)
        m_sourceBase->SetOnce(clockUs - mediaUs);
}

int32_t CMultiStrmMediaReadWorker::OpenForConfiguration(const std::string &path, StreamRequestMap &video,
                                                        StreamRequestMap &audio, bool crucial)
{
    const std::wstring shown = SourcePathForLog();
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Openning Media source(%s) for CopyInConfiguration......", m_name.c_str(),
            m_workerId, shown.c_str());
    if (IsProcessScreenOutputOn())
        ConsolePrintfW(L"\t\t Connecting Media source(%s::%s) for Worker[ID=%x]...", m_name.c_str(), shown.c_str(), m_workerId);

    const StreamRequestMap videoAsked = video;
    const StreamRequestMap audioAsked = audio;
    int32_t result = m_reader->OpenMediaSource(path, &video, &audio);
    if (result >= 0)
        return result;
    TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Media source(%s) openning(for CopyInConfiguration) failed with err=%d!\n",
            m_name.c_str(), m_workerId, shown.c_str(), result);
    if (IsProcessScreenOutputOn())
        ConsolePrintf("Failed with error=%d !\n", result);
    if (!crucial || m_connectRetrySeconds <= 0)
        return result;

    const uint32_t firstFailure = NowTickMs();
    while (result < 0 && uint64_t(uint32_t(NowTickMs() - firstFailure)) < uint64_t(m_connectRetrySeconds) * 1000u) {
        if (ExitRequested(kConnectRetryPauseMs))
            break;
        video = videoAsked;
        audio = audioAsked;
        result = m_reader->OpenMediaSource(path, &video, &audio);
    }
    if (result < 0)
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d] Media source(%s) for Worker[ID=%d] connecting failed with err=%d after retry, give up!\n",
                m_name.c_str(), static_cast<int32_t>(m_workerId), shown.c_str(), static_cast<int32_t>(m_workerId), result);
    return result;
}

void CMultiStrmMediaReadWorker::KeepFoundStreams(const stMediaSourceReadWorkerConfig &source,
                                                 const StreamRequestMap &requests, int32_t mediaType)
{
    for (const auto &[number, index] : requests) {
        const auto configured = source.Streams.find(number);
        if (configured == source.Streams.end())
            continue;
        if (index < 0 || configured->second.MediaType != mediaType) {
            TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Configured stream[%d] not found in the media source.", m_name.c_str(),
                    m_workerId, static_cast<int32_t>(number));
            continue;
        }
        // Kept as configured: the index this open took holds for this open only. A relay numbers
        // its streams in the order their first packets come, which can differ at every publish.
        m_streamConfigs[number] = configured->second;
    }
}

const stTYXStreamConfig *CMultiStrmMediaReadWorker::ConfigOfStream(int16_t number, int32_t mediaType)
{
    const auto configured = m_streamConfigs.find(number);
    if (configured == m_streamConfigs.end())
        return nullptr;
    if (configured->second.MediaType != mediaType) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Stream[%d] of the media source is not of its configured media type(%d), not connected.",
                m_name.c_str(), m_workerId, static_cast<int32_t>(number), configured->second.MediaType);
        return nullptr;
    }
    return &configured->second;
}

int32_t CMultiStrmMediaReadWorker::PlaceStreamThread(int16_t subNo, int32_t kind, int16_t containerIndex)
{
    // Only the thread made for this very stream: another stream's thread would carry it under that
    // stream's output id and package kind.
    for (const auto &[id, record] : m_threadMap.Items()) {
        if (record->subNo == subNo && record->kind == kind) {
            record->containerIndex = containerIndex;
            return id;
        }
    }
    return 0;
}

int32_t CMultiStrmMediaReadWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *source = dynamic_cast<const stMediaSourceReadWorkerConfig *>(config);
    if (!source || CTYXWorker::CopyInConfiguration(config) < 0)
        return -1;
    m_msType = source->MSTYPE;
    if (!CreateReader(*source) || !m_reader) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x] Reader object creating failed!", m_name.c_str(), m_workerId);
        return -1;
    }
    // A stop aborts whatever the reader is blocked in (an open, a read).
    m_reader->SetAbortCheck([this] { return m_exitEvent->IsSet(); });
    m_useUTC = source->UseUTC;
    m_useNTP = source->UseNTP;

    StreamRequestMap video;
    StreamRequestMap audio;
    bool crucial = false;
    for (const auto &[number, stream] : source->Streams) {
        if (stream.MediaType == TYX_MEDIA_VIDEO)
            video[number] = stream.avStrmId;
        else if (stream.MediaType == TYX_MEDIA_AUDIO)
            audio[number] = stream.avStrmId;
        crucial = crucial || stream.CrucailStream;
    }

    if (OpenForConfiguration(WStringToString(m_sourcePath), video, audio, crucial) >= 0) {
        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%x]Media source openned for CopyInConfiguration successfully.",
                m_name.c_str(), m_workerId);
        if (IsProcessScreenOutputOn())
            ConsolePrintf("Connected.\n");
        // Keep the streams the source has, with the container index the reader took for them.
        m_streamConfigs.clear();
        KeepFoundStreams(*source, video, TYX_MEDIA_VIDEO);
        KeepFoundStreams(*source, audio, TYX_MEDIA_AUDIO);
        m_streamsFound = !m_streamConfigs.empty();
    } else {
        m_streamsFound = false;
        // A source that is down keeps what its streams are configured with; their numbers find
        // their streams at the first open that succeeds.
        m_streamConfigs.clear();
        for (const auto &[number, stream] : source->Streams) {
            if (stream.MediaType == TYX_MEDIA_VIDEO || stream.MediaType == TYX_MEDIA_AUDIO)
                m_streamConfigs[number] = stream;
        }
    }

    std::vector<stTYXWorkerItemInfo> outputs;
    StreamStatisticsMap statistics;
    auto addOutput = [&](int16_t number, const stTYXStreamConfig &stream) {
        stTYXWorkerItemInfo item;
        item.Id = static_cast<int32_t>(m_workerId) + number;
        item.No = number;
        item.Kind = KindOfMediaType(stream.MediaType);
        item.Name = stream.StrmAlias;
        outputs.push_back(item);
        statistics[static_cast<uint32_t>(item.Id)] = stStreamStatistics{};
    };
    for (const auto &[number, stream] : m_streamConfigs.empty() ? source->Streams : m_streamConfigs)
        addOutput(number, stream);
    {
        CWriteLockGuard guard(m_outputItemsLock);
        m_outputItems = std::move(outputs);
    }
    std::lock_guard<std::mutex> lock(m_statisticsMutex);
    m_outputStatistics = std::move(statistics);
    return 0;
}

int32_t CMultiStrmMediaReadWorker::Initialize(uint8_t flag, int32_t value)
{
    CTYXWorker::Initialize(flag, value);
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%x:%s] initializing...", m_workerId, m_name.c_str());
    CreateStrmProcThrdsByConfig();
    if (!m_reader)
        return 0;
    if (!m_reader->IsOpened()) {
        TYX_LOG(6, L"[%s:%x]Media source wasn't open, try to open it for initializing...", m_name.c_str(), m_workerId);
        const int32_t result = m_reader->Reopen();
        if (result < 0) {
            TYX_LOG(3, L"[%s:%x]Media source opening failed with error=%d.", m_name.c_str(), m_workerId, result);
            SetStreamState(TYX_STATUS_OPEN_FAILED);
        } else {
            TYX_LOG(6, L"[%s:%x]Media source opened for initializing successfully.", m_name.c_str(), m_workerId);
        }
        m_openedInInit = 1;
    }
    if (m_reader->IsOpened()) {
        OnMediaSourceOpenned(false);
        if (m_keepOpenAfterInit) {
            // A live source is not opened a second time for the thread: that costs the first
            // picture seconds, and a one-shot listener refuses it.
            TYX_LOG(6, L"[%s:%x]Media source kept open for the reading thread.", m_name.c_str(), m_workerId);
            return 0;
        }
        m_reader->Close();
        TYX_LOG(6, L"[%s:%x]Media source closed after initializing.", m_name.c_str(), m_workerId);
        SetStreamState(TYX_STATUS_CLOSED);
    }
    return 0;
}

void CMultiStrmMediaReadWorker::unInitialize()
{
    TYX_LOG(6, L"MultiStrmMediaReadWorker[%x:%s] uninitializing...", m_workerId, m_name.c_str());
    if (m_reader && m_reader->IsOpened())
        m_reader->Close();
    CTYXWorker::unInitialize();
}

std::shared_ptr<StrmPrcsThdPrmtrs> CMultiStrmMediaReadWorker::StartStreamThread(int16_t subNo, int16_t containerIndex,
                                                                               uint32_t outputId, int32_t kind,
                                                                               const stTYXStreamConfig *config)
{
    auto record = std::make_shared<StrmPrcsThdPrmtrs>();
    record->containerIndex = containerIndex;
    record->subNo = subNo;
    record->subNo2 = subNo;
    record->outputId = outputId;
    record->kind = kind;
    record->workerId = m_workerId;
    record->workerId2 = m_workerId;
    if (config)
        record->config = *config;
    // The thread finds its record by its id; until the caller has entered it, it waits.
    const int32_t threadId = StartChildThread([this] { return SingleStreamProcThread(); });
    if (threadId <= 0) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d] SingleStreamProcThread creating failed with lasterror=%d!",
                m_name.c_str(), static_cast<int32_t>(m_workerId), -threadId);
        return nullptr;
    }
    record->threadId = threadId;
    return record;
}

int32_t CMultiStrmMediaReadWorker::CreateStrmProcThrdsByConfig()
{
    CWriteLockGuard guard(m_threadMap.Lock());
    m_threadMap.Items().clear();
    int32_t made = 0;
    // Every thread starts free: each open of the source gives it the container index at which that
    // open found its stream.
    for (const auto &[number, stream] : m_streamConfigs) {
        auto record = StartStreamThread(number, -1, static_cast<uint32_t>(stream.StreamId),
                                        stream.MediaType == TYX_MEDIA_AUDIO ? TYX_PKT_KIND_CODED_AUDIO
                                                                             : TYX_PKT_KIND_CODED_VIDEO,
                                        &stream);
        if (!record)
            continue;
        m_threadMap.Items()[record->threadId] = record;
        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d] new StrmPrcsThdPrmtrs created.", m_name.c_str(),
                static_cast<int32_t>(m_workerId));
        ++made;
    }
    return made;
}

int32_t CMultiStrmMediaReadWorker::AddNewSSPThread(int16_t subNo, int16_t containerIndex, int32_t mediaType)
{
    auto record = StartStreamThread(subNo, containerIndex, m_workerId + static_cast<uint32_t>(subNo),
                                    mediaType == TYX_MEDIA_VIDEO ? TYX_PKT_KIND_CODED_VIDEO : TYX_PKT_KIND_CODED_AUDIO,
                                    nullptr);
    if (!record)
        return -1;
    CWriteLockGuard guard(m_threadMap.Lock());
    m_threadMap.Items()[record->threadId] = record;
    return record->threadId;
}

stStreamParams CMultiStrmMediaReadWorker::CopyAVStrmInfoToThdIOPam(int16_t number, const stMediaStreamInfo &info)
{
    stStreamParams params;
    params.sourceType = m_msType;
    params.mediaType = info.mediaType;
    int32_t codecId = info.codecId;
    // Kept by stream number: the container index of an earlier open may be another stream's now.
    if (codecId < 1 || codecId > kMaxValidCodecId) {
        TYX_LOG(3, L"MultiStrmMediaReadWorker[%s]Invalid AVCodecId [=%d] got for stream(%d)!", m_name.c_str(), codecId,
                info.streamIndex);
        const auto backup = m_backupCodecIds.find(number);
        if (backup != m_backupCodecIds.end() && backup->second.mediaType == info.mediaType) {
            codecId = backup->second.codecId;
            TYX_LOG(3, L"MultiStrmMediaReadWorker[%s]Backup AVCodecId [=%d] used for stream(%d).", m_name.c_str(), codecId,
                    info.streamIndex);
        }
    } else {
        m_backupCodecIds[number] = {info.mediaType, codecId};
    }
    params.codecId = codecId;
    const auto name = CodecNameTable().find(codecId);
    if (name != CodecNameTable().end())
        params.codecName = name->second;
    params.streamId = static_cast<uint16_t>(info.streamIndex);
    params.timeBase = {info.timeBase.num, info.timeBase.den};
    params.bitRate = static_cast<int32_t>(std::min<int64_t>(info.bitRate, INT32_MAX));
    params.profile = info.profile;
    params.level = info.level;
    if (info.mediaType == TYX_MEDIA_VIDEO) {
        params.width = static_cast<uint16_t>(info.width);
        params.height = static_cast<uint16_t>(info.height);
        params.pixelFormat = info.pixelFormat;
        params.bitDepth = info.bitDepth;
        params.frameSize = info.frameSize;
        params.frameRate = info.frameRate.den > 0 ? float(info.frameRate.num) / float(info.frameRate.den) : 0.0f;
    } else {
        params.sampleFormat = info.sampleFormat;
        params.sampleRate = info.sampleRate;
        params.frameSize = info.frameSize;
        av_channel_layout_copy(&params.channelLayout, &info.channelLayout);
    }
    params.SetExtradata(info.Extradata(), info.extradataSize);
    params.SetCodecParameters(info.codecParameters);
    return params;
}

int32_t CMultiStrmMediaReadWorker::OnMediaSourceOpenned(bool notify)
{
    if (!m_reader)
        return 0;
    std::map<int16_t, int16_t> indexes;
    if (m_reader->GetStreamIndexes(indexes) <= 0)
        return 0;

    // Output parameters go to the consumers only after the locks are released: the callback
    // reaches other workers, which may ask this one for its delays.
    std::vector<std::pair<uint32_t, stStreamParams>> published;
    const uint32_t session = ++m_sessionNo;
    // A new open starts a new time line: a live source's stamps begin anew.
    m_sourceBase = std::make_shared<stSourceTimeBase>();
    {
        CWriteLockGuard threads(m_threadMap.Lock());
        CWriteLockGuard table(m_streamTable.Lock());
        m_streamTable.Items().clear();
        // The streams are placed afresh: what an earlier open found at an index may be another
        // stream now, and a thread whose stream this open lacks serves nothing.
        for (const auto &[id, record] : m_threadMap.Items())
            record->containerIndex = -1;
        for (const auto &[number, index] : indexes) {
            stMediaStreamInfo *info = m_reader->GetStreamParameters(number);
            if (!info) {
                TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%d]Stream information getting failed.", m_name.c_str(),
                        static_cast<int32_t>(m_workerId));
                continue;
            }
            stStreamParams params = CopyAVStrmInfoToThdIOPam(number, *info);
            TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Timebase of the Media source is %d/%d.", m_name.c_str(),
                    static_cast<int32_t>(m_workerId), info->timeBase.num, info->timeBase.den);
            const stTYXStreamConfig *config = ConfigOfStream(number, info->mediaType);

            if (info->mediaType == TYX_MEDIA_VIDEO) {
                // A television rate stays its fraction (30000/1001): cut to 29 it would lose a
                // picture a second downstream.
                const AVRational wanted = config && config->OutputFramerate >= 1.0f
                                              ? ExactFrameRate(config->OutputFramerate)
                                              : AVRational{0, 1};
                if (wanted.num > 0 && wanted.den > 0) {
                    info->frameRate = wanted;
                    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Frame rate of Media source was set to %d fps by configuration.",
                            m_name.c_str(), static_cast<int32_t>(m_workerId),
                            static_cast<int32_t>(std::lround(av_q2d(wanted))));
                } else {
                    const int32_t rate = info->frameRate.den > 0 && info->frameRate.num > 0
                                             ? static_cast<int32_t>(std::lround(double(info->frameRate.num) / info->frameRate.den))
                                             : 0;
                    TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Frame rate got from Media source is %d fps.", m_name.c_str(),
                            static_cast<int32_t>(m_workerId), rate);
                    if (rate < kMinFrameRate || rate > kMaxFrameRate) {
                        TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Frame rate got(%d fps) exceeded valid range, corrected it to default (%d fps).",
                                m_name.c_str(), static_cast<int32_t>(m_workerId), rate, kDefaultFrameRate);
                        info->frameRate = AVRational{kDefaultFrameRate, 1};
                    }
                }
                // Consumers get the rate the stream is handled at.
                params.frameRate = float(info->frameRate.num) / float(info->frameRate.den);
            } else {
                TYX_LOG(6, L"MultiStrmMediaReadWorker[%s:%d]Sample rate of Media source is %d Hz.", m_name.c_str(),
                        static_cast<int32_t>(m_workerId), info->sampleRate);
            }

            const uint32_t outputId = m_workerId + static_cast<uint32_t>(number);
            params.timeBase = {1, 1000000};
            SetOutputParameters(params, outputId);
            if (notify && m_outputParamsCallback)
                published.emplace_back(outputId, params);

            auto estimate = std::make_shared<stStreamDelayEstimate>();
            estimate->outputId = outputId;
            estimate->mediaType = info->mediaType;
            estimate->configuredDelay = config ? config->EstmtDly : TYX_DELAY_UNKNOWN;
            estimate->delay = GetStreamDelayParam(config ? config->PiADTC : 0, config ? config->EstmtDly : TYX_DELAY_UNKNOWN);
            if (info->mediaType == TYX_MEDIA_VIDEO) {
                estimate->frameRate = float(info->frameRate.num) / float(info->frameRate.den);
            } else {
                estimate->sampleRate = float(info->sampleRate);
                estimate->audioFrameSize = static_cast<int16_t>(info->frameSize > 0 ? info->frameSize : 1024);
            }

            // The thread of this stream number and kind, else a new one.
            int32_t threadId = PlaceStreamThread(number, KindOfMediaType(info->mediaType), index);
            if (threadId == 0) {
                auto record = StartStreamThread(number, index, outputId,
                                                KindOfMediaType(info->mediaType), nullptr);
                if (record) {
                    threadId = record->threadId;
                    m_threadMap.Items()[threadId] = record;
                }
            }

            auto state = std::make_shared<stReadStreamState>();
            state->subNo = number;
            state->outputId = outputId;
            state->session = session;
            state->info = *info;
            if (config)
                state->config = *config;
            state->threadId = threadId;
            state->estimate = std::move(estimate);
            state->sourceBase = m_sourceBase;
            m_streamTable.Items()[index] = std::move(state);
        }
    }
    for (const auto &[outputId, params] : published)
        m_outputParamsCallback(this, outputId, &params);
    return 0;
}

std::shared_ptr<stReadStreamState> CMultiStrmMediaReadWorker::FindStream(int16_t containerIndex)
{
    CReadLockGuard guard(m_streamTable.Lock());
    const auto found = m_streamTable.Items().find(containerIndex);
    return found != m_streamTable.Items().end() ? found->second : nullptr;
}

std::shared_ptr<stReadStreamState> CMultiStrmMediaReadWorker::FindStreamByOutput(uint32_t outputId)
{
    CReadLockGuard guard(m_streamTable.Lock());
    for (const auto &[index, state] : m_streamTable.Items()) {
        if (state->outputId == outputId)
            return state;
    }
    return nullptr;
}

std::shared_ptr<StrmPrcsThdPrmtrs> CMultiStrmMediaReadWorker::FindThreadRecord(int32_t threadId)
{
    CReadLockGuard guard(m_threadMap.Lock());
    const auto found = m_threadMap.Items().find(threadId);
    return found != m_threadMap.Items().end() ? found->second : nullptr;
}

int32_t CMultiStrmMediaReadWorker::GetUpstreamDelay(uint32_t outputStreamId)
{
    const auto state = FindStreamByOutput(outputStreamId);
    return state && state->estimate ? state->estimate->delay.load() : TYX_DELAY_UNKNOWN;
}

std::map<int16_t, stReadStreamCounts> CMultiStrmMediaReadWorker::GetStreamStatisticsA(int16_t subNo)
{
    std::map<int16_t, stReadStreamCounts> counts;
    CReadLockGuard guard(m_streamTable.Lock());
    for (const auto &[index, state] : m_streamTable.Items()) {
        if (subNo != 0 && state->subNo != subNo)
            continue;
        std::lock_guard<std::mutex> lock(state->mutex);
        counts[state->subNo] = {state->subNo, state->packetsRead, state->unitsRead, state->packetsSent, state->unitsSent};
    }
    return counts;
}

std::map<int16_t, stReadStreamCounts> CMultiStrmMediaReadWorker::GetStreamStatisticsB(int16_t subNo)
{
    return GetStreamStatisticsA(subNo);
}

const CMultiStrmMediaReadWorker::stStreamRoute &CMultiStrmMediaReadWorker::RouteOf(int16_t containerIndex)
{
    // The stream table and the thread map change only when the source opens, which starts a
    // session: within one, what was found stays right.
    const uint32_t session = m_sessionNo.load();
    if (session != m_routesSession) {
        m_routes.clear();
        m_routesSession = session;
    }
    const auto known = m_routes.find(containerIndex);
    if (known != m_routes.end())
        return known->second;
    stStreamRoute route;
    route.state = FindStream(containerIndex);
    if (route.state)
        route.record = FindThreadRecord(route.state->threadId);
    return m_routes[containerIndex] = std::move(route);
}

int32_t CMultiStrmMediaReadWorker::QueuePaketToStreamThread(const FramePackage &package)
{
    const stStreamRoute &route = RouteOf(package.streamIndex);
    if (!route.record || route.record->containerIndex < 0)
        return 0;
    FramePackage copy;
    copy.inDevice = 0;
    if (DuplicateFramePackage(copy, package) < 0)
        return 0;
    const int32_t threadId = EnqueueForStreamThread(copy);
    if (threadId == 0)
        FreeFramePackage(copy);
    return threadId;
}

int32_t CMultiStrmMediaReadWorker::HandPaketToStreamThread(FramePackage &package)
{
    if (package.inDevice)
        return QueuePaketToStreamThread(package);
    const int32_t threadId = EnqueueForStreamThread(package);
    if (threadId != 0)
        ClearFramePackage(package);
    return threadId;
}

int32_t CMultiStrmMediaReadWorker::EnqueueForStreamThread(FramePackage &package)
{
    const stStreamRoute &route = RouteOf(package.streamIndex);
    if (!route.record || route.record->containerIndex < 0)
        return 0;
    StrmPrcsThdPrmtrs &record = *route.record;
    FramePackage queued = package;
    // The package's arrival, as near to its read as the main thread gets.
    queued.queuedTime = NowUs();
    {
        CCsLock queueGuard(record.queueLock);
        if (record.queue.size() >= TYX_STREAM_THREAD_QUEUE_LIMIT) {
            if (record.dropped++ % 1000 == 0)
                TYX_LOG(3, L"MultiStrmMediaReadWorker[%s:%x]Queue of stream thread[SubNo=%d] full, %lld pkts dropped.",
                        m_name.c_str(), m_workerId, record.subNo, static_cast<long long>(record.dropped));
            return 0;
        }
        record.queue.push_back(queued);
        record.pending = true;
    }
    // A thread that is busy or looking for packages goes on by itself; only a sleeping one is woken.
    if (record.sleeping)
        record.queued.Set();
    return record.threadId;
}

bool CMultiStrmMediaReadWorker::CountReadPackage(const FramePackage &package)
{
    const auto &state = RouteOf(package.streamIndex).state;
    if (!state)
        return false;
    ++state->packetsRead;
    if (package.mediaType == TYX_MEDIA_VIDEO)
        ++state->unitsRead;
    else if (package.mediaType == TYX_MEDIA_AUDIO && state->info.frameSize > 0)
        state->unitsRead += state->info.frameSize;
    CountPaket(state->outputId, package, true, false);
    return true;
}

bool CMultiStrmMediaReadWorker::HasStreamBaseTime(int16_t containerIndex)
{
    const auto state = FindStream(containerIndex);
    if (!state)
        return false;
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->streamBaseTime > 0;
}

bool CMultiStrmMediaReadWorker::AllStreamsHaveBaseTime()
{
    CReadLockGuard guard(m_streamTable.Lock());
    for (const auto &[index, state] : m_streamTable.Items()) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->streamBaseTime <= 0)
            return false;
    }
    return true;
}

int32_t CMultiStrmMediaReadWorker::ReserveKeyFrame(const FramePackage &package)
{
    if (package.streamIndex < 0)
        return -1;
    const auto state = FindStream(package.streamIndex);
    if (!state)
        return -2;
    FramePackage copy;
    copy.inDevice = 0;
    DuplicateFramePackage(copy, package);
    std::lock_guard<std::mutex> lock(state->mutex);
    FreeFramePackage(state->reservedKeyFrame);
    state->reservedKeyFrame = copy;
    return package.streamIndex;
}

void CMultiStrmMediaReadWorker::ReportReaderEvent(int32_t type)
{
    stTYXEvent event;
    event.type = type;
    event.workerId = static_cast<int32_t>(m_workerId);
    event.attributes["WorkerName"] = stTYXEventValue::WText(m_name);
    event.attributes["InputPath"] = stTYXEventValue::WText(SourcePathForLog());
    ReportTYXEvent(event);
}

int32_t CMultiStrmMediaReadWorker::WaitWorkerEvents(uint32_t timeoutMs)
{
    return WaitForAnyEvent({m_exitEvent.get(), m_startPushEvent.get(), m_stopPushEvent.get()}, timeoutMs);
}

int32_t CMultiStrmMediaReadWorker::StreamDropCount(int32_t mediaType) const
{
    return mediaType == TYX_MEDIA_VIDEO ? m_dropCountVideo : mediaType == TYX_MEDIA_AUDIO ? m_dropCountAudio : 0;
}
