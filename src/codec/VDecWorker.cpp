// CTYXVDecWorker: configuration, set-up and the decoding loop of every video decode worker.

#include "codec/VDecWorker.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdItem.h"
#include "vproc/OsdWriter.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <string>

namespace {

constexpr uint8_t kCodedVideoIn = 0x05;
constexpr uint8_t kRawVideoOut = 0x03;
constexpr int32_t kMaxCodecId = 65535;
constexpr float kDefaultNegotiatedRate = 30.0f;
constexpr uint32_t kLogEvery = 100; // repeated input faults are logged once per this many
constexpr uint32_t kFastRetries = 10;
constexpr uint32_t kSlowRetryWaitMs = 1000;

bool IsKnownCodecId(int32_t codecId)
{
    return codecId >= 1 && codecId <= kMaxCodecId;
}

bool ShouldLogRepeat(uint32_t count)
{
    return count == 1 || count % kLogEvery == 0;
}

} // namespace

CTYXVDecWorker::CTYXVDecWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
    : CRVProcWorker(workerId, inputLinks, consumerLinks, TYX_KIND_VIDEO_DECODER, false, false)
{
    m_inputStreamTypes = kCodedVideoIn;
    m_outputStreamTypes = kRawVideoOut;
    TYX_LOG(6, L"V-DecWorker[WID=%d] constructed.", static_cast<int32_t>(workerId));
}

CTYXVDecWorker::~CTYXVDecWorker()
{
    // The back-end has gone already and closed its decoder in its own destructor.
    ReleaseWorkingBuffer();
    for (FramePackage &frame : m_decodedFrames)
        FreeFramePackage(frame);
    m_decodedFrames.clear();
    TYX_LOG(6, L"V-Decoder[%s:%x] destructed.", m_name.c_str(), m_workerId);
}

// ---- configuration ----

int32_t CTYXVDecWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *decoder = dynamic_cast<const stVideoDecodeWorkerConfig *>(config);
    if (!decoder)
        return -1;
    CRVProcWorker::CopyInConfiguration(config);
    SetPipeOutputName(m_name, 0);
    if (decoder->RVTP) {
        SetRvtpServerOption(1, 0);
        m_pipeEnabled = 1;
    }
    if (decoder->DirectOutputSettings.DirectOutput)
        m_displayEnabled = EnableDirectOutput(decoder->DirectOutputSettings, 0) ? 1 : 0;

    // Status pictures are drawn on the configured background colour; left unset, the all-zero YUV
    // colour would show as dark green.
    m_bgColorYuv = InitOsgColor(OsgColorCodeToRgb(CTYXGVMS::GeneralSettings().DefaultBGC));

    m_outputFrameRate = decoder->OutputFramerate;
    if (m_outputFrameRate == -1.0f && CTYXGVMS::NegotiatedInputFrameRate().load() > 0.0f)
        m_outputFrameRate = CTYXGVMS::NegotiatedInputFrameRate().load();
    stStreamParams output;
    output.mediaType = TYX_MEDIA_VIDEO;
    output.timeBase = {1, 1000000};
    output.frameRate = m_outputFrameRate;
    output.pixelFormat = decoder->OutputPixelFormat;
    output.followFrameSize = 1;
    output.followFrameRate = 0;
    output.followPixelFormat = 0;
    SetOutputParameters(output, static_cast<uint32_t>(-1));

    const int32_t inputStreamId = decoder->VideoSource;
    m_cacheLength = 0;
    if (decoder->SourceCaching == 1) {
        const uint32_t sourceId = static_cast<uint32_t>(inputStreamId) & ~TYX_STREAM_BITS;
        const auto *source = dynamic_cast<const stMediaSourceReadWorkerConfig *>(CTYXGVMS::GetWorkerConfigById(sourceId));
        if (source)
            m_cacheLength = m_cacheDisabled ? 0 : source->GetStreamConfig(inputStreamId).ProactiveCache;
    }
    const std::vector<stTYXWorkerItemInfo> inputs = config->GetInputItems();
    const std::vector<stTYXWorkerItemInfo> outputs = config->GetOutputItems();
    if (!inputs.empty() && !outputs.empty()) {
        CWriteLockGuard guard(m_routeMap.Lock());
        m_routeMap.Items()[static_cast<uint32_t>(outputs.front().Id)] = inputs.front().Id;
    }
    return 0;
}

