// The video encode worker base: parameters, the encoder's opening and the encoding thread.

#include "codec/VEncWorker.h"

#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "host/GlobalVars.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"
#include "platform/TickCount.h"
#include "vproc/OSGdrawer.h"
#include "vproc/OsdWriter.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

constexpr float kDefaultFrameRate = 30.0f;
constexpr uint32_t kReceiveFailedWaitMs = 100;
constexpr uint32_t kIdleWaitMs = 20;
constexpr size_t kCommittedWindow = 300;
// The coded packets carry the pictures' own µs stamps, and a writer expresses them in the base its
// producer declares. A base of one frame would move each picture by up to half a frame against the
// sound that shares its origin, and would lay pictures of a rate that is not whole (29.97 in 1/29)
// on one another.
constexpr stTimeBase kCodedStampBase{1, 1000000};
// The least step between two decode stamps that every container still tells apart (FLV counts ms).
constexpr int64_t kLeastDtsStepUs = 1000;
// CommitAndEncode's result for a picture stamped at or before the one before it.
constexpr int32_t kPictureNotAfterLast = -2;
// A stopped thread is waited for 3 s; what the encoder still holds is collected for 2 s of them,
// so that the thread ends in that time and its last packets reach the writers, which stop next.
constexpr uint32_t kFlushBudgetMs = 2000;

long long LL(int64_t value)
{
    return static_cast<long long>(value);
}

} // namespace

const wchar_t *PictureTypeName(uint32_t pictureType)
{
    switch (pictureType) {
    case 0: return L"P Frame(Forward predicted)";
    case 1: return L"B Frame(Bi-directionally predicted picture)";
    case 2: return L"I Frame(Intra predicted picture)";
    case 3: return L"I Frame(IDR picture)";
    case 4: return L"Bi-directionally predicted with only Intra MBs";
    case 5: return L"Picture is skipped";
    case 6: return L"First picture in intra refresh cycle";
    case 7: return L"P Frame(Non reference P picture)";
    default: return L"Unknown picture type";
    }
}

EncodedBytes CopyEncodedBytes(const uint8_t *data, int32_t size)
{
    if (!data || size <= 0)
        return nullptr;
    FramePackage holder;
    if (AllocFramePackageData(holder, size) != size)
        return nullptr;
    std::memcpy(holder.pData, data, static_cast<size_t>(size));
    return EncodedBytes(holder.pData);
}

// What the encoding thread keeps between passes.
struct CTYXEncWorker::stLoopState
{
    EncodedOutputs outputs;
    FramePackageQueue conversion;
    stCommittedPictures committed;
    FramePackage last;                    // the last picture encoded: what a short gap repeats
    int64_t frames = 0;                   // taken from the input: encoded, skipped or without consumer
    int64_t commits = 0;
    int64_t sent = 0;
    int64_t encodeMs = 0;
    uint32_t firstOutputTick = 0;
    uint32_t waitMs = 0;
    int32_t threadId = 0;
    bool exitInOutputs = false;
    bool stopping = false;                // the exit event was seen: the held pictures go out at the end
    int64_t lastCommittedPts = TYX_NOPTS_VALUE;
    int64_t leftOut = 0;                  // pictures not after the one before
    int64_t scaleFailures = 0;
    uint16_t scaledFromWidth = 0;         // the last size scaled to the back-end's
    uint16_t scaledFromHeight = 0;
};

CTYXEncWorker::CTYXEncWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
    : CRVProcWorker(workerId, inputLinks, consumerLinks, TYX_KIND_VIDEO_ENCODER, false, false)
{
    m_inputStreamTypes = TYX_STRM_LINKED | TYX_STRM_RAW_VIDEO;
    m_outputStreamTypes = TYX_STRM_LINKED | TYX_STRM_CODED_VIDEO;
    m_encodeParams.pixelFormat = -1;
    m_gpuNumber = -1;
}

CTYXEncWorker::~CTYXEncWorker() = default;

bool CTYXEncWorker::CheckCodecName(std::wstring &name)
{
    name.clear();
    return true;
}

bool CTYXEncWorker::ReservedEncoderCheck(const stVideoEncodeParams &, stVideoEncodeParams &)
{
    return true;
}

