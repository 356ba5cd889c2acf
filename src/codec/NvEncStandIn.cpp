// The software encode session: the API's calls over libavcodec's libx264 and libx265.

#include "codec/NvEncStandIn.h"

#include "core/FfmpegHandles.h"
#include "core/NvBufferFormat.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kHeaderVersion = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
std::atomic<uint32_t> g_reportedVersion{0};

bool SameGuid(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct stResource
{
    void *pointer = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pitch = 0;
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
};

struct stCoded
{
    std::vector<uint8_t> bytes;
    uint64_t pts = 0;
    uint64_t duration = 0;
    uint32_t index = 0;
    NV_ENC_PIC_TYPE type = NV_ENC_PIC_TYPE_P;
};

struct stBitstream
{
    stCoded held;
};

// The software pixel format of a buffer format (planes as the API lays them out), none when the
// stand-in cannot read it.
AVPixelFormat SourceFormat(NV_ENC_BUFFER_FORMAT format)
{
    switch (format) {
    case NV_ENC_BUFFER_FORMAT_IYUV:
    case NV_ENC_BUFFER_FORMAT_YV12: return AV_PIX_FMT_YUV420P;
    case NV_ENC_BUFFER_FORMAT_NV12: return AV_PIX_FMT_NV12;
    case NV_ENC_BUFFER_FORMAT_YUV444: return AV_PIX_FMT_YUV444P;
    case NV_ENC_BUFFER_FORMAT_YUV420_10BIT: return AV_PIX_FMT_P010LE;
    case NV_ENC_BUFFER_FORMAT_YUV444_10BIT: return AV_PIX_FMT_YUV444P16LE;
    case NV_ENC_BUFFER_FORMAT_ARGB: return AV_PIX_FMT_BGRA;
    case NV_ENC_BUFFER_FORMAT_ABGR: return AV_PIX_FMT_RGBA;
    default: return AV_PIX_FMT_NONE;
    }
}

const char *X264Preset(const GUID &preset)
{
    const GUID *presets[] = {&NV_ENC_PRESET_P1_GUID, &NV_ENC_PRESET_P2_GUID, &NV_ENC_PRESET_P3_GUID,
                             &NV_ENC_PRESET_P4_GUID, &NV_ENC_PRESET_P5_GUID, &NV_ENC_PRESET_P6_GUID,
                             &NV_ENC_PRESET_P7_GUID};
    const char *names[] = {"ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow"};
    for (size_t i = 0; i < 7; ++i) {
        if (SameGuid(preset, *presets[i]))
            return names[i];
    }
    return "veryfast";
}

const char *ProfileName(const GUID &profile)
{
    if (SameGuid(profile, NV_ENC_H264_PROFILE_BASELINE_GUID))
        return "baseline";
    if (SameGuid(profile, NV_ENC_H264_PROFILE_MAIN_GUID))
        return "main";
    if (SameGuid(profile, NV_ENC_H264_PROFILE_HIGH_GUID))
        return "high";
    if (SameGuid(profile, NV_ENC_H264_PROFILE_HIGH_444_GUID))
        return "high444";
    if (SameGuid(profile, NV_ENC_HEVC_PROFILE_MAIN_GUID))
        return "main";
    if (SameGuid(profile, NV_ENC_HEVC_PROFILE_MAIN10_GUID))
        return "main10";
    return nullptr;
}

// True for a supplemental-information unit, which the hardware's sequence header leaves out.
bool IsSeiUnit(const uint8_t *unit, size_t size, bool hevc)
{
    if (size == 0)
        return false;
    if (hevc) {
        const int type = (unit[0] >> 1) & 0x3F;
        return type == 39 || type == 40;
    }
    return (unit[0] & 0x1F) == 6;
}

// The parameter sets of an Annex-B header, each behind a four-byte start code, without its SEI
// units: libx265 adds a settings SEI longer than the caller's header buffer.
std::vector<uint8_t> ParameterSets(const uint8_t *data, size_t size, bool hevc)
{
    std::vector<size_t> starts; // the first byte of each unit
    for (size_t i = 0; i + 2 < size; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            starts.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<uint8_t> sets;
    for (size_t n = 0; n < starts.size(); ++n) {
        size_t end = n + 1 < starts.size() ? starts[n + 1] - 3 : size;
        while (end > starts[n] && data[end - 1] == 0) // the next start code's leading zero
            --end;
        if (end <= starts[n] || IsSeiUnit(data + starts[n], end - starts[n], hevc))
            continue;
        const uint8_t startCode[] = {0, 0, 0, 1};
        sets.insert(sets.end(), startCode, startCode + 4);
        sets.insert(sets.end(), data + starts[n], data + end);
    }
    return sets;
}

class CNvEncStandInSession
{
public:
    NVENCSTATUS Initialize(const NV_ENC_INITIALIZE_PARAMS &params);
    NVENCSTATUS PresetConfig(GUID codec, NV_ENC_PRESET_CONFIG &preset) const;
    NVENCSTATUS CreateBitstream(NV_ENC_CREATE_BITSTREAM_BUFFER &create);
    NVENCSTATUS DestroyBitstream(void *buffer);
    NVENCSTATUS Register(NV_ENC_REGISTER_RESOURCE &resource);
    NVENCSTATUS Unregister(void *resource);
    NVENCSTATUS Map(NV_ENC_MAP_INPUT_RESOURCE &map);
    NVENCSTATUS Encode(const NV_ENC_PIC_PARAMS &picture);
    NVENCSTATUS Lock(NV_ENC_LOCK_BITSTREAM &lock);
    NVENCSTATUS SequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD &payload) const;
    ~CNvEncStandInSession();

private:
    bool Owns(const void *resource) const;
    std::string EncoderSettings(const NV_ENC_INITIALIZE_PARAMS &params, const NV_ENC_CONFIG &config, bool h264) const;
    NVENCSTATUS FillFrame(const stResource &resource, const NV_ENC_PIC_PARAMS &picture);
    void ReceivePackets();

    AvCodecPtr m_context;
    AvFramePtr m_frame;
    AvPacketPtr m_packet;
    SwsPtr m_scaler;
    std::vector<uint8_t> m_staging;
    std::vector<std::unique_ptr<stResource>> m_resources;
    std::vector<std::unique_ptr<stBitstream>> m_bitstreams;
    std::deque<stCoded> m_coded;
    std::map<int64_t, std::pair<uint64_t, uint64_t>> m_times;
    int64_t m_index = 0;
    bool m_drained = false;
};

CNvEncStandInSession::~CNvEncStandInSession()
{
    if (!m_coded.empty())
        TYX_LOG(4, L"NVENC stand-in: %d coded packets were never handed out.", static_cast<int32_t>(m_coded.size()));
}

NVENCSTATUS CNvEncStandInSession::PresetConfig(GUID codec, NV_ENC_PRESET_CONFIG &preset) const
{
    if (!SameGuid(codec, NV_ENC_CODEC_H264_GUID) && !SameGuid(codec, NV_ENC_CODEC_HEVC_GUID))
        return NV_ENC_ERR_INVALID_PARAM;
    NV_ENC_CONFIG &config = preset.presetCfg;
    const uint32_t version = config.version;
    std::memset(&config, 0, sizeof(config));
    config.version = version;
    config.frameIntervalP = 1;
    config.gopLength = 250;
    config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    config.rcParams.constQP = NV_ENC_QP{28, 31, 25};
    config.encodeCodecConfig.h264Config.idrPeriod = 250;
    config.encodeCodecConfig.h264Config.chromaFormatIDC = 1;
    if (SameGuid(codec, NV_ENC_CODEC_HEVC_GUID)) {
        config.encodeCodecConfig.hevcConfig.idrPeriod = 250;
        config.encodeCodecConfig.hevcConfig.chromaFormatIDC = 1;
    }
    return NV_ENC_SUCCESS;
}

std::string CNvEncStandInSession::EncoderSettings(const NV_ENC_INITIALIZE_PARAMS &params, const NV_ENC_CONFIG &config,
                                                  bool h264) const
{
    const uint32_t idr = h264 ? config.encodeCodecConfig.h264Config.idrPeriod
                              : config.encodeCodecConfig.hevcConfig.idrPeriod;
    const uint32_t keyint = idr != 0 && idr < config.gopLength ? idr : config.gopLength;
    const bool repeat = h264 ? config.encodeCodecConfig.h264Config.repeatSPSPPS
                             : config.encodeCodecConfig.hevcConfig.repeatSPSPPS;
    const bool refresh = h264 ? config.encodeCodecConfig.h264Config.enableIntraRefresh
                              : config.encodeCodecConfig.hevcConfig.enableIntraRefresh;
    const uint32_t lookahead = config.rcParams.enableLookahead ? config.rcParams.lookaheadDepth : 0;
    std::string settings = "keyint=" + (keyint == NVENC_INFINITE_GOPLENGTH || keyint == 0
                                            ? std::string(h264 ? "infinite" : "-1")
                                            : std::to_string(config.frameIntervalP == 0 ? 1 : keyint));
    // The encoder's own delay must stay within the session's ring: one thread, no extra look-ahead.
    if (h264) {
        settings += ":rc-lookahead=" + std::to_string(lookahead) + ":sync-lookahead=0:threads=1:b-pyramid=none";
    } else {
        const uint32_t bFrames = config.frameIntervalP > 1 ? static_cast<uint32_t>(config.frameIntervalP - 1) : 0;
        settings += ":rc-lookahead=" + std::to_string(std::max(lookahead, bFrames)) +
                    ":frame-threads=1:lookahead-slices=0:b-adapt=0:log-level=error";
        if (lookahead == 0)
            settings += ":cutree=0";
    }
    if (repeat)
        settings += ":repeat-headers=1";
    if (refresh)
        settings += ":intra-refresh=1";
    (void)params;
    return settings;
}

NVENCSTATUS CNvEncStandInSession::Initialize(const NV_ENC_INITIALIZE_PARAMS &params)
{
    const bool h264 = SameGuid(params.encodeGUID, NV_ENC_CODEC_H264_GUID);
    const bool hevc = SameGuid(params.encodeGUID, NV_ENC_CODEC_HEVC_GUID);
    NV_ENC_PRESET_CONFIG preset{};
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    if (!h264 && !hevc)
        return NV_ENC_ERR_INVALID_PARAM;
    if (!params.encodeConfig)
        PresetConfig(params.encodeGUID, preset);
    const NV_ENC_CONFIG &config = params.encodeConfig ? *params.encodeConfig : preset.presetCfg;
    if (params.encodeWidth == 0 || params.encodeHeight == 0 || config.frameIntervalP < 0)
        return NV_ENC_ERR_INVALID_PARAM;
    if (hevc && config.encodeCodecConfig.hevcConfig.enableIntraRefresh &&
        config.encodeCodecConfig.hevcConfig.intraRefreshPeriod == 0)
        return NV_ENC_ERR_INVALID_PARAM;
    const AVCodec *codec = avcodec_find_encoder_by_name(h264 ? "libx264" : "libx265");
    if (!codec)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    m_context.reset(avcodec_alloc_context3(codec));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_context || !m_frame || !m_packet)
        return NV_ENC_ERR_OUT_OF_MEMORY;
    AVCodecContext &context = *m_context;
    context.width = static_cast<int>(params.encodeWidth);
    context.height = static_cast<int>(params.encodeHeight);
    const bool chroma444 = (h264 ? config.encodeCodecConfig.h264Config.chromaFormatIDC
                                 : config.encodeCodecConfig.hevcConfig.chromaFormatIDC) == 3;
    const bool tenBit = hevc && config.encodeCodecConfig.hevcConfig.pixelBitDepthMinus8 == 2;
    context.pix_fmt = chroma444 ? (tenBit ? AV_PIX_FMT_YUV444P10LE : AV_PIX_FMT_YUV444P)
                                : (tenBit ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P);
    const int num = params.frameRateNum > 0 ? static_cast<int>(params.frameRateNum) : 30;
    const int den = params.frameRateDen > 0 ? static_cast<int>(params.frameRateDen) : 1;
    context.time_base = AVRational{den, num};
    context.framerate = AVRational{num, den};
    context.max_b_frames = config.frameIntervalP > 1 ? config.frameIntervalP - 1 : 0;
    context.thread_count = 1;
    context.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const NV_ENC_RC_PARAMS &rc = config.rcParams;
    if (rc.rateControlMode != NV_ENC_PARAMS_RC_CONSTQP && rc.averageBitRate > 0) {
        context.bit_rate = rc.averageBitRate;
        context.rc_max_rate = rc.rateControlMode == NV_ENC_PARAMS_RC_CBR ? rc.averageBitRate : rc.maxBitRate;
        context.rc_buffer_size = static_cast<int>(rc.vbvBufferSize);
    }
    if (rc.enableMinQP)
        context.qmin = static_cast<int>(rc.minQP.qpInterP);
    if (rc.enableMaxQP)
        context.qmax = static_cast<int>(rc.maxQP.qpInterP);
    AVDictionary *options = nullptr;
    av_dict_set(&options, "preset", X264Preset(params.presetGUID), 0);
    if (params.tuningInfo == NV_ENC_TUNING_INFO_LOW_LATENCY || params.tuningInfo == NV_ENC_TUNING_INFO_ULTRA_LOW_LATENCY)
        av_dict_set(&options, "tune", "zerolatency", 0);
    if (const char *profile = ProfileName(config.profileGUID))
        av_dict_set(&options, "profile", profile, 0);
    if (rc.rateControlMode == NV_ENC_PARAMS_RC_CONSTQP)
        av_dict_set_int(&options, "qp", static_cast<int64_t>(rc.constQP.qpInterP), 0);
    av_dict_set(&options, h264 ? "x264-params" : "x265-params", EncoderSettings(params, config, h264).c_str(), 0);
    const int rcOpen = avcodec_open2(m_context.get(), codec, &options);
    av_dict_free(&options);
    if (rcOpen < 0) {
        m_context.reset();
        return NV_ENC_ERR_INVALID_PARAM;
    }
    m_frame->width = context.width;
    m_frame->height = context.height;
    m_frame->format = context.pix_fmt;
    return av_frame_get_buffer(m_frame.get(), 0) < 0 ? NV_ENC_ERR_OUT_OF_MEMORY : NV_ENC_SUCCESS;
}