int32_t CTYXVDecWorker::SetInputParameters(const stStreamParams &params, uint32_t)
{
    CTYXWorker::SetInputParameters(params, static_cast<uint32_t>(-1));
    const stStreamParams current = GetOutputParameters();
    stStreamParams next = params;
    next.timeBase = current.timeBase.den > 1 ? current.timeBase : next.timeBase; // stamps stay in µs
    next.followFrameRate = current.followFrameRate;
    next.followFrameSize = current.followFrameSize;
    next.followPixelFormat = current.followPixelFormat;
    if (!current.followFrameRate)
        next.frameRate = current.frameRate;
    if (!current.followPixelFormat)
        next.pixelFormat = current.pixelFormat;
    if (!current.followFrameSize) {
        next.width = current.width;
        next.height = current.height;
        next.pitch = current.pitch;
    }
    SetOutputParameters(next, static_cast<uint32_t>(-1));
    if (next.width > 0 && next.height > 0) {
        const int32_t pitch = next.pitch ? next.pitch : next.width;
        const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(pitch));
        if (const auto writer = GetOsdWriter(TYX_OVERLAY_OUTPUT, 0))
            (void)writer->SetFrameSize(next.width, next.height, pitch, chromaPitch);
        if (const auto drawer = GetOsgDrawer(TYX_OVERLAY_OUTPUT, 0))
            (void)drawer->SetFrameSize(next.width, next.height, pitch, chromaPitch);
    }
    return 0;
}

// ---- set-up ----

void CTYXVDecWorker::SetUpFrameRate(float rate)
{
    if (!(rate > 0.0f))
        return;
    m_frameRateAdjuster.Init({1, 1000000}, 0.0f, rate);
    m_frameInterval = static_cast<int64_t>(1000000.0 / rate);
}

void CTYXVDecWorker::LogExtraData(const stStreamParams &input)
{
    std::wstring text;
    text.reserve(static_cast<size_t>(input.extradataSize) * 3);
    wchar_t byte[4] = {};
    for (int32_t i = 0; i < input.extradataSize; ++i) {
        std::swprintf(byte, 4, L"%2.2X ", input.extradata[i]);
        text += byte;
    }
    TYX_LOG(5, L"V-Decoder[%s:%x] SPS/PPS:Size=[%d], Data=[%s].\n", m_name.c_str(), m_workerId, input.extradataSize,
            text.c_str());
}

void CTYXVDecWorker::OpenDecoder(int32_t codecId, const stStreamParams &input, bool logFailure)
{
    m_currentInputStreamId = input.streamId;
    int32_t rc = -1;
    try {
        rc = InitializeDecoder(codecId);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"V-Decoder[%s:%x] decoder threw: %hs", m_name.c_str(), m_workerId, error.what());
        UninitializeDecoder();
        rc = -1;
    }
    if (rc < 0) {
        if (logFailure)
            TYX_LOG(3, L"V-Decoder[%s:%x] Initializing failed with error code=[%d]!", m_name.c_str(), m_workerId, rc);
        return;
    }
    if (IsDecoderLossLogDue())
        TYX_LOG(5, L"V-Decoder[%s:%x] initialized with Codec=%d, ExtraDataSize=%d", m_name.c_str(), m_workerId,
                codecId, input.extradataSize);
    if (m_screenOutput)
        ConsolePrintfW(L"Decoding worker[%x] %s initialized... \n", m_workerId, m_name.c_str());
    m_decoderReady = true;
}

int32_t CTYXVDecWorker::Initialize(uint8_t flag, int32_t value)
{
    CTYXWorker::Initialize(flag, value);
    m_useGpu = flag;
    TYX_LOG(6, L"V-Decoder[%s:%x] initializing...", m_name.c_str(), m_workerId);
    if (m_screenOutput)
        ConsolePrintfW(L"Decoding worker[%x] %s initializing...\n", m_workerId, m_name.c_str());
    // Readers exist by now, so the negotiated rate is known.
    if (m_outputFrameRate == -1.0f) {
        const float negotiated = CTYXGVMS::NegotiatedInputFrameRate().load();
        m_outputFrameRate = negotiated > 0.0f ? negotiated : kDefaultNegotiatedRate;
    }
    SetUpFrameRate(m_outputFrameRate);

    const stStreamParams input = GetInputParameters(0);
    if (!IsKnownCodecId(input.codecId)) {
        TYX_LOG(3, L"V-Decoder[%s:%x] Decoders not initialized for unknown codecID[%d].", m_name.c_str(), m_workerId,
                input.codecId);
    } else {
        OpenDecoder(input.codecId, input);
        if (input.extradataSize > 0 && input.extradata) {
            if (SafeDecodeExtraData(input) < 0)
                TYX_LOG(3, L"V-Decoder[%s:%x] SPS/PPS decoding failed!!", m_name.c_str(), m_workerId);
            LogExtraData(input);
        }
    }
    SetUpStatusWriter();
    return 0;
}

