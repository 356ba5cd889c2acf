#include "EncodeTestSupport.h"

#include "core/FfmpegHandles.h"
#include "platform/GpuDevice.h"

extern "C" {
#include <libavutil/imgutils.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

std::vector<uint8_t> MakePattern(int32_t width, int32_t height, int32_t n)
{
    const size_t luma = static_cast<size_t>(width) * height;
    std::vector<uint8_t> picture(luma * 3 / 2);
    const int32_t side = std::max(8, height / 4);
    const int32_t left = (n * 8) % std::max(1, width - side);
    const int32_t top = height / 3;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const bool square = x >= left && x < left + side && y >= top && y < top + side;
            picture[static_cast<size_t>(y) * width + x] =
                square ? 235 : static_cast<uint8_t>(32 + (x * 128) / width + (y * 48) / height);
        }
    }
    const int32_t cw = width / 2;
    const int32_t ch = height / 2;
    uint8_t *u = picture.data() + luma;
    uint8_t *v = u + luma / 4;
    for (int32_t y = 0; y < ch; ++y) {
        for (int32_t x = 0; x < cw; ++x) {
            u[y * cw + x] = static_cast<uint8_t>(96 + (x * 64) / cw);
            v[y * cw + x] = static_cast<uint8_t>(160 - (y * 64) / ch);
        }
    }
    return picture;
}

FramePackage MakePatternPackage(int32_t width, int32_t height, int32_t n, int64_t duration, bool inDevice)
{
    const std::vector<uint8_t> picture = MakePattern(width, height, n);
    FramePackage package;
    package.inDevice = inDevice ? 1 : 0;
    const auto length = static_cast<int32_t>(picture.size());
    EXPECT_EQ(AllocFramePackageData(package, length), length);
    EXPECT_EQ(DevMemcpy(package.pData, picture.data(), picture.size(),
                        inDevice ? EGpuCopyKind::HostToDevice : EGpuCopyKind::HostToHost),
              GPU_SUCCESS);
    package.width = static_cast<uint16_t>(width);
    package.height = static_cast<uint16_t>(height);
    package.pts = 1000000000 + n * duration;
    package.duration = duration;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    return package;
}

FramePackage MakeStampedPattern(int32_t width, int32_t height, int32_t n, int64_t pts, int64_t duration)
{
    FramePackage package = MakePatternPackage(width, height, n, duration);
    package.pts = pts;
    return package;
}

int32_t ShownPattern(const std::vector<uint8_t> &picture, int32_t width, int32_t height, int32_t first, int32_t last)
{
    int32_t closest = first;
    double best = -1.0;
    for (int32_t n = first; n <= last; ++n) {
        const double psnr = PsnrI420(picture, MakePattern(width, height, n), width, height);
        if (psnr > best) {
            best = psnr;
            closest = n;
        }
    }
    return closest;
}

