// The NVENC encode worker: option text, presets, the session's set-up and the per-picture copy.

#include "codec/NvHwVEcdWorker.h"

#include "core/FrameRateAdjuster.h"
#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/Thread.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
}

#include <cctype>
#include <cstdio>
#include <stdexcept>

namespace {

constexpr size_t kOptionTextBytes = 256;
constexpr uint16_t kLookaheadDepth = 16;
constexpr uint32_t kIntraRefreshPeriod = 90;
constexpr uint32_t kIntraRefreshCount = 30;

std::string Lowered(const std::wstring &text)
{
    const std::unique_ptr<char[]> narrow = CTYXUtils::WideToMultiByte(text.c_str(), 0);
    std::string lowered = narrow ? narrow.get() : "";
    for (char &c : lowered)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lowered;
}

} // namespace

CNvHwVEcdWorker::CNvHwVEcdWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
    : CTYXEncWorker(workerId, inputLinks, consumerLinks)
{
}

CNvHwVEcdWorker::~CNvHwVEcdWorker()
{
    UninitializeEncoder();
}

bool CNvHwVEcdWorker::IsEncoderReady()
{
    return m_encoder && m_encoder->HasSession() && m_encoder->IsInitialized();
}

// ---- option text and presets ----

// The configuration's "input's rate" (a negative value) is no rate the parser could take, so the
// text carries the rate the base resolved.
std::string CNvHwVEcdWorker::BuildOptionString(const stVideoEncodeSettings &settings, float frameRate)
{
    const std::string name = Lowered(settings.VCodecName);
    if (name.empty())
        return {};
    // The codec id decides the codec where it names one, so that the profile and the IDR period
    // land in that codec's configuration whatever the name says.
    std::string codec = name;
    if (settings.VCodec == AV_CODEC_ID_H264)
        codec = "h264";
    else if (settings.VCodec == AV_CODEC_ID_HEVC)
        codec = "hevc";
    else if (settings.VCodec == AV_CODEC_ID_AV1)
        codec = "av1";
    const std::string profile = Lowered(settings.Profile);
    const AVRational rate = ExactFrameRate(frameRate);
    char fps[32] = {};
    if (rate.den > 1)
        std::snprintf(fps, sizeof(fps), "%d/%d", rate.num, rate.den);
    else
        std::snprintf(fps, sizeof(fps), "%d", static_cast<int>(frameRate));
    char text[kOptionTextBytes] = {};
    std::snprintf(text, sizeof(text), " -codec %s -profile %s -fps %s -gop %d -bitrate %dK", codec.c_str(),
                  profile.c_str(), fps, static_cast<int16_t>(settings.GopLengh), static_cast<int>(settings.BitRate));
    return text;
}

NV_ENC_BUFFER_FORMAT CNvHwVEcdWorker::BufferFormatOfPixelFormat(int32_t pixelFormat)
{
    switch (pixelFormat) {
    case -1: // not told: the pictures of this system are I420
    case AV_PIX_FMT_YUV420P: return NV_ENC_BUFFER_FORMAT_IYUV;
    case AV_PIX_FMT_YUV444P: return NV_ENC_BUFFER_FORMAT_YUV444;
    case AV_PIX_FMT_NV12: return NV_ENC_BUFFER_FORMAT_NV12;
    case AV_PIX_FMT_ARGB: return NV_ENC_BUFFER_FORMAT_ARGB;
    case AV_PIX_FMT_ABGR: return NV_ENC_BUFFER_FORMAT_ABGR;
    case AV_PIX_FMT_YUVA444P: return NV_ENC_BUFFER_FORMAT_AYUV;
    case AV_PIX_FMT_P010LE: return NV_ENC_BUFFER_FORMAT_YUV420_10BIT;
    default: return NV_ENC_BUFFER_FORMAT_UNDEFINED;
    }
}

