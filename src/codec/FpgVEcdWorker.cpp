// The libavcodec encode worker: choice of the encoder, opening, conversion and encoding.

#include "codec/FpgVEcdWorker.h"

#include "config/ConfigKeywords.h"
#include "core/FrameRateAdjuster.h"
#include "core/I420Layout.h"
#include "core/TYXUtils.h"
#include "core/TextCompare.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>

namespace {

constexpr int32_t kNoProfile = -99;
constexpr int32_t kMaxBFrames = 3;
constexpr int32_t kHwFramePool = 20;

struct stProfileName
{
    const wchar_t *name;
    int32_t value;
};

// First match wins; the values are FFmpeg's H.264 and HEVC profile constants.
constexpr stProfileName kProfiles[] = {
    {L"BaseLine", 66},          {L"CONSTRAINED", 578},        {L"Main", 77},
    {L"EXTENDED", 88},          {L"High", 100},               {L"HIGH-10", 110},
    {L"HIGH-10-intra", 2158},   {L"MULTIVIEW-HIGH", 118},     {L"HIGH-422", 122},
    {L"_HIGH-422-INTRA", 2170}, {L"STEREO-HIGH", 128},        {L"HIGH-444", 144},
    {L"HIGH-444-PREDICTIVE", 244}, {L"HIGH-444-INTRA", 2292}, {L"CAVLC-444", 44},
    {L"Main-10", 2},            {L"MAIN-STILL-PICTURE", 3},   {L"REXT", 4},
    {L"SCC", 9},
};

std::wstring AvErrorText(int32_t error)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof(text));
    return StringToWString(text);
}

bool IsSoftwareFormat(int32_t format)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return descriptor && !(descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL);
}

} // namespace

int32_t FfmpegProfileOfName(const std::wstring &name)
{
    if (name.empty())
        return kNoProfile;
    for (const stProfileName &entry : kProfiles) {
        if (EqualsNoCase(name, entry.name))
            return entry.value;
    }
    return kNoProfile;
}

CFpgVEcdWorker::CFpgVEcdWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
    : CTYXEncWorker(workerId, inputLinks, consumerLinks)
{
}

CFpgVEcdWorker::~CFpgVEcdWorker()
{
    UninitializeEncoder();
}

int32_t CFpgVEcdWorker::SetHwAcceleration(int32_t code)
{
    if (code > 32)
        return -1;
    m_hwType = code;
    m_allowedDeviceTypes.clear();
    switch (code) {
    case 1: m_allowedDeviceTypes = {AV_HWDEVICE_TYPE_CUDA}; return 0;
    case 2: m_allowedDeviceTypes = {AV_HWDEVICE_TYPE_QSV}; return 0;
    case 8: return 0;
    default: return -1;
    }
}

bool CFpgVEcdWorker::IsEncoderReady()
{
    return m_codecContext && m_encoder;
}

// ---- opening ----

int32_t CFpgVEcdWorker::ResolveCodecId(const stVideoEncodeParams &params) const
{
    if (params.codecId >= 1 && params.codecId <= 65535)
        return params.codecId;
    const std::string name = WStringToString(params.codecName);
    const AVCodec *byName = name.empty() ? nullptr : avcodec_find_encoder_by_name(name.c_str());
    return byName ? static_cast<int32_t>(byName->id) : 0;
}

int32_t CFpgVEcdWorker::CollectEncoders(int32_t codecId, std::map<std::string, const AVCodec *> &encoders)
{
    void *iterator = nullptr;
    while (const AVCodec *codec = av_codec_iterate(&iterator)) {
        if (av_codec_is_encoder(codec) && static_cast<int32_t>(codec->id) == codecId)
            encoders[codec->name] = codec;
    }
    if (encoders.empty()) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] There no Encoder found for current codecID(%d).", m_name.c_str(),
                m_workerId, codecId);
        return -2;
    }
    std::wstring names;
    for (const auto &entry : encoders)
        names += StringToWString(entry.first) + L". ";
    TYX_LOG(5, L"FpgVEcdWorker[%s:%x] Codecs support codecID(%d) include: %s", m_name.c_str(), m_workerId, codecId,
            names.c_str());
    return 0;
}

