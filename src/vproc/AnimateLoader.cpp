#include "vproc/AnimateLoader.h"

#include "core/debuglog.h"
#include "core/FfmpegHandles.h"
#include "vproc/EmbeddedResource.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <cmath>
#include <cstring>
#include <memory>

namespace {

constexpr int kIoBufferSize = 0x8000;
constexpr int64_t kMaxMemoryBlock = 268435456;
constexpr int32_t kMaxPictureWidth = 1920;
constexpr int32_t kMaxPictureHeight = 1080;

int64_t FrameDuration(const AVFrame *frame)
{
#if LIBAVUTIL_VERSION_MAJOR >= 58
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}

// The decoding state of one load.
struct stDecodeRun
{
    const stAnimateLoadSettings *settings = nullptr;
    AVCodecContext *codec = nullptr;
    SwsPtr scaler;
    AVPixelFormat dstFormat = AV_PIX_FMT_RGBA;
    int32_t width = 0;
    int32_t height = 0;
    uint8_t *dstData[4] = {};
    int dstLinesize[4] = {};
    int64_t timeUnitUs = 10;
    float frameRate = 0.0f;
    int32_t number = 0;
    std::vector<stAnimateFrame> *frames = nullptr;
};

bool EnsureScaler(stDecodeRun &run, int32_t width, int32_t height, int32_t format)
{
    SwsContext *scaler = sws_getCachedContext(run.scaler.release(), width, height, static_cast<AVPixelFormat>(format),
                                              run.width, run.height, run.dstFormat, SWS_BICUBIC, nullptr, nullptr,
                                              nullptr);
    run.scaler.reset(scaler);
    if (!scaler) {
        TYX_LOG(3, L"Sws Context initializing failed! While source-frame are[W=%d,H=%d,Fmt=%d] and Dest-Frame are[W=%d,H=%d,Fmt=%d]! Give up!",
                width, height, format, run.width, run.height, static_cast<int32_t>(run.dstFormat));
        return false;
    }
    return true;
}

int32_t FrameDurationMs(const stDecodeRun &run, const AVFrame *frame)
{
    const int64_t duration = FrameDuration(frame);
    if (duration > 0)
        return static_cast<int32_t>(duration * run.timeUnitUs / 1000);
    if (run.frameRate > 0.0f)
        return static_cast<int32_t>(1000.0f / run.frameRate);
    return 40;
}

// 1 when the last wanted frame has passed, 0 to go on, or a negative code.
int32_t TakeFrame(stDecodeRun &run, const AVFrame *frame)
{
    if (!frame->data[0] || frame->linesize[0] <= 0) {
        TYX_LOG(3, L"There No valid data(linesize[0]=%d) in decoded frame!", frame->linesize[0]);
        return 0;
    }
    ++run.number;
    const stAnimateLoadSettings &settings = *run.settings;
    if (settings.firstFrame > 0 && run.number < settings.firstFrame)
        return 0;
    if (settings.lastFrame > 0 && run.number > settings.lastFrame)
        return 1;
    if (!EnsureScaler(run, frame->width, frame->height, frame->format))
        return -32;
    const int scaled = sws_scale(run.scaler.get(), frame->data, frame->linesize, 0, frame->height, run.dstData,
                                 run.dstLinesize);
    if (scaled <= 0) {
        TYX_LOG(3, L"Decoded frame scaling Failed with error=%d returned!", scaled);
        return 0;
    }
    stAnimateFrame entry;
    entry.width = static_cast<uint16_t>(run.width);
    entry.height = static_cast<uint16_t>(run.height);
    entry.length = run.dstLinesize[0] * run.height;
    entry.durationMs = FrameDurationMs(run, frame);
    GpuError error = entry.picture.Allocate(static_cast<size_t>(entry.length));
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) while alloc cuda memory!", error);
        return -1024;
    }
    error = DevMemcpy(entry.picture.Get(), run.dstData[0], static_cast<size_t>(entry.length), EGpuCopyKind::HostToDevice);
    if (error != GPU_SUCCESS) {
        TYX_LOG(2, L"Failed(Err=%d) when copy data from host to device memory!", error);
        return -1024;
    }
    run.frames->push_back(std::move(entry));
    return 0;
}

