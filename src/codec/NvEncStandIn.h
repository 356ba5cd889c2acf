#pragma once

// The encode API in software, for hosts without the driver: sessions over libx264 (H.264) and
// libx265 (HEVC) that keep the API's contract as NvEncoder uses it: registered input blocks of
// the GPU layer, one coded packet handed out per locked bitstream buffer in coding order, the
// input time stamps and durations carried through, the sequence header on request. Rate control,
// long-term references and multi-pass are taken as settings, not reproduced.

#include <ffnvcodec/nvEncodeAPI.h>

#include <cstdint>

NVENCSTATUS NvEncStandInGetMaxSupportedVersion(uint32_t *version);
NVENCSTATUS NvEncStandInCreateInstance(NV_ENCODE_API_FUNCTION_LIST *functions);

// Test hook: the version the stand-in reports as the highest it supports ((major << 4) | minor);
// 0 gives back the headers' own.
void NvEncStandInSetReportedVersion(uint32_t version);
// Test hook: the value capability NV_ENC_CAPS_NUM_MAX_LTR_FRAMES reports.
constexpr int kNvEncStandInLtrFrames = 8;