// ---- configuration ----

int32_t CTYXEncWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (!config)
        return -1;
    CTYXWorker::CopyInConfiguration(config);
    const auto *encoder = dynamic_cast<const stVideoEncodeWorkerConfig *>(config);
    if (!encoder)
        return -1;
    SetInputParameters(stStreamParams(), static_cast<uint32_t>(-1));

    stVideoEncodeSettings &settings = m_encodeSettings;
    settings.Width = encoder->Width;
    settings.Height = encoder->Height;
    settings.OutputFramerate = encoder->OutputFramerate;
    settings.GopLengh = encoder->GopLengh;
    settings.BitRate = encoder->BitRate;
    settings.LowLatency = encoder->LowLatency;
    settings.VCodec = encoder->VCodec;
    settings.VCodecName = encoder->VCodecName;
    settings.Profile = encoder->Profile;
    settings.Preset = encoder->Preset;
    settings.Usage = encoder->Usage;

    stStreamParams output;
    output.mediaType = TYX_MEDIA_VIDEO;
    output.codecId = settings.VCodec;
    output.codecName = settings.VCodecName;
    output.profileName = settings.Profile;
    output.width = settings.Width;
    output.height = settings.Height;
    output.frameRate = settings.OutputFramerate;
    output.gopSize = settings.GopLengh;
    output.bitRate = settings.BitRate;
    output.timeBase = kCodedStampBase;
    SetOutputParameters(output, static_cast<uint32_t>(-1));

    CReadLockGuard inputs(m_inputItemsLock);
    CReadLockGuard outputs(m_outputItemsLock);
    if (!m_inputItems.empty() && !m_outputItems.empty()) {
        CWriteLockGuard guard(m_routeMap.Lock());
        m_routeMap.Items()[static_cast<uint32_t>(m_outputItems.front().Id)] = m_inputItems.front().Id;
    }
    return 0;
}

int32_t CTYXEncWorker::SetInputParameters(const stStreamParams &params, uint32_t)
{
    CTYXWorker::SetInputParameters(params, static_cast<uint32_t>(-1));
    m_outputFrameWidth = params.width;
    m_outputFrameHeight = params.height;
    return 0;
}

// ---- initialisation ----

int32_t CTYXEncWorker::Initialize(uint8_t useGpu, int32_t gpuNumber)
{
    unInitialize();
    CTYXWorker::Initialize(useGpu, gpuNumber);
    m_gpuNumber = gpuNumber;
    TYX_LOG(6, L"VEncWorker[%s:%x] initializing...", m_name.c_str(), m_workerId);
    if (m_screenOutput)
        ConsolePrintfW(L"Video Encoding Worker[%s:%x] initializing...\n", m_name.c_str(), m_workerId);

    if (m_encodeSettings.VCodecName.empty()) {
        TYX_LOG(2, L"VEncWorker[%s:%x] Initializing failed for codec type not determined! ", m_name.c_str(), m_workerId);
        unInitialize();
        return -1;
    }
    std::wstring codecName = m_encodeSettings.VCodecName;
    if (!CheckCodecName(codecName)) {
        TYX_LOG(2, L"VEncWorker[%s:%x] Initializing failed for the specified codec type(%s) not support! ",
                m_name.c_str(), m_workerId, m_encodeSettings.VCodecName.c_str());
        unInitialize();
        return -1;
    }
    const int32_t filled = FillEncodeParams();
    if (filled < 0) {
        TYX_LOG(2, L"VEncWorker[%s:%x] Initializing failed for Output frame size not determined! ", m_name.c_str(),
                m_workerId);
        unInitialize();
        return -1;
    }
    stVideoEncodeParams checked;
    if (!ReservedEncoderCheck(m_encodeParams, checked)) {
        TYX_LOG(2, L"VEncWorker[%s:%x] Initializing failed for some specified parameters not support! ",
                m_name.c_str(), m_workerId);
        unInitialize();
        return -1;
    }
    const stStreamParams input = GetInputParameters(0);
    // The encoder keeps its own rate whatever its input's: pictures are converted to it, and a short
    // gap that the producer left (a mux that could not keep its pace) is filled, even where the two
    // rates agree.
    if (m_encodeParams.frameRate > 0.0f) {
        m_frameRateAdjuster.Init(stTimeBase{1, 1000000}, input.frameRate, m_encodeParams.frameRate);
        TYX_LOG(6, L"V-Encoder[%s:%x] Frame rate adjustment parameters initialized.", m_name.c_str(), m_workerId);
    }
    const int32_t result = InitializeEncoder(m_encodeParams);
    if (result < 0) {
        TYX_LOG(3, L"VEncWorker[%s:%x] Video encoder initializing failed with err=%d!", m_name.c_str(), m_workerId,
                result);
        return result;
    }
    TYX_LOG(6, L"VEncWorker[%s:%x] Video encoder initialized successfully.", m_name.c_str(), m_workerId);
    if (m_screenOutput)
        ConsolePrintfW(L"Video Encoder[%s:%x] initialized.\n", m_name.c_str(), m_workerId);
    TakeSequenceHeader();
    if (const std::shared_ptr<COsdWriter> writer = GetOsdWriter(TYX_OVERLAY_INPUT, 0))
        (void)writer->SetFrameSize(m_encodeParams.width, m_encodeParams.height, m_encodeParams.width,
                                   static_cast<int32_t>(I420ChromaPitch(m_encodeParams.width)));
    return 0;
}

