#include "codec/DecodeTestSupport.h"

#include "core/FfmpegHandles.h"
#include "core/I420Layout.h"
#include "platform/GpuDevice.h"
#include "platform/TickCount.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

// The encoders' statistics would bury the test output.
const int kQuietLibraries = (av_log_set_level(AV_LOG_ERROR), 0);

void FillPattern(AVFrame &frame, int index, int seed)
{
    for (int y = 0; y < frame.height; ++y) {
        uint8_t *row = frame.data[0] + y * frame.linesize[0];
        for (int x = 0; x < frame.width; ++x)
            row[x] = static_cast<uint8_t>((x + 2 * y + 3 * index + 37 * seed) ^ ((x / 16 + y / 16 + index) & 1 ? 0x40 : 0));
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < frame.height / 2; ++y) {
            uint8_t *row = frame.data[plane] + y * frame.linesize[plane];
            for (int x = 0; x < frame.width / 2; ++x)
                row[x] = static_cast<uint8_t>(128 + ((x * plane + y + 5 * index + 11 * seed) & 63) - 32);
        }
    }
}

void SetEncoderOptions(AVCodecContext &context, const stTestStreamSpec &spec)
{
    const std::string gop = std::to_string(spec.gop);
    if (spec.encoder == "libx264") {
        av_opt_set(context.priv_data, "preset", spec.bFrames > 0 ? "superfast" : "ultrafast", 0);
        const std::string params = "keyint=" + gop + ":min-keyint=" + gop + ":scenecut=0:bframes=" +
                                   std::to_string(spec.bFrames) + ":threads=1";
        av_opt_set(context.priv_data, "x264-params", params.c_str(), 0);
    } else if (spec.encoder == "libx265") {
        av_opt_set(context.priv_data, "preset", "ultrafast", 0);
        const std::string params = "log-level=error:keyint=" + gop + ":min-keyint=" + gop + ":scenecut=0:bframes=" +
                                   std::to_string(spec.bFrames) + ":frame-threads=1:pools=none";
        av_opt_set(context.priv_data, "x265-params", params.c_str(), 0);
    }
}

void CollectPackets(AVCodecContext &context, AVPacket &packet, const stTestStreamSpec &spec, stCodedStream &out)
{
    const int64_t interval = 1000000 / spec.fps;
    while (avcodec_receive_packet(&context, &packet) == 0) {
        stCodedPacket coded;
        coded.data.assign(packet.data, packet.data + packet.size);
        coded.pts = spec.firstPts + packet.pts * interval;
        coded.dts = spec.firstPts + packet.dts * interval;
        coded.key = (packet.flags & AV_PKT_FLAG_KEY) != 0;
        out.packets.push_back(std::move(coded));
        av_packet_unref(&packet);
    }
}

void CopyPacked(const AVFrame &frame, stPicture &picture)
{
    const auto format = static_cast<AVPixelFormat>(frame.format);
    const int size = av_image_get_buffer_size(format, frame.width, frame.height, 1);
    picture.bytes.resize(static_cast<size_t>(size));
    av_image_copy_to_buffer(picture.bytes.data(), size, frame.data, frame.linesize, format, frame.width, frame.height,
                            1);
}

} // namespace

bool EncodeTestStream(const stTestStreamSpec &spec, stCodedStream &out)
{
    (void)kQuietLibraries;
    const AVCodec *codec = avcodec_find_encoder_by_name(spec.encoder.c_str());
    if (!codec)
        return false;
    AvCodecPtr context(avcodec_alloc_context3(codec));
    context->width = spec.width;
    context->height = spec.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, spec.fps};
    context->framerate = {spec.fps, 1};
    context->gop_size = spec.gop;
    context->max_b_frames = spec.bFrames;
    if (spec.globalHeader)
        context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    SetEncoderOptions(*context, spec);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return false;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = spec.width;
    frame->height = spec.height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return false;
    for (int i = 0; i < spec.frames; ++i) {
        if (av_frame_make_writable(frame.get()) < 0)
            return false;
        FillPattern(*frame, i, spec.seed);
        frame->pts = i;
        if (avcodec_send_frame(context.get(), frame.get()) < 0)
            return false;
        CollectPackets(*context, *packet, spec, out);
    }
    avcodec_send_frame(context.get(), nullptr);
    CollectPackets(*context, *packet, spec, out);

    stStreamParams &params = out.params;
    params.mediaType = 0;
    params.codecId = codec->id;
    params.width = static_cast<uint16_t>(spec.width);
    params.height = static_cast<uint16_t>(spec.height);
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    params.frameRate = static_cast<float>(spec.fps);
    params.timeBase = {1, 1000000};
    params.streamId = 0;
    params.SetExtradata(context->extradata, context->extradata_size);
    AVCodecParameters *parameters = avcodec_parameters_alloc();
    avcodec_parameters_from_context(parameters, context.get());
    params.SetCodecParameters(parameters);
    avcodec_parameters_free(&parameters);
    return !out.packets.empty();
}

