#include "input/MediaStreamInfo.h"

#include "core/I420Layout.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

#include <cstring>
#include <utility>

stMediaStreamInfo::~stMediaStreamInfo()
{
    Release();
}

stMediaStreamInfo::stMediaStreamInfo(const stMediaStreamInfo &other)
{
    CopyFrom(other);
}

stMediaStreamInfo &stMediaStreamInfo::operator=(const stMediaStreamInfo &other)
{
    if (this != &other) {
        Release();
        CopyFrom(other);
    }
    return *this;
}

stMediaStreamInfo::stMediaStreamInfo(stMediaStreamInfo &&other) noexcept
{
    *this = std::move(other);
}

stMediaStreamInfo &stMediaStreamInfo::operator=(stMediaStreamInfo &&other) noexcept
{
    if (this == &other)
        return *this;
    Release();
    CopyValues(other);
    extradata = std::move(other.extradata);
    extradataSize = std::exchange(other.extradataSize, 0);
    channelLayout = other.channelLayout; // takes over a custom map, if any
    other.channelLayout = AVChannelLayout{};
    codecParameters = std::exchange(other.codecParameters, nullptr);
    return *this;
}

void stMediaStreamInfo::CopyFrom(const stMediaStreamInfo &other)
{
    CopyValues(other);
    extradata = other.extradata;
    extradataSize = other.extradataSize;
    av_channel_layout_copy(&channelLayout, &other.channelLayout);
    if (other.codecParameters) {
        codecParameters = avcodec_parameters_alloc();
        if (codecParameters && avcodec_parameters_copy(codecParameters, other.codecParameters) < 0)
            avcodec_parameters_free(&codecParameters);
    }
}

void stMediaStreamInfo::CopyValues(const stMediaStreamInfo &other)
{
    streamIndex = other.streamIndex;
    codecId = other.codecId;
    bitRate = other.bitRate;
    timeBase = other.timeBase;
    mediaType = other.mediaType;
    profile = other.profile;
    level = other.level;
    startTime = other.startTime;
    frameSize = other.frameSize;
    bitsPerCodedSample = other.bitsPerCodedSample;
    bitsPerRawSample = other.bitsPerRawSample;
    pixelFormat = other.pixelFormat;
    frameRate = other.frameRate;
    sampleAspectRatio = other.sampleAspectRatio;
    chromaLocation = other.chromaLocation;
    width = other.width;
    height = other.height;
    bitDepth = other.bitDepth;
    sampleFormat = other.sampleFormat;
    sampleRate = other.sampleRate;
    packetCount = other.packetCount;
}

void stMediaStreamInfo::Release()
{
    av_channel_layout_uninit(&channelLayout);
    avcodec_parameters_free(&codecParameters);
    extradata.clear();
    extradataSize = 0;
}

namespace {

void CopyExtradata(stMediaStreamInfo &info, const AVCodecParameters *parameters)
{
    info.extradata.clear();
    info.extradataSize = 0;
    if (parameters->extradata && parameters->extradata_size > 0) {
        info.extradata.assign(static_cast<size_t>(parameters->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
        std::memcpy(info.extradata.data(), parameters->extradata, static_cast<size_t>(parameters->extradata_size));
        info.extradataSize = parameters->extradata_size;
    }
}

} // namespace

int32_t stMediaStreamInfo::FillFromStream(const AVStream *stream)
{
    Release();
    const AVCodecParameters *par = stream->codecpar;
    streamIndex = static_cast<int16_t>(stream->index);
    codecId = par->codec_id;
    bitRate = par->bit_rate;
    timeBase = stream->time_base;
    mediaType = par->codec_type;
    profile = par->profile;
    level = par->level;
    startTime = stream->start_time;
    bitsPerCodedSample = par->bits_per_coded_sample;
    bitsPerRawSample = par->bits_per_raw_sample;
    CopyExtradata(*this, par);
    frameRate = stream->r_frame_rate;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO) {
        pixelFormat = par->format;
        chromaLocation = par->chroma_location;
        width = par->width;
        height = par->height;
        sampleAspectRatio = par->sample_aspect_ratio;
    } else if (par->codec_type == AVMEDIA_TYPE_AUDIO) {
        sampleRate = par->sample_rate;
        frameSize = par->frame_size;
        sampleFormat = par->format;
        av_channel_layout_copy(&channelLayout, &par->ch_layout);
    }
    codecParameters = avcodec_parameters_alloc();
    if (!codecParameters)
        return AVERROR(ENOMEM);
    return avcodec_parameters_copy(codecParameters, par);
}

int32_t stMediaStreamInfo::ReplaceCodecParameters(const AVCodecParameters *parameters)
{
    if (!parameters)
        return AVERROR(EINVAL);
    if (!codecParameters && !(codecParameters = avcodec_parameters_alloc()))
        return AVERROR(ENOMEM);
    const int result = avcodec_parameters_copy(codecParameters, parameters);
    if (result < 0)
        return result;
    CopyExtradata(*this, parameters);
    return 0;
}

int32_t PlanarFrameSize(int32_t pixelFormat, int32_t width, int32_t height, int32_t *bitDepth)
{
    int32_t depth = 8;
    int32_t bytesPerSample = 1;
    bool fullChroma = false;
    switch (pixelFormat) {
    case AV_PIX_FMT_YUV444P: fullChroma = true; break;
    case AV_PIX_FMT_YUV420P10LE: depth = 10; bytesPerSample = 2; break;
    case AV_PIX_FMT_YUV444P10LE: depth = 10; bytesPerSample = 2; fullChroma = true; break;
    case AV_PIX_FMT_YUV420P12LE: depth = 12; bytesPerSample = 2; break;
    case AV_PIX_FMT_YUV444P12LE: depth = 12; bytesPerSample = 2; fullChroma = true; break;
    default: break;
    }
    if (bitDepth)
        *bitDepth = depth;
    if (width <= 0 || height <= 0)
        return 0;
    const int64_t chromaWidth = fullChroma ? width : I420ChromaWidth(width);
    const int64_t chromaHeight = fullChroma ? height : I420ChromaHeight(height);
    const int64_t size = (int64_t(width) * height + 2 * chromaWidth * chromaHeight) * bytesPerSample;
    return size > INT32_MAX ? 0 : static_cast<int32_t>(size);
}