// Resolves the parameters from the settings and the input stream: 0, or -1 without a picture size.
int32_t CTYXEncWorker::FillEncodeParams()
{
    const stVideoEncodeSettings &settings = m_encodeSettings;
    const stStreamParams input = GetInputParameters(0);
    stVideoEncodeParams params;
    params.inputWidth = input.width;
    params.inputHeight = input.height;
    const bool configuredSize = settings.Width != 0 && settings.Height != 0;
    params.width = configuredSize ? settings.Width : input.width;
    params.height = configuredSize ? settings.Height : input.height;
    params.bitDepth = input.bitDepth;
    params.gopSize = settings.GopLengh;
    const int64_t bitRate = static_cast<int64_t>(settings.BitRate) * 1000;
    params.bitRate = static_cast<int32_t>(std::clamp<int64_t>(bitRate, 0, std::numeric_limits<int32_t>::max()));
    params.codecId = settings.VCodec;
    params.pixelFormat = input.pixelFormat;
    params.frameRate = settings.OutputFramerate > 0.0f ? settings.OutputFramerate : input.frameRate;
    if (params.frameRate <= 0.0f) {
        // Neither the configuration nor the input has a rate: encoders need one for their time base.
        params.frameRate = kDefaultFrameRate;
        TYX_LOG(4, L"VEncWorker[%s:%x] No frame rate configured or given by the input, %.2f fps used.",
                m_name.c_str(), m_workerId, static_cast<double>(params.frameRate));
    }
    params.codecName = settings.VCodecName;
    params.secondName = settings.Preset;
    params.profileName = settings.Profile;
    params.inputName = input.name;
    params.options = settings.Usage;
    m_encodeParams = params;

    stStreamParams output = GetOutputParametersOf(0);
    output.width = params.width;
    output.height = params.height;
    output.frameRate = params.frameRate;
    output.timeBase = kCodedStampBase;
    SetOutputParameters(output, static_cast<uint32_t>(-1));
    return static_cast<int32_t>(params.width) * params.height == 0 ? -1 : 0;
}

void CTYXEncWorker::TakeSequenceHeader()
{
    std::unique_ptr<uint8_t[]> header;
    const int32_t size = RetrieveSequenceParameters(header);
    TYX_LOG(6, L"VEncWorker[WID=%d] Sequence parameter information of  got(size=%d).", static_cast<int32_t>(m_workerId),
            size);
    if (size <= 0 || !header)
        return;
    m_sequenceHeader = std::move(header);
    m_sequenceHeaderSize = size;
    stStreamParams output = GetOutputParametersOf(0);
    output.SetExtradata(m_sequenceHeader.get(), size);
    SetOutputParameters(output, static_cast<uint32_t>(-1));
}

void CTYXEncWorker::unInitialize()
{
    CRVProcWorker::unInitialize();
    UninitializeEncoder();
    m_pictureWidth = 0;
    m_pictureHeight = 0;
    m_sequenceHeader.reset();
    m_sequenceHeaderSize = 0;
}

