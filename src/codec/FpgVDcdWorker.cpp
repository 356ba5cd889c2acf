// CFpgVDcdWorker: software decoding with libavcodec.

#include "codec/FpgVDcdWorker.h"

#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"
#include "core/debuglog.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <cstring>

namespace {

constexpr int32_t kMaxCodecId = 65535;
constexpr int32_t kPacketPadding = 64;

// Key frame of the decoded picture, as the system marks it (bit 0).
bool IsKeyFrame(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_MAJOR >= 59
    return (frame.flags & AV_FRAME_FLAG_KEY) != 0;
#else
    return frame.key_frame != 0;
#endif
}

int64_t FrameDurationOf(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_MAJOR >= 58
    return frame.duration;
#else
    return frame.pkt_duration;
#endif
}

// Two planes, the second carrying both chroma components (NV12, P010 and the like).
bool IsSemiPlanar(int32_t format)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (!descriptor || (descriptor->flags & AV_PIX_FMT_FLAG_RGB) || descriptor->nb_components < 3)
        return false;
    return descriptor->comp[1].plane == 1 && descriptor->comp[2].plane == 1;
}

} // namespace

CFpgVDcdWorker::CFpgVDcdWorker(uint32_t workerId, const InputLinkMap *inputLinks, const ConsumerLinkMap *consumerLinks)
    : CTYXVDecWorker(workerId, inputLinks, consumerLinks)
{
    m_drawFlag = 0;
    TYX_LOG(6, L"FpgVDcdWorker[WID=%d] constructed.", static_cast<int32_t>(workerId));
}

CFpgVDcdWorker::~CFpgVDcdWorker()
{
    UninitializeDecoder();
}

int32_t CFpgVDcdWorker::CopyInConfiguration(const stTYXWorkerConfig *config)
{
    if (!config)
        return -1;
    return CTYXVDecWorker::CopyInConfiguration(config);
}

int32_t CFpgVDcdWorker::Initialize(uint8_t, int32_t value)
{
    CTYXVDecWorker::Initialize(1, value);
    TYX_LOG(6, L"FpgVDcdWorker[%s:%x] initializing...", m_name.c_str(), m_workerId);
    return 0;
}

void CFpgVDcdWorker::unInitialize()
{
    CTYXVDecWorker::unInitialize();
}

void CFpgVDcdWorker::UninitializeDecoder()
{
    m_decoderReady = false;
    m_scaler.reset();
    m_receivedFrame.reset();
    m_context.reset();
    m_picture.reset();
    std::memset(m_planes, 0, sizeof(m_planes));
    std::memset(m_lineSizes, 0, sizeof(m_lineSizes));
    m_pictureSize = 0;
    m_conversionNeeded = false;
    m_sourceWidth = m_sourceHeight = 0;
    m_sourceFormat = AV_PIX_FMT_NONE;
    m_target = {};
    m_decoder = nullptr;
    m_drained = false;
}

int32_t CFpgVDcdWorker::InitializeDecoder(int32_t codecId)
{
    if (codecId < 1 || codecId > kMaxCodecId) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Decoders not initialized for unknown codecID(%d).", m_name.c_str(),
                m_workerId, codecId);
        return kErrCodecId;
    }
    UninitializeDecoder();
    m_decoder = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
    if (!m_decoder) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Decoders initializing failed with codecID(%d)!", m_name.c_str(), m_workerId,
                codecId);
        return kErrNoDecoder;
    }
    m_context.reset(avcodec_alloc_context3(m_decoder));
    if (!m_context) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] codec context allocating failed with codecID(%d)!", m_name.c_str(),
                m_workerId, codecId);
        UninitializeDecoder();
        return kErrNoDecoder;
    }
    const stStreamParams input = GetInputParameters(0);
    if (!input.codecParameters) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] There no valid codecpar in input-pams!", m_name.c_str(), m_workerId);
        UninitializeDecoder();
        return kErrCodecParams;
    }
    if (avcodec_parameters_to_context(m_context.get(), input.codecParameters) < 0) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Failed while copy codec-pars into context!", m_name.c_str(), m_workerId);
        UninitializeDecoder();
        return kErrCodecParams;
    }
    if (avcodec_open2(m_context.get(), m_decoder, nullptr) < 0) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Codec opening Failed!", m_name.c_str(), m_workerId);
        UninitializeDecoder();
        return kErrOpen;
    }
    m_receivedFrame.reset(av_frame_alloc());
    if (!m_receivedFrame) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Raw video buffer allocating Failed!", m_name.c_str(), m_workerId);
        UninitializeDecoder();
        return kErrBuffers;
    }
    // The scaler and the planes wait for the first picture: the parameters may not know the size.
    TYX_LOG(5, L"FpgVDcdWorker[%s:%x] Decoders initialized with codecID(%d).", m_name.c_str(), m_workerId, codecId);
    return 0;
}

