// The NVENC session: API loading, default parameters, initialisation, the buffer ring, encoding,
// the drain and the tear-down.

#include "codec/NvEncoder.h"

#include "codec/NvEncDriver.h"
#include "core/NvBufferFormat.h"
#include "core/debuglog.h"

#include <cstring>
#include <optional>

namespace {

constexpr const char *kSourceFile = "NvEncoder";
constexpr uint32_t kSequenceBufferBytes = 1024;

#define NVENC_THROW_ERROR(function, errorText, status) NVENC_THROW_ERROR_AT(function, kSourceFile, errorText, status)
#define NVENC_API_CALL(function, call) NVENC_API_CALL_AT(function, kSourceFile, call)

bool Is10Bit(NV_ENC_BUFFER_FORMAT format)
{
    return format == NV_ENC_BUFFER_FORMAT_YUV420_10BIT || format == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
}

bool Is444(NV_ENC_BUFFER_FORMAT format)
{
    return format == NV_ENC_BUFFER_FORMAT_YUV444 || format == NV_ENC_BUFFER_FORMAT_YUV444_10BIT;
}

bool IsCodec(const GUID &a, const GUID &b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

#if NVENCAPI_MAJOR_VERSION >= 12
bool IsAv1Codec(const GUID &guid)
{
    return IsCodec(guid, NV_ENC_CODEC_AV1_GUID);
}
#else
bool IsAv1Codec(const GUID &)
{
    return false;
}
#endif

template <typename Value>
Value Checked(const std::optional<Value> &value, const char *function)
{
    if (!value)
        NVENC_THROW_ERROR(function, "Invalid Buffer format", NV_ENC_ERR_INVALID_PARAM);
    return *value;
}

} // namespace

// ---- plane layout ----

uint32_t NvEncoder::GetWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t width)
{
    return Checked(NvBufferWidthInBytes(format, width), "NvEncoder::GetWidthInBytes");
}

uint32_t NvEncoder::GetNumChromaPlanes(NV_ENC_BUFFER_FORMAT format)
{
    return Checked(NvBufferNumChromaPlanes(format), "NvEncoder::GetNumChromaPlanes");
}

uint32_t NvEncoder::GetChromaPitch(NV_ENC_BUFFER_FORMAT format, uint32_t lumaPitch)
{
    return Checked(NvBufferChromaPitch(format, lumaPitch), "NvEncoder::GetChromaPitch");
}

uint32_t NvEncoder::GetChromaHeight(NV_ENC_BUFFER_FORMAT format, uint32_t lumaHeight)
{
    return Checked(NvBufferChromaHeight(format, lumaHeight), "NvEncoder::GetChromaHeight");
}

uint32_t NvEncoder::GetChromaWidthInBytes(NV_ENC_BUFFER_FORMAT format, uint32_t lumaWidth)
{
    return Checked(NvBufferChromaWidthInBytes(format, lumaWidth), "NvEncoder::GetChromaWidthInBytes");
}

std::vector<uint32_t> NvEncoder::GetChromaSubPlaneOffsets(NV_ENC_BUFFER_FORMAT format, uint32_t pitch, uint32_t height)
{
    return Checked(NvBufferChromaSubPlaneOffsets(format, pitch, height), "NvEncoder::GetChromaSubPlaneOffsets");
}

// ---- the session ----

NvEncoder::NvEncoder(NV_ENC_DEVICE_TYPE deviceType, void *device, uint32_t width, uint32_t height,
                     NV_ENC_BUFFER_FORMAT bufferFormat, uint32_t extraOutputDelay)
    : m_width(width), m_height(height), m_bufferFormat(bufferFormat), m_device(device), m_deviceType(deviceType),
      m_extraOutputDelay(extraOutputDelay), m_maxEncodeWidth(width), m_maxEncodeHeight(height)
{
    LoadNvEncApi();
    if (!m_nvenc.nvEncOpenEncodeSessionEx)
        NVENC_THROW_ERROR("NvEncoder::NvEncoder", "EncodeAPI not found", NV_ENC_ERR_NO_ENCODE_DEVICE);
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS session{};
    session.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    session.device = m_device;
    session.deviceType = m_deviceType;
    session.apiVersion = NVENCAPI_VERSION;
    void *encoder = nullptr;
    NVENC_API_CALL("NvEncoder::NvEncoder", m_nvenc.nvEncOpenEncodeSessionEx(&session, &encoder));
    m_hEncoder = encoder;
}

