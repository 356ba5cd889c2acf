#pragma once

// Packing of rendered texts into device blocks and their drawing into I420 frames, on the GPU
// (kernel WriteOSDDataInDvc_Tuning) or by a host loop with the same per-pixel rules. The callers
// (COsdWriter) hold the writer's lock around every call.

#include "vproc/OsdItem.h"
#include "core/VideoFrameInfo.h"

#include <cstdint>
#include <vector>

// The packed block of an item (header, luma row table, columns, chroma row table, coverage bytes);
// empty when the item has no luma or no chroma rows.
std::vector<uint8_t> BuildOsdPointsBlock(const stOsdItem &item);
// Packs the item into a new device block, replacing its old one; the block's size, or -1.
int32_t CopyInOSDInfo_Tuning(stOsdItem &item);
// Frees the item's device block; -1 when it has none, else 0 (the pointer is cleared either way).
int32_t FreeOSDInfoInDvc(stOsdItem &item);
// Draws every visible item that has a device block (at most 255) into the frame with one launch;
// a frame in host memory is copied to the device and back. Returns 0.
int32_t DrawOsdInGPU(const stVideoFrameInfo &frame, const OsdItemMap &items);
// Draws every visible placed item into a frame in host memory.
void DrawOsdOnHost(const stVideoFrameInfo &frame, const OsdItemMap &items);
