// The software stand-in of the NVDEC parser and decoder: libavcodec decodes behind the same calls
// and callbacks, so NvDecoder's own logic (sequence callbacks, reconfiguration, surfaces, display
// order, end of stream) runs where no driver can be opened. Surfaces are host memory; the CUDA
// copies out of them go through the device layer. The parser hands each decoded picture to the
// decoder through the picture parameters' bitstream pointer, a convention of the two stand-ins.
// What it cannot mimic: the driver's decode latency (libavcodec's reorder delay applies) and its
// error concealment.

#include "codec/NvDecApi.h"

#include "core/FfmpegHandles.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr int kMaxSurfaces = 32;
constexpr unsigned kMaxSize = 8192;
constexpr size_t kPitchAlign = 64;
constexpr CUresult kNotSupported = static_cast<CUresult>(801);
constexpr CUresult kInvalidValue = static_cast<CUresult>(1);
constexpr CUresult kInvalidHandle = static_cast<CUresult>(400);

AVCodecID CodecOf(cudaVideoCodec codec)
{
    switch (codec) {
    case cudaVideoCodec_MPEG1: return AV_CODEC_ID_MPEG1VIDEO;
    case cudaVideoCodec_MPEG2: return AV_CODEC_ID_MPEG2VIDEO;
    case cudaVideoCodec_MPEG4: return AV_CODEC_ID_MPEG4;
    case cudaVideoCodec_VC1: return AV_CODEC_ID_VC1;
    case cudaVideoCodec_H264: return AV_CODEC_ID_H264;
    case cudaVideoCodec_JPEG: return AV_CODEC_ID_MJPEG;
    case cudaVideoCodec_HEVC: return AV_CODEC_ID_HEVC;
    case cudaVideoCodec_VP8: return AV_CODEC_ID_VP8;
    case cudaVideoCodec_VP9: return AV_CODEC_ID_VP9;
    case cudaVideoCodec_AV1: return AV_CODEC_ID_AV1;
    default: return AV_CODEC_ID_NONE;
    }
}

const AVCodec *FindDecoder(cudaVideoCodec codec)
{
    // The native AV1 decoder needs a hardware accelerator; dav1d decodes in software.
    if (codec == cudaVideoCodec_AV1) {
        if (const AVCodec *dav1d = avcodec_find_decoder_by_name("libdav1d"))
            return dav1d;
    }
    const AVCodecID id = CodecOf(codec);
    return id == AV_CODEC_ID_NONE ? nullptr : avcodec_find_decoder(id);
}

cudaVideoChromaFormat ChromaOf(const AVPixFmtDescriptor &descriptor)
{
    if (descriptor.nb_components < 3)
        return cudaVideoChromaFormat_Monochrome;
    if (descriptor.log2_chroma_w == 0 && descriptor.log2_chroma_h == 0)
        return cudaVideoChromaFormat_444;
    if (descriptor.log2_chroma_h == 0)
        return cudaVideoChromaFormat_422;
    return cudaVideoChromaFormat_420;
}

AVPixelFormat SurfacePixelFormat(cudaVideoSurfaceFormat format)
{
    switch (format) {
    case cudaVideoSurfaceFormat_P016: return AV_PIX_FMT_P016LE;
    case cudaVideoSurfaceFormat_YUV444: return AV_PIX_FMT_YUV444P;
    case cudaVideoSurfaceFormat_YUV444_16Bit: return AV_PIX_FMT_YUV444P16LE;
    default: return AV_PIX_FMT_NV12;
    }
}

