#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// Plane geometry of the encoder's input buffer formats, as plain arithmetic: the GPU frame copy and
// the encoder session share it. The values are the encoder API's own format numbers.
constexpr uint32_t TYX_NV_BUFFER_FORMAT_NV12 = 0x1;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_YV12 = 0x10;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_IYUV = 0x100; // I420
constexpr uint32_t TYX_NV_BUFFER_FORMAT_YUV444 = 0x1000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_YUV420_10BIT = 0x10000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_YUV444_10BIT = 0x100000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_ARGB = 0x1000000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_ARGB10 = 0x2000000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_AYUV = 0x4000000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_ABGR = 0x10000000;
constexpr uint32_t TYX_NV_BUFFER_FORMAT_ABGR10 = 0x20000000;

// Each answers nothing for a format it does not know.
bool IsKnownNvBufferFormat(uint32_t format);
// Bytes of one luma row.
std::optional<uint32_t> NvBufferWidthInBytes(uint32_t format, uint32_t width);
// Separate chroma planes (0 for the packed RGB-style formats).
std::optional<uint32_t> NvBufferNumChromaPlanes(uint32_t format);
std::optional<uint32_t> NvBufferChromaPitch(uint32_t format, uint32_t lumaPitch);
std::optional<uint32_t> NvBufferChromaHeight(uint32_t format, uint32_t lumaHeight);
std::optional<uint32_t> NvBufferChromaWidthInBytes(uint32_t format, uint32_t lumaWidth);
// Byte offsets of the chroma planes from the start of a picture of that luma pitch and height.
std::optional<std::vector<uint32_t>> NvBufferChromaSubPlaneOffsets(uint32_t format, uint32_t pitch, uint32_t height);