bool CFpgVEcdWorker::ChooseHardwareEncoder(int32_t codecId, const std::map<std::string, const AVCodec *> &encoders)
{
    bool found = false;
    for (const auto &entry : encoders) {
        for (int index = 0;; ++index) {
            const AVCodecHWConfig *config = avcodec_get_hw_config(entry.second, index);
            if (!config)
                break;
            if (!(config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) ||
                !m_allowedDeviceTypes.count(static_cast<int32_t>(config->device_type)))
                continue;
            m_deviceType = config->device_type;
            m_hwPixelFormat = config->pix_fmt;
            m_encoder = entry.second;
            found = true;
            const char *deviceName = av_hwdevice_get_type_name(config->device_type);
            TYX_LOG(5, L"FpgVEcdWorker[%s:%x] Hardware encoding(codecID=%d, codecName=%hs, dvcName=%hs) acceleration is support with deviceType=%d and HwPixFmt=%d.",
                    m_name.c_str(), m_workerId, codecId, entry.first.c_str(), deviceName ? deviceName : "None",
                    m_deviceType, m_hwPixelFormat);
        }
    }
    if (!found)
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Configured Hardware encoding(codecID=%d) accelerationis NOT supported!",
                m_name.c_str(), m_workerId, codecId);
    return found;
}

void CFpgVEcdWorker::SetUpContext(AVCodecContext &context, const stVideoEncodeParams &params, int32_t profile) const
{
    // The rate as a fraction: 29.97 stays 30000/1001 instead of becoming 29 (or 2997/100).
    const AVRational rate = ExactFrameRate(params.frameRate);
    context.bit_rate = params.bitRate;
    context.profile = profile;
    context.level = kNoProfile;
    context.width = params.width;
    context.height = params.height;
    context.sample_aspect_ratio = AVRational{1, 1};
    context.time_base = av_inv_q(rate);
    context.framerate = rate;
    context.gop_size = params.gopSize;
    context.max_b_frames = kMaxBFrames;
    context.pix_fmt = static_cast<AVPixelFormat>(params.pixelFormat >= 0 ? params.pixelFormat : AV_PIX_FMT_YUV420P);
}

int32_t CFpgVEcdWorker::SetUpHardwareFrames(AVCodecContext &header, const stVideoEncodeParams &params)
{
    AVBufferRef *device = nullptr;
    int32_t rc = av_hwdevice_ctx_create(&device, static_cast<AVHWDeviceType>(m_deviceType), nullptr, nullptr, 0);
    if (rc < 0) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Encoding acceleration hardware device contex creating failed with error(%d:%s) returned!",
                m_name.c_str(), m_workerId, rc, AvErrorText(rc).c_str());
        return -16;
    }
    m_deviceContext.reset(device);
    AVHWFramesConstraints *constraints = av_hwdevice_get_hwframe_constraints(device, nullptr);
    if (constraints) {
        for (const AVPixelFormat *f = constraints->valid_hw_formats; f && *f != AV_PIX_FMT_NONE; ++f)
            m_hwFormats.insert(*f);
        for (const AVPixelFormat *f = constraints->valid_sw_formats; f && *f != AV_PIX_FMT_NONE; ++f)
            m_swFormats.insert(*f);
        av_hwframe_constraints_free(&constraints);
    }
    if (m_hwFormats.empty() || m_swFormats.empty()) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] No PixelFormat support by current Encoding acceleration hardware device contex!",
                m_name.c_str(), m_workerId);
        return -32;
    }
    const int32_t hwFormat = *m_hwFormats.begin();
    const int32_t inputFormat = params.pixelFormat >= 0 ? params.pixelFormat : AV_PIX_FMT_YUV420P;
    m_swFormat = m_swFormats.count(inputFormat) ? inputFormat : *m_swFormats.begin();
    if (m_swFormat != inputFormat)
        m_conversionNeeded = true;
    TYX_LOG(5, L"FpgVEcdWorker[%s:%x] The selected hardware pixelFormat is %d and software pixelFormat is %d!",
            m_name.c_str(), m_workerId, hwFormat, m_swFormat);
    AvBufferPtr frames(av_hwframe_ctx_alloc(device));
    if (!frames) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Hardware-frame-contex allocing failed!", m_name.c_str(), m_workerId);
        return -64;
    }
    auto *framesContext = reinterpret_cast<AVHWFramesContext *>(frames->data);
    framesContext->format = static_cast<AVPixelFormat>(hwFormat);
    framesContext->sw_format = static_cast<AVPixelFormat>(m_swFormat);
    framesContext->width = m_codecContext->width;
    framesContext->height = m_codecContext->height;
    framesContext->initial_pool_size = kHwFramePool;
    rc = av_hwframe_ctx_init(frames.get());
    if (rc < 0) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Hardware-frame-contex initializing failed with error(%d:%s) returned!",
                m_name.c_str(), m_workerId, rc, AvErrorText(rc).c_str());
        return -128;
    }
    m_codecContext->hw_frames_ctx = av_buffer_ref(frames.get());
    header.hw_frames_ctx = av_buffer_ref(frames.get());
    if (!m_codecContext->hw_frames_ctx || !header.hw_frames_ctx) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Hardware-frame-contex referencing(to codec-contex) failed!", m_name.c_str(),
                m_workerId);
        return -256;
    }
    m_codecContext->pix_fmt = static_cast<AVPixelFormat>(hwFormat);
    header.pix_fmt = static_cast<AVPixelFormat>(hwFormat);
    m_hardwareFrames = true;
    return 0;
}

