// CVideoSplitWorker: configuration of the outputs and the splitting loop.

#include "vproc/VideoSplitWorker.h"

#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "platform/Thread.h"

namespace {

constexpr int32_t kSplitTypeCode = 5;
constexpr uint32_t kSizeWaitMs = 20;
constexpr uint32_t kEmptyWaitMs = 10;
constexpr int32_t kSplitAlign = 16; // the kernel copies lines in 8-byte words of luma and chroma

int16_t AlignDown(int16_t value, int32_t step)
{
    return static_cast<int16_t>(value - value % step);
}

} // namespace

CVideoSplitWorker::CVideoSplitWorker(uint32_t workerId, const InputLinkMap *inputLinks,
                                     const ConsumerLinkMap *consumerLinks)
    : CMultiOut_VMP(workerId, inputLinks, consumerLinks)
{
    m_typeCode = kSplitTypeCode;
}

int32_t CVideoSplitWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    const auto *mid = dynamic_cast<const stVideoMidProcWorkerConfig *>(config);
    if (!mid || CTYXMPWorker::CopyInConfiguration(config) < 0)
        return -1;
    const int32_t wid = static_cast<int32_t>(m_workerId);
    m_inputStreamId = static_cast<uint32_t>(mid->SingleInput.VideoSource);
    UpdateStatistics(true, m_inputStreamId, [](stStreamStatistics &) {});
    int32_t pipes = 0;
    for (const auto &[number, output] : mid->SingleInput.Outputs)
        pipes += output.RVTP ? 1 : 0;
    m_splitList.clear();
    for (const auto &[number, output] : mid->SingleInput.Outputs) {
        stSplitOutput piece;
        piece.streamId = output.StreamId;
        // A left edge or width off the kernel's 16-pixel grid would lose the tail of every line.
        const int16_t left = AlignDown(output.RegionLeft, kSplitAlign);
        const int16_t width = AlignDown(output.RegionWidth, kSplitAlign);
        if (left != output.RegionLeft || width != output.RegionWidth)
            TYX_LOG(3, L"TYXSplitWorker[WID=%d] output(%s) region(L=%d, W=%d) cut to (L=%d, W=%d): multiples of 16 are split.",
                    wid, output.Alias.c_str(), output.RegionLeft, output.RegionWidth, left, width);
        piece.left = static_cast<uint16_t>(std::max<int16_t>(left, 0));
        piece.top = static_cast<uint16_t>(std::max<int16_t>(AlignDown(output.RegionTop, 2), 0));
        piece.width = static_cast<uint16_t>(std::max<int16_t>(width, 0));
        piece.height = static_cast<uint16_t>(std::max<int16_t>(AlignDown(output.RegionHeight, 2), 0));
        piece.used = 1;
        m_splitList.push_back(piece);
        m_outputNames[output.StreamId] = output.Alias;
        // Pipe names come from the output's name when several outputs have a pipe, so they differ.
        AddOutputRecord(output.StreamId, pipes > 1 ? output.Alias : m_name);
        stSplitServers &servers = m_servers[output.StreamId];
        servers.pipe = output.RVTP != 0;
        if (output.RVTP)
            SetRvtpServerOption(output.RVTP, output.StreamId);
        if (output.DirectOutputSettings.DirectOutput) {
            // Named after the output, so that each output shows in its own window or on its own monitor.
            SetDisplayOutputName(output.Alias.empty() ? m_name : output.Alias, output.StreamId);
            servers.display = EnableDirectOutput(output.DirectOutputSettings, output.StreamId);
        }
        UpdateStatistics(false, static_cast<uint32_t>(output.StreamId), [](stStreamStatistics &) {});
    }
    return 0;
}

int32_t CVideoSplitWorker::Initialize(uint8_t gpuProcessing, int32_t gpuDevice)
{
    CTYXMPWorker::unInitialize();
    const int32_t wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"TYXSplitWorker[WID=%d] initializing...", wid);
    if (CTYXMPWorker::Initialize(gpuProcessing, gpuDevice) == TYX_MP_ERR_CONTEXT) {
        TYX_LOG(3, L"TYXSplitWorker[WID=%d] GPU Context creating failed! ", wid);
        return -8;
    }
    const stStreamParams input = GetInputParameters(m_inputStreamId);
    if (input.width * input.height == 0) {
        TYX_LOG(2, L"TYXSplitWorker[WID=%d] Initializing failed for Input frame size not determined! ", wid);
        CTYXMPWorker::unInitialize();
        return -1;
    }
    return 0;
}

bool CVideoSplitWorker::FillSourceInfo(stSrcFrameInfo &source)
{
    const stStreamParams input = GetInputParameters(m_inputStreamId);
    if (input.width * input.height <= 0)
        return false;
    source.width = input.width;
    source.height = input.height;
    source.lumaPitch = 0;
    source.chromaPitch = 0;
    source.memoryType = 1;
    source.inputFlag = static_cast<uint8_t>(input.bitDepth);
    return true;
}

bool CVideoSplitWorker::HasAnyOutput()
{
    {
        CReadLockGuard guard(m_consumerLinks.Lock());
        if (!m_consumerLinks.Items().empty())
            return true;
    }
    for (const auto &[id, servers] : m_servers) {
        if (servers.pipe || servers.display)
            return true;
    }
    return false;
}

