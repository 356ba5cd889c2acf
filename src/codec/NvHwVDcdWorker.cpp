// NvHwVDecoder: decoding through NVDEC (or its software stand-in).

#include "codec/NvHwVDcdWorker.h"

#include "codec/NvDecoder.h"
#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"
#include "vproc/FormatConvert.h"

extern "C" {
#include <libavcodec/codec_id.h>
}

#include <cstring>
#include <string>

namespace {

constexpr int32_t kNoCodec = cudaVideoCodec_NumCodecs;
constexpr uint32_t kPacketFlags = CUVID_PKT_ENDOFPICTURE | CUVID_PKT_TIMESTAMP;
constexpr const char *kGrowthRefusal = "width/height > maxwidth/maxheight";
constexpr int32_t kErrUnknownCodec = -1;
constexpr int32_t kErrSession = -2;
constexpr int32_t kErrNoContext = -8;

const char *ChromaName(int32_t chroma)
{
    switch (chroma) {
    case cudaVideoChromaFormat_420: return "4:2:0";
    case cudaVideoChromaFormat_422: return "4:2:2";
    case cudaVideoChromaFormat_444: return "4:4:4";
    default: return "mono";
    }
}

const char *CodecName(int32_t codec)
{
    switch (codec) {
    case cudaVideoCodec_H264: return "H.264";
    case cudaVideoCodec_H264_SVC: return "H.264 SVC";
    case cudaVideoCodec_H264_MVC: return "H.264 MVC";
    case cudaVideoCodec_HEVC: return "HEVC";
    case cudaVideoCodec_VP8: return "VP8";
    case cudaVideoCodec_VP9: return "VP9";
    default: return "?";
    }
}

std::string Rule(const char *left, const char *right)
{
    std::string rule = left;
    for (int i = 0; i < 76; ++i)
        rule += "\u2500";
    return rule + right;
}

} // namespace

NvHwVDecoder::NvHwVDecoder(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks,
                           const stNvDecApi &api)
    : CTYXVDecWorker(workerId, inputLinks, consumerLinks), m_api(api)
{
    m_drawFlag = 1;
    TYX_LOG(6, L"NvHwVDecoder[WID=%d] constructed.", static_cast<int32_t>(workerId));
}

NvHwVDecoder::~NvHwVDecoder()
{
    UninitializeDecoder();
    if (m_gpuContext)
        (void)DevReleaseContextHandle(m_gpuContext);
}

int32_t NvHwVDecoder::MapCodecId(int32_t codecId)
{
    switch (codecId) {
    case AV_CODEC_ID_MPEG1VIDEO: return cudaVideoCodec_MPEG1;
    case AV_CODEC_ID_MPEG2VIDEO: return cudaVideoCodec_MPEG2;
    case AV_CODEC_ID_MPEG4: return cudaVideoCodec_MPEG4;
    case AV_CODEC_ID_VC1: return cudaVideoCodec_VC1;
    case AV_CODEC_ID_H264: return cudaVideoCodec_H264;
    case AV_CODEC_ID_MJPEG: return cudaVideoCodec_JPEG;
    case AV_CODEC_ID_HEVC: return cudaVideoCodec_HEVC;
    case AV_CODEC_ID_VP8: return cudaVideoCodec_VP8;
    case AV_CODEC_ID_VP9: return cudaVideoCodec_VP9;
    case AV_CODEC_ID_RAWVIDEO: return cudaVideoCodec_YUV420;
    default: return kNoCodec;
    }
}

int32_t NvHwVDecoder::Initialize(uint8_t, int32_t value)
{
    m_gpuNumber = value;
    CTYXVDecWorker::Initialize(1, value);
    TYX_LOG(6, L"NvHwVDecoder[%s:%x] initializing...", m_name.c_str(), m_workerId);
    return 0;
}

void NvHwVDecoder::unInitialize()
{
    CTYXVDecWorker::unInitialize();
    if (m_gpuContext) {
        (void)DevReleaseContextHandle(m_gpuContext);
        m_gpuContext = nullptr;
    }
}