void CFpgVEcdWorker::KeepGlobalHeader(AVCodecContext &header)
{
    if (avcodec_open2(&header, m_encoder, nullptr) < 0 || !header.extradata || header.extradata_size <= 0)
        return;
    m_globalHeader = std::make_unique<uint8_t[]>(static_cast<size_t>(header.extradata_size));
    std::memcpy(m_globalHeader.get(), header.extradata, static_cast<size_t>(header.extradata_size));
    m_globalHeaderSize = header.extradata_size;
}

int32_t CFpgVEcdWorker::SetUpBuffers(const stVideoEncodeParams &params)
{
    AVCodecContext &context = *m_codecContext;
    m_inputWidth = params.inputWidth ? params.inputWidth : params.width;
    m_inputHeight = params.inputHeight ? params.inputHeight : params.height;
    m_inputFormat = params.pixelFormat >= 0 ? params.pixelFormat : AV_PIX_FMT_YUV420P;
    if (!m_hardwareFrames)
        m_swFormat = context.pix_fmt;
    if (context.width != m_inputWidth || context.height != m_inputHeight || m_swFormat != m_inputFormat ||
        !IsSoftwareFormat(m_inputFormat))
        m_conversionNeeded = true;
    if (m_conversionNeeded) {
        m_scaler.reset(sws_getContext(m_inputWidth, m_inputHeight, static_cast<AVPixelFormat>(m_inputFormat),
                                      context.width, context.height, static_cast<AVPixelFormat>(m_swFormat),
                                      SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!m_scaler)
            return -1024;
        m_conversionFrame.reset(av_frame_alloc());
        m_conversionBufferSize = av_image_get_buffer_size(static_cast<AVPixelFormat>(m_swFormat), context.width,
                                                          context.height, 1);
        if (m_conversionFrame && m_conversionBufferSize > 0)
            m_conversionBuffer.reset(static_cast<uint8_t *>(av_malloc(static_cast<size_t>(m_conversionBufferSize))));
        if (!m_conversionBuffer ||
            av_image_fill_arrays(m_conversionFrame->data, m_conversionFrame->linesize, m_conversionBuffer.get(),
                                 static_cast<AVPixelFormat>(m_swFormat), context.width, context.height, 1) < 0) {
            TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Raw video buffer allocating Failed!", m_name.c_str(), m_workerId);
            return -2048;
        }
    }
    m_inputPictureSize = av_image_alloc(m_inputPlanes, m_inputLineSizes, m_inputWidth, m_inputHeight,
                                        static_cast<AVPixelFormat>(m_inputFormat), 1);
    if (m_inputPictureSize < 0) {
        const int32_t rc = m_inputPictureSize;
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Raw video buffer allocating failed with error(%d:%s) returned!",
                m_name.c_str(), m_workerId, rc, AvErrorText(rc).c_str());
        m_inputPictureSize = 0;
        return -4096;
    }
    m_encodeFrame.reset(av_frame_alloc());
    if (!m_encodeFrame)
        return -8192;
    m_encodeFrame->width = context.width;
    m_encodeFrame->height = context.height;
    m_encodeFrame->format = m_swFormat;
    if (av_frame_get_buffer(m_encodeFrame.get(), 0) < 0)
        return -8192;
    m_packet.reset(av_packet_alloc());
    return m_packet ? 0 : -8192;
}