::testing::AssertionResult DecodeStampsHold(const std::vector<FramePackage> &sent)
{
    for (size_t i = 0; i < sent.size(); ++i) {
        if (sent[i].dts > sent[i].pts)
            return ::testing::AssertionFailure() << "packet " << i << " decodes " << sent[i].dts - sent[i].pts
                                                 << " us after its display";
        if (i > 0 && sent[i].dts <= sent[i - 1].dts)
            return ::testing::AssertionFailure() << "packet " << i << " decodes at " << sent[i].dts
                                                 << ", not after the one before it (" << sent[i - 1].dts << ")";
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult EveryPictureOnce(const std::vector<FramePackage> &packets, const std::set<int64_t> &stamps)
{
    std::set<int64_t> seen;
    for (const FramePackage &packet : packets) {
        if (stamps.count(packet.pts) == 0)
            return ::testing::AssertionFailure() << "a packet of pts " << packet.pts << " is no picture's";
        if (!seen.insert(packet.pts).second)
            return ::testing::AssertionFailure() << "the picture of pts " << packet.pts << " came out twice";
    }
    if (seen.size() != stamps.size())
        return ::testing::AssertionFailure() << seen.size() << " of " << stamps.size() << " pictures came out, the last at "
                                             << (seen.empty() ? 0 : *seen.rbegin() - *stamps.begin()) << " us";
    return ::testing::AssertionSuccess();
}

int64_t LongestDecodeDelay(const std::vector<FramePackage> &sent, size_t from, size_t to)
{
    int64_t longest = 0;
    for (size_t i = from; i < to && i < sent.size(); ++i)
        longest = std::max(longest, sent[i].pts - sent[i].dts);
    return longest;
}

stStalledFeed stStalledFeed::Around(int32_t stallAfter, std::function<FramePackage(int32_t)> refused)
{
    stStalledFeed feed;
    feed.stallAfter = stallAfter;
    feed.missing = 15;
    feed.count = feed.Resumed() + 150;
    feed.failing = {feed.Resumed() + 10, feed.Resumed() + 15, feed.Resumed() + 20};
    feed.refused = std::move(refused);
    return feed;
}

void stStalledFeed::Fill(std::deque<FramePackage> &feed, int32_t width, int32_t height)
{
    constexpr int64_t kFrameUs = 40000;
    int32_t shown = 0; // the picture goes on where it stopped: a jump would start a new group
    for (int32_t n = 0; n < count; ++n) {
        if (n > stallAfter && n < Resumed())
            continue;
        FramePackage picture = failing.count(n) != 0 ? refused(shown) : MakePatternPackage(width, height, shown, kFrameUs);
        picture.pts = 1000000000 + n * kFrameUs;
        if (failing.count(n) == 0)
            stamps.insert(picture.pts);
        feed.push_back(picture);
        ++shown;
    }
}

bool CheckStampsAcrossStall(const std::vector<FramePackage> &sent, const stStalledFeed &feed, int32_t reorderDepth,
                            int64_t frameUs)
{
    EXPECT_TRUE(DecodeStampsHold(sent)) << "stall after picture " << feed.stallAfter;
    std::set<int64_t> seen;
    for (const FramePackage &packet : sent) {
        EXPECT_EQ(feed.stamps.count(packet.pts), 1u) << packet.pts << " is no picture's stamp";
        EXPECT_TRUE(seen.insert(packet.pts).second) << packet.pts << " twice";
    }
    if (sent.empty() || feed.stamps.empty())
        return false;
    const int64_t first = *feed.stamps.begin();
    const int64_t stallEnd = first + feed.Resumed() * frameUs;
    const int64_t failuresEnd = first + (feed.failing.empty() ? 0 : *feed.failing.rbegin()) * frameUs;
    size_t beforeStall = sent.size();
    size_t afterFailures = sent.size();
    bool spanned = false;
    for (size_t i = 0; i < sent.size(); ++i) {
        if (beforeStall == sent.size() && sent[i].pts >= stallEnd)
            beforeStall = i;
        if (afterFailures == sent.size() && sent[i].dts > std::max(stallEnd, failuresEnd) + 4 * frameUs)
            afterFailures = i;
        for (size_t j = i + 1; j < sent.size() && sent[i].pts >= stallEnd; ++j)
            spanned = spanned || sent[j].pts < stallEnd;
    }
    EXPECT_GT(beforeStall, 30u);
    EXPECT_LT(afterFailures + 30, sent.size());
    // A picture is decoded at most the reordering before the pictures it follows in the display,
    // and those at most the reordering before their own display.
    const int64_t longest = 2 * reorderDepth * frameUs;
    EXPECT_LE(LongestDecodeDelay(sent, 0, beforeStall), longest);
    EXPECT_LE(LongestDecodeDelay(sent, afterFailures, sent.size()), longest) << "stall after picture " << feed.stallAfter;
    return spanned;
}

void FillStatusSizedThenStreamPictures(std::deque<FramePackage> &feed, int32_t larger, int32_t count)
{
    constexpr int64_t kFrameUs = 40000;
    for (int32_t n = 0; n < count; ++n) {
        const int64_t pts = 1000000000 + n * kFrameUs;
        feed.push_back(n < larger ? MakeStampedPattern(2 * kStreamWidth, 2 * kStreamHeight, 2 * n, pts, kFrameUs)
                                  : MakeStampedPattern(kStreamWidth, kStreamHeight, n, pts, kFrameUs));
    }
}

void CheckStatusSizedPicturesEncoded(const stDecoded &decoded, int32_t larger, double psnrFloor)
{
    EXPECT_EQ(decoded.width, kStreamWidth);
    EXPECT_EQ(decoded.height, kStreamHeight);
    std::set<int32_t> largerShown;
    for (size_t i = 0; i < decoded.pictures.size(); ++i) {
        const auto n = static_cast<int32_t>((decoded.pts[i] - 1000000000) / 40000);
        if (n < larger)
            largerShown.insert(n);
        EXPECT_GT(PsnrI420(decoded.pictures[i], MakePattern(kStreamWidth, kStreamHeight, n), kStreamWidth,
                           kStreamHeight),
                  psnrFloor)
            << "picture " << n;
    }
    EXPECT_EQ(largerShown.size(), static_cast<size_t>(larger)) << "pictures of 1280x720 left out";
}

stVideoEncodeWorkerConfig MakeEncoderConfig(int32_t codecId, const std::wstring &codecName, uint16_t width,
                                            uint16_t height, float fps, uint16_t gop, int32_t kbits,
                                            const std::wstring &profile, const std::wstring &usage)
{
    stVideoEncodeWorkerConfig config;
    config.Name = L"VEncTest";
    config.WorkerId = static_cast<int32_t>(kEncoderId);
    config.VideoSource = static_cast<int32_t>(kSourceStream);
    config.VCodec = codecId;
    config.VCodecName = codecName;
    config.Width = width;
    config.Height = height;
    config.OutputFramerate = fps;
    config.GopLengh = gop;
    config.BitRate = kbits;
    config.Profile = profile;
    config.Usage = usage;
    config.BuildIOItems();
    return config;
}

stStreamParams MakeInputParams(uint16_t width, uint16_t height, float fps)
{
    stStreamParams params;
    params.mediaType = TYX_MEDIA_VIDEO;
    params.width = width;
    params.height = height;
    params.pixelFormat = AV_PIX_FMT_YUV420P;
    params.frameRate = fps;
    params.bitDepth = 8;
    return params;
}

stEncoderLinks::stEncoderLinks()
{
    input.CreateQueue();
    input.producerId = kSourceStream & ~0xFFu;
    input.consumerId = kEncoderId;
    input.paketKind = TYX_PKT_KIND_RAW_VIDEO;
    inputs[kSourceStream] = input;
    consumer.CreateQueue();
    consumer.producerId = kEncoderId;
    consumer.consumerId = kWriterId;
    consumer.paketKind = TYX_PKT_KIND_CODED_VIDEO;
    consumers[kEncoderOutput][kWriterId] = consumer;
}

std::vector<FramePackage> stEncoderLinks::TakeSent()
{
    CCsLock lock(*consumer.queueLock);
    std::vector<FramePackage> sent(consumer.queue->begin(), consumer.queue->end());
    consumer.queue->clear();
    return sent;
}

namespace {

void ReceiveFrames(AVCodecContext &context, AVFrame &frame, stDecoded &decoded)
{
    while (avcodec_receive_frame(&context, &frame) == 0) {
        decoded.width = frame.width;
        decoded.height = frame.height;
        decoded.profile = context.profile;
        std::vector<uint8_t> picture(static_cast<size_t>(frame.width) * frame.height * 3 / 2);
        uint8_t *planes[4] = {picture.data(), picture.data() + frame.width * frame.height,
                              picture.data() + frame.width * frame.height * 5 / 4, nullptr};
        int lines[4] = {frame.width, frame.width / 2, frame.width / 2, 0};
        av_image_copy(planes, lines, const_cast<const uint8_t **>(frame.data), frame.linesize,
                      static_cast<AVPixelFormat>(frame.format), frame.width, frame.height);
        decoded.pictures.push_back(std::move(picture));
        decoded.pts.push_back(frame.pts);
        av_frame_unref(&frame);
    }
}

} // namespace

bool DecodePackets(int32_t codecId, const std::vector<uint8_t> &extradata, const std::vector<FramePackage> &packets,
                   stDecoded &decoded)
{
    const AVCodec *codec = avcodec_find_decoder(static_cast<AVCodecID>(codecId));
    if (!codec)
        return false;
    AvCodecPtr context(avcodec_alloc_context3(codec));
    context->thread_count = 1;
    if (!extradata.empty()) {
        context->extradata = static_cast<uint8_t *>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(context->extradata, extradata.data(), extradata.size());
        context->extradata_size = static_cast<int>(extradata.size());
    }
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return false;
    AvFramePtr frame(av_frame_alloc());
    AvPacketPtr packet(av_packet_alloc());
    for (const FramePackage &package : packets) {
        if (av_new_packet(packet.get(), package.nLength) < 0)
            return false;
        std::memcpy(packet->data, package.pData, static_cast<size_t>(package.nLength));
        packet->pts = package.pts;
        packet->dts = package.dts;
        const int rc = avcodec_send_packet(context.get(), packet.get());
        av_packet_unref(packet.get());
        if (rc < 0)
            return false;
        ReceiveFrames(*context, *frame, decoded);
    }
    avcodec_send_packet(context.get(), nullptr);
    ReceiveFrames(*context, *frame, decoded);
    return true;
}

double PsnrI420(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int32_t width, int32_t height)
{
    const size_t count = std::min({a.size(), b.size(), static_cast<size_t>(width) * height * 3 / 2});
    if (count == 0)
        return 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double d = static_cast<double>(a[i]) - b[i];
        sum += d * d;
    }
    const double mse = sum / static_cast<double>(count);
    return mse <= 0.0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::string SaveI420AsPng(const std::string &name, const std::vector<uint8_t> &picture, int32_t width, int32_t height)
{
    const std::filesystem::path folder = std::filesystem::current_path() / "artifacts";
    std::filesystem::create_directories(folder);
    const std::string path = (folder / (name + ".png")).string();
    const AVCodec *png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!png)
        return {};
    AvCodecPtr context(avcodec_alloc_context3(png));
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_RGB24;
    context->time_base = AVRational{1, 25};
    if (avcodec_open2(context.get(), png, nullptr) < 0)
        return {};
    AvFramePtr rgb(av_frame_alloc());
    rgb->width = width;
    rgb->height = height;
    rgb->format = AV_PIX_FMT_RGB24;
    if (av_frame_get_buffer(rgb.get(), 0) < 0)
        return {};
    SwsPtr scaler(sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                                 nullptr, nullptr, nullptr));
    const uint8_t *planes[4] = {picture.data(), picture.data() + width * height,
                                picture.data() + width * height * 5 / 4, nullptr};
    const int lines[4] = {width, width / 2, width / 2, 0};
    sws_scale(scaler.get(), planes, lines, 0, height, rgb->data, rgb->linesize);
    AvPacketPtr packet(av_packet_alloc());
    if (avcodec_send_frame(context.get(), rgb.get()) < 0 || avcodec_receive_packet(context.get(), packet.get()) < 0)
        return {};
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(packet->data), packet->size);
    return path;
}