int32_t CTYXVDecWorker::SafeDecodeExtraData(const stStreamParams &input)
{
    try {
        return DecodeExtraData(input.extradata, input.extradataSize);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"V-Decoder[%s:%x] decoder threw: %hs", m_name.c_str(), m_workerId, error.what());
        UninitializeDecoder();
        return -1;
    }
}

void CTYXVDecWorker::SetUpStatusWriter()
{
    m_statusWriter = CreateStatusOsdWriter(OSD_POS_CENTER);
    (void)m_statusWriter->SetFrameSize(0, 0, 0, 0);
}

void CTYXVDecWorker::unInitialize()
{
    TYX_LOG(6, L"V-Decoder[%s:%x] uninitializing...", m_name.c_str(), m_workerId);
    UninitializeDecoder();
    m_decoderReady = false;
    ReleaseWorkingBuffer();
    CRVProcWorker::unInitialize();
}

int32_t CTYXVDecWorker::AllocateWorkingBuffer(uint32_t size, bool inDevice)
{
    if (m_workingBuffer && m_workingSize == size && m_workingInDevice == inDevice)
        return 0;
    ReleaseWorkingBuffer();
    if (size == 0)
        return GPU_ERROR_INVALID_VALUE;
    void *buffer = nullptr;
    if (inDevice) {
        const GpuError rc = DevMalloc(&buffer, size);
        if (rc != GPU_SUCCESS)
            return rc;
    } else {
        buffer = new (std::nothrow) uint8_t[size];
        if (!buffer)
            return GPU_ERROR_MEMORY_ALLOCATION;
    }
    m_workingBuffer = buffer;
    m_workingSize = size;
    m_workingInDevice = inDevice;
    return 0;
}

void CTYXVDecWorker::ReleaseWorkingBuffer()
{
    if (!m_workingBuffer)
        return;
    if (m_workingInDevice)
        (void)DevFree(m_workingBuffer);
    else
        delete[] static_cast<uint8_t *>(m_workingBuffer);
    m_workingBuffer = nullptr;
    m_workingSize = 0;
}

CTYXVDecWorker::stCacheMarks CTYXVDecWorker::ComputeCacheMarks(uint16_t cacheLengthMs, float inputFps)
{
    // The target must stay reachable: a link holds at most this many coded packages.
    const auto cap = static_cast<int32_t>(FramePackageQueueLimit(TYX_PKT_KIND_CODED_VIDEO)) - 1;
    stCacheMarks marks;
    const float wanted = static_cast<float>(cacheLengthMs) * inputFps / 1000.0f;
    marks.target = std::min<int32_t>(static_cast<uint16_t>(static_cast<int32_t>(wanted)), cap);
    marks.low = marks.target / 3;
    marks.high = std::min<int32_t>(static_cast<int32_t>(std::ceil(marks.target * 1.1)), cap);
    return marks;
}

int64_t CTYXVDecWorker::FrameDuration(float inputFps) const
{
    if (inputFps > 0.0f)
        return static_cast<int64_t>(1000000.0 / inputFps);
    return m_frameInterval > 0 ? m_frameInterval : static_cast<int64_t>(1000000.0 / m_defaultFrameRate);
}

bool CTYXVDecWorker::HasConsumers()
{
    CReadLockGuard guard(m_consumerLinks.Lock());
    const ConsumerLinkMap &streams = m_consumerLinks.Items();
    return std::any_of(streams.begin(), streams.end(), [](const auto &stream) { return !stream.second.empty(); });
}

// ---- the decoding loop ----