int32_t CFpgVEcdWorker::OpenEncoder(const stVideoEncodeParams &params)
{
    const int32_t codecId = ResolveCodecId(params);
    const int32_t profile = FfmpegProfileOfName(params.profileName);
    TYX_LOG(5, L"FpgVEcdWorker[%s:%x] Encoder initializing with codecID=(%d) with %s hardware acceleration configured.",
            m_name.c_str(), m_workerId, codecId, HwCodecName(m_hwType).c_str());
    if (codecId < 1 || codecId > 65535) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Encoder not initialized for unknown codecID(%d).", m_name.c_str(),
                m_workerId, codecId);
        return -1;
    }
    std::map<std::string, const AVCodec *> encoders;
    if (const int32_t rc = CollectEncoders(codecId, encoders); rc < 0)
        return rc;
    const bool hardware = m_hwType != 0 && !m_allowedDeviceTypes.empty() && ChooseHardwareEncoder(codecId, encoders);
    if (!hardware) {
        m_encoder = avcodec_find_encoder(static_cast<AVCodecID>(codecId));
        // A name that selected the codec also selects its encoder (libx265 rather than another).
        const std::string name = WStringToString(params.codecName);
        if (const AVCodec *byName = name.empty() ? nullptr : avcodec_find_encoder_by_name(name.c_str());
            byName && static_cast<int32_t>(byName->id) == codecId)
            m_encoder = byName;
    }
    if (!m_encoder) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Encoder initializing failed with codecID(%d)!", m_name.c_str(), m_workerId,
                codecId);
        return -4;
    }
    AvCodecPtr header(avcodec_alloc_context3(m_encoder));
    m_codecContext.reset(avcodec_alloc_context3(m_encoder));
    if (!m_codecContext || !header) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Codec context allocating failed with codecID(%d)!", m_name.c_str(),
                m_workerId, codecId);
        return -8;
    }
    SetUpContext(*header, params, profile);
    SetUpContext(*m_codecContext, params, profile);
    header->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    m_codecContext->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    if (hardware) {
        if (const int32_t rc = SetUpHardwareFrames(*header, params); rc < 0)
            return rc;
    }
    KeepGlobalHeader(*header);
    header.reset();
    if (const int32_t rc = avcodec_open2(m_codecContext.get(), m_encoder, nullptr); rc < 0) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Codec opening failed with error(%d:%s) returned!", m_name.c_str(),
                m_workerId, rc, AvErrorText(rc).c_str());
        return -512;
    }
    if (const int32_t rc = SetUpBuffers(params); rc < 0)
        return rc;
    TYX_LOG(5, L"FpgVEcdWorker[%s:%x] Encoder initialized with codecID(%d).", m_name.c_str(), m_workerId, codecId);
    return 0;
}

int32_t CFpgVEcdWorker::InitializeEncoder(const stVideoEncodeParams &params)
{
    UninitializeEncoder();
    const int32_t rc = OpenEncoder(params);
    if (rc < 0) {
        UninitializeEncoder();
        return rc;
    }
    m_requiredInputSize = I420Length(m_inputWidth, m_inputHeight);
    // The input planes and the scaler are made for the stream's size.
    m_pictureWidth = static_cast<uint16_t>(m_inputWidth);
    m_pictureHeight = static_cast<uint16_t>(m_inputHeight);
    m_reorderDepth = m_codecContext->max_b_frames > 0 ? m_codecContext->max_b_frames : 0;
    return 0;
}