bool IsInterlaced(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_MAJOR >= 59
    return (frame.flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
    return frame.interlaced_frame != 0;
#endif
}

bool IsTopFieldFirst(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_MAJOR >= 59
    return (frame.flags & AV_FRAME_FLAG_TOP_FIELD_FIRST) != 0;
#else
    return frame.top_field_first != 0;
#endif
}

// One decoded picture on its way from the parser to the decoder.
struct stStandInPicture
{
    AVFrame *frame = nullptr;
    int codedWidth = 0;
    int codedHeight = 0;
};

class CStandInParser
{
public:
    explicit CStandInParser(const CUVIDPARSERPARAMS &params) : m_params(params) {}

    CUresult Open()
    {
        const AVCodec *codec = FindDecoder(m_params.CodecType);
        if (!codec)
            return kNotSupported;
        m_context.reset(avcodec_alloc_context3(codec));
        m_frame.reset(av_frame_alloc());
        m_packet.reset(av_packet_alloc());
        if (!m_context || !m_frame || !m_packet)
            return static_cast<CUresult>(2);
        m_context->thread_count = 1; // the decode latency stays that of the stream
        if (avcodec_open2(m_context.get(), codec, nullptr) < 0)
            return kNotSupported;
        m_surfaces = std::max<int>(1, static_cast<int>(m_params.ulMaxNumDecodeSurfaces));
        for (AvFramePtr &slot : m_slots)
            slot.reset(av_frame_alloc());
        return CUDA_SUCCESS;
    }

    CUresult Parse(const CUVIDSOURCEDATAPACKET &packet)
    {
        if (packet.payload && packet.payload_size > 0) {
            if (m_drained) {
                avcodec_flush_buffers(m_context.get());
                m_drained = false;
            }
            if (av_new_packet(m_packet.get(), static_cast<int>(packet.payload_size)) < 0)
                return static_cast<CUresult>(2);
            std::memcpy(m_packet->data, packet.payload, packet.payload_size);
            m_packet->pts = (packet.flags & CUVID_PKT_TIMESTAMP) ? packet.timestamp : AV_NOPTS_VALUE;
            // A damaged packet is dropped as the driver's parser would skip it; the stream goes on.
            (void)avcodec_send_packet(m_context.get(), m_packet.get());
            av_packet_unref(m_packet.get());
            const CUresult rc = Deliver();
            if (rc != CUDA_SUCCESS)
                return rc;
        }
        if (!(packet.flags & CUVID_PKT_ENDOFSTREAM))
            return CUDA_SUCCESS;
        (void)avcodec_send_packet(m_context.get(), nullptr);
        const CUresult rc = Deliver();
        m_drained = true;
        return rc;
    }

private:
    CUresult Deliver()
    {
        while (avcodec_receive_frame(m_context.get(), m_frame.get()) == 0) {
            const CUresult rc = DeliverFrame(*m_frame);
            av_frame_unref(m_frame.get());
            if (rc != CUDA_SUCCESS)
                return rc;
        }
        return CUDA_SUCCESS;
    }

    bool FormatChanged(const CUVIDEOFORMAT &format) const
    {
        return !m_haveFormat || format.coded_width != m_format.coded_width ||
               format.coded_height != m_format.coded_height || format.display_area.right != m_format.display_area.right ||
               format.display_area.bottom != m_format.display_area.bottom ||
               format.bit_depth_luma_minus8 != m_format.bit_depth_luma_minus8 ||
               format.chroma_format != m_format.chroma_format;
    }

    CUVIDEOFORMAT FormatOf(const AVFrame &frame) const
    {
        const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame.format));
        CUVIDEOFORMAT format{};
        format.codec = m_params.CodecType;
        format.frame_rate.numerator = static_cast<unsigned>(std::max(0, m_context->framerate.num));
        format.frame_rate.denominator = static_cast<unsigned>(std::max(0, m_context->framerate.den));
        format.progressive_sequence = IsInterlaced(frame) ? 0 : 1;
        const int depth = descriptor ? descriptor->comp[0].depth : 8;
        format.bit_depth_luma_minus8 = static_cast<unsigned char>(depth - 8);
        format.bit_depth_chroma_minus8 = format.bit_depth_luma_minus8;
        format.min_num_decode_surfaces =
            static_cast<unsigned char>(std::clamp(m_context->has_b_frames + m_context->refs + 2, 1, kMaxSurfaces));
        format.coded_width = static_cast<unsigned>(std::max(m_context->coded_width, frame.width));
        format.coded_height = static_cast<unsigned>(std::max(m_context->coded_height, frame.height));
        format.display_area.right = frame.width;
        format.display_area.bottom = frame.height;
        format.chroma_format = descriptor ? ChromaOf(*descriptor) : cudaVideoChromaFormat_420;
        return format;
    }

    CUresult DeliverFrame(AVFrame &frame)
    {
        CUVIDEOFORMAT format = FormatOf(frame);
        if (FormatChanged(format)) {
            const int surfaces = m_params.pfnSequenceCallback(m_params.pUserData, &format);
            if (surfaces == 0)
                return CUDA_ERROR_UNKNOWN;
            if (surfaces > 1)
                m_surfaces = std::min(surfaces, kMaxSurfaces);
            m_format = format;
            m_haveFormat = true;
        }
        const int slot = m_next++ % m_surfaces;
        av_frame_unref(m_slots[slot].get());
        av_frame_ref(m_slots[slot].get(), &frame);
        stStandInPicture picture{m_slots[slot].get(), static_cast<int>(format.coded_width),
                                 static_cast<int>(format.coded_height)};
        CUVIDPICPARAMS pic{};
        pic.PicWidthInMbs = static_cast<int>((format.coded_width + 15) / 16);
        pic.FrameHeightInMbs = static_cast<int>((format.coded_height + 15) / 16);
        pic.CurrPicIdx = slot;
        pic.pBitstreamData = reinterpret_cast<const unsigned char *>(&picture);
        pic.nBitstreamDataLen = sizeof(picture);
        if (m_params.pfnDecodePicture(m_params.pUserData, &pic) == 0)
            return CUDA_ERROR_UNKNOWN;
        CUVIDPARSERDISPINFO display{};
        display.picture_index = slot;
        display.progressive_frame = IsInterlaced(frame) ? 0 : 1;
        display.top_field_first = IsTopFieldFirst(frame) ? 1 : 0;
        display.timestamp = frame.pts;
        if (m_params.pfnDisplayPicture(m_params.pUserData, &display) == 0)
            return CUDA_ERROR_UNKNOWN;
        return CUDA_SUCCESS;
    }

    CUVIDPARSERPARAMS m_params;
    AvCodecPtr m_context;
    AvFramePtr m_frame;
    AvPacketPtr m_packet;
    AvFramePtr m_slots[kMaxSurfaces];
    CUVIDEOFORMAT m_format{};
    bool m_haveFormat = false;
    bool m_drained = false;
    int m_surfaces = 1;
    int m_next = 0;
};

