// NvDecoder: the NVDEC session of one stream.

#include "codec/NvDecoder.h"

#include "core/debuglog.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <string>
#include <utility>

namespace {

constexpr CUresult kNotSupported = static_cast<CUresult>(801);
constexpr CUresult kNotInitialized = static_cast<CUresult>(3);
constexpr unsigned kParserClockRate = 1000;

std::string Qualified(const char *function)
{
    return std::string("NvDecoder::") + function;
}

bool Is420(cudaVideoSurfaceFormat format)
{
    return format == cudaVideoSurfaceFormat_NV12 || format == cudaVideoSurfaceFormat_P016;
}

} // namespace

#define NVDEC_CUDA(call, args) CheckCuda(m_api.call args, __func__, __LINE__)
#define NVDEC_CUVID(call, args) CheckCuvid(m_api.call args, #call #args, __func__, __LINE__)
#define NVDEC_THROW_IN(function, text, code) throw NVDECException::Make(Qualified(function), (text), __LINE__, (code))
#define NVDEC_THROW(text, code) NVDEC_THROW_IN(__func__, text, code)

class NvDecoder::CContextScope
{
public:
    explicit CContextScope(const NvDecoder &decoder) : m_decoder(decoder)
    {
        m_decoder.CheckCuda(m_decoder.m_api.cuCtxPushCurrent(m_decoder.m_cuContext), "CContextScope", __LINE__);
    }
    ~CContextScope() { (void)m_decoder.m_api.cuCtxPopCurrent(nullptr); }
    CContextScope(const CContextScope &) = delete;
    CContextScope &operator=(const CContextScope &) = delete;

private:
    const NvDecoder &m_decoder;
};

void NvDecoder::CheckCuda(CUresult rc, const char *function, int line) const
{
    if (rc == CUDA_SUCCESS)
        return;
    const char *name = nullptr;
    if (m_api.cuGetErrorName)
        (void)m_api.cuGetErrorName(rc, &name);
    throw NVDECException::Make(Qualified(function), std::string("CUDA driver API error ") + (name ? name : "?"), line,
                               rc);
}

void NvDecoder::CheckCuvid(CUresult rc, const char *call, const char *function, int line) const
{
    if (rc == CUDA_SUCCESS)
        return;
    throw NVDECException::Make(Qualified(function), std::string(call) + " returned error " + std::to_string(rc), line,
                               rc);
}

NvDecoder::NvDecoder(CUcontext context, bool useDeviceFrame, cudaVideoCodec codec, const stNvDecApi &api)
    : m_api(api), m_cuContext(context), m_bUseDeviceFrame(useDeviceFrame), m_eCodec(codec)
{
    NVDEC_CUVID(cuvidCtxLockCreate, (&m_ctxLock, context));
    {
        CContextScope scope(*this);
        if (m_api.cuStreamCreate(&m_cuvidStream, 0) != CUDA_SUCCESS)
            m_cuvidStream = nullptr; // the copies then run on the default stream
    }
    CUVIDPARSERPARAMS params{};
    params.CodecType = codec;
    params.ulMaxNumDecodeSurfaces = 1;
    params.ulClockRate = kParserClockRate;
    params.ulMaxDisplayDelay = 0;
    params.pUserData = this;
    params.pfnSequenceCallback = HandleVideoSequenceProc;
    params.pfnDecodePicture = HandlePictureDecodeProc;
    params.pfnDisplayPicture = HandlePictureDisplayProc;
    params.pfnGetOperatingPoint = HandleOperatingPointProc;
    try {
        NVDEC_CUVID(cuvidCreateVideoParser, (&m_hParser, &params));
    } catch (...) {
        if (m_cuvidStream)
            (void)m_api.cuStreamDestroy(m_cuvidStream);
        (void)m_api.cuvidCtxLockDestroy(m_ctxLock);
        throw;
    }
}

