#pragma once

#include "core/StreamParams.h"
#include "input/MediaStreamInfo.h"

// The source type the capture readers' parameter records carry.
constexpr int32_t TYX_CAPTURE_PARAMS_SOURCE_TYPE = 9;

// Fills a parameter record from a capture reader's stream record: the record gets its own copies
// of the extradata and the codec parameters, and the frame rate as one number.
void StreamInfoToStreamParams(stStreamParams &params, const stMediaStreamInfo &info);