void CNvHwVEcdWorker::FillPresets(const stVideoEncodeParams &params)
{
    const int32_t bitRate = params.bitRate;
    const float fps = params.frameRate;
    stEncodePreset record;
    record.tuningInfo = NV_ENC_TUNING_INFO_HIGH_QUALITY;
    record.rateControl = NV_ENC_PARAMS_RC_VBR;
    record.vbvBufferSize = static_cast<int32_t>(std::min<int64_t>(4LL * bitRate, INT32_MAX));
    record.frameIntervalP = 3;
    record.lookahead = true;
    record.bFramesAsRef = true;
    record.gopLength = 60;
    record.spatialAq = true;
    record.multiPass = NV_ENC_MULTI_PASS_DISABLED;
    record.longTermRefs = false;
    record.intraRefresh = false;

    stEncodePreset live;
    live.tuningInfo = NV_ENC_TUNING_INFO_LOW_LATENCY;
    live.rateControl = NV_ENC_PARAMS_RC_CBR;
    live.vbvBufferSize = fps > 0.0f ? static_cast<int32_t>(bitRate / fps) : bitRate / 20;
    // 0 would make every picture an intra picture; a live push wants P pictures without B.
    live.frameIntervalP = 1;
    live.lookahead = false;
    live.bFramesAsRef = false;
    live.gopLength = -1;
    live.spatialAq = true;
    live.multiPass = NV_ENC_TWO_PASS_FULL_RESOLUTION;
    live.longTermRefs = true;
    live.intraRefresh = true;

    m_presets.clear();
    m_presets[L"Record"] = record;
    m_presets[L"Live"] = live;
}

void CNvHwVEcdWorker::ApplyPreset(const stEncodePreset &preset, NV_ENC_INITIALIZE_PARAMS &init) const
{
    NV_ENC_CONFIG &config = *init.encodeConfig;
    NV_ENC_RC_PARAMS &rc = config.rcParams;
    const bool h264 = m_optionParser->IsH264();
    const bool hevc = m_optionParser->IsHevc();
    init.tuningInfo = static_cast<NV_ENC_TUNING_INFO>(preset.tuningInfo);
    rc.rateControlMode = static_cast<NV_ENC_PARAMS_RC_MODE>(preset.rateControl);
    rc.vbvBufferSize = static_cast<uint32_t>(preset.vbvBufferSize);
    config.frameIntervalP = preset.frameIntervalP;
    rc.enableLookahead = preset.lookahead ? 1 : 0;
    rc.lookaheadDepth = preset.lookahead ? kLookaheadDepth : 0;
    const NV_ENC_BFRAME_REF_MODE reference = preset.bFramesAsRef ? NV_ENC_BFRAME_REF_MODE_MIDDLE
                                                                 : NV_ENC_BFRAME_REF_MODE_DISABLED;
    config.gopLength = static_cast<uint32_t>(static_cast<int32_t>(preset.gopLength));
    rc.enableAQ = preset.spatialAq ? 1 : 0;
    rc.multiPass = static_cast<NV_ENC_MULTI_PASS>(preset.multiPass);
    const uint32_t ltrFrames = preset.longTermRefs
                                   ? static_cast<uint32_t>(m_encoder->GetCapabilityValue(
                                         m_optionParser->EncodeGuid(), NV_ENC_CAPS_NUM_MAX_LTR_FRAMES))
                                   : 0;
    if (h264) {
        NV_ENC_CONFIG_H264 &codec = config.encodeCodecConfig.h264Config;
        codec.useBFramesAsRef = reference;
        codec.enableLTR = preset.longTermRefs ? 1 : 0;
        codec.ltrNumFrames = ltrFrames;
        if (preset.intraRefresh) {
            codec.enableIntraRefresh = 1;
            codec.intraRefreshPeriod = kIntraRefreshPeriod;
            codec.intraRefreshCnt = kIntraRefreshCount;
        }
    } else if (hevc) {
        NV_ENC_CONFIG_HEVC &codec = config.encodeCodecConfig.hevcConfig;
        codec.useBFramesAsRef = reference;
        codec.enableLTR = preset.longTermRefs ? 1 : 0;
        codec.ltrNumFrames = ltrFrames;
        // A period of 0 is refused by the driver; HEVC takes the H.264 refresh.
        if (preset.intraRefresh) {
            codec.enableIntraRefresh = 1;
            codec.intraRefreshPeriod = kIntraRefreshPeriod;
            codec.intraRefreshCnt = kIntraRefreshCount;
        }
    }
}

// ---- opening ----