NvDecoder::~NvDecoder()
{
    // Nothing is thrown from here: a failed release is all the decoder could report.
    if (m_hParser)
        (void)m_api.cuvidDestroyVideoParser(m_hParser);
    const bool pushed = m_api.cuCtxPushCurrent(m_cuContext) == CUDA_SUCCESS;
    if (m_hDecoder)
        (void)m_api.cuvidDestroyDecoder(m_hDecoder);
    {
        std::lock_guard<std::mutex> lock(m_mtxVPFrame);
        for (stFrameBuffer &buffer : m_vpFrame)
            FreeFrameBuffer(buffer);
        m_vpFrame.clear();
    }
    if (m_cuvidStream)
        (void)m_api.cuStreamDestroy(m_cuvidStream);
    if (pushed)
        (void)m_api.cuCtxPopCurrent(nullptr);
    if (m_ctxLock)
        (void)m_api.cuvidCtxLockDestroy(m_ctxLock);
}

void NvDecoder::FreeFrameBuffer(stFrameBuffer &buffer) noexcept
{
    if (buffer.data && !buffer.host)
        (void)m_api.cuMemFree(reinterpret_cast<CUdeviceptr>(buffer.data));
    buffer.host.reset();
    buffer.data = nullptr;
    buffer.size = 0;
}

// ---- sizes ----

int32_t NvDecoder::DecodedWidth() const
{
    return Is420(m_eOutputFormat) ? (m_nWidth + 1) & ~1 : m_nWidth;
}

int32_t NvDecoder::DeviceFramePitch() const
{
    return m_nDeviceFramePitch ? static_cast<int32_t>(m_nDeviceFramePitch) : DecodedWidth() * m_nBPP;
}

int32_t NvDecoder::DecodedFrameSize() const
{
    return DecodedWidth() * (m_nLumaHeight + m_nChromaHeight * m_nNumChromaPlanes) * m_nBPP;
}

int32_t NvDecoder::FrameBufferCount() const
{
    std::lock_guard<std::mutex> lock(m_mtxVPFrame);
    return m_nFrameAlloc;
}

// ---- decoding ----

int32_t NvDecoder::Decode(const uint8_t *data, int32_t size, uint32_t flags, int64_t timestamp)
{
    {
        std::lock_guard<std::mutex> lock(m_mtxVPFrame);
        m_nDecodedFrame = 0;
        m_nDecodedFrameReturned = 0;
    }
    CUVIDSOURCEDATAPACKET packet{};
    packet.payload = data;
    packet.payload_size = size > 0 ? static_cast<tcu_ulong>(size) : 0;
    packet.flags = flags | CUVID_PKT_TIMESTAMP;
    packet.timestamp = timestamp;
    if (!data || size <= 0)
        packet.flags |= CUVID_PKT_ENDOFSTREAM;
    m_pending = nullptr;
    const CUresult rc = m_api.cuvidParseVideoData(m_hParser, &packet);
    if (m_pending)
        std::rethrow_exception(std::exchange(m_pending, nullptr));
    CheckCuvid(rc, "cuvidParseVideoData(m_hParser, &packet)", __func__, __LINE__);
    std::lock_guard<std::mutex> lock(m_mtxVPFrame);
    return m_nDecodedFrame;
}

uint8_t *NvDecoder::TakeDecodedFrame(int64_t *timestamp)
{
    std::lock_guard<std::mutex> lock(m_mtxVPFrame);
    if (m_nDecodedFrame <= 0)
        return nullptr;
    --m_nDecodedFrame;
    const auto index = static_cast<size_t>(m_nDecodedFrameReturned++);
    if (timestamp)
        *timestamp = m_vTimestamp[index];
    return m_vpFrame[index].data;
}

// ---- parser callbacks ----

template <typename Body>
int NvDecoder::Guarded(Body body)
{
    if (m_pending)
        return 0;
    try {
        return body();
    } catch (...) {
        m_pending = std::current_exception();
        return 0;
    }
}

int CUDAAPI NvDecoder::HandleVideoSequenceProc(void *user, CUVIDEOFORMAT *format)
{
    auto *self = static_cast<NvDecoder *>(user);
    return self->Guarded([&] { return self->HandleVideoSequence(format); });
}

