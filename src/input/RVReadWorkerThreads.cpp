#include "input/RVReadWorker.h"

#include "core/TYXUtils.h"
#include "core/debuglog.h"
#include "input/ReadWorkerSteps.h"
#include "output/RVDOServer.h"
#include "output/RVTPServer.h"
#include "platform/Event.h"
#include "platform/GpuDevice.h"
#include "platform/Thread.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <vector>

namespace {

constexpr uint32_t kIdlePauseMs = 10;
constexpr uint32_t kBadPackagePauseMs = 20;

int32_t ImageBytes(int32_t pixelFormat, int32_t width, int32_t height)
{
    if (pixelFormat < 0 || width <= 0 || height <= 0)
        return -1;
    return av_image_get_buffer_size(static_cast<AVPixelFormat>(pixelFormat), width, height, 1);
}

int64_t FrameDuration(const AVFrame &frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return frame.duration;
#else
    return frame.pkt_duration;
#endif
}

} // namespace

int32_t RawVideoOutputFrameSize(int32_t pixelFormat, int32_t width, int32_t height)
{
    switch (pixelFormat) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUYV422:
    case AV_PIX_FMT_YUV422P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_UYVY422:
    case AV_PIX_FMT_YUV444P:
    case AV_PIX_FMT_YUVJ444P:
        // Packed rows; an odd size rounds its chroma up, as libswscale writes it.
        return ImageBytes(pixelFormat, width, height);
    default: return -1;
    }
}

// The picture converter of the post-processing thread: rebuilt whenever the pictures that come in
// change their size or format (a camera switching modes).
struct CRawVideoReadWorker::stPictureConverter
{
    SwsPtr context;
    int32_t width = 0;
    int32_t height = 0;
    int32_t format = -1;
    std::vector<uint8_t> target;

    bool Prepare(int32_t inWidth, int32_t inHeight, int32_t inFormat, int32_t outWidth, int32_t outHeight, int32_t outFormat)
    {
        if (context && inWidth == width && inHeight == height && inFormat == format)
            return true;
        context.reset(sws_getContext(inWidth, inHeight, static_cast<AVPixelFormat>(inFormat), outWidth, outHeight,
                                     static_cast<AVPixelFormat>(outFormat), SWS_BICUBIC, nullptr, nullptr, nullptr));
        width = inWidth;
        height = inHeight;
        format = inFormat;
        return context != nullptr;
    }
};

bool CRawVideoReadWorker::WaitForDevice()
{
    while (!m_deviceReady.load()) {
        if (ExitRequested(kIdlePauseMs))
            return false;
    }
    return true;
}

uint32_t CRawVideoReadWorker::DecodeThread()
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const int32_t tid = GetCurrentThreadIdInt();
    if (!WaitForDevice()) {
        TYX_LOG(6, L"Decoding thread[TID=%d] received exit signal, exiting...", tid);
        return 0;
    }
    const std::shared_ptr<AVCodecContext> decoder = DecoderContext();
    if (!decoder) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d] The Codec context must initialized first! Exiting...", wid);
        return 0;
    }
    if (!m_needsDecoding) {
        TYX_LOG(5, L"RawVideoReadWorker[WID=%d] Need-Decoding-Flag was set false. Exiting...", wid);
        return 0;
    }
    m_inputPixelFormat = decoder->pix_fmt;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    if (!frame || !packet) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d]AV frame allocing Failed!  Exiting...", wid);
        return 0;
    }
    uint32_t pause = 0;
    for (;;) {
        if (ExitRequested(pause)) {
            TYX_LOG(6, L"Decoding thread[TID=%d] received exit signal, exiting...", tid);
            break;
        }
        FramePackage package;
        m_decodeBusy = true;
        if (!m_decodeQueue.Pop(package)) {
            m_decodeBusy = false;
            pause = kIdlePauseMs;
            continue;
        }
        if (package.nLength <= 0 || !package.pData) {
            TYX_LOG(3, L"RawVideoReadWorker[WID=%d]Warning: The new popped frame pkt has invalid length [%d] or NULL data pointer! discard it.",
                    wid, package.nLength);
            FreeFramePackage(package);
            m_decodeBusy = false;
            pause = kBadPackagePauseMs;
            continue;
        }
        // A full post-processing queue drops the decoded picture, never the coded packet: the
        // decoder keeps every reference it needs.
        pause = 0;
        SendPacketToDecoder(*decoder, package, *packet, *frame);
        m_decodeBusy = false;
    }
    return 0;
}