NvEncoder::~NvEncoder()
{
    TearDown();
}

void NvEncoder::LoadNvEncApi()
{
    const stNvEncApiEntry &api = NvEncApiEntry();
    uint32_t version = 0;
    // The headers' own version: a driver that supports it runs these structures.
    const uint32_t current = (NVENCAPI_MAJOR_VERSION << 4) | NVENCAPI_MINOR_VERSION;
    NVENC_API_CALL("NvEncoder::LoadNvEncApi", api.getMaxSupportedVersion(&version));
    if (current > version)
        NVENC_THROW_ERROR("NvEncoder::LoadNvEncApi",
                          "Current Driver Version does not support this NvEncodeAPI version, please upgrade driver",
                          NV_ENC_ERR_INVALID_VERSION);
    m_nvenc = {};
    m_nvenc.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    NVENC_API_CALL("NvEncoder::LoadNvEncApi", api.createInstance(&m_nvenc));
}

void NvEncoder::CreateDefaultEncoderParams(NV_ENC_INITIALIZE_PARAMS *params, GUID codecGuid, GUID presetGuid,
                                           NV_ENC_TUNING_INFO tuningInfo)
{
    const char *const where = "NvEncoder::CreateDefaultEncoderParams";
    if (!m_hEncoder)
        NVENC_THROW_ERROR(where, "Encoder Initialization failed", NV_ENC_ERR_NO_ENCODE_DEVICE);
    if (!params || !params->encodeConfig)
        NVENC_THROW_ERROR(where, "pInitializeParams and pInitializeParams->encodeConfig can't be NULL",
                          NV_ENC_ERR_INVALID_PTR);
    NV_ENC_CONFIG *config = params->encodeConfig;
    std::memset(config, 0, sizeof(NV_ENC_CONFIG));
    std::memset(params, 0, sizeof(NV_ENC_INITIALIZE_PARAMS));
    params->encodeConfig = config;
    config->version = NV_ENC_CONFIG_VER;
    params->version = NV_ENC_INITIALIZE_PARAMS_VER;
    params->encodeGUID = codecGuid;
    params->presetGUID = presetGuid;
    params->encodeWidth = m_width;
    params->encodeHeight = m_height;
    params->darWidth = m_width;
    params->darHeight = m_height;
    params->frameRateNum = 30;
    params->frameRateDen = 1;
    params->enablePTD = 1;
    params->reportSliceOffsets = 0;
    params->enableSubFrameWrite = 0;
    params->maxEncodeWidth = m_width;
    params->maxEncodeHeight = m_height;
    params->enableMEOnlyMode = m_motionEstimationOnly;
    params->enableOutputInVidmem = m_outputInVideoMemory;
    params->enableEncodeAsync = GetCapabilityValue(codecGuid, NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT);

    NV_ENC_PRESET_CONFIG preset{};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    NVENC_API_CALL(where, m_nvenc.nvEncGetEncodePresetConfigEx(m_hEncoder, codecGuid, presetGuid, tuningInfo, &preset));
    std::memcpy(config, &preset.presetCfg, sizeof(NV_ENC_CONFIG));
    config->version = NV_ENC_CONFIG_VER;
    config->frameIntervalP = 1;
    config->gopLength = NVENC_INFINITE_GOPLENGTH;
    config->rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    params->tuningInfo = tuningInfo;

    if (IsCodec(codecGuid, NV_ENC_CODEC_H264_GUID)) {
        if (Is444(m_bufferFormat))
            config->encodeCodecConfig.h264Config.chromaFormatIDC = 3;
        config->encodeCodecConfig.h264Config.idrPeriod = config->gopLength;
    } else if (IsCodec(codecGuid, NV_ENC_CODEC_HEVC_GUID)) {
        config->encodeCodecConfig.hevcConfig.pixelBitDepthMinus8 = Is10Bit(m_bufferFormat) ? 2 : 0;
        if (Is444(m_bufferFormat))
            config->encodeCodecConfig.hevcConfig.chromaFormatIDC = 3;
        config->encodeCodecConfig.hevcConfig.idrPeriod = config->gopLength;
    }
#if NVENCAPI_MAJOR_VERSION >= 12
    else if (IsAv1Codec(codecGuid)) {
        const uint32_t depth = m_bufferFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT ? 2 : 0;
        config->encodeCodecConfig.av1Config.inputPixelBitDepthMinus8 = depth;
        config->encodeCodecConfig.av1Config.pixelBitDepthMinus8 = depth;
        config->encodeCodecConfig.av1Config.chromaFormatIDC = 1;
        config->encodeCodecConfig.av1Config.idrPeriod = config->gopLength;
    }
#endif
}