int CUDAAPI NvDecoder::HandlePictureDecodeProc(void *user, CUVIDPICPARAMS *picture)
{
    auto *self = static_cast<NvDecoder *>(user);
    return self->Guarded([&] { return self->HandlePictureDecode(picture); });
}

int CUDAAPI NvDecoder::HandlePictureDisplayProc(void *user, CUVIDPARSERDISPINFO *display)
{
    auto *self = static_cast<NvDecoder *>(user);
    return self->Guarded([&] { return self->HandlePictureDisplay(display); });
}

int CUDAAPI NvDecoder::HandleOperatingPointProc(void *user, CUVIDOPERATINGPOINTINFO *info)
{
    return static_cast<NvDecoder *>(user)->GetOperatingPoint(info);
}

void NvDecoder::CheckCaps(const CUVIDEOFORMAT &format)
{
    CUVIDDECODECAPS caps{};
    caps.eCodecType = format.codec;
    caps.eChromaFormat = format.chroma_format;
    caps.nBitDepthMinus8 = format.bit_depth_luma_minus8;
    {
        CContextScope scope(*this);
        NVDEC_CUVID(cuvidGetDecoderCaps, (&caps));
    }
    if (!caps.bIsSupported)
        NVDEC_THROW_IN("HandleVideoSequence", "Codec not supported on this GPU", kNotSupported);
    if (format.coded_width > caps.nMaxWidth || format.coded_height > caps.nMaxHeight) {
        NVDEC_THROW_IN("HandleVideoSequence", "\nResolution          : " + std::to_string(format.coded_width) + "x" +
                        std::to_string(format.coded_height) + "\nMax Supported (wxh) : " + std::to_string(caps.nMaxWidth) +
                        "x" + std::to_string(caps.nMaxHeight) + "\nResolution not supported on this GPU",
                    kNotSupported);
    }
    const unsigned macroblocks = (format.coded_width >> 4) * (format.coded_height >> 4);
    if (macroblocks > caps.nMaxMBCount) {
        NVDEC_THROW_IN("HandleVideoSequence", "\nMBCount             : " + std::to_string(macroblocks) +
                        "\nMax Supported mbcnt : " + std::to_string(caps.nMaxMBCount) + "\nMBCount not supported on this GPU",
                    kNotSupported);
    }
    if (m_nWidth && m_nLumaHeight && m_nChromaHeight)
        return;
    ChooseOutputFormat(format, caps);
}

void NvDecoder::ChooseOutputFormat(const CUVIDEOFORMAT &format, const CUVIDDECODECAPS &caps)
{
    m_eCodec = format.codec;
    m_eChromaFormat = format.chroma_format;
    m_nBitDepthMinus8 = format.bit_depth_luma_minus8;
    m_nBPP = m_nBitDepthMinus8 > 0 ? 2 : 1;
    if (m_eChromaFormat == cudaVideoChromaFormat_420 || m_eChromaFormat == cudaVideoChromaFormat_422)
        m_eOutputFormat = m_nBitDepthMinus8 && m_eChromaFormat == cudaVideoChromaFormat_420 ? cudaVideoSurfaceFormat_P016
                                                                                             : cudaVideoSurfaceFormat_NV12;
    else if (m_eChromaFormat == cudaVideoChromaFormat_444)
        m_eOutputFormat = m_nBitDepthMinus8 ? cudaVideoSurfaceFormat_YUV444_16Bit : cudaVideoSurfaceFormat_YUV444;
    if (caps.nOutputFormatMask & (1 << m_eOutputFormat))
        return;
    for (cudaVideoSurfaceFormat candidate : {cudaVideoSurfaceFormat_NV12, cudaVideoSurfaceFormat_P016,
                                             cudaVideoSurfaceFormat_YUV444, cudaVideoSurfaceFormat_YUV444_16Bit}) {
        if (caps.nOutputFormatMask & (1 << candidate)) {
            m_eOutputFormat = candidate;
            return;
        }
    }
    NVDEC_THROW_IN("HandleVideoSequence", "No supported output format found", kNotSupported);
}