void CRawVideoReadWorker::SendPacketToDecoder(AVCodecContext &decoder, FramePackage &package, AVPacket &packet, AVFrame &frame)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const uint32_t started = NowTickMs();
    av_packet_unref(&packet);
    if (av_new_packet(&packet, package.nLength) < 0) {
        FreeFramePackage(package);
        return;
    }
    std::memcpy(packet.data, package.pData, static_cast<size_t>(package.nLength));
    packet.stream_index = 0;
    packet.flags = package.flags;
    packet.pos = -1;
    packet.pts = package.pts;
    packet.dts = package.dts;
    packet.duration = package.duration;
    FreeFramePackage(package);
    int result = avcodec_send_packet(&decoder, &packet);
    if (result < 0)
        TYX_LOG(3, L"[RawVideoReadWorker]avcodec_send_packet() failed with error(%d)!", result);
    for (;;) {
        result = avcodec_receive_frame(&decoder, &frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return;
        if (result < 0) {
            TYX_LOG(3, L"[RawVideoReadWorker][WID=%d] Unhandled Error(%d) during decoding!", wid, result);
            return;
        }
        m_decodeMs += static_cast<uint32_t>(NowTickMs() - started);
        if (++m_decodedFrames % m_speedLogFrames == 0)
            TYX_LOG(5, L"[RawVideoReadWorker]Current video decoding speed is(%2.2f ms/frame) with %lld ms used for %d frames.",
                    double(m_decodeMs) / m_decodedFrames, static_cast<long long>(m_decodeMs), static_cast<int32_t>(m_decodedFrames));
        QueueDecodedFrame(frame);
        av_frame_unref(&frame);
    }
}

void CRawVideoReadWorker::QueueDecodedFrame(const AVFrame &frame)
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    // The geometry comes from each picture, so a camera that changes its mode goes on.
    const int32_t bytes = ImageBytes(frame.format, frame.width, frame.height);
    if (bytes <= 0)
        return;
    if (m_postQueue.Size() >= TYX_RVR_POST_QUEUE_LIMIT) {
        TYX_LOG(6, L"RawVideoReadWorker[WID=%d]Warning: Input of Post-proc thread blocking, discard the new paket [%lld].", wid,
                static_cast<long long>(frame.pts));
        return;
    }
    FramePackage package;
    package.inDevice = 0;
    if (AllocFramePackageData(package, bytes) < 0)
        return;
    av_image_copy_to_buffer(package.pData, bytes, frame.data, frame.linesize, static_cast<AVPixelFormat>(frame.format),
                            frame.width, frame.height, 1);
    package.mediaType = TYX_MEDIA_VIDEO;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    package.format = frame.format;
    package.width = static_cast<uint16_t>(frame.width);
    package.height = static_cast<uint16_t>(frame.height);
    package.pts = frame.pts != AV_NOPTS_VALUE ? frame.pts : frame.best_effort_timestamp;
    package.dts = frame.pkt_dts;
    package.duration = FrameDuration(frame);
    package.flags = IsKeyFrame(frame) ? TYX_PKT_FLAG_KEY : 0;
    package.u32Param = static_cast<uint32_t>(frame.pict_type);
    m_inputPixelFormat = frame.format;
    {
        CCsLock guard(m_postQueue.lock);
        if (m_postQueue.packages.size() < TYX_RVR_POST_QUEUE_LIMIT) {
            m_postQueue.packages.push_back(package);
            package.pData = nullptr;
        }
    }
    if (package.pData)
        FreeFramePackage(package);
    else
        TYX_LOG(7, L"RawVideoReadWorker[WID=%d] Packet(Timestamp=%lld) sent to Post-proc!", wid, static_cast<long long>(frame.pts));
}

bool CRawVideoReadWorker::HasSomewhereToSend()
{
    {
        CReadLockGuard guard(m_consumerLinks.Lock());
        for (const auto &[stream, consumers] : m_consumerLinks.Items()) {
            if (!consumers.empty())
                return true;
        }
    }
    // A display or a frame pipe alone is reason enough.
    const auto pipe = GetRvtpServer(0);
    const auto display = GetRvdoServer(0);
    return (pipe && pipe->IsThreadRunning()) || (display && display->IsThreadRunning());
}

void CRawVideoReadWorker::StartDirectOutputs()
{
    if (m_outputWidth <= 0 || m_outputHeight <= 0)
        return;
    // The frame pipe ("RVTP_<worker name>") runs when the worker's pipe option is set.
    if (IsRvtpServerOptionOn(0)) {
        // The pipe is named after the worker, so that a client finds it by the source's name.
        SetPipeOutputName(m_name, 0);
        StartRvtpServer(m_outputWidth, m_outputHeight, 0);
    }
    if (m_stream.DirectOutputSettings.DirectOutput)
        StartRvdoServer(m_outputWidth, m_outputHeight, 0);
}

