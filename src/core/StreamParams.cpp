#include "core/StreamParams.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}

#include <cstring>
#include <utility>

stStreamParams::stStreamParams() = default;

stStreamParams::~stStreamParams()
{
    SetExtradata(nullptr, 0);
    SetCodecParameters(nullptr);
    av_channel_layout_uninit(&channelLayout);
}

stStreamParams::stStreamParams(const stStreamParams &other)
{
    *this = other;
}

stStreamParams &stStreamParams::operator=(const stStreamParams &other)
{
    if (this == &other)
        return *this;
    CopyValues(other);
    SetExtradata(other.extradata, other.extradataSize);
    // The copy releases what the destination held first; on failure the layout stays unset.
    if (av_channel_layout_copy(&channelLayout, &other.channelLayout) < 0)
        av_channel_layout_uninit(&channelLayout);
    SetCodecParameters(other.codecParameters);
    codecName = other.codecName;
    name = other.name;
    profileName = other.profileName;
    note = other.note;
    return *this;
}

stStreamParams::stStreamParams(stStreamParams &&other) noexcept
{
    *this = std::move(other);
}

stStreamParams &stStreamParams::operator=(stStreamParams &&other) noexcept
{
    if (this == &other)
        return *this;
    SetExtradata(nullptr, 0);
    SetCodecParameters(nullptr);
    av_channel_layout_uninit(&channelLayout);

    CopyValues(other);
    extradata = std::exchange(other.extradata, nullptr);
    extradataSize = std::exchange(other.extradataSize, 0);
    // A custom layout's map moves with the record.
    channelLayout = other.channelLayout;
    other.channelLayout = AVChannelLayout{};
    codecParameters = std::exchange(other.codecParameters, nullptr);
    codecName = std::move(other.codecName);
    name = std::move(other.name);
    profileName = std::move(other.profileName);
    note = std::move(other.note);
    return *this;
}

void stStreamParams::CopyValues(const stStreamParams &other)
{
    sourceType = other.sourceType;
    mediaType = other.mediaType;
    timeBase = other.timeBase;
    frameSize = other.frameSize;
    bitRate = other.bitRate;
    profile = other.profile;
    level = other.level;
    startTime = other.startTime;
    gopSize = other.gopSize;
    reserved64 = other.reserved64;
    codecId = other.codecId;
    pixelFormat = other.pixelFormat;
    width = other.width;
    height = other.height;
    bitDepth = other.bitDepth;
    frameRate = other.frameRate;
    streamId = other.streamId;
    pitch = other.pitch;
    pitchUV = other.pitchUV;
    sampleFormat = other.sampleFormat;
    sampleRate = other.sampleRate;
    followFrameRate = other.followFrameRate;
    followFrameSize = other.followFrameSize;
    followPixelFormat = other.followPixelFormat;
}

void stStreamParams::SetExtradata(const uint8_t *data, int32_t size)
{
    if (data == extradata && size == extradataSize)
        return;
    uint8_t *copy = nullptr;
    int32_t copied = 0;
    if (data && size > 0) {
        copy = static_cast<uint8_t *>(av_mallocz(static_cast<size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (copy) {
            std::memcpy(copy, data, static_cast<size_t>(size));
            copied = size;
        }
    }
    // The old block goes only after the copy, so data may point into it.
    av_freep(&extradata);
    extradata = copy;
    extradataSize = copied;
}

void stStreamParams::SetCodecParameters(const AVCodecParameters *parameters)
{
    if (parameters == codecParameters)
        return;
    AVCodecParameters *copy = nullptr;
    if (parameters) {
        copy = avcodec_parameters_alloc();
        if (copy && avcodec_parameters_copy(copy, parameters) < 0)
            avcodec_parameters_free(&copy);
    }
    avcodec_parameters_free(&codecParameters);
    codecParameters = copy;
}

void stStreamParams::Clear()
{
    codecName.clear();
    name.clear();
    profileName.clear();
    note.clear();
}