int32_t NvHwVDecoder::InitializeDecoder(int32_t codecId)
{
    const int32_t codec = MapCodecId(codecId);
    if (codec < 1 || codec > 11) {
        TYX_LOG(3, L"NvHwVDecoder[%s:%x] Decoders not initialized for unknown codecID(%d)!", m_name.c_str(),
                m_workerId, codec);
        return kErrUnknownCodec;
    }
    if (!m_gpuContext && (DevRetainContextHandle(m_gpuNumber, &m_gpuContext) != GPU_SUCCESS || !m_gpuContext)) {
        m_gpuContext = nullptr;
        TYX_LOG(3, L"NvHwVDecoder[%s:%x] GPU Context creating failed! ", m_name.c_str(), m_workerId);
        return kErrNoContext;
    }
    m_codecId = codec;
    try {
        m_decoder = std::make_unique<NvDecoder>(static_cast<CUcontext>(m_gpuContext), true,
                                                static_cast<cudaVideoCodec>(codec), m_api);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"NvHwVDecoder[%s:%x] NVDEC session failed: %hs", m_name.c_str(), m_workerId, error.what());
        return kErrSession;
    }
    m_formatRefusalLogged = false;
    if (IsDecoderLossLogDue())
        TYX_LOG(5, L"NvHwVDecoder[%s:%x] Decoders initialized with codecID(%d).", m_name.c_str(), m_workerId, codec);
    return 0;
}

void NvHwVDecoder::UninitializeDecoder()
{
    m_decoderReady = false;
    m_decoder.reset();
}

int32_t NvHwVDecoder::DecodeExtraData(const uint8_t *data, int32_t size)
{
    if (!m_decoderReady || !m_decoder || size <= 0 || !data)
        return -1;
    return m_decoder->Decode(data, size, 0, 0);
}

int32_t NvHwVDecoder::RecreateDecoder()
{
    m_decoder.reset();
    try {
        m_decoder = std::make_unique<NvDecoder>(static_cast<CUcontext>(m_gpuContext), true,
                                                static_cast<cudaVideoCodec>(m_codecId), m_api);
        const stStreamParams input = GetInputParameters(0);
        if (input.extradata && input.extradataSize > 0)
            (void)m_decoder->Decode(input.extradata, input.extradataSize, 0, 0);
    } catch (const std::exception &error) {
        TYX_LOG(3, L"NvHwVDecoder[%s:%x] NVDEC session failed: %hs", m_name.c_str(), m_workerId, error.what());
        UninitializeDecoder();
        return kErrSession;
    }
    return 0;
}

int32_t NvHwVDecoder::DecodePacket(const FramePackage &package)
{
    const bool hasData = package.pData && package.nLength > 0;
    return m_decoder->Decode(hasData ? package.pData : nullptr, hasData ? package.nLength : 0, kPacketFlags,
                             package.pts);
}

void NvHwVDecoder::RememberFlags(int64_t pts, int32_t flags)
{
    m_flagMap.emplace(pts, flags); // a pts seen before keeps its first flags
    if (m_flagMap.size() <= m_flagMapHigh)
        return;
    while (m_flagMap.size() > m_flagMapLow)
        m_flagMap.erase(m_flagMap.begin());
}