// ---- the encoding thread ----

uint32_t CTYXEncWorker::WorkingFunc()
{
    stLoopState state;
    state.threadId = GetCurrentThreadIdInt();
    const auto wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"[WID=%d]Video encoding Thread[%d] Starting.", wid, state.threadId);
    if (!IsEncoderReady()) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder not initialized yet! Exiting...", wid);
        return 8;
    }
    TYX_LOG(6, L"Frame size got from encoder is %d.", m_requiredInputSize);
    bool running = !m_exitEvent->IsSet();
    if (!running)
        TYX_LOG(6, L"V-Encoder[%s:%x] Thread[%d] Received exit signal, exiting...", m_name.c_str(), m_workerId,
                state.threadId);
    while (running) {
        state.waitMs = 0;
        running = RunPass(state);
        state.outputs.clear();
        if (running && m_exitEvent->Wait(state.waitMs) == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"V-Encoder[%s:%x] Thread[%d] Received exit signal, exiting...", m_name.c_str(), m_workerId,
                    state.threadId);
            state.stopping = true;
            running = false;
        }
    }
    if (state.stopping && HasConsumer())
        SendHeldPictures(state);
    for (FramePackage &left : state.conversion)
        FreeFramePackage(left);
    state.conversion.clear();
    FreeFramePackage(state.last);
    if (!state.exitInOutputs)
        TYX_LOG(5, L"Encoding thread[WID=%d] is exiting with %d frames encoded.", wid,
                static_cast<int32_t>(state.frames));
    return 0;
}

bool CTYXEncWorker::HasConsumer()
{
    CReadLockGuard guard(m_consumerLinks.Lock());
    const ConsumerLinkMap &links = m_consumerLinks.Items();
    return !links.empty() && !links.begin()->second.empty();
}

bool CTYXEncWorker::RunPass(stLoopState &state)
{
    FramePackage package;
    const int32_t queued = ReceivePaketFromUpStream(package, 0, true);
    if (queued < 0) {
        state.waitMs = kReceiveFailedWaitMs;
        return true;
    }
    if (queued == 0) {
        state.waitMs = kIdleWaitMs;
        return true;
    }
    if (queued >= kBacklogDropCount || !HasConsumer()) {
        FreeFramePackage(package);
        ++state.frames;
        return true;
    }
    if (!package.pData && package.nLength == 0) {
        // The end of the input: the delayed packets have nowhere to go.
        EncodedOutputs flushed;
        FlushWithinBudget(flushed);
        return false;
    }
    if (package.nLength <= 0 || !package.pData) {
        // A source status (or a picture without data) says nothing about the end of the input.
        TYX_LOG(4, L"VEncWorker[%s:%x] Package without picture (length=%d) skipped.", m_name.c_str(), m_workerId,
                package.nLength);
        FreeFramePackage(package);
        return true;
    }
    if (!FitToEncoder(package, state)) {
        FreeFramePackage(package);
        return true;
    }
    DrawOverlays(package, state);
    return EncodeConverted(package, state);
}