void NvEncoder::CheckInitializeParams(const NV_ENC_INITIALIZE_PARAMS *params) const
{
    const char *const where = "NvEncoder::CreateEncoder";
    if (!m_hEncoder)
        NVENC_THROW_ERROR(where, "Encoder Initialization failed", NV_ENC_ERR_NO_ENCODE_DEVICE);
    if (!params)
        NVENC_THROW_ERROR(where, "Invalid NV_ENC_INITIALIZE_PARAMS ptr", NV_ENC_ERR_INVALID_PTR);
    if (params->encodeWidth == 0 || params->encodeHeight == 0)
        NVENC_THROW_ERROR(where, "Invalid encoder width and height", NV_ENC_ERR_INVALID_PARAM);
    const GUID &codec = params->encodeGUID;
    const bool h264 = IsCodec(codec, NV_ENC_CODEC_H264_GUID);
    const bool hevc = IsCodec(codec, NV_ENC_CODEC_HEVC_GUID);
    const bool av1 = IsAv1Codec(codec);
    if (!h264 && !hevc && !av1)
        NVENC_THROW_ERROR(where, "Invalid codec guid", NV_ENC_ERR_INVALID_PARAM);
    if (h264 && Is10Bit(m_bufferFormat))
        NVENC_THROW_ERROR(where, "10-bit format isn't supported by H264 encoder", NV_ENC_ERR_INVALID_PARAM);
    if (av1 && Is444(m_bufferFormat))
        NVENC_THROW_ERROR(where, "YUV444 format isn't supported by AV1 encoder", NV_ENC_ERR_INVALID_PARAM);
    const NV_ENC_CONFIG *config = params->encodeConfig;
    if (!config)
        return;
    if ((h264 && m_bufferFormat == NV_ENC_BUFFER_FORMAT_YUV444 &&
         config->encodeCodecConfig.h264Config.chromaFormatIDC != 3) ||
        (hevc && Is444(m_bufferFormat) && config->encodeCodecConfig.hevcConfig.chromaFormatIDC != 3))
        NVENC_THROW_ERROR(where, "Invalid ChromaFormatIDC", NV_ENC_ERR_INVALID_PARAM);
    if (hevc && Is10Bit(m_bufferFormat) && config->encodeCodecConfig.hevcConfig.pixelBitDepthMinus8 != 2)
        NVENC_THROW_ERROR(where, "Invalid PixelBitdepth", NV_ENC_ERR_INVALID_PARAM);
#if NVENCAPI_MAJOR_VERSION >= 12
    if (av1 && config->encodeCodecConfig.av1Config.chromaFormatIDC != 1)
        NVENC_THROW_ERROR(where, "Invalid ChromaFormatIDC", NV_ENC_ERR_INVALID_PARAM);
    if (av1 && m_bufferFormat == NV_ENC_BUFFER_FORMAT_YUV420_10BIT &&
        config->encodeCodecConfig.av1Config.pixelBitDepthMinus8 != 2)
        NVENC_THROW_ERROR(where, "Invalid PixelBitdepth", NV_ENC_ERR_INVALID_PARAM);
#endif
}