int WritePacketsToMp4(const std::string &path, int32_t codecId, int32_t width, int32_t height,
                      const std::vector<uint8_t> &extradata, const std::vector<FramePackage> &packets)
{
    AVFormatContext *raw = nullptr;
    int rc = avformat_alloc_output_context2(&raw, nullptr, "mp4", path.c_str());
    if (rc < 0)
        return rc;
    AvOutputPtr output(raw);
    AVStream *stream = avformat_new_stream(raw, nullptr);
    stream->time_base = AVRational{1, 90000};
    stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    stream->codecpar->codec_id = static_cast<AVCodecID>(codecId);
    stream->codecpar->width = width;
    stream->codecpar->height = height;
    if (!extradata.empty()) {
        stream->codecpar->extradata = static_cast<uint8_t *>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(stream->codecpar->extradata, extradata.data(), extradata.size());
        stream->codecpar->extradata_size = static_cast<int>(extradata.size());
    }
    if ((rc = avio_open(&raw->pb, path.c_str(), AVIO_FLAG_WRITE)) < 0)
        return rc;
    if ((rc = avformat_write_header(raw, nullptr)) < 0)
        return rc;
    const int64_t base = packets.empty() ? 0 : packets.front().dts;
    AvPacketPtr packet(av_packet_alloc());
    for (const FramePackage &package : packets) {
        if ((rc = av_new_packet(packet.get(), package.nLength)) < 0)
            return rc;
        std::memcpy(packet->data, package.pData, static_cast<size_t>(package.nLength));
        packet->pts = av_rescale_q(package.pts - base, AVRational{1, 1000000}, stream->time_base);
        packet->dts = av_rescale_q(package.dts - base, AVRational{1, 1000000}, stream->time_base);
        packet->duration = av_rescale_q(package.duration, AVRational{1, 1000000}, stream->time_base);
        packet->flags = (package.flags & TYX_PKT_FLAG_KEY) ? AV_PKT_FLAG_KEY : 0;
        packet->stream_index = 0;
        rc = av_interleaved_write_frame(raw, packet.get());
        av_packet_unref(packet.get());
        if (rc < 0)
            return rc;
    }
    return av_write_trailer(raw);
}