void CVideoSplitWorker::StartServers(bool start)
{
    for (const stSplitOutput &piece : m_splitList) {
        const stSplitServers &servers = m_servers[piece.streamId];
        if (servers.pipe)
            (void)(start ? StartRvtpServer(piece.width, piece.height, piece.streamId) : StopRvtpServer(false, piece.streamId));
        if (servers.display)
            (void)(start ? StartRvdoServer(piece.width, piece.height, piece.streamId) : StopRvdoServer(false, piece.streamId));
    }
}

uint32_t CVideoSplitWorker::WorkingFunc()
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    TYX_LOG(6, L"[WID=%d]Video splitting Thread[%d] Starting.", wid, GetCurrentThreadIdInt());
    if (!PushWorkerContext())
        return TYX_MP_ERR_CONTEXT;
    {
        CReadLockGuard guard(m_inputLinks.Lock());
        const InputLinkMap &links = m_inputLinks.Items();
        if (links.empty() || !links.begin()->second.HasQueue()) {
            TYX_LOG(3, L"There no queue for the splitting worker's[WID=%d] input...exit.", wid);
            PopWorkerContext();
            return 2;
        }
    }
    stSrcFrameInfo source;
    bool sized = FillSourceInfo(source);
    if (m_splitList.empty()) {
        PopWorkerContext();
        return 16;
    }
    StartServers(true);
    std::vector<stSplitOutput> work = m_splitList;
    while (!m_exitEvent->IsSet()) {
        for (stSplitOutput &piece : work) {
            if (piece.picture)
                ReleaseFramePackageData(piece.picture, true);
            piece.picture = nullptr;
            piece.length = 0;
        }
        if (!sized && !(sized = FillSourceInfo(source))) {
            m_exitEvent->Wait(kSizeWaitMs);
            continue;
        }
        FramePackage input;
        // The front package is always taken: a status package left in front would stall the input.
        if (ReceivePaketFromUpStream(input, 0, true) <= 0) {
            m_exitEvent->Wait(kEmptyWaitMs);
            continue;
        }
        if (input.nLength <= 0 || !input.pData || !HasAnyOutput()) {
            FreeFramePackage(input);
            if (input.nLength <= 0)
                m_exitEvent->Wait(kEmptyWaitMs);
            continue;
        }
        SplitAndSend(input, source, work);
        FreeFramePackage(input);
    }
    StartServers(false);
    for (stSplitOutput &piece : work) {
        if (piece.picture)
            ReleaseFramePackageData(piece.picture, true);
    }
    PopWorkerContext();
    return 0;
}

void CVideoSplitWorker::SplitAndSend(const FramePackage &input, const stSrcFrameInfo &sourceInfo,
                                     std::vector<stSplitOutput> &work)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    stSrcFrameInfo source = sourceInfo;
    // The picture's own size counts: the parameters may lag behind a size change.
    if (input.width && input.height) {
        source.width = input.width;
        source.height = input.height;
    }
    source.picture = input.pData;
    source.length = input.nLength;
    source.memoryType = input.inDevice ? 1 : 0;
    TYX_LOG(7, L"[Splitter]New package[pts=%lld] to be Splittinging...", static_cast<long long>(input.pts));
    const int32_t produced = SplitFrame(&source, static_cast<int32_t>(work.size()), work.data());
    if (produced <= 0) {
        TYX_LOG(3, L"Splitting Failed[WID=%d] without any output got, discard the frame!", wid);
        return;
    }
    if (produced < static_cast<int32_t>(work.size()))
        TYX_LOG(3, L"Splitting error[WID=%d] with partially output[%d] got!", wid, produced);
    for (stSplitOutput &piece : work) {
        if (piece.picture)
            SendPiece(input, piece);
    }
}

void CVideoSplitWorker::SendPiece(const FramePackage &input, stSplitOutput &piece)
{
    FramePackage output;
    output.pData = piece.picture;
    output.nLength = piece.length;
    output.width = piece.width;
    output.height = piece.height;
    output.pts = input.pts;
    output.dts = input.dts;
    output.duration = input.duration;
    output.flags = input.flags;
    output.inDevice = 1;
    output.kind = TYX_PKT_KIND_RAW_VIDEO;
    output.mediaType = TYX_MEDIA_VIDEO;
    output.format = input.format;
    (void)DrawOverlaysOnFrame(output, TYX_OVERLAY_OUTPUT, piece.streamId);
    (void)PushFrameToDirectOutputs(output, piece.streamId);
    bool handedOver = false;
    bool linked = false;
    {
        CReadLockGuard guard(m_consumerLinks.Lock());
        const auto found = m_consumerLinks.Items().find(static_cast<uint32_t>(piece.streamId));
        linked = found != m_consumerLinks.Items().end() && !found->second.empty();
    }
    if (linked)
        (void)SendPaket2Consumers(handedOver, output, true, true, static_cast<uint32_t>(piece.streamId));
    // Handed on, the picture is the consumer's; otherwise the next pass frees it.
    if (handedOver)
        piece.picture = nullptr;
    piece.length = handedOver ? 0 : piece.length;
}