// One output surface per decode surface; pictures are converted into them as the driver would
// post-process into its output surfaces.
class CStandInDecoder
{
public:
    explicit CStandInDecoder(const CUVIDDECODECREATEINFO &info) : m_info(info) {}

    CUresult Create()
    {
        if (m_info.ulTargetWidth == 0 || m_info.ulTargetHeight == 0 || m_info.ulNumDecodeSurfaces == 0 ||
            m_info.ulNumDecodeSurfaces > kMaxSurfaces)
            return kInvalidValue;
        m_surfaceFormat = SurfacePixelFormat(m_info.OutputFormat);
        AllocateSurfaces();
        return CUDA_SUCCESS;
    }

    CUresult Reconfigure(const CUVIDRECONFIGUREDECODERINFO &info)
    {
        if (info.ulWidth > m_info.ulMaxWidth || info.ulHeight > m_info.ulMaxHeight || info.ulNumDecodeSurfaces == 0 ||
            info.ulNumDecodeSurfaces > kMaxSurfaces)
            return kInvalidValue;
        m_info.ulWidth = info.ulWidth;
        m_info.ulHeight = info.ulHeight;
        m_info.ulTargetWidth = info.ulTargetWidth;
        m_info.ulTargetHeight = info.ulTargetHeight;
        m_info.ulNumDecodeSurfaces = info.ulNumDecodeSurfaces;
        AllocateSurfaces();
        return CUDA_SUCCESS;
    }

    CUresult Decode(const CUVIDPICPARAMS &pic)
    {
        if (pic.CurrPicIdx < 0 || pic.CurrPicIdx >= static_cast<int>(m_surfaces.size()) || !pic.pBitstreamData ||
            pic.nBitstreamDataLen != sizeof(stStandInPicture))
            return kInvalidValue;
        const auto &picture = *reinterpret_cast<const stStandInPicture *>(pic.pBitstreamData);
        const AVFrame &frame = *picture.frame;
        m_status[static_cast<size_t>(pic.CurrPicIdx)] =
            (frame.decode_error_flags || (frame.flags & AV_FRAME_FLAG_CORRUPT)) ? cuvidDecodeStatus_Error_Concealed
                                                                                : cuvidDecodeStatus_Success;
        // A picture of the coded size fills the target as it is; another size is scaled to it.
        const int width = ScaledSize(frame.width, picture.codedWidth, static_cast<int>(m_info.ulTargetWidth));
        const int height = ScaledSize(frame.height, picture.codedHeight, static_cast<int>(m_info.ulTargetHeight));
        return Convert(frame, width, height, m_surfaces[static_cast<size_t>(pic.CurrPicIdx)]);
    }