bool CNvEncStandInSession::Owns(const void *resource) const
{
    for (const auto &owned : m_resources) {
        if (owned.get() == resource)
            return true;
    }
    return false;
}

NVENCSTATUS CNvEncStandInSession::CreateBitstream(NV_ENC_CREATE_BITSTREAM_BUFFER &create)
{
    m_bitstreams.push_back(std::make_unique<stBitstream>());
    create.bitstreamBuffer = m_bitstreams.back().get();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvEncStandInSession::DestroyBitstream(void *buffer)
{
    for (auto it = m_bitstreams.begin(); it != m_bitstreams.end(); ++it) {
        if (it->get() == buffer) {
            m_bitstreams.erase(it);
            return NV_ENC_SUCCESS;
        }
    }
    return NV_ENC_ERR_INVALID_PARAM;
}

NVENCSTATUS CNvEncStandInSession::Register(NV_ENC_REGISTER_RESOURCE &resource)
{
    if (!resource.resourceToRegister || resource.resourceType != NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR ||
        SourceFormat(resource.bufferFormat) == AV_PIX_FMT_NONE)
        return NV_ENC_ERR_INVALID_PARAM;
    auto record = std::make_unique<stResource>();
    record->pointer = resource.resourceToRegister;
    record->width = resource.width;
    record->height = resource.height;
    record->pitch = resource.pitch;
    record->format = resource.bufferFormat;
    resource.registeredResource = record.get();
    m_resources.push_back(std::move(record));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvEncStandInSession::Unregister(void *resource)
{
    for (auto it = m_resources.begin(); it != m_resources.end(); ++it) {
        if (it->get() == resource) {
            m_resources.erase(it);
            return NV_ENC_SUCCESS;
        }
    }
    return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
}

NVENCSTATUS CNvEncStandInSession::Map(NV_ENC_MAP_INPUT_RESOURCE &map)
{
    if (!Owns(map.registeredResource))
        return NV_ENC_ERR_RESOURCE_NOT_REGISTERED;
    map.mappedResource = map.registeredResource;
    map.mappedBufferFmt = static_cast<stResource *>(map.registeredResource)->format;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvEncStandInSession::FillFrame(const stResource &resource, const NV_ENC_PIC_PARAMS &picture)
{
    const uint32_t chromaHeight = NvBufferChromaHeight(resource.format, resource.height).value_or(0);
    const uint32_t planes = NvBufferNumChromaPlanes(resource.format).value_or(0);
    const uint32_t chromaRows = (resource.format == NV_ENC_BUFFER_FORMAT_IYUV || resource.format == NV_ENC_BUFFER_FORMAT_YV12)
                                    ? chromaHeight
                                    : chromaHeight * planes;
    const size_t bytes = static_cast<size_t>(resource.pitch) * (resource.height + chromaRows);
    m_staging.resize(bytes);
    // The block lies in the GPU layer's device memory (host memory on the host backend).
    if (DevMemcpy(m_staging.data(), resource.pointer, bytes, EGpuCopyKind::DeviceToHost) != GPU_SUCCESS)
        return NV_ENC_ERR_GENERIC;
    const std::vector<uint32_t> offsets =
        NvBufferChromaSubPlaneOffsets(resource.format, resource.pitch, resource.height).value_or(std::vector<uint32_t>{});
    const int chromaPitch = static_cast<int>(NvBufferChromaPitch(resource.format, resource.pitch).value_or(0));
    const uint8_t *source[4] = {m_staging.data(), nullptr, nullptr, nullptr};
    int lines[4] = {static_cast<int>(resource.pitch), chromaPitch, chromaPitch, 0};
    for (size_t i = 0; i < offsets.size() && i < 2; ++i)
        source[i + 1] = m_staging.data() + offsets[i];
    if (resource.format == NV_ENC_BUFFER_FORMAT_YV12)
        std::swap(source[1], source[2]);
    const int width = static_cast<int>(picture.inputWidth ? picture.inputWidth : resource.width);
    const int height = static_cast<int>(picture.inputHeight ? picture.inputHeight : resource.height);
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), width, height, SourceFormat(resource.format),
                                        m_context->width, m_context->height, m_context->pix_fmt, SWS_BICUBIC,
                                        nullptr, nullptr, nullptr));
    if (!m_scaler || av_frame_make_writable(m_frame.get()) < 0)
        return NV_ENC_ERR_GENERIC;
    if (sws_scale(m_scaler.get(), source, lines, 0, height, m_frame->data, m_frame->linesize) < 0)
        return NV_ENC_ERR_GENERIC;
    return NV_ENC_SUCCESS;
}