// A picture that carries its size must hold that many bytes too, or reading it would run past its
// end. One of another size than the back-end takes (a decoder's status pictures before its first
// decoded picture, a source that changed its resolution) is scaled to that size, in the memory it
// came in.
bool CTYXEncWorker::FitToEncoder(FramePackage &package, stLoopState &state)
{
    const bool otherSize = m_pictureWidth != 0 && m_pictureHeight != 0 && package.width != 0 && package.height != 0 &&
                           (package.width != m_pictureWidth || package.height != m_pictureHeight);
    const int64_t ownSize = otherSize ? I420Size(package.pitch ? package.pitch : package.width, package.height)
                                      : I420Size(package.width, package.height);
    const int64_t required = otherSize ? ownSize : std::max<int64_t>(m_requiredInputSize, ownSize);
    if (package.nLength < required) {
        TYX_LOG(3, L"Error! The input data length(%d) < required input frame size(%d)!", package.nLength,
                static_cast<int32_t>(required));
        return false;
    }
    if (!otherSize)
        return true;
    const bool inDevice = package.inDevice != 0;
    uint8_t *scaled = nullptr;
    const int32_t length = CTYXUtils::ScaleFrameGPU(GpuDevice(), package.pData, package.width, package.height,
                                                    package.pitch, inDevice, &scaled, m_pictureWidth, m_pictureHeight,
                                                    inDevice);
    if (length <= 0) {
        if (state.scaleFailures++ % 100 == 0)
            TYX_LOG(3, L"VEncWorker[%s:%x] Picture of %dx%d could not be scaled to %dx%d (err=%d), %lld left out so far.",
                    m_name.c_str(), m_workerId, package.width, package.height, m_pictureWidth, m_pictureHeight,
                    length, LL(state.scaleFailures));
        return false;
    }
    if (package.width != state.scaledFromWidth || package.height != state.scaledFromHeight)
        TYX_LOG(5, L"VEncWorker[%s:%x] Pictures of %dx%d scaled to %dx%d for the encoder.", m_name.c_str(),
                m_workerId, package.width, package.height, m_pictureWidth, m_pictureHeight);
    state.scaledFromWidth = package.width;
    state.scaledFromHeight = package.height;
    FramePackage original = package;
    package.pData = scaled;
    package.nLength = length;
    package.width = m_pictureWidth;
    package.height = m_pictureHeight;
    package.pitch = 0;
    FreeFramePackage(original);
    return true;
}

void CTYXEncWorker::DrawOverlays(FramePackage &frame, stLoopState &)
{
    const std::optional<stOverlaySlot> slot = CopyOverlaySlot(TYX_OVERLAY_INPUT, 0);
    if (!slot)
        return;
    const int32_t pitch = frame.pitch ? frame.pitch : frame.width;
    const auto chromaPitch = static_cast<int32_t>(I420ChromaPitch(pitch));
    // The writer's items are read per picture: texts added while encoding show at once.
    if (slot->writer && slot->writer->GetOsdCount() > 0) {
        if (m_timeOsdOn)
            PrepareTimeOsdInNeed(frame.pts, TYX_OVERLAY_INPUT);
        TYX_LOG(7, L"Writing OSD for encoding frames...");
        if (frame.width && frame.height)
            (void)slot->writer->SetFrameSize(frame.width, frame.height, pitch, chromaPitch);
        if (m_initFlag)
            slot->writer->ProcessFrameUseGpu(frame.pData, frame.nLength, frame.inDevice != 0);
        else
            slot->writer->ProcessFrame(frame.pData);
        TYX_LOG(7, L"OSD for encoding frames wrote.");
    }
    if (slot->drawer) {
        if (static_cast<int32_t>(frame.width) * frame.height > 0)
            (void)slot->drawer->SetFrameSize(frame.width, frame.height, pitch, chromaPitch);
        TYX_LOG(7, L"Drawing OsG for pre-encoding frame...");
        const int32_t rc = slot->drawer->ProcessFrame(frame.pData, frame.nLength, frame.pts, frame.inDevice != 0);
        if (rc < 0)
            TYX_LOG(3, L"OSG Drawing Failed with error code=%d!", rc);
        else
            TYX_LOG(7, L"OSG drew onto pre-encoding frame.");
    }
}

// Encodes what the frame-rate conversion makes of one picture. A slot that it puts more than half a
// frame before the picture's own time fills a gap its producer left: the picture before the gap is
// repeated there, so that no picture is shown before its time (the sound would lag it).
bool CTYXEncWorker::EncodeConverted(const FramePackage &input, stLoopState &state)
{
    const int64_t ownPts = input.pts;
    if (m_frameRateAdjuster.OutputFps() > 0.0f)
        m_frameRateAdjuster.ConvertFrame(input, state.conversion);
    else
        state.conversion.push_back(input);
    const int64_t halfFrame = m_frameRateAdjuster.OutputInterval() / 2;
    while (!state.conversion.empty()) {
        FramePackage frame = state.conversion.front();
        state.conversion.pop_front();
        const bool beforeItsTime = state.last.pData && ownPts != TYX_NOPTS_VALUE && frame.pts != TYX_NOPTS_VALUE &&
                                   ownPts - frame.pts > halfFrame;
        if (beforeItsTime) {
            FramePackage repeat = state.last; // the held picture stays held
            repeat.pts = frame.pts;
            repeat.duration = frame.duration;
            FreeFramePackage(frame);
            (void)CommitAndEncode(repeat, state);
        } else if (CommitAndEncode(frame, state) >= 0) {
            KeepLastPicture(frame, state);
        } else {
            FreeFramePackage(frame);
        }
        SendOutputs(state);
    }
    return !state.stopping;
}