    CUresult Map(int index, unsigned long long *pointer, unsigned int *pitch) const
    {
        if (index < 0 || index >= static_cast<int>(m_surfaces.size()) || !pointer || !pitch)
            return kInvalidValue;
        *pointer = reinterpret_cast<unsigned long long>(m_surfaces[static_cast<size_t>(index)].data());
        *pitch = static_cast<unsigned int>(m_pitch);
        return CUDA_SUCCESS;
    }

    CUresult Status(int index, CUVIDGETDECODESTATUS &status) const
    {
        if (index < 0 || index >= static_cast<int>(m_status.size()))
            return kInvalidValue;
        status.decodeStatus = m_status[static_cast<size_t>(index)];
        return CUDA_SUCCESS;
    }

private:
    static int ScaledSize(int shown, int coded, int target)
    {
        if (coded <= 0 || coded == target)
            return std::min(shown, target);
        return std::max(2, static_cast<int>(int64_t{shown} * target / coded) & ~1);
    }

    void AllocateSurfaces()
    {
        const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(m_surfaceFormat);
        const int bytes = descriptor->comp[0].step;
        const size_t rowBytes = static_cast<size_t>(m_info.ulTargetWidth) * static_cast<size_t>(bytes);
        m_pitch = (rowBytes + kPitchAlign - 1) / kPitchAlign * kPitchAlign;
        m_planeRows = (m_info.ulTargetHeight + 1) & ~1ul;
        const bool planar444 = m_info.OutputFormat == cudaVideoSurfaceFormat_YUV444 ||
                               m_info.OutputFormat == cudaVideoSurfaceFormat_YUV444_16Bit;
        const size_t rows = planar444 ? m_planeRows * 3 : m_planeRows + m_planeRows / 2;
        m_surfaces.assign(m_info.ulNumDecodeSurfaces, std::vector<uint8_t>(m_pitch * rows, 0));
        m_status.assign(m_info.ulNumDecodeSurfaces, cuvidDecodeStatus_Invalid);
    }

    CUresult Convert(const AVFrame &frame, int width, int height, std::vector<uint8_t> &surface)
    {
        if (!m_scaler || frame.width != m_scaledFrom[0] || frame.height != m_scaledFrom[1] ||
            frame.format != m_scaledFrom[2] || width != m_scaledTo[0] || height != m_scaledTo[1]) {
            m_scaler.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), width,
                                          height, m_surfaceFormat, SWS_BICUBIC, nullptr, nullptr, nullptr));
            m_scaledFrom[0] = frame.width;
            m_scaledFrom[1] = frame.height;
            m_scaledFrom[2] = frame.format;
            m_scaledTo[0] = width;
            m_scaledTo[1] = height;
        }
        if (!m_scaler)
            return kNotSupported;
        uint8_t *planes[4] = {surface.data(), surface.data() + m_pitch * m_planeRows,
                              surface.data() + m_pitch * m_planeRows * 2, nullptr};
        const int pitch = static_cast<int>(m_pitch);
        int lines[4] = {pitch, pitch, pitch, 0};
        return sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, planes, lines) > 0 ? CUDA_SUCCESS
                                                                                                       : kNotSupported;
    }

    CUVIDDECODECREATEINFO m_info;
    AVPixelFormat m_surfaceFormat = AV_PIX_FMT_NV12;
    std::vector<std::vector<uint8_t>> m_surfaces;
    std::vector<cuvidDecodeStatus> m_status;
    size_t m_pitch = 0;
    size_t m_planeRows = 0;
    SwsPtr m_scaler;
    int m_scaledFrom[3] = {};
    int m_scaledTo[2] = {};
};

// ---- the NVDEC calls ----