uint32_t CTYXVDecWorker::WorkingFunc()
{
    const auto tid = static_cast<int32_t>(m_threadId);
    TYX_LOG(5, L"V-Decoder[%s:%x] Video decoding Thread[%d] Starting.", m_name.c_str(), m_workerId, tid);
    if (GetInputLinkCount() <= 0) {
        TYX_LOG(3, L"There no input queue for the V-Decoder[%s:%x]...exit.", m_name.c_str(), m_workerId);
        return 4;
    }
    stLoopState state;
    state.lastReceiveTick = NowTickMs();
    TYX_LOG(6, L"V-Decoder[%s:%x] codec type is %d...", m_name.c_str(), m_workerId, GetInputParameters(0).codecId);
    for (;;) {
        const ELoopStep step = WaitForSignals(state);
        if (step == ELoopStep::Exit)
            break;
        if (step == ELoopStep::Wait)
            continue;
        FramePackage package;
        const int32_t queued = ReceivePaketFromUpStream(package, 0, false);
        if (queued < 0)
            state.waitMs = kRetryWaitMs;
        else if (queued == 0)
            HandleNothingReceived(state);
        else
            HandleReceived(state, package);
    }
    TYX_LOG(6, L"V-Decoder[%s:%x] Thread[%d] Received exit signal, exiting...", m_name.c_str(), m_workerId, tid);
    TYX_LOG(5, L"V-Decoder[%s:%x] Video decoding Thread[%d] exiting.", m_name.c_str(), m_workerId, tid);
    if (m_pipeEnabled && GetRvtpServer(0))
        StopRvtpServer(true, 0);
    if (m_displayEnabled && GetRvdoServer(0))
        StopRvdoServer(true, 0);
    FreeLoopState(state);
    return state.pushed;
}

void CTYXVDecWorker::FreeLoopState(stLoopState &state)
{
    for (FramePackage &frame : state.converted)
        FreeFramePackage(frame);
    state.converted.clear();
    for (FramePackage &frame : m_decodedFrames)
        FreeFramePackage(frame);
    m_decodedFrames.clear();
}

CTYXVDecWorker::ELoopStep CTYXVDecWorker::WaitForSignals(stLoopState &state)
{
    if (state.waitMs > kCacheWaitMs)
        TYX_LOG(5, L"V-Decoder[%s:%x] Timed out is [%d] ms in waiting signal!", m_name.c_str(), m_workerId,
                static_cast<int32_t>(state.waitMs));
    const int32_t signalled =
        WaitForAnyEvent({m_exitEvent.get(), m_startPushEvent.get(), m_stopPushEvent.get()}, state.waitMs);
    if (signalled == TYX_WAIT_TIMEOUT) {
        if (state.paused) {
            state.waitMs = kIdleWaitMs;
            return ELoopStep::Wait;
        }
        return ELoopStep::Go;
    }
    state.waitMs = 0;
    if (signalled == TYX_WAIT_OBJECT_0)
        return ELoopStep::Exit;
    if (signalled == TYX_WAIT_OBJECT_0 + 1) {
        TYX_LOG(6, L"V-Decpder[%s:%x] Recieved Start-data-pushing signal.", m_name.c_str(), m_workerId);
        if (!state.paused)
            return ELoopStep::Wait;
        state.paused = false;
        return ELoopStep::Go;
    }
    TYX_LOG(6, L"V-Decpder[%s:%x] Recieved Stop-data-pushing signal.", m_name.c_str(), m_workerId);
    state.paused = true;
    return ELoopStep::Wait;
}

void CTYXVDecWorker::HandleNothingReceived(stLoopState &state)
{
    if (NowTickMs() - state.lastReceiveTick < kInputTimeoutMs) {
        state.waitMs = kIdleWaitMs;
        return;
    }
    HandleInputTimeout(state);
}