void CNvEncStandInSession::ReceivePackets()
{
    while (avcodec_receive_packet(m_context.get(), m_packet.get()) == 0) {
        stCoded coded;
        coded.bytes.assign(m_packet->data, m_packet->data + m_packet->size);
        if (const auto times = m_times.find(m_packet->pts); times != m_times.end()) {
            coded.pts = times->second.first;
            coded.duration = times->second.second;
            m_times.erase(times);
        }
        coded.index = static_cast<uint32_t>(m_packet->pts);
        coded.type = NV_ENC_PIC_TYPE_P;
        size_t statsSize = 0;
        const uint8_t *stats = av_packet_get_side_data(m_packet.get(), AV_PKT_DATA_QUALITY_STATS, &statsSize);
        if (m_packet->flags & AV_PKT_FLAG_KEY)
            coded.type = NV_ENC_PIC_TYPE_IDR;
        else if (stats && statsSize > 4 && stats[4] == AV_PICTURE_TYPE_I)
            coded.type = NV_ENC_PIC_TYPE_I;
        else if (stats && statsSize > 4 && stats[4] == AV_PICTURE_TYPE_B)
            coded.type = NV_ENC_PIC_TYPE_B;
        m_coded.push_back(std::move(coded));
        av_packet_unref(m_packet.get());
    }
}