void NvDecoder::SetOutputSize(const CUVIDEOFORMAT &format)
{
    m_nWidth = format.display_area.right - format.display_area.left;
    m_nLumaHeight = format.display_area.bottom - format.display_area.top;
    if (Is420(m_eOutputFormat)) {
        m_nChromaHeight = static_cast<int32_t>(std::ceil(m_nLumaHeight * 0.5));
        m_nNumChromaPlanes = 1;
    } else {
        m_nChromaHeight = m_nLumaHeight;
        m_nNumChromaPlanes = 2;
    }
}

int NvDecoder::HandleVideoSequence(CUVIDEOFORMAT *format)
{
    CheckCaps(*format);
    if (m_nWidth && m_nLumaHeight && m_nChromaHeight)
        return ReconfigureDecoder(format);
    m_videoFormat = *format;
    CUVIDDECODECREATEINFO info{};
    info.CodecType = format->codec;
    info.ChromaFormat = format->chroma_format;
    info.OutputFormat = m_eOutputFormat;
    info.bitDepthMinus8 = format->bit_depth_luma_minus8;
    info.DeinterlaceMode =
        format->progressive_sequence ? cudaVideoDeinterlaceMode_Weave : cudaVideoDeinterlaceMode_Adaptive;
    info.ulNumOutputSurfaces = 2;
    info.ulCreationFlags = cudaVideoCreate_PreferCUVID;
    info.ulNumDecodeSurfaces = format->min_num_decode_surfaces;
    info.vidLock = m_ctxLock;
    info.ulWidth = format->coded_width;
    info.ulHeight = format->coded_height;
    m_nMaxWidth = std::max<int32_t>(m_nMaxWidth, static_cast<int32_t>(format->coded_width));
    m_nMaxHeight = std::max<int32_t>(m_nMaxHeight, static_cast<int32_t>(format->coded_height));
    info.ulMaxWidth = static_cast<tcu_ulong>(m_nMaxWidth);
    info.ulMaxHeight = static_cast<tcu_ulong>(m_nMaxHeight);
    SetOutputSize(*format);
    m_nSurfaceWidth = static_cast<int32_t>(format->coded_width);
    m_nSurfaceHeight = static_cast<int32_t>(format->coded_height);
    info.ulTargetWidth = format->coded_width;
    info.ulTargetHeight = format->coded_height;
    info.display_area.left = m_displayRect.left;
    info.display_area.top = m_displayRect.top;
    info.display_area.right = m_displayRect.right;
    info.display_area.bottom = m_displayRect.bottom;
    TYX_LOG(6, L"NvDecoder: codec %d, coded %ux%u, output %dx%d, surface format %d, %d decode surfaces.",
            static_cast<int32_t>(format->codec), format->coded_width, format->coded_height, m_nWidth, m_nLumaHeight,
            static_cast<int32_t>(m_eOutputFormat), static_cast<int32_t>(format->min_num_decode_surfaces));
    CContextScope scope(*this);
    NVDEC_CUVID(cuvidCreateDecoder, (&m_hDecoder, &info));
    return format->min_num_decode_surfaces;
}