void NvEncoder::CreateEncoder(const NV_ENC_INITIALIZE_PARAMS *params)
{
    const char *const where = "NvEncoder::CreateEncoder";
    CheckInitializeParams(params);
    m_initializeParams = *params;
    m_initializeParams.version = NV_ENC_INITIALIZE_PARAMS_VER;
    if (params->encodeConfig) {
        m_encodeConfig = *params->encodeConfig;
    } else {
        NV_ENC_PRESET_CONFIG preset{};
        preset.version = NV_ENC_PRESET_CONFIG_VER;
        preset.presetCfg.version = NV_ENC_CONFIG_VER;
        NVENC_API_CALL(where, m_nvenc.nvEncGetEncodePresetConfigEx(m_hEncoder, params->encodeGUID, params->presetGUID,
                                                                   params->tuningInfo, &preset));
        m_encodeConfig = preset.presetCfg;
    }
    m_encodeConfig.version = NV_ENC_CONFIG_VER;
    m_initializeParams.encodeConfig = &m_encodeConfig;
    // Completion events exist only where the driver encodes asynchronously (not on Linux); the
    // bitstream locks wait by themselves otherwise.
    m_initializeParams.enableEncodeAsync = 0;
    NVENC_API_CALL(where, m_nvenc.nvEncInitializeEncoder(m_hEncoder, &m_initializeParams));
    m_encoderInitialized = true;
    m_width = m_initializeParams.encodeWidth;
    m_height = m_initializeParams.encodeHeight;
    m_maxEncodeWidth = m_initializeParams.maxEncodeWidth ? m_initializeParams.maxEncodeWidth : m_width;
    m_maxEncodeHeight = m_initializeParams.maxEncodeHeight ? m_initializeParams.maxEncodeHeight : m_height;
    m_wrapIvf = false;
    m_writeIvfFileHeader = true;

    const int32_t intervalP = m_encodeConfig.frameIntervalP > 0 ? m_encodeConfig.frameIntervalP : 0;
    m_encoderBuffers = intervalP + m_encodeConfig.rcParams.lookaheadDepth + static_cast<int32_t>(m_extraOutputDelay);
    m_outputDelay = m_encoderBuffers - 1;
    CreateCompletionAndBitstreamBuffers();
    AllocateInputBuffers(m_encoderBuffers);
}

void NvEncoder::CreateCompletionAndBitstreamBuffers()
{
    m_completionEvents.assign(static_cast<size_t>(m_encoderBuffers), nullptr);
    m_mappedInputBuffers.assign(static_cast<size_t>(m_encoderBuffers), nullptr);
    if (m_noBitstreamBuffers)
        return;
    for (int32_t i = 0; i < m_encoderBuffers; ++i) {
        NV_ENC_CREATE_BITSTREAM_BUFFER create{};
        create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
        NVENC_API_CALL("NvEncoder::CreateEncoder", m_nvenc.nvEncCreateBitstreamBuffer(m_hEncoder, &create));
        m_bitstreamOutputBuffers.push_back(create.bitstreamBuffer);
    }
}

const stNvEncInputFrame *NvEncoder::GetNextInputFrame()
{
    if (m_inputFrames.empty())
        return nullptr;
    return &m_inputFrames[static_cast<size_t>(m_toSend % static_cast<int32_t>(m_inputFrames.size()))];
}

void NvEncoder::RegisterInputResources(const std::vector<void *> &inputs, NV_ENC_INPUT_RESOURCE_TYPE type,
                                       uint32_t width, uint32_t height, uint32_t pitch, NV_ENC_BUFFER_FORMAT format)
{
    const std::vector<uint32_t> offsets = GetChromaSubPlaneOffsets(format, pitch, height);
    for (void *input : inputs) {
        NV_ENC_REGISTER_RESOURCE resource{};
        resource.version = NV_ENC_REGISTER_RESOURCE_VER;
        resource.resourceType = type;
        resource.resourceToRegister = input;
        resource.width = width;
        resource.height = height;
        resource.pitch = pitch;
        resource.bufferFormat = format;
        resource.bufferUsage = NV_ENC_INPUT_IMAGE;
        NVENC_API_CALL("NvEncoder::RegisterInputResources", m_nvenc.nvEncRegisterResource(m_hEncoder, &resource));
        stNvEncInputFrame frame;
        frame.inputPtr = input;
        for (size_t i = 0; i < offsets.size() && i < 2; ++i)
            frame.chromaOffsets[i] = offsets[i];
        frame.numChromaPlanes = GetNumChromaPlanes(format);
        frame.pitch = pitch;
        frame.chromaPitch = GetChromaPitch(format, pitch);
        frame.bufferFormat = format;
        frame.resourceType = type;
        m_registeredResources.push_back(resource.registeredResource);
        m_inputFrames.push_back(frame);
    }
}