int32_t NvHwVDecoder::DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames)
{
    if (!m_decoderReady || !m_decoder)
        return -1;
    frames.clear();
    TYX_LOG(7, L"NvHwVDecoder[%s:%x] Checkpoint #1 , tobe decoding.", m_name.c_str(), m_workerId);
    int32_t count = 0;
    try {
        try {
            count = DecodePacket(package);
        } catch (const NVDECException &error) {
            // A source whose pictures grew beyond the session's size: a session of the new size
            // takes the same packet again, so the new size is followed.
            if (!std::strstr(error.what(), kGrowthRefusal))
                throw;
            TYX_LOG(5, L"NvHwVDecoder[%s:%x] Picture size grew: decoder opened again for it.", m_name.c_str(),
                    m_workerId);
            if (RecreateDecoder() < 0)
                return -1;
            count = DecodePacket(package);
        }
    } catch (const std::exception &error) {
        // Closed, so the base opens it again at the next key frame.
        if (IsDecoderLossLogDue())
            TYX_LOG(3, L"NvHwVDecoder[%s:%x] Decoding failed: %hs", m_name.c_str(), m_workerId, error.what());
        UninitializeDecoder();
        return -1;
    }
    if (package.flags & TYX_PKT_FLAG_KEY)
        TYX_LOG(6, L"NvHwVDecoder[%s:%x] Video Key frame(pts=%lld, Length=%d) decoded sucessfully.", m_name.c_str(),
                m_workerId, static_cast<long long>(package.pts), package.nLength);
    if (package.pData && package.nLength > 0)
        RememberFlags(package.pts, package.flags);
    if (count <= 0)
        return 0;
    stDecodedFrameInfo info;
    if (GetDecodedFrameInfo(info) < 0)
        return count;
    for (int32_t i = 0; i < count; ++i) {
        int64_t timestamp = 0;
        uint8_t *frame = m_decoder->TakeDecodedFrame(&timestamp);
        FramePackage out;
        if (frame && PackageFrame(frame, timestamp, info, out))
            frames.push_back(out);
    }
    return count;
}

bool NvHwVDecoder::PackageFrame(uint8_t *frame, int64_t timestamp, const stDecodedFrameInfo &info, FramePackage &out)
{
    // Only 8-bit 4:2:0 becomes I420 here; anything else would be labelled with the wrong layout.
    if (m_decoder->SurfaceFormat() != cudaVideoSurfaceFormat_NV12) {
        if (!m_formatRefusalLogged)
            TYX_LOG(3, L"NvHwVDecoder[%s:%x] Decoded surface format %d is no 8-bit 4:2:0: pictures dropped.",
                    m_name.c_str(), m_workerId, static_cast<int32_t>(m_decoder->SurfaceFormat()));
        m_formatRefusalLogged = true;
        return false;
    }
    if (m_drawFlag && m_defaultOnDevice) {
        const GpuError rc = ConvertSemiplanarToPlanarInDvc(frame, info.width, info.height, info.pitch);
        if (rc != GPU_SUCCESS) {
            HandleGPUCriticalError(rc, L"");
            return false;
        }
    }
    out.inDevice = 1;
    if (AllocFramePackageData(out, info.frameSize) != info.frameSize) {
        TYX_LOG(2, L"Failed(Err=%d) while alloc cuda memory!", GPU_ERROR_MEMORY_ALLOCATION);
        HandleGPUCriticalError(GPU_ERROR_MEMORY_ALLOCATION, L"");
        return false;
    }
    const GpuError rc =
        DevMemcpy(out.pData, frame, static_cast<size_t>(info.frameSize), EGpuCopyKind::DeviceToDevice);
    if (rc != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) when copy data from host to device memory!", rc);
        HandleGPUCriticalError(rc, L"");
        FreeFramePackage(out);
        return false;
    }
    out.pts = timestamp;
    out.dts = TYX_NOPTS_VALUE;
    out.duration = 0;
    out.flags = 0;
    out.streamIndex = -1;
    out.mediaType = TYX_MEDIA_VIDEO;
    out.kind = TYX_PKT_KIND_RAW_VIDEO;
    out.format = -1;
    out.width = info.width;
    out.height = info.height;
    out.pitch = info.width;
    const auto found = m_flagMap.find(timestamp);
    if (found != m_flagMap.end()) {
        out.flags = found->second;
        m_flagMap.erase(found);
    }
    return true;
}

int32_t NvHwVDecoder::GetDecodedFrameInfo(stDecodedFrameInfo &info)
{
    if (!m_decoderReady || !m_decoder || !m_decoder->HasSequence())
        return -1;
    info = {};
    info.width = static_cast<uint16_t>(m_decoder->DecodedWidth());
    info.height = static_cast<uint16_t>(m_decoder->DecodedHeight());
    info.pitch = static_cast<uint16_t>(m_decoder->DeviceFramePitch());
    info.pixelFormat = static_cast<uint16_t>(m_decoder->SurfaceFormat());
    info.frameSize = m_decoder->DecodedFrameSize();
    info.bitDepth = static_cast<uint8_t>(m_decoder->DecodedBitDepth());
    info.bytesPerSample = static_cast<uint8_t>(m_decoder->BytesPerSample());
    info.semiPlanar = (m_decoder->SurfaceFormat() == cudaVideoSurfaceFormat_NV12 ||
                       m_decoder->SurfaceFormat() == cudaVideoSurfaceFormat_P016)
                          ? 1
                          : 0;
    return 0;
}