void CTYXVDecWorker::HandleReceived(stLoopState &state, FramePackage &package)
{
    const int64_t now = NowUs();
    if (package.readTime > 0 && package.queuedTime > 0)
        TYX_LOG(6, L"V-Decoder[%s:%x] Paket(pts=[%lld],dts=[%lld], size=%d) received, [%d//[%d]us past since it "
                   L"received//pushed by upstream.",
                m_name.c_str(), m_workerId, static_cast<long long>(package.pts), static_cast<long long>(package.dts),
                package.nLength, static_cast<int32_t>(now - package.readTime),
                static_cast<int32_t>(now - package.queuedTime));
    if (state.timedOut) {
        TYX_LOG(5, L"V-Decoder[%s:%x] Recovered at[%lld] from receiving-Timed-out, with 1st received pts=[%lld],dts=[%lld], "
                   L"size=%d, and the prvs pushed pts=[%lld].",
                m_name.c_str(), m_workerId, static_cast<long long>(now), static_cast<long long>(package.pts),
                static_cast<long long>(package.dts), package.nLength, static_cast<long long>(m_lastPushedPts));
        state.timedOut = false;
    }
    state.lastReceiveTick = NowTickMs();
    // Either direct output alone is worth decoding for: a preview without consumers stays live.
    if (!HasConsumers() && !m_pipeEnabled && !m_displayEnabled) {
        FreeFramePackage(package);
        PopPaketsFromInputQueue(true, false, 1, 0);
        state.waitMs = 0;
        return;
    }
    if (package.nLength <= 0)
        HandleStatusPackage(state, package);
    else
        HandleCodedPackage(state, package);
}

void CTYXVDecWorker::DropInput(FramePackage &package, stLoopState &state)
{
    FreeFramePackage(package);
    PopPaketsFromInputQueue(true, false, 1, 0);
    state.waitMs = 0;
}

void CTYXVDecWorker::HandleCodedPackage(stLoopState &state, FramePackage &package)
{
    if (!package.pData) {
        DropInput(package, state);
        return;
    }
    // A picture or an audio block here would be fed to the codec as if it were a bitstream.
    if (package.kind != TYX_PKT_KIND_CODED_VIDEO) {
        if (ShouldLogRepeat(++state.wrongKind))
            TYX_LOG(3, L"V-Decoder[%s:%x] Paket(kind=%d, length=%d) is no coded video, discarded (%u so far).",
                    m_name.c_str(), m_workerId, package.kind, package.nLength, state.wrongKind);
        DropInput(package, state);
        return;
    }
    if (!PassKeyFrameGate(state, package))
        return;
    if (!EnsureDecoderReady(state)) {
        FreeFramePackage(package);
        // A codec that will not open is retried more slowly after a while, so it cannot flood the log.
        state.waitMs = state.initFailures > kFastRetries ? kSlowRetryWaitMs : kRetryWaitMs;
        return;
    }
    if (HoldForCache(state)) {
        FreeFramePackage(package);
        state.waitMs = kCacheWaitMs;
        return;
    }
    DecodeAndSend(state, package);
}

bool CTYXVDecWorker::PassKeyFrameGate(stLoopState &state, FramePackage &package)
{
    if (state.keySeen)
        return true;
    if (!(package.flags & TYX_PKT_FLAG_KEY)) {
        TYX_LOG(7, L"V-Decoder[%s:%x] Pkt(pts=%lld,length=%d) before 1st Key frame received discarded.", m_name.c_str(),
                m_workerId, static_cast<long long>(package.pts), package.nLength);
        DropInput(package, state);
        return false;
    }
    if (IsDecoderLossLogDue())
        TYX_LOG(6, L"V-Decoder[%s:%x] Key frame received (pts=%lld,length=%d).", m_name.c_str(), m_workerId,
                static_cast<long long>(package.pts), package.nLength);
    state.keySeen = true;
    return true;
}

// A decoder that the failure closed (the back-end's choice or the exception) is opened again on the next
// package: its references are gone, so decoding starts over at a key frame.
void CTYXVDecWorker::CloseKeyFrameGate(stLoopState &state, bool logIt)
{
    state.keySeen = false;
    ++m_decoderLosses;
    if (logIt)
        TYX_LOG(4, L"V-Decoder[%s:%x] Decoder closed after a failure (%u in a row): decoding goes on at the next key frame.",
                m_name.c_str(), m_workerId, m_decoderLosses);
}

bool CTYXVDecWorker::IsDecoderLossLogDue() const
{
    return ShouldLogRepeat(m_decoderLosses);
}