// Takes every frame the decoder has ready; 1 when the range is complete, 0, or a negative code.
int32_t ReceiveFrames(stDecodeRun &run, AVFrame *frame)
{
    for (;;) {
        const int result = avcodec_receive_frame(run.codec, frame);
        if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
            return 0;
        if (result < 0) {
            TYX_LOG(3, L"Decoded frame receiving Failed with error=%d returned!", result);
            return -64;
        }
        const int32_t taken = TakeFrame(run, frame);
        av_frame_unref(frame);
        if (taken != 0)
            return taken;
    }
}

int FindVideoStream(AVFormatContext *format)
{
    const int best = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (best >= 0)
        return best;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (format->streams[i]->codecpar && format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
            return static_cast<int>(i);
    }
    return -1;
}

int32_t OpenDecoder(const AVStream *stream, AvCodecPtr &codec)
{
    const AVCodecParameters *parameters = stream->codecpar;
    if (!parameters) {
        TYX_LOG(3, L"NULL codec-parameter got from stream!");
        return -8;
    }
    const int32_t codecId = static_cast<int32_t>(parameters->codec_id);
    const AVCodec *decoder = avcodec_find_decoder(parameters->codec_id);
    if (!decoder) {
        TYX_LOG(3, L"Failed fo find decoder for [CodecId=%d]!", codecId);
        return -8;
    }
    codec.reset(avcodec_alloc_context3(decoder));
    if (!codec) {
        TYX_LOG(3, L" Failed to alloc avcodec contex for [CodecId=%d]!", codecId);
        return -8;
    }
    int result = avcodec_parameters_to_context(codec.get(), parameters);
    if (result < 0) {
        TYX_LOG(3, L"Failed(err=%d) while opy codec parameters to alloc avcodec contex for [CodecId=%d]!", result,
                codecId);
        return -16;
    }
    result = avcodec_open2(codec.get(), decoder, nullptr);
    if (result < 0) {
        TYX_LOG(3, L"Codec Context openning failed with error=%d returned!", result);
        return -16;
    }
    return 0;
}

} // namespace

int AnimateMemoryRead(void *opaque, uint8_t *buffer, int size)
{
    auto *reader = static_cast<stAnimateMemoryReader *>(opaque);
    if (!reader || !reader->data || !buffer || size <= 0)
        return -1;
    const int64_t left = reader->size - reader->position;
    if (left <= 0)
        return AVERROR_EOF;
    const int64_t count = left < size ? left : size;
    std::memcpy(buffer, reader->data + reader->position, static_cast<size_t>(count));
    reader->position += count;
    return static_cast<int>(count);
}

int64_t AnimateMemorySeek(void *opaque, int64_t offset, int whence)
{
    auto *reader = static_cast<stAnimateMemoryReader *>(opaque);
    if (!reader || !reader->data)
        return -1;
    switch (whence) {
    case SEEK_SET:
        if (offset < 0 || offset > reader->size)
            return -1;
        reader->position = offset;
        return 0;
    case SEEK_CUR:
        if (reader->position + offset < 0 || reader->position + offset > reader->size)
            return -1;
        reader->position += offset;
        return 0;
    case SEEK_END:
        if (offset < -reader->size || offset > 0)
            return -1;
        reader->position = reader->size + offset;
        return 0;
    case AVSEEK_SIZE: return reader->size;
    case AVSEEK_FORCE: return 0;
    default: return -1;
    }
}

void CAnimateLoader::ReleaseBlock()
{
    m_ownedBlock.clear();
    m_ownedBlock.shrink_to_fit();
    m_block = nullptr;
    m_blockSize = 0;
}