int NvDecoder::ReconfigureDecoder(CUVIDEOFORMAT *format)
{
    if (format->bit_depth_luma_minus8 != m_videoFormat.bit_depth_luma_minus8 ||
        format->bit_depth_chroma_minus8 != m_videoFormat.bit_depth_chroma_minus8)
        NVDEC_THROW("Reconfigure Not supported for bit depth change", kNotSupported);
    if (format->chroma_format != m_videoFormat.chroma_format)
        NVDEC_THROW("Reconfigure Not supported for chroma format change", kNotSupported);
    const bool resolutionChanged =
        format->coded_width != m_videoFormat.coded_width || format->coded_height != m_videoFormat.coded_height;
    const bool areaChanged = format->display_area.left != m_videoFormat.display_area.left ||
                             format->display_area.top != m_videoFormat.display_area.top ||
                             format->display_area.right != m_videoFormat.display_area.right ||
                             format->display_area.bottom != m_videoFormat.display_area.bottom;
    if (static_cast<int32_t>(format->coded_width) > m_nMaxWidth ||
        static_cast<int32_t>(format->coded_height) > m_nMaxHeight) {
        if (m_eCodec == cudaVideoCodec_VP9)
            return 1; // the driver follows a VP9 size change by itself
        NVDEC_THROW("Reconfigure Not supported when width/height > maxwidth/maxheight", kNotSupported);
    }
    if (!resolutionChanged) {
        if (areaChanged) {
            m_videoFormat.display_area = format->display_area;
            SetOutputSize(*format);
        }
        return 1;
    }
    m_videoFormat.coded_width = format->coded_width;
    m_videoFormat.coded_height = format->coded_height;
    CUVIDRECONFIGUREDECODERINFO info{};
    info.ulWidth = format->coded_width;
    info.ulHeight = format->coded_height;
    info.ulTargetWidth = static_cast<unsigned>(m_nSurfaceWidth);
    info.ulTargetHeight = static_cast<unsigned>(m_nSurfaceHeight);
    info.display_area.left = m_displayRect.left;
    info.display_area.top = m_displayRect.top;
    info.display_area.right = m_displayRect.right;
    info.display_area.bottom = m_displayRect.bottom;
    info.ulNumDecodeSurfaces = format->min_num_decode_surfaces;
    CContextScope scope(*this);
    NVDEC_CUVID(cuvidReconfigureDecoder, (m_hDecoder, &info));
    return format->min_num_decode_surfaces;
}

int NvDecoder::HandlePictureDecode(CUVIDPICPARAMS *picture)
{
    if (!m_hDecoder)
        NVDEC_THROW("Decoder not initialized.", kNotInitialized);
    if (picture->CurrPicIdx >= 0 && picture->CurrPicIdx < kMaxDecodeSurfaces)
        m_nPicNumInDecodeOrder[picture->CurrPicIdx] = m_nDecodePicCnt;
    ++m_nDecodePicCnt;
    CContextScope scope(*this);
    NVDEC_CUVID(cuvidDecodePicture, (m_hDecoder, picture));
    return 1;
}

// The buffer of frame `index` (counted from 1), made or grown to the frame size. Called under the
// frame lock.
uint8_t *NvDecoder::FrameBufferFor(int32_t index)
{
    const auto size = static_cast<size_t>(DecodedFrameSize());
    if (static_cast<int32_t>(m_vpFrame.size()) < index) {
        m_vpFrame.emplace_back();
        m_vTimestamp.push_back(0);
        ++m_nFrameAlloc;
    }
    stFrameBuffer &buffer = m_vpFrame[static_cast<size_t>(index - 1)];
    // A display area that grew needs more than the buffer was made for.
    if (buffer.data && buffer.size >= size)
        return buffer.data;
    FreeFrameBuffer(buffer);
    if (m_bUseDeviceFrame) {
        CUdeviceptr pointer = 0;
        NVDEC_CUDA(cuMemAlloc, (&pointer, size));
        buffer.data = reinterpret_cast<uint8_t *>(pointer);
    } else {
        buffer.host.reset(new (std::nothrow) uint8_t[size]);
        if (!buffer.host)
            throw std::bad_alloc();
        buffer.data = buffer.host.get();
    }
    buffer.size = size;
    return buffer.data;
}