std::vector<stPicture> ReferenceDecode(const std::vector<stCodedPacket> &packets, const stStreamParams &params,
                                       int outWidth, int outHeight)
{
    std::vector<stPicture> pictures;
    const AVCodec *codec = avcodec_find_decoder(static_cast<AVCodecID>(params.codecId));
    AvCodecPtr context(avcodec_alloc_context3(codec));
    if (params.codecParameters)
        avcodec_parameters_to_context(context.get(), params.codecParameters);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return pictures;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    auto receive = [&] {
        while (avcodec_receive_frame(context.get(), frame.get()) == 0) {
            stPicture picture;
            picture.pts = frame->pts;
            const int width = outWidth > 0 ? outWidth : frame->width;
            const int height = outHeight > 0 ? outHeight : frame->height;
            picture.width = width;
            picture.height = height;
            if (width != frame->width || height != frame->height || frame->format != AV_PIX_FMT_YUV420P) {
                SwsPtr scaler(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                             width, height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr));
                AvFramePtr scaled(av_frame_alloc());
                scaled->format = AV_PIX_FMT_YUV420P;
                scaled->width = width;
                scaled->height = height;
                av_frame_get_buffer(scaled.get(), 1);
                sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, scaled->data, scaled->linesize);
                CopyPacked(*scaled, picture);
            } else {
                CopyPacked(*frame, picture);
            }
            pictures.push_back(std::move(picture));
            av_frame_unref(frame.get());
        }
    };
    for (const stCodedPacket &coded : packets) {
        av_new_packet(packet.get(), static_cast<int>(coded.data.size()));
        std::memcpy(packet->data, coded.data.data(), coded.data.size());
        packet->pts = coded.pts;
        packet->dts = coded.dts;
        packet->flags = coded.key ? AV_PKT_FLAG_KEY : 0;
        avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        receive();
    }
    avcodec_send_packet(context.get(), nullptr);
    receive();
    return pictures;
}

FramePackage MakeCodedPackage(const stCodedPacket &packet)
{
    FramePackage package;
    package.kind = TYX_PKT_KIND_CODED_VIDEO;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.pts = packet.pts;
    package.dts = packet.dts;
    package.flags = packet.key ? TYX_PKT_FLAG_KEY : 0;
    package.streamIndex = 0;
    const auto length = static_cast<int32_t>(packet.data.size());
    if (length > 0 && AllocFramePackageData(package, length) == length)
        std::memcpy(package.pData, packet.data.data(), packet.data.size());
    return package;
}

FramePackage MakeStatusPackage(int32_t code, int64_t pts)
{
    FramePackage package;
    package.nLength = code;
    package.pts = pts;
    package.streamIndex = 0;
    package.mediaType = 0;
    package.format = 0;
    return package;
}

stPicture ReadPicture(const FramePackage &frame)
{
    stPicture picture;
    picture.pts = frame.pts;
    picture.width = frame.width;
    picture.height = frame.height;
    if (!frame.pData || frame.nLength <= 0)
        return picture;
    picture.bytes.resize(static_cast<size_t>(frame.nLength));
    if (frame.inDevice)
        DevMemcpy(picture.bytes.data(), frame.pData, picture.bytes.size(), EGpuCopyKind::DeviceToHost);
    else
        std::memcpy(picture.bytes.data(), frame.pData, picture.bytes.size());
    return picture;
}