int32_t CAnimateLoader::PepareMediaSource(int32_t kind, const stAnimateSource *source, bool &inMemory,
                                          std::string &path)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return PrepareLocked(kind, source, inMemory, path);
}

int32_t CAnimateLoader::PrepareLocked(int32_t kind, const stAnimateSource *source, bool &inMemory, std::string &path)
{
    inMemory = false;
    if (!source)
        return -1;
    if (kind == OSG_SOURCE_FILE) {
        path = source->path;
        return 0;
    }
    if (kind == OSG_SOURCE_MEMORY) {
        if (!source->pData || source->length < 1 || source->length > kMaxMemoryBlock) {
            TYX_LOG(3, L"Failed to loading media data from specified (NULL) memory!");
            return -1;
        }
        ReleaseBlock();
        if (source->inDevice) {
            m_ownedBlock.resize(static_cast<size_t>(source->length));
            const GpuError error = DevMemcpy(m_ownedBlock.data(), source->pData, m_ownedBlock.size(),
                                             EGpuCopyKind::DeviceToHost);
            if (error != GPU_SUCCESS) {
                TYX_LOG(2, L"Failed(Err=%d) when copy data from device to host memory!", error);
                ReleaseBlock();
                return -2;
            }
            m_block = m_ownedBlock.data();
        } else {
            m_block = static_cast<const uint8_t *>(source->pData);
        }
        m_blockSize = static_cast<size_t>(source->length);
        inMemory = true;
        return static_cast<int32_t>(m_blockSize);
    }
    if (kind != OSG_SOURCE_PREPARED)
        return -1;
    int32_t result = -1;
    if (source->resourceId > 0 && !source->resourceType.empty()) {
        ReleaseBlock();
        const uint8_t *data = nullptr;
        size_t size = 0;
        if (!FindEmbeddedResource(source->resourceType, source->resourceId, &data, &size))
            result = -2;
        else if (!data || size == 0 || size > static_cast<size_t>(kMaxMemoryBlock))
            result = -8;
        else {
            m_ownedBlock.assign(data, data + size);
            m_ownedBlock.push_back(0);
            m_block = m_ownedBlock.data();
            m_blockSize = size;
            inMemory = true;
            return static_cast<int32_t>(size);
        }
    }
    TYX_LOG(3, L"Failed to loading media data from specified resource(%s:%d) into memory!",
            source->resourceType.c_str(), source->resourceId);
    return result;
}

int32_t CAnimateLoader::LoadFrames(const stAnimateLoadSettings &settings, stAnimateStreamInfo &info,
                                   std::vector<stAnimateFrame> &frames)
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return LoadFramesLocked(settings, info, frames);
}