void CFpgVEcdWorker::UninitializeEncoder()
{
    m_packet.reset();
    m_scaler.reset();
    m_conversionFrame.reset();
    m_conversionBuffer.reset();
    m_conversionBufferSize = 0;
    m_encodeFrame.reset();
    m_codecContext.reset();
    m_encoder = nullptr;
    av_freep(&m_inputPlanes[0]);
    std::fill(std::begin(m_inputPlanes), std::end(m_inputPlanes), nullptr);
    m_inputPictureSize = 0;
    m_deviceContext.reset();
    m_hwFormats.clear();
    m_swFormats.clear();
    m_hardwareFrames = false;
    m_conversionNeeded = false;
    m_pictureTimes.clear();
    m_pictureNumber = 0;
}

int32_t CFpgVEcdWorker::RetrieveSequenceParameters(std::unique_ptr<uint8_t[]> &header)
{
    if (!IsEncoderReady())
        return 0;
    const uint8_t *data = m_codecContext->extradata;
    int32_t size = m_codecContext->extradata_size;
    if (!data || size <= 0) {
        data = m_globalHeader.get();
        size = m_globalHeaderSize;
    }
    if (!data || size <= 0)
        return 0;
    header = std::make_unique<uint8_t[]>(static_cast<size_t>(size));
    std::memcpy(header.get(), data, static_cast<size_t>(size));
    return size;
}

// ---- encoding ----

int32_t CFpgVEcdWorker::CopyIntoInputPlanes(const FramePackage &package)
{
    const size_t width = static_cast<size_t>(m_inputWidth);
    const size_t height = static_cast<size_t>(m_inputHeight);
    const size_t pitch = package.pitch ? package.pitch : width;
    const auto chromaPitch = static_cast<size_t>(I420ChromaPitch(static_cast<int64_t>(pitch)));
    const auto chromaHeight = static_cast<size_t>(I420ChromaHeight(static_cast<int64_t>(height)));
    const auto chromaWidth = static_cast<size_t>(I420ChromaWidth(static_cast<int64_t>(width)));
    const EGpuCopyKind kind = package.inDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost;
    const uint8_t *source = package.pData;
    GpuError rc = DevMemcpy2D(m_inputPlanes[0], m_inputLineSizes[0], source, pitch, width, height, kind);
    source += pitch * height;
    if (rc == GPU_SUCCESS)
        rc = DevMemcpy2D(m_inputPlanes[1], m_inputLineSizes[1], source, chromaPitch, chromaWidth, chromaHeight, kind);
    source += chromaPitch * chromaHeight;
    if (rc == GPU_SUCCESS)
        rc = DevMemcpy2D(m_inputPlanes[2], m_inputLineSizes[2], source, chromaPitch, chromaWidth, chromaHeight, kind);
    if (rc != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) when copy data from device to host memory!", rc);
        HandleGPUCriticalError(rc, L"CFpgVEcdWorker::EncodeFrame");
        return -1;
    }
    return 0;
}