CUresult CUDAAPI StandInCtxLockCreate(CUvideoctxlock *lock, CUcontext)
{
    if (!lock)
        return kInvalidValue;
    // The lock is never taken by the stand-in; a distinct handle is all a caller needs.
    *lock = reinterpret_cast<CUvideoctxlock>(new std::mutex);
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInCtxLockDestroy(CUvideoctxlock lock)
{
    delete reinterpret_cast<std::mutex *>(lock);
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInCreateVideoParser(CUvideoparser *parser, CUVIDPARSERPARAMS *params)
{
    if (!parser || !params || !params->pfnSequenceCallback || !params->pfnDecodePicture || !params->pfnDisplayPicture)
        return kInvalidValue;
    auto made = std::make_unique<CStandInParser>(*params);
    const CUresult rc = made->Open();
    if (rc != CUDA_SUCCESS)
        return rc;
    *parser = made.release();
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInParseVideoData(CUvideoparser parser, CUVIDSOURCEDATAPACKET *packet)
{
    if (!parser || !packet)
        return kInvalidHandle;
    return static_cast<CStandInParser *>(parser)->Parse(*packet);
}

CUresult CUDAAPI StandInDestroyVideoParser(CUvideoparser parser)
{
    delete static_cast<CStandInParser *>(parser);
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInGetDecoderCaps(CUVIDDECODECAPS *caps)
{
    if (!caps)
        return kInvalidValue;
    const bool depthKnown = caps->nBitDepthMinus8 == 0 || caps->nBitDepthMinus8 == 2 || caps->nBitDepthMinus8 == 4;
    caps->bIsSupported = FindDecoder(caps->eCodecType) && depthKnown ? 1 : 0;
    caps->nNumNVDECs = caps->bIsSupported;
    caps->nMaxWidth = caps->bIsSupported ? kMaxSize : 0;
    caps->nMaxHeight = caps->bIsSupported ? kMaxSize : 0;
    caps->nMaxMBCount = caps->bIsSupported ? kMaxSize * kMaxSize / 256 : 0;
    caps->nMinWidth = caps->bIsSupported ? 48 : 0;
    caps->nMinHeight = caps->bIsSupported ? 16 : 0;
    const bool full = caps->eChromaFormat == cudaVideoChromaFormat_444;
    caps->nOutputFormatMask = !caps->bIsSupported ? 0
                              : full              ? (1 << cudaVideoSurfaceFormat_YUV444) | (1 << cudaVideoSurfaceFormat_YUV444_16Bit)
                                                  : (1 << cudaVideoSurfaceFormat_NV12) | (1 << cudaVideoSurfaceFormat_P016);
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInCreateDecoder(CUvideodecoder *decoder, CUVIDDECODECREATEINFO *info)
{
    if (!decoder || !info)
        return kInvalidValue;
    auto made = std::make_unique<CStandInDecoder>(*info);
    const CUresult rc = made->Create();
    if (rc != CUDA_SUCCESS)
        return rc;
    *decoder = made.release();
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInReconfigureDecoder(CUvideodecoder decoder, CUVIDRECONFIGUREDECODERINFO *info)
{
    if (!decoder || !info)
        return kInvalidHandle;
    return static_cast<CStandInDecoder *>(decoder)->Reconfigure(*info);
}

CUresult CUDAAPI StandInDestroyDecoder(CUvideodecoder decoder)
{
    delete static_cast<CStandInDecoder *>(decoder);
    return CUDA_SUCCESS;
}

CUresult CUDAAPI StandInDecodePicture(CUvideodecoder decoder, CUVIDPICPARAMS *pic)
{
    if (!decoder || !pic)
        return kInvalidHandle;
    return static_cast<CStandInDecoder *>(decoder)->Decode(*pic);
}

CUresult CUDAAPI StandInGetDecodeStatus(CUvideodecoder decoder, int index, CUVIDGETDECODESTATUS *status)
{
    if (!decoder || !status)
        return kInvalidHandle;
    return static_cast<CStandInDecoder *>(decoder)->Status(index, *status);
}

CUresult CUDAAPI StandInMapVideoFrame(CUvideodecoder decoder, int index, unsigned long long *pointer,
                                      unsigned int *pitch, CUVIDPROCPARAMS *)
{
    if (!decoder)
        return kInvalidHandle;
    return static_cast<CStandInDecoder *>(decoder)->Map(index, pointer, pitch);
}

CUresult CUDAAPI StandInUnmapVideoFrame(CUvideodecoder decoder, unsigned long long)
{
    return decoder ? CUDA_SUCCESS : kInvalidHandle;
}

// ---- the CUDA driver calls, on the device layer ----

CUresult FromGpu(GpuError error)
{
    return static_cast<CUresult>(error);
}

CUresult CUDAAPI StandInCtxPush(CUcontext)
{
    return FromGpu(DevPushContext(DevCurrentDevice()));
}

CUresult CUDAAPI StandInCtxPop(CUcontext *context)
{
    if (context)
        *context = nullptr;
    return FromGpu(DevPopContext());
}

CUresult CUDAAPI StandInStreamCreate(CUstream *stream, unsigned int)
{
    GpuStream made = nullptr;
    const GpuError rc = DevStreamCreate(&made);
    if (stream)
        *stream = static_cast<CUstream>(made);
    return FromGpu(rc);
}

CUresult CUDAAPI StandInStreamDestroy(CUstream stream)
{
    return FromGpu(DevStreamDestroy(stream));
}

CUresult CUDAAPI StandInStreamSynchronize(CUstream stream)
{
    return FromGpu(DevStreamSynchronize(stream));
}

// Stand-in surfaces are host memory, whatever the copy calls them.
CUresult CUDAAPI StandInMemcpy2DAsync(const CUDA_MEMCPY2D *copy, CUstream stream)
{
    if (!copy)
        return kInvalidValue;
    const auto *src = reinterpret_cast<const uint8_t *>(copy->srcMemoryType == CU_MEMORYTYPE_HOST
                                                            ? copy->srcHost
                                                            : reinterpret_cast<const void *>(copy->srcDevice)) +
                      copy->srcY * copy->srcPitch + copy->srcXInBytes;
    const bool toDevice = copy->dstMemoryType == CU_MEMORYTYPE_DEVICE;
    auto *dst = static_cast<uint8_t *>(toDevice ? reinterpret_cast<void *>(copy->dstDevice) : copy->dstHost) +
                copy->dstY * copy->dstPitch + copy->dstXInBytes;
    return FromGpu(DevMemcpy2D(dst, copy->dstPitch, src, copy->srcPitch, copy->WidthInBytes, copy->Height,
                               toDevice ? EGpuCopyKind::HostToDevice : EGpuCopyKind::HostToHost, stream));
}

CUresult CUDAAPI StandInMemAlloc(CUdeviceptr *pointer, size_t bytes)
{
    void *made = nullptr;
    const GpuError rc = DevMalloc(&made, bytes);
    if (pointer)
        *pointer = reinterpret_cast<CUdeviceptr>(made);
    return FromGpu(rc);
}

CUresult CUDAAPI StandInMemFree(CUdeviceptr pointer)
{
    return FromGpu(DevFree(reinterpret_cast<void *>(pointer)));
}

CUresult CUDAAPI StandInGetErrorName(CUresult error, const char **name)
{
    if (!name)
        return kInvalidValue;
    *name = DevErrorName(static_cast<GpuError>(error));
    return CUDA_SUCCESS;
}

stNvDecApi MakeStandInApi()
{
    stNvDecApi api;
    api.cuCtxPushCurrent = StandInCtxPush;
    api.cuCtxPopCurrent = StandInCtxPop;
    api.cuStreamCreate = StandInStreamCreate;
    api.cuStreamDestroy = StandInStreamDestroy;
    api.cuStreamSynchronize = StandInStreamSynchronize;
    api.cuMemcpy2DAsync = StandInMemcpy2DAsync;
    api.cuMemAlloc = StandInMemAlloc;
    api.cuMemFree = StandInMemFree;
    api.cuGetErrorName = StandInGetErrorName;
    api.cuvidCtxLockCreate = StandInCtxLockCreate;
    api.cuvidCtxLockDestroy = StandInCtxLockDestroy;
    api.cuvidCreateVideoParser = StandInCreateVideoParser;
    api.cuvidParseVideoData = StandInParseVideoData;
    api.cuvidDestroyVideoParser = StandInDestroyVideoParser;
    api.cuvidGetDecoderCaps = StandInGetDecoderCaps;
    api.cuvidCreateDecoder = StandInCreateDecoder;
    api.cuvidReconfigureDecoder = StandInReconfigureDecoder;
    api.cuvidDestroyDecoder = StandInDestroyDecoder;
    api.cuvidDecodePicture = StandInDecodePicture;
    api.cuvidGetDecodeStatus = StandInGetDecodeStatus;
    api.cuvidMapVideoFrame = StandInMapVideoFrame;
    api.cuvidUnmapVideoFrame = StandInUnmapVideoFrame;
    api.standIn = true;
    return api;
}

} // namespace

const stNvDecApi &NvDecStandInApi()
{
    static const stNvDecApi api = MakeStandInApi();
    return api;
}