void CRawVideoReadWorker::StopDirectOutputs()
{
    if (GetRvtpServer(0))
        StopRvtpServer(true, 0);
    if (m_stream.DirectOutputSettings.DirectOutput && GetRvdoServer(0))
        StopRvdoServer(true, 0);
}

uint32_t CRawVideoReadWorker::PostProcThread()
{
    const int32_t wid = static_cast<int32_t>(m_workerId);
    const int32_t tid = GetCurrentThreadIdInt();
    const int32_t device = m_initValue >= 0 ? m_initValue : 0;
    const GpuError contextError = DevPushContext(device);
    if (contextError != GPU_SUCCESS) {
        TYX_LOG(2, L"PostProcThread[WID=%d]Cuda context setting failed with error=%d! Exiting...", wid, contextError);
        return TYX_RVR_POST_NO_CONTEXT;
    }
    struct stContextPop
    {
        ~stContextPop() { DevPopContext(); }
    } popContext;
    TYX_LOG(6, L"[RawVideoReadWorker]Post-Process thread[TID=%d] started.", tid);
    if (!HasSomewhereToSend())
        TYX_LOG(3, L"[RawVideoReadWorker][Postproc]]Warning: There no consumer while thread started!!");
    if (!WaitForDevice()) {
        TYX_LOG(6, L"RawVideoReadWorker[WID=%d]PostProc Thread[%d] Received exit signal, exiting...", wid, tid);
        return 0;
    }
    if (m_outputPixelFormat < 0 || m_outputWidth <= 0 || m_outputHeight <= 0) {
        TYX_LOG(3, L"[RawVideoReadWorker][Postproc]]Error: Thread exiting for Output format not set!!");
        return TYX_RVR_POST_NO_FORMAT;
    }
    if (RawVideoOutputFrameSize(m_outputPixelFormat, m_outputWidth, m_outputHeight) <= 0) {
        TYX_LOG(3, L"RawVideoReadWorker[WID=%d]Unsupport output pixel format %d! Exiting...", wid, m_outputPixelFormat);
        return TYX_RVR_POST_BAD_FORMAT;
    }
    TYX_LOG(6, L"PostProcThread[WID=%d]Codec context ininialized...", wid);
    stPictureConverter converter;
    bool paused = m_pushingStopped.load() != 0;
    StartDirectOutputs();
    for (;;) {
        const int32_t signalled = WaitForAnyEvent({m_exitEvent.get(), m_startPushEvent.get(), m_stopPushEvent.get()}, 0);
        if (signalled == TYX_WAIT_OBJECT_0) {
            TYX_LOG(6, L"RawVideoReadWorker[WID=%d]PostProc Thread[%d] Received exit signal, exiting...", wid, tid);
            StopDirectOutputs();
            TYX_LOG(6, L"RVReader[WID=%d]Post-Process thread is exiting...", wid);
            return 0;
        }
        if (signalled == TYX_WAIT_OBJECT_0 + 1) {
            TYX_LOG(6, L"RawVideoReadWorker[WID=%d]PostProc Thread Recieved data pushing signal.", wid);
            paused = false;
            m_pushingStopped = 0;
        } else if (signalled == TYX_WAIT_OBJECT_0 + 2) {
            paused = true;
            m_pushingStopped = 1;
            continue;
        }
        FramePackage input;
        m_postBusy = true;
        if (!m_postQueue.Pop(input)) {
            m_postBusy = false;
            ExitRequested(kIdlePauseMs);
            continue;
        }
        HandlePopped(input, paused, converter);
        m_postBusy = false;
    }
}

void CRawVideoReadWorker::HandlePopped(FramePackage &input, bool paused, stPictureConverter &converter)
{
    const bool somewhere = HasSomewhereToSend();
    if (!somewhere)
        TYX_LOG(7, L"[RawVideoReadWorker][Postproc]]Decoded Paket (size=%d) discard for no consumer!", input.nLength);
    if (!somewhere || paused) {
        FreeFramePackage(input);
        return;
    }
    if (input.nLength <= 0 || !input.pData) {
        TYX_LOG(3, L"[RawVideoReadWorker][Postproc]]Paket with Invalid size(%d) or NULL pointer recieved!", input.nLength);
        FreeFramePackage(input);
        return;
    }
    HandlePicture(input, converter);
}