void NvEncoder::UnregisterInputResources()
{
    for (NV_ENC_INPUT_PTR &mapped : m_mappedInputBuffers) {
        if (mapped && m_hEncoder)
            m_nvenc.nvEncUnmapInputResource(m_hEncoder, mapped);
        mapped = nullptr;
    }
    for (NV_ENC_REGISTERED_PTR resource : m_registeredResources) {
        if (resource && m_hEncoder)
            m_nvenc.nvEncUnregisterResource(m_hEncoder, resource);
    }
    m_registeredResources.clear();
    m_inputFrames.clear();
}

NVENCSTATUS NvEncoder::SendPicture(NV_ENC_PIC_PARAMS &picParams)
{
    return m_nvenc.nvEncEncodePicture(m_hEncoder, &picParams);
}

void NvEncoder::EncodeFrame(std::vector<stNvEncPacket> &packets, NV_ENC_PIC_PARAMS *picParams)
{
    const char *const where = "NvEncoder::EncodeFrame";
    packets.clear();
    if (!m_hEncoder || !m_encoderInitialized || m_encoderBuffers <= 0)
        NVENC_THROW_ERROR(where, "Encoder device not found", NV_ENC_ERR_NO_ENCODE_DEVICE);
    const auto index = static_cast<size_t>(m_toSend % m_encoderBuffers);
    NV_ENC_MAP_INPUT_RESOURCE map{};
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = m_registeredResources.at(index);
    NVENC_API_CALL(where, m_nvenc.nvEncMapInputResource(m_hEncoder, &map));
    m_mappedInputBuffers[index] = map.mappedResource;

    NV_ENC_PIC_PARAMS picture{};
    if (picParams)
        picture = *picParams;
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputBuffer = map.mappedResource;
    picture.bufferFmt = m_bufferFormat;
    picture.inputWidth = m_width;
    picture.inputHeight = m_height;
    picture.outputBitstream = m_bitstreamOutputBuffers.at(index);
    picture.completionEvent = m_completionEvents[index];
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    const NVENCSTATUS status = SendPicture(picture);
    if (status != NV_ENC_SUCCESS && status != NV_ENC_ERR_NEED_MORE_INPUT)
        NVENC_THROW_ERROR(where, "nvEncEncodePicture API failed", status);
    ++m_toSend;
    GetEncodedPackets(packets, true);
}

