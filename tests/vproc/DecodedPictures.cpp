#include "DecodedPictures.h"

#include "core/I420Layout.h"
#include "platform/GpuDevice.h"
#include "support/TestMedia.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cstring>

namespace {

stDecodedPicture PackFrame(const AVFrame &frame)
{
    stDecodedPicture picture;
    picture.width = frame.width;
    picture.height = frame.height;
    picture.i420.resize(static_cast<size_t>(I420Size(frame.width, frame.height)));
    uint8_t *out = picture.i420.data();
    for (int plane = 0; plane < 3; ++plane) {
        const auto w = static_cast<int>(plane == 0 ? frame.width : I420ChromaWidth(frame.width));
        const auto h = static_cast<int>(plane == 0 ? frame.height : I420ChromaHeight(frame.height));
        for (int y = 0; y < h; ++y) {
            std::memcpy(out, frame.data[plane] + static_cast<ptrdiff_t>(y) * frame.linesize[plane], static_cast<size_t>(w));
            out += w;
        }
    }
    return picture;
}

void DrainDecoder(AVCodecContext *codec, AVFrame *frame, std::vector<stDecodedPicture> &pictures, int count)
{
    while (static_cast<int>(pictures.size()) < count && avcodec_receive_frame(codec, frame) == 0) {
        if (frame->format == AV_PIX_FMT_YUV420P)
            pictures.push_back(PackFrame(*frame));
        av_frame_unref(frame);
    }
}

} // namespace

std::vector<stDecodedPicture> DecodeTestClip(const std::filesystem::path &folder, const std::string &name, int width,
                                             int height, int fps, int count)
{
    stTestMediaSpec spec;
    spec.width = width;
    spec.height = height;
    spec.fps = fps;
    spec.audio = false;
    spec.seconds = static_cast<double>(count) / fps + 0.5;
    const std::filesystem::path path = folder / (name + ".mp4");
    std::vector<stDecodedPicture> pictures;
    if (WriteTestMedia(path, spec) != 0) {
        ADD_FAILURE() << "test clip " << path << " cannot be made";
        return pictures;
    }
    AVFormatContext *format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) != 0) {
        ADD_FAILURE() << "test clip cannot be opened";
        return pictures;
    }
    avformat_find_stream_info(format, nullptr);
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec *decoder = avcodec_find_decoder(format->streams[stream]->codecpar->codec_id);
    AVCodecContext *codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, format->streams[stream]->codecpar);
    avcodec_open2(codec, decoder, nullptr);
    AVPacket *packet = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    while (static_cast<int>(pictures.size()) < count && av_read_frame(format, packet) == 0) {
        if (packet->stream_index == stream && avcodec_send_packet(codec, packet) == 0)
            DrainDecoder(codec, frame, pictures, count);
        av_packet_unref(packet);
    }
    avcodec_send_packet(codec, nullptr);
    DrainDecoder(codec, frame, pictures, count);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
    EXPECT_EQ(static_cast<int>(pictures.size()), count) << "decoded pictures of " << name;
    return pictures;
}

FramePackage DevicePackageOf(const stDecodedPicture &picture, int64_t pts)
{
    FramePackage package;
    package.inDevice = 1;
    const auto length = static_cast<int32_t>(picture.i420.size());
    if (AllocFramePackageData(package, length) != length) {
        ADD_FAILURE() << "device picture cannot be had";
        return package;
    }
    EXPECT_EQ(DevMemcpy(package.pData, picture.i420.data(), picture.i420.size(), EGpuCopyKind::HostToDevice),
              GPU_SUCCESS);
    package.width = static_cast<uint16_t>(picture.width);
    package.height = static_cast<uint16_t>(picture.height);
    package.pts = pts;
    package.dts = pts;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.format = 0;
    return package;
}

std::vector<uint8_t> DownloadPackage(const FramePackage &package)
{
    std::vector<uint8_t> bytes;
    if (!package.pData || package.nLength <= 0)
        return bytes;
    bytes.resize(static_cast<size_t>(package.nLength));
    EXPECT_EQ(DevMemcpy(bytes.data(), package.pData, bytes.size(),
                        package.inDevice ? EGpuCopyKind::DeviceToHost : EGpuCopyKind::HostToHost),
              GPU_SUCCESS);
    return bytes;
}

void SavePictureAsPng(const std::vector<uint8_t> &i420, int width, int height, const std::string &name)
{
    std::filesystem::create_directories("artifacts");
    const AVCodec *png = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!png || i420.size() < static_cast<size_t>(I420Size(width, height)))
        return;
    AVCodecContext *codec = avcodec_alloc_context3(png);
    codec->width = width;
    codec->height = height;
    codec->pix_fmt = AV_PIX_FMT_RGB24;
    codec->time_base = {1, 25};
    if (avcodec_open2(codec, png, nullptr) != 0) {
        avcodec_free_context(&codec);
        return;
    }
    AVFrame *rgb = av_frame_alloc();
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = width;
    rgb->height = height;
    av_frame_get_buffer(rgb, 0);
    SwsContext *sws = sws_getContext(width, height, AV_PIX_FMT_YUV420P, width, height, AV_PIX_FMT_RGB24, SWS_POINT,
                                     nullptr, nullptr, nullptr);
    const uint8_t *planes[3] = {i420.data(), i420.data() + I420UOffset(width, height),
                                i420.data() + I420VOffset(width, height)};
    const auto chromaPitch = static_cast<int>(I420ChromaPitch(width));
    const int pitches[3] = {width, chromaPitch, chromaPitch};
    sws_scale(sws, planes, pitches, 0, height, rgb->data, rgb->linesize);
    AVPacket *packet = av_packet_alloc();
    if (avcodec_send_frame(codec, rgb) == 0 && avcodec_receive_packet(codec, packet) == 0) {
        const std::string path = "artifacts/" + name + ".png";
        if (FILE *file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(packet->data, 1, static_cast<size_t>(packet->size), file);
            std::fclose(file);
        }
    }
    av_packet_free(&packet);
    sws_freeContext(sws);
    av_frame_free(&rgb);
    avcodec_free_context(&codec);
}