bool SaveI420AsPng(const std::string &name, const stPicture &picture)
{
    if (picture.bytes.size() < static_cast<size_t>(I420Size(picture.width, picture.height)))
        return false;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    AvCodecPtr context(avcodec_alloc_context3(codec));
    context->width = picture.width;
    context->height = picture.height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = {1, 25};
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return false;
    AvFramePtr rgb(av_frame_alloc());
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = picture.width;
    rgb->height = picture.height;
    av_frame_get_buffer(rgb.get(), 0);
    uint8_t *planes[4] = {};
    int lines[4] = {};
    av_image_fill_arrays(planes, lines, picture.bytes.data(), AV_PIX_FMT_YUV420P, picture.width, picture.height, 1);
    SwsPtr scaler(sws_getContext(picture.width, picture.height, AV_PIX_FMT_YUV420P, picture.width, picture.height,
                                 AV_PIX_FMT_RGB24, SWS_POINT, nullptr, nullptr, nullptr));
    sws_scale(scaler.get(), planes, lines, 0, picture.height, rgb->data, rgb->linesize);
    AvPacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(context.get(), rgb.get()) < 0 || avcodec_receive_packet(context.get(), packet.get()) < 0)
        return false;
    std::filesystem::create_directories("artifacts");
    FILE *file = std::fopen(("artifacts/" + name + ".png").c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file) ==
                         static_cast<size_t>(packet->size);
    std::fclose(file);
    return written;
}

bool PollUntil(const std::function<bool()> &condition, uint32_t timeoutMs)
{
    const uint64_t deadline = GetTickCount64Ms() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64Ms() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

uint32_t CTestTicks::Now() const
{
    return GetTickCount32() + m_offset.load();
}

// ---- harness ----

CDecodeHarness::CDecodeHarness(Factory factory, bool withConsumer)
{
    m_input.CreateQueue();
    m_input.producerId = kSourceStream & ~0xFFu;
    m_input.consumerId = kWorkerId;
    m_input.paketKind = TYX_PKT_KIND_CODED_VIDEO;
    m_inputs[kSourceStream] = m_input;
    m_output.CreateQueue();
    m_output.producerId = kWorkerId;
    m_output.consumerId = kConsumerId;
    m_output.paketKind = TYX_PKT_KIND_RAW_VIDEO;
    m_consumers[kWorkerId + 1][kConsumerId] = m_output;
    m_worker = factory(kWorkerId, &m_inputs, withConsumer ? &m_consumers : nullptr);
    m_config.Name = L"VdcdTest";
    m_config.WorkerId = static_cast<int32_t>(kWorkerId);
    m_config.VideoSource = static_cast<int32_t>(kSourceStream);
    m_config.OutputFramerate = 0.0f;
}

CDecodeHarness::~CDecodeHarness()
{
    Stop();
    std::vector<FramePackage> left = Take();
    FreePackages(left);
    CCsLock lock(*m_input.queueLock);
    for (FramePackage &package : *m_input.queue)
        FreeFramePackage(package);
    m_input.queue->clear();
}

bool CDecodeHarness::Configure(const stStreamParams &input)
{
    m_config.BuildIOItems();
    if (m_worker->CopyInConfiguration(&m_config) != 0)
        return false;
    m_worker->SetInputParameters(input, static_cast<uint32_t>(-1));
    return m_worker->Initialize(1, 0) == 0;
}

bool CDecodeHarness::Start()
{
    if (m_worker->StartWorkingThread(0, 0) <= 0 || m_worker->ResumeWorkingThread() != 0)
        return false;
    m_started = true;
    return true;
}

void CDecodeHarness::Stop()
{
    if (!m_started)
        return;
    m_worker->WaitThreadExit(10000);
    m_worker->unInitialize();
    m_started = false;
}

void CDecodeHarness::Feed(const FramePackage &package)
{
    CCsLock lock(*m_input.queueLock);
    FramePackage queued = package;
    queued.queuedTime = GetCurrentTimeUs();
    m_input.queue->push_back(queued);
}

size_t CDecodeHarness::InputQueued()
{
    CCsLock lock(*m_input.queueLock);
    return m_input.queue->size();
}

std::vector<FramePackage> CDecodeHarness::Take()
{
    std::vector<FramePackage> taken;
    CCsLock lock(*m_output.queueLock);
    taken.assign(m_output.queue->begin(), m_output.queue->end());
    m_output.queue->clear();
    return taken;
}

std::vector<FramePackage> CDecodeHarness::TakeAtLeast(size_t count, uint32_t timeoutMs)
{
    std::vector<FramePackage> collected;
    PollUntil(
        [&] {
            for (const FramePackage &package : Take())
                collected.push_back(package);
            return collected.size() >= count;
        },
        timeoutMs);
    return collected;
}

void CDecodeHarness::UseTicks(CTestTicks &ticks)
{
    m_worker->SetClockSources(GetCurrentTimeUs, [&ticks] { return ticks.Now(); });
}

void FreePackages(std::vector<FramePackage> &packages)
{
    for (FramePackage &package : packages)
        FreeFramePackage(package);
    packages.clear();
}