int32_t NvHwVDecoder::CreateMdpFrame(uint32_t size)
{
    if (size == 0)
        return -1;
    const int32_t rc = AllocateWorkingBuffer(size, true);
    if (rc != 0) {
        TYX_LOG(3, L"NvHwVDecoder[%s:%x][Tid:%d] GPU memory[size=%d] allocing failed with error(%d) returned!",
                m_name.c_str(), m_workerId, static_cast<int32_t>(m_threadId), static_cast<int32_t>(size), rc);
        HandleGPUCriticalError(rc, L"[V-Decoder]");
    }
    return rc == 0 ? 0 : -1;
}

void NvHwVDecoder::PrintCapsOf(int32_t device, int32_t &supported)
{
    static const int32_t kCodecs[] = {cudaVideoCodec_H264, cudaVideoCodec_H264_SVC, cudaVideoCodec_H264_MVC,
                                      cudaVideoCodec_HEVC, cudaVideoCodec_VP8,      cudaVideoCodec_VP9};
    static const int32_t kChromas[] = {cudaVideoChromaFormat_420, cudaVideoChromaFormat_422, cudaVideoChromaFormat_444};
    static const unsigned kDepths[] = {0, 2, 4};
    stDevDeviceProperties properties;
    (void)DevGetDeviceProperties(device, &properties);
    GpuContext context = nullptr;
    if (DevRetainContextHandle(device, &context) != GPU_SUCCESS)
        return;
    const bool pushed = m_api.cuCtxPushCurrent(static_cast<CUcontext>(context)) == CUDA_SUCCESS;
    ConsolePrintf("\n\t...GPU #%2d: %.80s...\n", device, properties.name);
    ConsolePrintf("%s\n", Rule("\u250c", "\u2510").c_str());
    ConsolePrintf("\u2502 Codec\t\t| ChromaFormat | BitDepth | MaxWidth | MaxHeight | MaxMBCount\u2502\n");
    for (int32_t codec : kCodecs) {
        for (int32_t chroma : kChromas) {
            for (unsigned depth : kDepths) {
                CUVIDDECODECAPS caps{};
                caps.eCodecType = static_cast<cudaVideoCodec>(codec);
                caps.eChromaFormat = static_cast<cudaVideoChromaFormat>(chroma);
                caps.nBitDepthMinus8 = depth;
                if (m_api.cuvidGetDecoderCaps(&caps) != CUDA_SUCCESS || !caps.bIsSupported)
                    continue;
                ConsolePrintf("%s\n", Rule("\u251c", "\u2524").c_str());
                ConsolePrintf("\u2502 %-10s\t| %-12s | %8u | %8u | %9u | %10u\u2502\n", CodecName(codec),
                              ChromaName(chroma), depth + 8, caps.nMaxWidth, caps.nMaxHeight, caps.nMaxMBCount);
                ++supported;
            }
        }
    }
    ConsolePrintf("%s\n", Rule("\u2514", "\u2518").c_str());
    if (pushed)
        (void)m_api.cuCtxPopCurrent(nullptr);
    (void)DevReleaseContextHandle(context);
}

int32_t NvHwVDecoder::ListDecoderCaps()
{
    const int32_t devices = DevBackend() == EGpuBackend::Cuda ? DevDeviceCount() : 0;
    if (devices <= 0) {
        ConsolePrintf("GPU devide not fixed!\n");
        return -1;
    }
    ConsolePrintf("\n GPU Support decoding format list:\n");
    int32_t supported = 0;
    for (int32_t device = 0; device < devices; ++device)
        PrintCapsOf(device, supported);
    return supported;
}