void CTYXEncWorker::KeepLastPicture(FramePackage &frame, stLoopState &state)
{
    FreeFramePackage(state.last);
    state.last = frame;
    ClearFramePackage(frame);
}

int32_t CTYXEncWorker::CommitAndEncode(FramePackage &frame, stLoopState &state)
{
    // A picture at or before the one before cannot follow it in the coded stream: its decode stamp
    // would pass its display, or the writer would move it. It is left out.
    if (frame.pts != TYX_NOPTS_VALUE && state.lastCommittedPts != TYX_NOPTS_VALUE && frame.pts <= state.lastCommittedPts) {
        if (state.leftOut++ % 100 == 0)
            TYX_LOG(5, L"VEncWorker[%s:%x] Picture(pts=%lld) not after the one before(pts=%lld) left out, %lld so far.",
                    m_name.c_str(), m_workerId, LL(frame.pts), LL(state.lastCommittedPts), LL(state.leftOut));
        return kPictureNotAfterLast;
    }
    frame.mediaType = TYX_MEDIA_VIDEO;
    frame.kind = TYX_PKT_KIND_RAW_VIDEO;
    std::deque<int64_t> &stamps = state.committed.stamps;
    stamps.push_back(frame.pts);
    // An encoder that drops pictures leaves their stamps behind: keep them to a window.
    while (stamps.size() > kCommittedWindow)
        stamps.pop_front();
    TYX_LOG(7, L"[Encoder]New package[pts=%lld] to be encoding...", LL(frame.pts));

    const uint32_t started = NowTickMs();
    const int32_t result = EncodeFrame(frame, state.outputs);
    const uint32_t elapsed = NowTickMs() - started;
    state.encodeMs += elapsed;
    ++state.commits;
    if (state.commits <= kLoggedFrames)
        TYX_LOG(7, L"The [%3.3d]th frame COMMITED, whose Pts=[%lld]...", static_cast<int32_t>(state.commits),
                LL(frame.pts));
    const int64_t average = m_encodedCount > 0 ? state.encodeMs / m_encodedCount : 0;
    TYX_LOG(7, L"Encoding thread[WID=%d] A new frame(pts=%lld,dts=%lld) encoded with [%d] ms used, average speed=%d ms/Frame.",
            static_cast<int32_t>(m_workerId), LL(frame.pts), LL(frame.dts), static_cast<int32_t>(elapsed),
            static_cast<int32_t>(average));
    if (result < 0) {
        TYX_LOG(3, L"VEncWorker[%s:%x] Frame(pts=%lld) encoding failed with err=%d!", m_name.c_str(), m_workerId,
                LL(frame.pts), result);
        // A picture the encoder refused never comes out: its stamp would hold every later decode
        // stamp back by a frame.
        if (state.outputs.empty() && !stamps.empty() && stamps.back() == frame.pts)
            stamps.pop_back();
    } else if (frame.pts != TYX_NOPTS_VALUE) {
        state.lastCommittedPts = frame.pts;
    }
    m_encodedCount += static_cast<int64_t>(state.outputs.size());
    if (state.frames == 0)
        state.firstOutputTick = NowTickMs();
    ++state.frames;
    return result;
}

void CTYXEncWorker::SendOutputs(stLoopState &state)
{
    for (stEncodedOutput &output : state.outputs) {
        // A stop ends the thread after this pass; what the encoder gave out of the pictures it
        // took still goes out, or the outputs would end before their sound.
        if (!state.stopping && m_exitEvent->IsSet()) {
            TYX_LOG(6, L"V-Encoder[%s:%x] Thread[%d] Received exit signal, exiting...", m_name.c_str(), m_workerId,
                    state.threadId);
            state.exitInOutputs = true;
            state.stopping = true;
        }
        // Every coded output holds its place in the decode order, sent or not.
        const int64_t frameDuration =
            output.duration > 0 ? output.duration : static_cast<int64_t>(1000000.0f / m_encodeParams.frameRate);
        const int64_t dts = CalculateDts(state.committed, output.pts, frameDuration);
        if (output.size <= 0 || !output.data)
            continue;
        SendOutput(output, dts, state);
    }
    state.outputs.clear();
}