int32_t CAnimateLoader::LoadFramesLocked(const stAnimateLoadSettings &settings, stAnimateStreamInfo &info,
                                         std::vector<stAnimateFrame> &frames)
{
    if (settings.inMemory ? !m_block : settings.path.empty())
        return -1;
    // Steps 1-2: open the source and choose its video stream.
    stAnimateMemoryReader reader;
    reader.data = m_block;
    reader.size = static_cast<int64_t>(m_blockSize);
    AvIoPtr io;
    AVFormatContext *opened = avformat_alloc_context();
    if (!opened) {
        TYX_LOG(3, L"Failed fo allocing avio-contex for loading animate!");
        return -2;
    }
    if (settings.inMemory) {
        auto *buffer = static_cast<uint8_t *>(av_malloc(kIoBufferSize));
        if (buffer)
            io.reset(avio_alloc_context(buffer, kIoBufferSize, 0, &reader, &AnimateMemoryRead, nullptr,
                                        &AnimateMemorySeek));
        if (!io) {
            av_free(buffer);
            avformat_free_context(opened);
            TYX_LOG(3, L"Failed fo allocing avio-contex for loading animate!");
            return -2;
        }
        opened->pb = io.get();
        opened->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    int result = avformat_open_input(&opened, settings.inMemory ? nullptr : settings.path.c_str(), nullptr, nullptr);
    if (result < 0) {
        TYX_LOG(3, L"Failed fo open media source for loading animate[Error=%d]!", result);
        return -4;
    }
    AvInputPtr format(opened);
    result = avformat_find_stream_info(format.get(), nullptr);
    if (result < 0) {
        TYX_LOG(3, L"Failed fo finding streams from media-source with error=%d returned!", result);
        return -4;
    }
    if (format->nb_streams == 0)
        return 0;
    const int streamIndex = FindVideoStream(format.get());
    if (streamIndex < 0) {
        TYX_LOG(3, L"There NO valid Video stream in the media-source!");
        return -4;
    }
    const AVStream *stream = format->streams[streamIndex];

    // Step 3: the decoder.
    AvCodecPtr codec;
    result = OpenDecoder(stream, codec);
    if (result < 0)
        return result;

    // Steps 4-6: output size, timing and the frame range.
    stDecodeRun run;
    run.settings = &settings;
    run.codec = codec.get();
    run.frames = &frames;
    run.dstFormat = settings.dstPixelFormat >= 0 ? static_cast<AVPixelFormat>(settings.dstPixelFormat) : AV_PIX_FMT_RGBA;
    run.width = codec->width;
    run.height = codec->height;
    if (settings.scale > 0.0f && settings.scale < 1.0f) {
        run.width = static_cast<int32_t>(static_cast<float>(codec->width) * settings.scale);
        run.height = static_cast<int32_t>(static_cast<float>(codec->height) * settings.scale);
    }
    if (run.width > kMaxPictureWidth || run.height > kMaxPictureHeight) {
        TYX_LOG(3, L"The OSG frame picture size is too large(W=%d,H=%d)! Give up!", run.width, run.height);
        return -32;
    }
    const AVRational rate = stream->avg_frame_rate;
    run.frameRate = rate.num < 1 || rate.den < 1 ? 0.0f : static_cast<float>(av_q2d(rate));
    const double timeBase = av_q2d(stream->time_base);
    run.timeUnitUs = timeBase > 0.0 ? std::llround(timeBase * 1000000.0) : 10;
    if (stream->nb_frames > 0 && (settings.firstFrame > stream->nb_frames || settings.lastFrame > stream->nb_frames)) {
        TYX_LOG(3, L"The OSG configred using frames from[%d] to [%d],but only [%d] frames contains in media source file! Give up!",
                settings.firstFrame, settings.lastFrame, static_cast<int32_t>(stream->nb_frames));
        return -64;
    }

    // Step 7: the scaler and one destination picture.
    if (codec->pix_fmt != AV_PIX_FMT_NONE && !EnsureScaler(run, codec->width, codec->height, codec->pix_fmt))
        return -32;
    const int bufferSize = av_image_get_buffer_size(run.dstFormat, run.width, run.height, 1);
    if (bufferSize < 0) {
        TYX_LOG(3, L"image_get_buffer_size failed with error=%d returned!", bufferSize);
        return -32;
    }
    AvBytesPtr picture(static_cast<uint8_t *>(av_malloc(static_cast<size_t>(bufferSize))));
    result = picture ? av_image_fill_arrays(run.dstData, run.dstLinesize, picture.get(), run.dstFormat, run.width,
                                            run.height, 1)
                     : AVERROR(ENOMEM);
    if (result < 0) {
        TYX_LOG(3, L"av_image_fill_arrays failed with error=%d returned!", result);
        return -32;
    }
    info.width = static_cast<uint16_t>(run.width);
    info.height = static_cast<uint16_t>(run.height);
    info.frameRate = run.frameRate;
    info.pixelFormat = static_cast<int32_t>(run.dstFormat);
    info.bytesPerPixel = 4;
    info.statedFrames = stream->nb_frames;

    // Steps 8-11: read, decode, scale and copy out; the decoder is drained at the end so that a
    // codec with delay gives its last frames too.
    AvPacketPtr packet(av_packet_alloc());
    AvFramePtr frame(av_frame_alloc());
    if (!packet || !frame)
        return -64;
    for (;;) {
        result = av_read_frame(format.get(), packet.get());
        const bool atEnd = result == AVERROR_EOF;
        if (result < 0 && !atEnd) {
            TYX_LOG(3, L"Frame reading Failed with error=%d returned!", result);
            return -64;
        }
        if (!atEnd && packet->stream_index != streamIndex) {
            av_packet_unref(packet.get());
            continue;
        }
        result = avcodec_send_packet(codec.get(), atEnd ? nullptr : packet.get());
        av_packet_unref(packet.get());
        if (result < 0 && result != AVERROR_EOF) {
            TYX_LOG(3, L" Paket decoding Failed with error=%d returned!", result);
            return -64;
        }
        const int32_t taken = ReceiveFrames(run, frame.get());
        if (taken < 0)
            return taken;
        if (taken > 0 || atEnd)
            break;
    }
    return static_cast<int32_t>(frames.size());
}

int32_t CAnimateLoader::LoadAnimate(int32_t kind, const stAnimateSource *source, stOsgAnimate &item)
{
    if (!source || kind < OSG_SOURCE_FILE || kind > OSG_SOURCE_PREPARED)
        return -1;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    stAnimateLoadSettings settings;
    const int32_t prepared = PrepareLocked(kind, source, settings.inMemory, settings.path);
    if (prepared < 0)
        return prepared;
    if (item.lastFrame < item.firstFrame)
        return -1;
    settings.firstFrame = item.firstFrame;
    settings.lastFrame = item.lastFrame;
    settings.scale = item.placement.scale;
    stAnimateStreamInfo info;
    std::vector<stAnimateFrame> frames;
    const int32_t result = LoadFramesLocked(settings, info, frames);
    // A caller's host block is only borrowed for this load; keep no pointer to it afterwards.
    if (settings.inMemory && m_ownedBlock.empty())
        ReleaseBlock();
    if (result < 0)
        return result;
    item.pixelFormat = info.pixelFormat;
    item.bytesPerPixel = info.bytesPerPixel;
    item.width = info.width;
    item.height = info.height;
    item.frameRate = info.frameRate;
    item.frames = std::move(frames);
    item.currentFrame = 0;
    item.hasFrameTime = false;
    return static_cast<int32_t>(item.frames.size());
}

int32_t CAnimateLoader::LoadAnimate(const std::string &path, stOsgAnimate &item)
{
    if (path.empty() || path.size() > 259 || item.lastFrame < item.firstFrame)
        return -1;
    stAnimateSource source;
    source.path = path;
    return LoadAnimate(OSG_SOURCE_FILE, &source, item);
}

int32_t CAnimateLoader::LoadAnimate(const stAnimateSource &resource, stOsgAnimate &item)
{
    if (item.lastFrame < item.firstFrame || resource.resourceId <= 0 || resource.resourceType.empty())
        return -1;
    return LoadAnimate(OSG_SOURCE_PREPARED, &resource, item);
}

int32_t CAnimateLoader::LoadPicture(const std::string &path, stOsgPicture &item)
{
    if (path.empty())
        return -1;
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    stAnimateLoadSettings settings;
    settings.path = path;
    settings.firstFrame = 1;
    settings.lastFrame = 1;
    settings.scale = item.placement.scale;
    stAnimateStreamInfo info;
    std::vector<stAnimateFrame> frames;
    const int32_t result = LoadFramesLocked(settings, info, frames);
    if (result < 0)
        return result;
    if (frames.empty())
        return 0;
    stAnimateFrame &first = frames.front();
    item.image = std::move(first.picture);
    item.width = first.width;
    item.height = first.height;
    item.rowLength = first.height > 0 ? first.length / first.height : 0;
    item.pixelFormat = info.pixelFormat;
    item.bytesPerPixel = info.bytesPerPixel;
    return 1;
}