void CNvHwVEcdWorker::SetUpEncoder(const stVideoEncodeParams &params, NV_ENC_BUFFER_FORMAT format)
{
    NvEncoderInitParam parser = *m_optionParser;
    NV_ENC_CONFIG config{};
    NV_ENC_INITIALIZE_PARAMS init{};
    init.encodeConfig = &config;
    m_encoder->CreateDefaultEncoderParams(&init, parser.EncodeGuid(), parser.PresetGuid(), parser.TuningInfo());
    parser.ApplyToInitParams(&init, format);
    init.enablePTD = 1;
    if (params.codecId == AV_CODEC_ID_H264) {
        init.encodeGUID = NV_ENC_CODEC_H264_GUID;
        config.encodeCodecConfig.h264Config.repeatSPSPPS = 1;
    } else if (params.codecId == AV_CODEC_ID_HEVC) {
        init.encodeGUID = NV_ENC_CODEC_HEVC_GUID;
        config.encodeCodecConfig.hevcConfig.repeatSPSPPS = 1;
    }
#if TYX_NVENC_HAS_AV1
    else if (params.codecId == AV_CODEC_ID_AV1) {
        init.encodeGUID = NV_ENC_CODEC_AV1_GUID;
        config.encodeCodecConfig.av1Config.repeatSeqHdr = 1;
    }
#endif
    if (!params.options.empty()) {
        if (const auto preset = m_presets.find(params.options); preset != m_presets.end())
            ApplyPreset(preset->second, init);
    }
    m_encoder->CreateEncoder(&init);
    m_reorderDepth = config.frameIntervalP > 1 ? config.frameIntervalP - 1 : 0;
}

int32_t CNvHwVEcdWorker::InitializeEncoder(const stVideoEncodeParams &params)
{
    UninitializeEncoder();
    const auto wid = static_cast<int32_t>(m_workerId);
    GpuContext context = nullptr;
    if (DevRetainContextHandle(GpuDevice(), &context) != GPU_SUCCESS || !context) {
        TYX_LOG(3, L"VEncWorker[WID=%d] GPU Context creating failed! ", wid);
        return TYX_NVENC_ERR_NO_CONTEXT;
    }
    m_gpuContext = context;
    const std::string options = BuildOptionString(m_encodeSettings, params.frameRate);
    if (options.empty()) {
        TYX_LOG(3, L"VEncWorker[WID=%d] No encoder options for the codec name(%s)!", wid,
                m_encodeSettings.VCodecName.c_str());
        UninitializeEncoder();
        return TYX_NVENC_ERR_NO_OPTIONS;
    }
    m_optionParser = std::make_unique<NvEncoderInitParam>(options.c_str());
    FillPresets(params);
    const NV_ENC_BUFFER_FORMAT format = BufferFormatOfPixelFormat(params.pixelFormat);
    if (format == NV_ENC_BUFFER_FORMAT_UNDEFINED) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Pixel format(%d) cannot be encoded!", wid, params.pixelFormat);
        UninitializeEncoder();
        return TYX_NVENC_ERR_FORMAT;
    }
    try {
        m_encoder = std::make_unique<NvEncoderCuda>(m_gpuContext, params.width, params.height, format);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder creating failed! %hs", wid, error.what());
        UninitializeEncoder();
        return TYX_NVENC_ERR_NO_SESSION;
    }
    if (!m_encoder->HasSession()) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder creating failed!", wid);
        UninitializeEncoder();
        return TYX_NVENC_ERR_NO_SESSION;
    }
    int32_t result = 0;
    try {
        SetUpEncoder(params, format);
    } catch (const NVENCException &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder setting up failed(status=%d): %hs", wid,
                static_cast<int32_t>(error.getErrorCode()), error.what());
        result = TYX_NVENC_ERR_SETUP;
    } catch (const std::exception &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder options(%hs) refused: %hs", wid, options.c_str(), error.what());
        result = TYX_NVENC_ERR_OPTION_TEXT;
    }
    if (result < 0) {
        UninitializeEncoder();
        return result;
    }
    // The session takes pictures of its own size only.
    m_pictureWidth = params.width;
    m_pictureHeight = params.height;
    TYX_LOG(6, L"VEncWorker[WID=%d] Context & Encoders initialized.", wid);
    if (m_screenOutput)
        ConsolePrintf("Encoding Thread[%d] Encoder initialized... \n", GetCurrentThreadIdInt());
    return 0;
}

void CNvHwVEcdWorker::UninitializeEncoder()
{
    m_encoder.reset();
    m_optionParser.reset();
    m_packets.clear();
    if (m_gpuContext) {
        DevReleaseContextHandle(m_gpuContext);
        m_gpuContext = nullptr;
    }
}