bool CTYXVDecWorker::EnsureDecoderReady(stLoopState &state)
{
    if (m_decoderReady)
        return true;
    const stStreamParams input = GetInputParameters(0);
    OpenDecoder(input.codecId, input, ShouldLogRepeat(state.initFailures + 1));
    if (!m_decoderReady) {
        ++state.initFailures;
        return false;
    }
    state.initFailures = 0;
    if (input.extradataSize > 0 && input.extradata && SafeDecodeExtraData(input) < 0)
        TYX_LOG(3, L"V-Decoder[%s:%x] SPS/PPS decoding failed!!", m_name.c_str(), m_workerId);
    if (m_outputFrameRate == -2.0f && input.frameRate > 0.0f) {
        m_outputFrameRate = input.frameRate;
        SetUpFrameRate(m_outputFrameRate);
    }
    if (IsDecoderLossLogDue())
        TYX_LOG(6, L"V-Decoder[%s:%x] Frame rate adjustment parameters initialized.", m_name.c_str(), m_workerId);
    return m_decoderReady;
}

bool CTYXVDecWorker::HoldForCache(stLoopState &state)
{
    if (m_cacheDisabled || m_cacheLength == 0)
        return false;
    const int32_t queued = GetQueuedPktsCount();
    const uint32_t now = NowTickMs();
    if (!state.marksSet) {
        state.marks = ComputeCacheMarks(m_cacheLength, GetInputParameters(0).frameRate);
        state.marksSet = true;
    }
    if (queued != state.lastQueued) {
        state.lastQueued = queued;
        state.lastQueueChangeTick = now;
    }
    // A source that stops while the cache fills would otherwise keep its last packets for ever.
    const bool stalled = now - state.lastQueueChangeTick >= kInputTimeoutMs;
    if (state.initialFill) {
        if (queued < state.marks.target && !stalled) {
            LogCaching(state, queued, true);
            return true;
        }
        LogCaching(state, queued, false);
        state.initialFill = false;
        return false;
    }
    if (!state.caching) {
        if (queued >= state.marks.low)
            return false;
        state.caching = true;
        state.lastQueueChangeTick = now;
        LogCaching(state, queued, true);
        return true;
    }
    if (queued < state.marks.high && !stalled)
        return true;
    LogCaching(state, queued, false);
    state.caching = false;
    return false;
}

void CTYXVDecWorker::LogCaching(stLoopState &state, int32_t queued, bool start)
{
    if (start && !state.cachingLogged) {
        TYX_LOG(6, L"V-Decoder[%s:%x]: There only (%d) pakets in cache, start caching...", m_name.c_str(), m_workerId,
                queued);
        state.cachingLogged = true;
    } else if (!start) {
        TYX_LOG(6, L"V-Decoder[%s:%x]: There enough (%d) pakets in cache, stop caching.", m_name.c_str(), m_workerId,
                queued);
        state.cachingLogged = false;
    }
}

void CTYXVDecWorker::DecodeAndSend(stLoopState &state, FramePackage &package)
{
    PopPaketsFromInputQueue(true, false, 1, 0);
    const int64_t pts = package.pts;
    const int64_t dts = package.dts;
    const int32_t length = package.nLength;
    const bool key = (package.flags & TYX_PKT_FLAG_KEY) != 0;
    for (FramePackage &frame : m_decodedFrames)
        FreeFramePackage(frame);
    m_decodedFrames.clear();
    int32_t rc = -1;
    try {
        rc = DecodeFrame(package, m_decodedFrames);
    } catch (const std::exception &error) {
        if (IsDecoderLossLogDue())
            TYX_LOG(3, L"V-Decoder[%s:%x] decoder threw: %hs", m_name.c_str(), m_workerId, error.what());
        UninitializeDecoder();
        m_decoderReady = false;
    }
    const bool due = IsDecoderLossLogDue();
    if (rc < 0 && due)
        TYX_LOG(3, L"V-Decoder[%s:%x] Video frame(pts=%lld) decoding failed.", m_name.c_str(), m_workerId,
                static_cast<long long>(pts));
    if (!m_decoderReady)
        CloseKeyFrameGate(state, due);
    FreeFramePackage(package);
    state.waitMs = 0;
    if (m_decodedFrames.empty()) {
        if (key && due)
            TYX_LOG(5, L"V-Decoder[%s:%x] No raw frame returned after ecd-key-frame[pts=%lld, dts=%lld, size=%d] commited!",
                    m_name.c_str(), m_workerId, static_cast<long long>(pts), static_cast<long long>(dts), length);
        return;
    }
    m_decoderLosses = 0;
    FollowDecodedSize(state);
    for (FramePackage &frame : m_decodedFrames)
        SendDecodedFrame(state, frame);
    m_decodedFrames.clear();
}