NVENCSTATUS CNvEncStandInSession::Encode(const NV_ENC_PIC_PARAMS &picture)
{
    if (!m_context)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    if (picture.encodePicFlags & NV_ENC_PIC_FLAG_EOS) {
        if (!m_drained && avcodec_send_frame(m_context.get(), nullptr) == 0)
            ReceivePackets();
        m_drained = true;
        return NV_ENC_SUCCESS;
    }
    if (m_drained || !Owns(picture.inputBuffer))
        return NV_ENC_ERR_INVALID_PARAM;
    if (const NVENCSTATUS rc = FillFrame(*static_cast<const stResource *>(picture.inputBuffer), picture);
        rc != NV_ENC_SUCCESS)
        return rc;
    m_frame->pts = m_index;
    m_frame->pict_type = (picture.encodePicFlags & NV_ENC_PIC_FLAG_FORCEIDR) ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    m_times[m_index] = {picture.inputTimeStamp, picture.inputDuration};
    ++m_index;
    if (avcodec_send_frame(m_context.get(), m_frame.get()) < 0)
        return NV_ENC_ERR_GENERIC;
    ReceivePackets();
    return m_coded.empty() ? NV_ENC_ERR_NEED_MORE_INPUT : NV_ENC_SUCCESS;
}

NVENCSTATUS CNvEncStandInSession::Lock(NV_ENC_LOCK_BITSTREAM &lock)
{
    auto *bitstream = static_cast<stBitstream *>(lock.outputBitstream);
    bool known = false;
    for (const auto &owned : m_bitstreams)
        known = known || owned.get() == bitstream;
    if (!known)
        return NV_ENC_ERR_INVALID_PARAM;
    bitstream->held = stCoded{};
    if (!m_coded.empty()) {
        bitstream->held = std::move(m_coded.front());
        m_coded.pop_front();
    }
    const stCoded &held = bitstream->held;
    lock.bitstreamBufferPtr = held.bytes.empty() ? nullptr : const_cast<uint8_t *>(held.bytes.data());
    lock.bitstreamSizeInBytes = static_cast<uint32_t>(held.bytes.size());
    lock.outputTimeStamp = held.pts;
    lock.outputDuration = held.duration;
    lock.frameIdx = held.index;
    lock.pictureType = held.type;
    lock.ltrFrame = 0;
    lock.ltrFrameIdx = 0;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CNvEncStandInSession::SequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD &payload) const
{
    if (!m_context)
        return NV_ENC_ERR_ENCODER_NOT_INITIALIZED;
    if (!payload.spsppsBuffer || !payload.outSPSPPSPayloadSize)
        return NV_ENC_ERR_INVALID_PTR;
    const std::vector<uint8_t> sets =
        m_context->extradata ? ParameterSets(m_context->extradata, static_cast<size_t>(std::max(0, m_context->extradata_size)),
                                             m_context->codec_id == AV_CODEC_ID_HEVC)
                             : std::vector<uint8_t>();
    const auto size = static_cast<uint32_t>(sets.size());
    if (size > payload.inBufferSize)
        return NV_ENC_ERR_NOT_ENOUGH_BUFFER;
    if (size > 0)
        std::memcpy(payload.spsppsBuffer, sets.data(), size);
    *payload.outSPSPPSPayloadSize = size;
    return NV_ENC_SUCCESS;
}