int32_t CNvHwVEcdWorker::RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header)
{
    if (!IsEncoderReady())
        return 0;
    std::vector<uint8_t> sequence;
    try {
        m_encoder->GetSequenceParams(sequence);
    } catch (const NVENCException &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] %hs", static_cast<int32_t>(m_workerId), error.what());
        return 0;
    }
    const auto size = static_cast<int32_t>(sequence.size());
    TYX_LOG(6, L"SepParams of VEncWorker[WID=%d] got(size=%d).", static_cast<int32_t>(m_workerId), size);
    if (size <= 0)
        return 0;
    header = std::make_unique<uint8_t[]>(sequence.size());
    std::copy(sequence.begin(), sequence.end(), header.get());
    return size;
}

// ---- encoding ----

int32_t CNvHwVEcdWorker::CopyIntoInputBuffer(const FramePackage &package)
{
    const stNvEncInputFrame *input = m_encoder->GetNextInputFrame();
    if (!input)
        return -1;
    const uint32_t width = m_encoder->GetEncodeWidth();
    const uint32_t height = m_encoder->GetEncodeHeight();
    const uint32_t pictureWidth = package.width ? package.width : width;
    const uint32_t pictureHeight = package.height ? package.height : height;
    const uint32_t pitch = package.pitch ? package.pitch : pictureWidth;
    // The copy reads a whole picture of the encoder's size (the base scales one of another size to
    // it): a shorter package would be read past its end. A pitched picture is laid out as a
    // contiguous one as wide as its pitch.
    const int64_t needed = I420Size(pitch, pictureHeight);
    if (pictureWidth != width || pictureHeight != height || package.nLength < needed) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Picture of %ux%u with %d bytes refused.", static_cast<int32_t>(m_workerId),
                pictureWidth, pictureHeight, package.nLength);
        return -1;
    }
    return CTYXUtils::CopyToDeviceFrame(GpuDevice(), package.pData, package.pitch, input->inputPtr, input->pitch,
                                        width, height, package.inDevice ? TYX_MEMORY_DEVICE : TYX_MEMORY_HOST,
                                        input->bufferFormat, input->chromaOffsets, input->numChromaPlanes);
}

void CNvHwVEcdWorker::AppendPackets(EncodedOutputs &outputs)
{
    for (const stNvEncPacket &packet : m_packets) {
        stEncodedOutput output;
        output.frameIndex = packet.frameIndex;
        output.pictureType = static_cast<uint16_t>(packet.pictureType);
        output.ltrFrame = packet.ltrFrame ? 1 : 0;
        output.ltrFrameIndex = packet.ltrFrameIndex;
        output.pts = static_cast<int64_t>(packet.outputTimeStamp);
        output.duration = static_cast<int64_t>(packet.outputDuration);
        output.size = static_cast<int32_t>(packet.data.size());
        output.data = CopyEncodedBytes(packet.data.data(), output.size);
        outputs.push_back(std::move(output));
    }
    m_packets.clear();
}

int32_t CNvHwVEcdWorker::EncodeFrame(const FramePackage &package, EncodedOutputs &outputs)
{
    if (!IsEncoderReady())
        return 0;
    if (!package.pData || package.nLength <= 0)
        return -1;
    if (CopyIntoInputBuffer(package) < 0)
        return -1;
    NV_ENC_PIC_PARAMS picture{};
    picture.inputTimeStamp = static_cast<uint64_t>(package.pts);
    picture.inputDuration = static_cast<uint64_t>(package.duration);
    outputs.clear();
    ++m_framesSubmitted;
    try {
        m_encoder->EncodeFrame(m_packets, &picture);
    } catch (const NVENCException &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Frame(pts=%lld) encoding failed(status=%d): %hs",
                static_cast<int32_t>(m_workerId), static_cast<long long>(package.pts),
                static_cast<int32_t>(error.getErrorCode()), error.what());
        return -2;
    }
    AppendPackets(outputs);
    return static_cast<int32_t>(outputs.size());
}

void CNvHwVEcdWorker::FlushEncoder(EncodedOutputs &outputs)
{
    if (!IsEncoderReady())
        return;
    try {
        m_encoder->EndEncode(m_packets);
    } catch (const NVENCException &error) {
        TYX_LOG(3, L"VEncWorker[WID=%d] Encoder draining failed: %hs", static_cast<int32_t>(m_workerId), error.what());
        return;
    }
    AppendPackets(outputs);
}