void NvEncoder::EndEncode(std::vector<stNvEncPacket> &packets)
{
    const char *const where = "NvEncoder::EndEncode";
    packets.clear();
    if (!m_encoderInitialized || !m_hEncoder)
        NVENC_THROW_ERROR(where, "Encoder device not initialized", NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    NV_ENC_PIC_PARAMS picture{};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    if (m_encoderBuffers > 0)
        picture.completionEvent = m_completionEvents[static_cast<size_t>(m_toSend % m_encoderBuffers)];
    NVENC_API_CALL(where, m_nvenc.nvEncEncodePicture(m_hEncoder, &picture));
    GetEncodedPackets(packets, false);
}

void NvEncoder::GetEncodedPackets(std::vector<stNvEncPacket> &packets, bool outputDelay)
{
    const char *const where = "NvEncoder::GetEncodedPacket";
    const int32_t end = outputDelay ? m_toSend - m_outputDelay : m_toSend;
    for (; m_got < end; ++m_got) {
        const auto index = static_cast<size_t>(m_got % m_encoderBuffers);
        NV_ENC_LOCK_BITSTREAM lock{};
        lock.version = NV_ENC_LOCK_BITSTREAM_VER;
        lock.outputBitstream = m_bitstreamOutputBuffers[index];
        lock.doNotWait = 0;
        NVENC_API_CALL(where, m_nvenc.nvEncLockBitstream(m_hEncoder, &lock));
        packets.emplace_back();
        CopyPacket(lock, packets.back());
        NVENC_API_CALL(where, m_nvenc.nvEncUnlockBitstream(m_hEncoder, lock.outputBitstream));
        if (m_mappedInputBuffers[index]) {
            NVENC_API_CALL(where, m_nvenc.nvEncUnmapInputResource(m_hEncoder, m_mappedInputBuffers[index]));
            m_mappedInputBuffers[index] = nullptr;
        }
    }
}

void NvEncoder::CopyPacket(const NV_ENC_LOCK_BITSTREAM &lock, stNvEncPacket &packet)
{
    packet.frameIndex = lock.frameIdx;
    packet.pictureType = lock.pictureType;
    packet.ltrFrame = lock.ltrFrame != 0;
    packet.ltrFrameIndex = lock.ltrFrameIdx;
    packet.outputTimeStamp = lock.outputTimeStamp;
    packet.outputDuration = lock.outputDuration;
    const auto *bytes = static_cast<const uint8_t *>(lock.bitstreamBufferPtr);
    packet.data.clear();
    if (bytes && lock.bitstreamSizeInBytes > 0)
        packet.data.assign(bytes, bytes + lock.bitstreamSizeInBytes);
    packet.size = static_cast<uint32_t>(packet.data.size());
}

void NvEncoder::GetSequenceParams(std::vector<uint8_t> &sequence)
{
    uint8_t buffer[kSequenceBufferBytes] = {};
    uint32_t size = 0;
    NV_ENC_SEQUENCE_PARAM_PAYLOAD payload{};
    payload.version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
    payload.inBufferSize = sizeof(buffer);
    payload.spsppsBuffer = buffer;
    payload.outSPSPPSPayloadSize = &size;
    NVENC_API_CALL("NvEncoder::GetSequenceParams", m_nvenc.nvEncGetSequenceParams(m_hEncoder, &payload));
    sequence.assign(buffer, buffer + std::min<uint32_t>(size, sizeof(buffer)));
}

void NvEncoder::GetInitializeParams(NV_ENC_INITIALIZE_PARAMS *params)
{
    if (!params || !params->encodeConfig)
        NVENC_THROW_ERROR("NvEncoder::GetInitializeParams",
                          "Both pInitializeParams and pInitializeParams->encodeConfig can't be NULL",
                          NV_ENC_ERR_INVALID_PTR);
    NV_ENC_CONFIG *config = params->encodeConfig;
    *config = m_encodeConfig;
    *params = m_initializeParams;
    params->encodeConfig = config;
}

int NvEncoder::GetCapabilityValue(GUID codecGuid, NV_ENC_CAPS capability)
{
    if (!m_hEncoder)
        return 0;
    NV_ENC_CAPS_PARAM caps{};
    caps.version = NV_ENC_CAPS_PARAM_VER;
    caps.capsToQuery = capability;
    int value = 0;
    if (m_nvenc.nvEncGetEncodeCaps(m_hEncoder, codecGuid, &caps, &value) != NV_ENC_SUCCESS)
        return 0;
    return value;
}

void NvEncoder::DestroyEncoder()
{
    if (!m_hEncoder)
        return;
    ReleaseInputBuffers();
    TearDown();
}

void NvEncoder::TearDown() noexcept
{
    if (!m_hEncoder)
        return;
    for (void *&event : m_completionEvents) {
        if (event) {
            NV_ENC_EVENT_PARAMS params{};
            params.version = NV_ENC_EVENT_PARAMS_VER;
            params.completionEvent = event;
            m_nvenc.nvEncUnregisterAsyncEvent(m_hEncoder, &params);
        }
        event = nullptr;
    }
    m_completionEvents.clear();
    for (NV_ENC_OUTPUT_PTR buffer : m_bitstreamOutputBuffers) {
        if (buffer && m_nvenc.nvEncDestroyBitstreamBuffer(m_hEncoder, buffer) != NV_ENC_SUCCESS)
            TYX_LOG(3, L"NvEncoder: a bitstream buffer could not be destroyed.");
    }
    m_bitstreamOutputBuffers.clear();
    if (m_nvenc.nvEncDestroyEncoder(m_hEncoder) != NV_ENC_SUCCESS)
        TYX_LOG(3, L"NvEncoder: the encode session could not be destroyed.");
    m_hEncoder = nullptr;
    m_encoderInitialized = false;
}