// ---- the API's entry points: no exception crosses them ----

template <typename Body>
NVENCSTATUS Guarded(void *encoder, Body body)
{
    if (!encoder)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    try {
        return body(*static_cast<CNvEncStandInSession *>(encoder));
    } catch (const std::bad_alloc &) {
        return NV_ENC_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return NV_ENC_ERR_GENERIC;
    }
}

NVENCSTATUS NVENCAPI OpenSession(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS *params, void **encoder)
{
    if (!params || !encoder)
        return NV_ENC_ERR_INVALID_PTR;
    if (params->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER || params->apiVersion != NVENCAPI_VERSION)
        return NV_ENC_ERR_INVALID_VERSION;
    if (params->deviceType != NV_ENC_DEVICE_TYPE_CUDA || !params->device)
        return NV_ENC_ERR_UNSUPPORTED_DEVICE;
    try {
        // The handle is the session's owner from here; DestroyEncoder takes it back.
        *encoder = std::make_unique<CNvEncStandInSession>().release();
    } catch (const std::bad_alloc &) {
        return NV_ENC_ERR_OUT_OF_MEMORY;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetCaps(void *encoder, GUID, NV_ENC_CAPS_PARAM *caps, int *value)
{
    return Guarded(encoder, [&](CNvEncStandInSession &) {
        if (!caps || !value)
            return NV_ENC_ERR_INVALID_PTR;
        switch (caps->capsToQuery) {
        case NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT: *value = 0; break;
        case NV_ENC_CAPS_NUM_MAX_LTR_FRAMES: *value = kNvEncStandInLtrFrames; break;
        case NV_ENC_CAPS_WIDTH_MAX:
        case NV_ENC_CAPS_HEIGHT_MAX: *value = 8192; break;
        default: *value = 1; break;
        }
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI GetPresetConfigEx(void *encoder, GUID codec, GUID, NV_ENC_TUNING_INFO, NV_ENC_PRESET_CONFIG *preset)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return preset ? session.PresetConfig(codec, *preset) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI InitializeEncoder(void *encoder, NV_ENC_INITIALIZE_PARAMS *params)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return params ? session.Initialize(*params) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI CreateBitstreamBuffer(void *encoder, NV_ENC_CREATE_BITSTREAM_BUFFER *create)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return create ? session.CreateBitstream(*create) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI DestroyBitstreamBuffer(void *encoder, NV_ENC_OUTPUT_PTR buffer)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) { return session.DestroyBitstream(buffer); });
}

NVENCSTATUS NVENCAPI RegisterResource(void *encoder, NV_ENC_REGISTER_RESOURCE *resource)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return resource ? session.Register(*resource) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI UnregisterResource(void *encoder, NV_ENC_REGISTERED_PTR resource)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) { return session.Unregister(resource); });
}