void NvDecoder::CopyPlanes(CUdeviceptr source, unsigned int sourcePitch, uint8_t *frame)
{
    const size_t rowBytes = static_cast<size_t>(DecodedWidth()) * static_cast<size_t>(m_nBPP);
    const size_t framePitch = m_nDeviceFramePitch ? m_nDeviceFramePitch : rowBytes;
    CUDA_MEMCPY2D copy{};
    copy.srcMemoryType = CU_MEMORYTYPE_DEVICE;
    copy.srcDevice = source;
    copy.srcPitch = sourcePitch;
    copy.srcXInBytes = static_cast<size_t>(std::max<int>(0, m_videoFormat.display_area.left)) * m_nBPP;
    copy.srcY = static_cast<size_t>(std::max<int>(0, m_videoFormat.display_area.top));
    copy.dstMemoryType = m_bUseDeviceFrame ? CU_MEMORYTYPE_DEVICE : CU_MEMORYTYPE_HOST;
    copy.dstDevice = reinterpret_cast<CUdeviceptr>(frame);
    copy.dstHost = frame;
    copy.dstPitch = framePitch;
    copy.WidthInBytes = rowBytes;
    copy.Height = static_cast<size_t>(m_nLumaHeight);
    NVDEC_CUDA(cuMemcpy2DAsync, (&copy, m_cuvidStream));

    const size_t chromaRow = static_cast<size_t>((m_nSurfaceHeight + 1) & ~1);
    const size_t areaTop = copy.srcY;
    for (int32_t plane = 0; plane < m_nNumChromaPlanes; ++plane) {
        copy.srcDevice = source + sourcePitch * chromaRow * static_cast<size_t>(plane + 1);
        copy.srcY = Is420(m_eOutputFormat) ? areaTop / 2 : areaTop;
        copy.dstDevice = reinterpret_cast<CUdeviceptr>(frame) +
                         framePitch * static_cast<size_t>(m_nLumaHeight + m_nChromaHeight * plane);
        copy.dstHost = frame + framePitch * static_cast<size_t>(m_nLumaHeight + m_nChromaHeight * plane);
        copy.Height = static_cast<size_t>(m_nChromaHeight);
        NVDEC_CUDA(cuMemcpy2DAsync, (&copy, m_cuvidStream));
    }
    NVDEC_CUDA(cuStreamSynchronize, (m_cuvidStream));
}

int NvDecoder::HandlePictureDisplay(CUVIDPARSERDISPINFO *display)
{
    CUVIDPROCPARAMS params{};
    params.progressive_frame = display->progressive_frame;
    params.second_field = display->repeat_first_field + 1;
    params.top_field_first = display->top_field_first;
    params.unpaired_field = display->repeat_first_field < 0;
    params.output_stream = m_cuvidStream;
    unsigned long long source = 0;
    unsigned int sourcePitch = 0;
    CContextScope scope(*this);
    NVDEC_CUVID(cuvidMapVideoFrame, (m_hDecoder, display->picture_index, &source, &sourcePitch, &params));
    CUVIDGETDECODESTATUS status{};
    const CUresult rc = m_api.cuvidGetDecodeStatus(m_hDecoder, display->picture_index, &status);
    if (rc == CUDA_SUCCESS && (status.decodeStatus == cuvidDecodeStatus_Error ||
                               status.decodeStatus == cuvidDecodeStatus_Error_Concealed)) {
        const int index = display->picture_index;
        TYX_LOG(3, L"Decode Error occurred for picture %d",
                index >= 0 && index < kMaxDecodeSurfaces ? m_nPicNumInDecodeOrder[index] : -1);
    }
    uint8_t *frame = nullptr;
    int32_t position = 0;
    {
        std::lock_guard<std::mutex> lock(m_mtxVPFrame);
        position = ++m_nDecodedFrame;
        frame = FrameBufferFor(position);
    }
    CopyPlanes(source, sourcePitch, frame);
    {
        std::lock_guard<std::mutex> lock(m_mtxVPFrame);
        m_vTimestamp[static_cast<size_t>(position - 1)] = display->timestamp;
    }
    NVDEC_CUVID(cuvidUnmapVideoFrame, (m_hDecoder, source));
    return 1;
}

int NvDecoder::GetOperatingPoint(CUVIDOPERATINGPOINTINFO *info)
{
    if (!info || info->codec != cudaVideoCodec_AV1 || info->av1.operating_points_cnt <= 1)
        return -1;
    if (m_nOperatingPoint >= info->av1.operating_points_cnt)
        m_nOperatingPoint = 0;
    TYX_LOG(6, L"AV1 SVC clip: operating point count %d  Selected operating point: %d, IDC 0x%x bOutputAllLayers %d",
            info->av1.operating_points_cnt, m_nOperatingPoint, info->av1.operating_points_idc[m_nOperatingPoint],
            m_bDispAllLayers ? 1 : 0);
    return (m_bDispAllLayers ? 1 << 10 : 0) | m_nOperatingPoint;
}