int32_t CFpgVEcdWorker::EncodeFrame(const FramePackage &package, EncodedOutputs &outputs)
{
    if (!IsEncoderReady())
        return 0;
    if (!package.pData || package.nLength <= 0)
        return -1;
    // The input planes and the scaler are made for the input stream's size (the base scales a picture
    // of another size to it); another size or too few bytes would be read past their end.
    const bool otherSize = (package.width && package.width != m_inputWidth) ||
                           (package.height && package.height != m_inputHeight);
    const size_t pitch = package.pitch ? package.pitch : static_cast<size_t>(m_inputWidth);
    // A pitched picture is laid out as a contiguous one as wide as its pitch.
    const auto needed = static_cast<size_t>(I420Size(static_cast<int64_t>(pitch), m_inputHeight));
    if (otherSize || static_cast<size_t>(package.nLength) < needed) {
        TYX_LOG(3, L"FpgVEcdWorker[%s:%x] Picture of %dx%d (%d bytes) refused: the encoder takes %dx%d.",
                m_name.c_str(), m_workerId, package.width, package.height, package.nLength, m_inputWidth,
                m_inputHeight);
        return -1;
    }
    if (CopyIntoInputPlanes(package) < 0)
        return -1;
    int32_t rc = av_frame_make_writable(m_encodeFrame.get());
    if (rc < 0)
        return rc;
    if (m_conversionNeeded) {
        rc = sws_scale(m_scaler.get(), m_inputPlanes, m_inputLineSizes, 0, m_inputHeight, m_encodeFrame->data,
                       m_encodeFrame->linesize);
        if (rc < 0)
            return rc;
    } else {
        av_image_copy(m_encodeFrame->data, m_encodeFrame->linesize, const_cast<const uint8_t **>(m_inputPlanes),
                      m_inputLineSizes, static_cast<AVPixelFormat>(m_swFormat), m_inputWidth, m_inputHeight);
    }
    const int64_t number = m_pictureNumber++;
    m_pictureTimes[number] = {package.pts, package.duration};
    m_encodeFrame->pts = number;
    m_encodeFrame->pkt_dts = 0;
    m_encodeFrame->sample_aspect_ratio = AVRational{0, 1};
    m_encodeFrame->pict_type = AV_PICTURE_TYPE_NONE;
    rc = SendPicture(m_encodeFrame.get());
    if (rc < 0) {
        m_pictureTimes.erase(number);
        return rc;
    }
    rc = ReceivePackets(outputs, false);
    return rc < 0 ? rc : static_cast<int32_t>(outputs.size());
}

int32_t CFpgVEcdWorker::SendPicture(const AVFrame *frame)
{
    if (!m_hardwareFrames)
        return avcodec_send_frame(m_codecContext.get(), frame);
    AvFramePtr hardware(av_frame_alloc());
    if (!hardware)
        return AVERROR(ENOMEM);
    int32_t rc = av_hwframe_get_buffer(m_codecContext->hw_frames_ctx, hardware.get(), 0);
    if (rc < 0)
        return rc;
    if (!hardware->hw_frames_ctx)
        return -12;
    rc = av_hwframe_transfer_data(hardware.get(), frame, 0);
    if (rc < 0)
        return rc;
    hardware->pts = frame->pts;
    hardware->pkt_dts = frame->pkt_dts;
    return avcodec_send_frame(m_codecContext.get(), hardware.get());
}

int32_t CFpgVEcdWorker::ReceivePackets(EncodedOutputs &outputs, bool flushing)
{
    for (;;) {
        // Each delayed packet is coded as it is asked for: a flush gives up once its time is spent.
        if (flushing && FlushOverdue()) {
            TYX_LOG(4, L"FpgVEcdWorker[%s:%x] Flush given up at its time limit: %d pictures left in the encoder.",
                    m_name.c_str(), m_workerId, static_cast<int32_t>(m_pictureTimes.size()));
            return 0;
        }
        const int32_t rc = avcodec_receive_packet(m_codecContext.get(), m_packet.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return 0;
        if (rc < 0)
            return rc;
        stEncodedOutput output;
        const bool key = (m_packet->flags & AV_PKT_FLAG_KEY) != 0;
        output.pictureType = key ? TYX_PIC_TYPE_I : (flushing ? TYX_PIC_TYPE_UNKNOWN : TYX_PIC_TYPE_P);
        if (const auto times = m_pictureTimes.find(m_packet->pts); times != m_pictureTimes.end()) {
            output.pts = times->second.first;
            output.duration = times->second.second;
            m_pictureTimes.erase(times);
        }
        output.size = m_packet->size;
        output.data = CopyEncodedBytes(m_packet->data, m_packet->size);
        av_packet_unref(m_packet.get());
        if (output.data)
            outputs.push_back(std::move(output));
    }
}

void CFpgVEcdWorker::FlushEncoder(EncodedOutputs &outputs)
{
    if (!IsEncoderReady())
        return;
    if (avcodec_send_frame(m_codecContext.get(), nullptr) < 0)
        return;
    (void)ReceivePackets(outputs, true);
}