NVENCSTATUS NVENCAPI MapInputResource(void *encoder, NV_ENC_MAP_INPUT_RESOURCE *map)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return map ? session.Map(*map) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI UnmapInputResource(void *encoder, NV_ENC_INPUT_PTR)
{
    return Guarded(encoder, [](CNvEncStandInSession &) { return NV_ENC_SUCCESS; });
}

NVENCSTATUS NVENCAPI EncodePicture(void *encoder, NV_ENC_PIC_PARAMS *picture)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return picture ? session.Encode(*picture) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI LockBitstream(void *encoder, NV_ENC_LOCK_BITSTREAM *lock)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return lock ? session.Lock(*lock) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI UnlockBitstream(void *encoder, NV_ENC_OUTPUT_PTR)
{
    return Guarded(encoder, [](CNvEncStandInSession &) { return NV_ENC_SUCCESS; });
}

NVENCSTATUS NVENCAPI GetSequenceParams(void *encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD *payload)
{
    return Guarded(encoder, [&](CNvEncStandInSession &session) {
        return payload ? session.SequenceParams(*payload) : NV_ENC_ERR_INVALID_PTR;
    });
}

NVENCSTATUS NVENCAPI AsyncEvent(void *encoder, NV_ENC_EVENT_PARAMS *)
{
    return Guarded(encoder, [](CNvEncStandInSession &) { return NV_ENC_SUCCESS; });
}