int32_t CFpgVDcdWorker::DecodeExtraData(const uint8_t *data, int32_t size)
{
    // The decoder took the extradata from the codec parameters already.
    return (m_decoderReady && m_context && size > 0 && data) ? 0 : -1;
}

CFpgVDcdWorker::stTarget CFpgVDcdWorker::TargetFor(const AVFrame &frame) const
{
    const stStreamParams output = GetOutputParameters();
    stTarget target;
    const bool fixedSize = !output.followFrameSize && output.width > 0 && output.height > 0;
    target.width = fixedSize ? output.width : frame.width;
    target.height = fixedSize ? output.height : frame.height;
    target.format = output.pixelFormat >= 0 && av_pix_fmt_desc_get(static_cast<AVPixelFormat>(output.pixelFormat))
                        ? static_cast<AVPixelFormat>(output.pixelFormat)
                        : AV_PIX_FMT_YUV420P;
    return target;
}

int32_t CFpgVDcdWorker::PrepareConversion(const AVFrame &frame, const stTarget &target)
{
    if (m_picture && frame.width == m_sourceWidth && frame.height == m_sourceHeight && frame.format == m_sourceFormat &&
        target.width == m_target.width && target.height == m_target.height && target.format == m_target.format)
        return 0;
    if (m_picture)
        TYX_LOG(5, L"FpgVDcdWorker[%s:%x] Decoded pictures are %dx%d (format %d) now, output %dx%d.", m_name.c_str(),
                m_workerId, frame.width, frame.height, frame.format, target.width, target.height);
    m_scaler.reset();
    m_picture.reset();
    m_conversionNeeded = frame.width != target.width || frame.height != target.height || frame.format != target.format;
    if (m_conversionNeeded) {
        m_scaler.reset(sws_getContext(frame.width, frame.height, static_cast<AVPixelFormat>(frame.format), target.width,
                                      target.height, target.format, SWS_BICUBIC, nullptr, nullptr, nullptr));
        if (!m_scaler)
            return kErrNoDecoder;
    }
    const int32_t size = av_image_alloc(m_planes, m_lineSizes, target.width, target.height, target.format, 1);
    if (size < 0) {
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Raw video buffer allocating Failed!", m_name.c_str(), m_workerId);
        m_scaler.reset();
        return kErrBuffers;
    }
    m_picture.reset(m_planes[0]);
    m_pictureSize = size;
    m_sourceWidth = frame.width;
    m_sourceHeight = frame.height;
    m_sourceFormat = frame.format;
    m_target = target;
    return 0;
}

int32_t CFpgVDcdWorker::SendPacket(const FramePackage &package)
{
    if (!package.pData || package.nLength <= 0) {
        m_drained = true;
        return avcodec_send_packet(m_context.get(), nullptr);
    }
    if (m_drained) {
        // After a drain the decoder takes packets again only once flushed.
        avcodec_flush_buffers(m_context.get());
        m_drained = false;
    }
    AvPacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), package.nLength + kPacketPadding) < 0)
        return AVERROR(ENOMEM);
    std::memcpy(packet->data, package.pData, static_cast<size_t>(package.nLength));
    std::memset(packet->data + package.nLength, 0, kPacketPadding);
    packet->size = package.nLength;
    packet->stream_index = 0;
    packet->flags = (package.flags & TYX_PKT_FLAG_KEY) ? AV_PKT_FLAG_KEY : 0;
    packet->pos = -1;
    packet->pts = package.pts;
    packet->dts = package.dts;
    packet->duration = package.duration;
    return avcodec_send_packet(m_context.get(), packet.get());
}

int32_t CFpgVDcdWorker::DecodeFrame(FramePackage &package, std::vector<FramePackage> &frames)
{
    if (!m_decoderReady || !m_context)
        return -1;
    frames.clear();
    const bool key = (package.flags & TYX_PKT_FLAG_KEY) != 0;
    if (SendPacket(package) < 0) {
        if (key)
            TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Video Key frame(pts=%lld, Length=%d) decoding failed!", m_name.c_str(),
                    m_workerId, static_cast<long long>(package.pts), package.nLength);
        return kErrSend;
    }
    if (key)
        TYX_LOG(5, L"FpgVDcdWorker[%s:%x] Video Key frame(pts=%lld, Length=%d) decoded sucessfully.", m_name.c_str(),
                m_workerId, static_cast<long long>(package.pts), package.nLength);
    int32_t received = 0;
    ReceiveFrames(frames, received);
    return received;
}

void CFpgVDcdWorker::ReceiveFrames(std::vector<FramePackage> &frames, int32_t &received)
{
    AVFrame *frame = m_receivedFrame.get();
    int32_t rc = 0;
    while ((rc = avcodec_receive_frame(m_context.get(), frame)) >= 0) {
        ++received;
        FramePackage out;
        if (frame->data[0] && frame->linesize[0] > 0 && PackageFrame(*frame, out))
            frames.push_back(out);
        av_frame_unref(frame);
    }
    if (rc != AVERROR_EOF && rc != AVERROR(EAGAIN))
        TYX_LOG(3, L"FpgVDcdWorker[%s:%x] Error during decoding!", m_name.c_str(), m_workerId);
}