FramePackage CRawVideoReadWorker::MakeOutputPicture(FramePackage &input, stPictureConverter &converter, bool &timed)
{
    const int32_t tid = GetCurrentThreadIdInt();
    const int32_t outSize = RawVideoOutputFrameSize(m_outputPixelFormat, m_outputWidth, m_outputHeight);
    const int32_t inSize = ImageBytes(input.format, input.width, input.height);
    FramePackage output = input;
    output.pData = nullptr;
    converter.target.resize(static_cast<size_t>(outSize));
    // A picture is copied as it is only when it is exactly one output picture; anything else goes
    // through the converter, which reads no more than the picture's own size.
    const bool asIs = input.format == m_outputPixelFormat && input.width == m_outputWidth &&
                      input.height == m_outputHeight && input.nLength == outSize;
    if (asIs) {
        std::memcpy(converter.target.data(), input.pData, static_cast<size_t>(outSize));
    } else {
        timed = true;
        if (inSize <= 0 || input.nLength < inSize ||
            !converter.Prepare(input.width, input.height, input.format, m_outputWidth, m_outputHeight, m_outputPixelFormat)) {
            TYX_LOG(3, L"[RawVideoReadWorker]Image convert context not initialized for raw frame format(%d) processing!",
                    input.format);
            FreeFramePackage(input);
            return FramePackage{};
        }
        uint8_t *src[4];
        int srcLines[4];
        uint8_t *dst[4];
        int dstLines[4];
        av_image_fill_arrays(src, srcLines, input.pData, static_cast<AVPixelFormat>(input.format), input.width, input.height, 1);
        av_image_fill_arrays(dst, dstLines, converter.target.data(), static_cast<AVPixelFormat>(m_outputPixelFormat),
                             m_outputWidth, m_outputHeight, 1);
        const int rows = sws_scale(converter.context.get(), src, srcLines, 0, input.height, dst, dstLines);
        if (rows <= 0) {
            TYX_LOG(3, L"[RawVideoReadWorker]Image raw frame format(%d->%d) converting failed(%d)!", input.format,
                    m_outputPixelFormat, rows);
            FreeFramePackage(input);
            return FramePackage{};
        }
    }
    FreeFramePackage(input);
    output.mediaType = TYX_MEDIA_VIDEO;
    output.kind = TYX_PKT_KIND_RAW_VIDEO;
    output.format = m_outputPixelFormat;
    output.width = static_cast<uint16_t>(m_outputWidth);
    output.height = static_cast<uint16_t>(m_outputHeight);
    output.pitch = 0;
    output.inDevice = 1;
    output.nLength = 0;
    const int32_t allocated = AllocFramePackageData(output, outSize);
    if (allocated < 0) {
        TYX_LOG(2, L"[Thread:%d] GPU memory[size=%d] allocing failed with error(%d) returned!", tid, outSize, allocated);
        HandleGPUCriticalError(allocated, L"RawVideoReadWorker: picture upload");
        return FramePackage{};
    }
    const GpuError copied = DevMemcpy(output.pData, converter.target.data(), static_cast<size_t>(outSize), EGpuCopyKind::HostToDevice);
    if (copied != GPU_SUCCESS) {
        TYX_LOG(3, L"[Thread:%d] GPU memory coping failed with error(%d) returned!..With [srcPtr=%lld,dstPtr=%lld, len=%d]", tid,
                copied, static_cast<long long>(reinterpret_cast<intptr_t>(converter.target.data())),
                static_cast<long long>(reinterpret_cast<intptr_t>(output.pData)), outSize);
        FreeFramePackage(output);
        HandleGPUCriticalError(copied, L"RawVideoReadWorker: picture upload");
        return FramePackage{};
    }
    return output;
}

void CRawVideoReadWorker::HandlePicture(FramePackage &input, stPictureConverter &converter)
{
    const uint32_t started = NowTickMs();
    bool timed = false;
    FramePackage output = MakeOutputPicture(input, converter, timed);
    if (!output.pData || output.nLength < 1 || output.width * output.height < 1) {
        TYX_LOG(3, L"Error:RawVideoReadWorker::PostProcThread Size of output-pkt is Invalid!(nWidth=%d, nHeight=%d, nDatalen=%d).",
                static_cast<int32_t>(output.width), static_cast<int32_t>(output.height), output.nLength);
        FreeFramePackage(output);
        return;
    }
    DrawOverlaysOnFrame(output, TYX_OVERLAY_OUTPUT, 0);
    PushFrameToDirectOutputs(output, 0);
    if (timed) {
        m_postMs += static_cast<uint32_t>(NowTickMs() - started);
        if (++m_postFrames % m_speedLogFrames == 0)
            TYX_LOG(5, L"[RawVideoReadWorker]Total frame post processing speed is(%2.2f ms/frame) with %lld ms used for %d frames.",
                    double(m_postMs) / m_postFrames, static_cast<long long>(m_postMs), static_cast<int32_t>(m_postFrames));
    }
    bool handedOver = false;
    SendPaket2Consumers(handedOver, output, true, true, 0);
    if (!handedOver)
        FreeFramePackage(output);
}
