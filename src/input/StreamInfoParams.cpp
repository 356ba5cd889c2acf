#include "input/StreamInfoParams.h"

#include <algorithm>
#include <cstdint>
#include <limits>

void StreamInfoToStreamParams(stStreamParams &params, const stMediaStreamInfo &info)
{
    params.sourceType = TYX_CAPTURE_PARAMS_SOURCE_TYPE;
    params.mediaType = info.mediaType;
    params.codecId = info.codecId;
    params.profile = info.profile;
    params.level = info.level;
    params.bitRate = static_cast<int32_t>(std::clamp<int64_t>(info.bitRate, 0, std::numeric_limits<int32_t>::max()));
    params.frameSize = info.frameSize;
    params.timeBase = {info.timeBase.num, info.timeBase.den};
    // The record's field is 32 bits wide; an absent or huge start time does not fit.
    params.startTime = (info.startTime == TYX_NOPTS_VALUE || info.startTime < std::numeric_limits<int32_t>::min() ||
                        info.startTime > std::numeric_limits<int32_t>::max())
                           ? 0
                           : static_cast<int32_t>(info.startTime);
    params.SetExtradata(info.Extradata(), info.extradataSize);
    params.frameRate = info.frameRate.den > 0 ? float(info.frameRate.num) / float(info.frameRate.den) : 0.0f;
    params.width = static_cast<uint16_t>(std::clamp(info.width, 0, 0xFFFF));
    params.height = static_cast<uint16_t>(std::clamp(info.height, 0, 0xFFFF));
    params.bitDepth = info.bitDepth;
    params.pixelFormat = info.pixelFormat;
    params.sampleFormat = info.sampleFormat;
    params.sampleRate = info.sampleRate;
    av_channel_layout_uninit(&params.channelLayout);
    av_channel_layout_copy(&params.channelLayout, &info.channelLayout);
    params.SetCodecParameters(info.codecParameters);
}