int32_t CFpgVDcdWorker::FrameFlags(const AVFrame &frame) const
{
    // Only what the system reads: key (bit 0) and discard (bit 2); corrupt is not a key frame.
    int32_t flags = IsKeyFrame(frame) ? TYX_PKT_FLAG_KEY : 0;
    if (frame.flags & AV_FRAME_FLAG_DISCARD)
        flags |= TYX_PKT_FLAG_DISCARD;
    return flags;
}

bool CFpgVDcdWorker::PackageFrame(const AVFrame &frame, FramePackage &out)
{
    const stTarget target = TargetFor(frame);
    if (PrepareConversion(frame, target) < 0)
        return false;
    const uint8_t *const *source = frame.data;
    const int32_t *sourceLines = frame.linesize;
    if (m_conversionNeeded) {
        if (sws_scale(m_scaler.get(), frame.data, frame.linesize, 0, frame.height, m_planes, m_lineSizes) <= 0)
            return false;
        source = m_planes;
        sourceLines = m_lineSizes;
    }
    out.inDevice = m_defaultOnDevice;
    if (AllocFramePackageData(out, m_pictureSize) != m_pictureSize) {
        TYX_LOG(2, L"Failed(Err=%d) while alloc cuda memory!", GPU_ERROR_MEMORY_ALLOCATION);
        HandleGPUCriticalError(GPU_ERROR_MEMORY_ALLOCATION, L"");
        return false;
    }
    out.pts = frame.pts;
    out.dts = frame.pkt_dts;
    out.duration = FrameDurationOf(frame);
    out.flags = FrameFlags(frame);
    out.mediaType = TYX_MEDIA_VIDEO;
    out.kind = TYX_PKT_KIND_RAW_VIDEO;
    out.format = target.format;
    out.width = static_cast<uint16_t>(target.width);
    out.height = static_cast<uint16_t>(target.height);
    out.pitch = static_cast<uint16_t>(target.width);
    AVFrame view = frame;
    for (int i = 0; i < 4; ++i) {
        view.data[i] = const_cast<uint8_t *>(source[i]);
        view.linesize[i] = sourceLines[i];
    }
    view.width = target.width;
    view.height = target.height;
    view.format = target.format;
    if (!CopyPictureOut(view, out)) {
        FreeFramePackage(out);
        return false;
    }
    return true;
}

// Copies the planes of a picture in the target geometry into the package, packed, in one pass.
bool CFpgVDcdWorker::CopyPictureOut(const AVFrame &picture, FramePackage &out)
{
    if (!out.inDevice) {
        return av_image_copy_to_buffer(out.pData, out.nLength, picture.data, picture.linesize,
                                       static_cast<AVPixelFormat>(picture.format), picture.width, picture.height,
                                       1) == out.nLength;
    }
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(picture.format));
    int32_t lines[4] = {};
    if (!descriptor || av_image_fill_linesizes(lines, static_cast<AVPixelFormat>(picture.format), picture.width) < 0)
        return false;
    size_t offset = 0;
    for (int plane = 0; plane < 4 && lines[plane] > 0; ++plane) {
        const int32_t rows =
            plane == 0 || plane == 3 ? picture.height : AV_CEIL_RSHIFT(picture.height, descriptor->log2_chroma_h);
        const size_t bytes = static_cast<size_t>(lines[plane]) * rows;
        if (offset + bytes > static_cast<size_t>(out.nLength))
            return false;
        const GpuError rc = DevMemcpy2D(out.pData + offset, static_cast<size_t>(lines[plane]), picture.data[plane],
                                        static_cast<size_t>(picture.linesize[plane]), static_cast<size_t>(lines[plane]),
                                        static_cast<size_t>(rows), EGpuCopyKind::HostToDevice);
        if (rc != GPU_SUCCESS) {
            TYX_LOG(2, L"Failed(Err=%d) when copy data from host to device memory!", rc);
            HandleGPUCriticalError(rc, L"");
            return false;
        }
        offset += bytes;
    }
    return true;
}

int32_t CFpgVDcdWorker::GetDecodedFrameInfo(stDecodedFrameInfo &info)
{
    if (!m_decoderReady || !m_context)
        return -1;
    info = {};
    info.width = static_cast<uint16_t>(m_context->width);
    info.height = static_cast<uint16_t>(m_context->height);
    info.pitch = static_cast<uint16_t>(m_context->width);
    info.pixelFormat = static_cast<uint16_t>(m_context->pix_fmt);
    info.semiPlanar = IsSemiPlanar(m_context->pix_fmt) ? 1 : 0;
    return 0;
}

int32_t CFpgVDcdWorker::CreateMdpFrame(uint32_t size)
{
    if (size == 0)
        return -1;
    return AllocateWorkingBuffer(size, false) == 0 ? 0 : -1;
}