NVENCSTATUS NVENCAPI DestroyEncoder(void *encoder)
{
    if (!encoder)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    std::unique_ptr<CNvEncStandInSession> session(static_cast<CNvEncStandInSession *>(encoder));
    return NV_ENC_SUCCESS;
}

} // namespace

void NvEncStandInSetReportedVersion(uint32_t version)
{
    g_reportedVersion = version;
}

NVENCSTATUS NvEncStandInGetMaxSupportedVersion(uint32_t *version)
{
    if (!version)
        return NV_ENC_ERR_INVALID_PTR;
    const uint32_t reported = g_reportedVersion.load();
    *version = reported ? reported : kHeaderVersion;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NvEncStandInCreateInstance(NV_ENCODE_API_FUNCTION_LIST *functions)
{
    if (!functions)
        return NV_ENC_ERR_INVALID_PTR;
    if (functions->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    functions->nvEncOpenEncodeSessionEx = OpenSession;
    functions->nvEncGetEncodeCaps = GetCaps;
    functions->nvEncGetEncodePresetConfigEx = GetPresetConfigEx;
    functions->nvEncInitializeEncoder = InitializeEncoder;
    functions->nvEncCreateBitstreamBuffer = CreateBitstreamBuffer;
    functions->nvEncDestroyBitstreamBuffer = DestroyBitstreamBuffer;
    functions->nvEncRegisterResource = RegisterResource;
    functions->nvEncUnregisterResource = UnregisterResource;
    functions->nvEncMapInputResource = MapInputResource;
    functions->nvEncUnmapInputResource = UnmapInputResource;
    functions->nvEncEncodePicture = EncodePicture;
    functions->nvEncLockBitstream = LockBitstream;
    functions->nvEncUnlockBitstream = UnlockBitstream;
    functions->nvEncGetSequenceParams = GetSequenceParams;
    functions->nvEncRegisterAsyncEvent = AsyncEvent;
    functions->nvEncUnregisterAsyncEvent = AsyncEvent;
    functions->nvEncDestroyEncoder = DestroyEncoder;
    return NV_ENC_SUCCESS;
}