void CTYXEncWorker::FlushWithinBudget(EncodedOutputs &outputs)
{
    m_flushStartTick = NowTickMs();
    m_flushing = true;
    FlushEncoder(outputs);
    m_flushing = false;
}

int32_t CTYXEncWorker::GpuDevice() const
{
    return m_gpuNumber >= 0 ? m_gpuNumber : DevCurrentDevice();
}

bool CTYXEncWorker::FlushOverdue() const
{
    return m_flushing && NowTickMs() - m_flushStartTick >= kFlushBudgetMs;
}

// The encoder holds the last pictures it took for its look-ahead and reordering: they are coded,
// stamped from the same bookkeeping as every other output, and sent before the thread ends.
void CTYXEncWorker::SendHeldPictures(stLoopState &state)
{
    state.outputs.clear();
    FlushWithinBudget(state.outputs);
    const auto held = static_cast<int32_t>(state.outputs.size());
    m_encodedCount += held;
    SendOutputs(state);
    TYX_LOG(6, L"V-Encoder[%s:%x] Thread[%d] %d coded pictures the encoder held sent at the stop.", m_name.c_str(),
            m_workerId, state.threadId, held);
}

void CTYXEncWorker::SendOutput(stEncodedOutput &output, int64_t dts, stLoopState &state)
{
    FramePackage package;
    package.pData = output.data.release();
    package.nLength = output.size;
    package.pts = output.pts;
    package.dts = dts;
    package.duration = output.duration;
    package.streamIndex = -1;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.kind = TYX_PKT_KIND_CODED_VIDEO;
    package.format = -1;
    package.inDevice = 0;
    package.width = m_encodeParams.width;
    package.height = m_encodeParams.height;
    if (output.pictureType == TYX_PIC_TYPE_I || output.pictureType == TYX_PIC_TYPE_IDR)
        package.flags |= TYX_PKT_FLAG_KEY;
    ++state.sent;
    if (state.sent <= kLoggedFrames)
        TYX_LOG(7, L"The [%3.3d]th frame ENCODED, whose Pts=[%lld], Ccltd-Dts=[%lld], size=[%d], Its %s.",
                static_cast<int32_t>(state.sent), LL(package.pts), LL(package.dts), package.nLength,
                PictureTypeName(output.pictureType));
    bool handedOver = false;
    SendPaket2Consumers(handedOver, package, true, true, 0);
    if (!handedOver)
        FreeFramePackage(package);
}

int64_t CTYXEncWorker::CalculateDts(stCommittedPictures &committed, int64_t pts, int64_t frameDuration) const
{
    // Coded pictures leave in decode order, each at most the reorder depth behind its place in the
    // display order, so the n-th output may decode at the stamp of the picture handed over depth
    // places before the n-th: never after its own pts, however the stamps are spaced, and following
    // them across a gap. The first outputs decode a frame apart before the first picture.
    std::deque<int64_t> &stamps = committed.stamps;
    if (committed.coded == 0) {
        // Pictures before the first output were never coded.
        while (!stamps.empty() && stamps.front() < pts)
            stamps.pop_front();
    }
    const int64_t lead = std::max<int64_t>(m_reorderDepth, 0) - committed.coded;
    ++committed.coded;
    int64_t dts = pts;
    if (!stamps.empty()) {
        dts = stamps.front();
        if (lead > 0)
            dts -= lead * frameDuration;
        else
            stamps.pop_front();
    }
    // A count put out of step (an encoder that dropped or kept a picture unannounced) still never
    // decodes a picture after its display.
    dts = std::min(dts, pts);
    if (committed.lastDts != TYX_NOPTS_VALUE && dts <= committed.lastDts)
        dts = committed.lastDts + kLeastDtsStepUs; // stamps that went back: still rising
    committed.lastDts = dts;
    return dts;
}