void CTYXVDecWorker::FollowDecodedSize(stLoopState &state)
{
    stDecodedFrameInfo info;
    if (GetDecodedFrameInfo(info) < 0)
        return;
    const stStreamParams input = GetInputParameters(0);
    // Checked on every batch, not only before the first picture: a source may change its size.
    if (info.width != input.width || info.height != input.height || info.pitch != input.pitch) {
        stStreamParams changed = input;
        changed.width = info.width;
        changed.height = info.height;
        changed.pitch = info.pitch;
        changed.pitchUV = info.pitch;
        changed.bitDepth = info.bitDepth;
        SetInputParameters(changed, static_cast<uint32_t>(-1));
        const stStreamParams output = GetOutputParameters();
        if (m_outputParamsCallback)
            m_outputParamsCallback(this, m_workerId + 1, &output);
        TYX_LOG(5, L"V-Decoder[%s:%x] Decoded picture size is %dx%d now.", m_name.c_str(), m_workerId, info.width,
                info.height);
    }
    if (info.width > 0 && info.height > 0) {
        // Default pictures between decoded ones keep the stream's size.
        m_defaultWidth = info.width;
        m_defaultHeight = info.height;
        m_defaultPitch = info.width;
    }
    if (!state.mdpMade) {
        (void)CreateMdpFrame(static_cast<uint32_t>(info.width) * info.height * 4);
        state.mdpMade = true;
    }
    if (state.serversStarted)
        return;
    state.serversStarted = true;
    if (info.width > 0 && info.height > 0) {
        if (m_pipeEnabled)
            StartRvtpServer(info.width, info.height, 0);
        if (m_displayEnabled)
            StartRvdoServer(info.width, info.height, 0);
    } else {
        TYX_LOG(3, L"V-Decoder[%s:%x][Tid:%d] Invalid video frame size[w=%d, h=%d]!", m_name.c_str(), m_workerId,
                static_cast<int32_t>(m_threadId), info.width, info.height);
    }
}

void CTYXVDecWorker::SendDecodedFrame(stLoopState &state, FramePackage &frame)
{
    if (!frame.pData || frame.nLength <= 0) {
        TYX_LOG(3, L"V-Decoder[%s:%x] NULL frame data pointer returned!", m_name.c_str(), m_workerId);
        FreeFramePackage(frame);
        return;
    }
    if (frame.flags & TYX_PKT_FLAG_DISCARD) {
        TYX_LOG(6, L"V-Decoder[%s:%x] Decoded frame(pts=%lld) was marked as Discard, skip it!", m_name.c_str(),
                m_workerId, static_cast<long long>(frame.pts));
        FreeFramePackage(frame);
        return;
    }
    frame.duration = FrameDuration(GetInputParameters(0).frameRate);
    DrawOsdgOnFrame(frame);
    PushFrameToDirectOutputs(frame);
    if (!HasConsumers()) {
        TYX_LOG(7, L"V-Decoder[%s:%x] Paket(pts=%lld) discard for no consumers!", m_name.c_str(), m_workerId,
                static_cast<long long>(frame.pts));
        FreeFramePackage(frame);
        return;
    }
    frame.dts = TYX_NOPTS_VALUE;
    TYX_LOG(8, L"V-Decoder[%s:%x] Frame for FRA duplicated[pts=%lld].", m_name.c_str(), m_workerId,
            static_cast<long long>(frame.pts / 1000));
    if (!m_frameRateAdjuster.ConversionNeeded()) {
        SendOne(state, frame);
        return;
    }
    m_frameRateAdjuster.ConvertFrame(frame, state.converted);
    while (!state.converted.empty()) {
        FramePackage out = state.converted.front();
        state.converted.pop_front();
        SendOne(state, out);
    }
}

void CTYXVDecWorker::SendOne(stLoopState &state, FramePackage &frame)
{
    frame.mediaType = TYX_MEDIA_VIDEO;
    frame.kind = TYX_PKT_KIND_RAW_VIDEO;
    const int64_t pts = frame.pts;
    bool taken = false;
    SendPaket2Consumers(taken, frame, true, true, 0);
    if (!taken)
        FreeFramePackage(frame);
    m_lastPushTime = NowUs();
    m_lastPushedPts = pts;
    ++state.pushed;
    if (state.pushed == 1)
        m_firstOutputTick = NowTickMs();
}
