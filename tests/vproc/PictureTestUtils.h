#pragma once

// Test pictures in host and device memory for the picture kernels' tests. Pictures are contiguous
// I420 in the layout of core/I420Layout.h: Y of width x height, then U and V with their sizes
// halved and rounded up.

#include "vproc/DvcBuffer.h"

#include <cstdint>
#include <functional>
#include <vector>

// A device copy of the bytes; the test fails when it cannot be made.
CDvcBuffer DeviceCopy(const std::vector<uint8_t> &bytes);
// The whole block, copied back.
std::vector<uint8_t> Download(const CDvcBuffer &block);

enum class EPlane { Y = 0, U = 1, V = 2 };
using PixelFunction = std::function<uint8_t(EPlane plane, int x, int y)>;

// A picture (I420Size bytes) with every sample from fn.
std::vector<uint8_t> MakeI420(int width, int height, const PixelFunction &fn);
uint8_t I420At(const std::vector<uint8_t> &picture, int width, int height, EPlane plane, int x, int y);
// Repeatable noise, different for every seed and plane.
std::vector<uint8_t> NoiseI420(int width, int height, uint32_t seed);
// The w x h window at (left, top) of a picture (its chroma at (left / 2, top / 2)), as a picture.
std::vector<uint8_t> CropI420(const std::vector<uint8_t> &picture, int width, int height, int left, int top, int w,
                              int h);
// A picture of one colour.
std::vector<uint8_t> SolidI420(int width, int height, uint8_t y, uint8_t u, uint8_t v);
// Copies a w x h picture into the window at (left, top) of a width x height one (chroma at half).
void PasteI420(std::vector<uint8_t> &picture, int width, int height, const std::vector<uint8_t> &window, int left,
               int top, int w, int h);
// Compares the samples of two pictures (bytes outside the planes do not count) and names the first
// few that differ by plane and position.
void ExpectSameI420(const std::vector<uint8_t> &actual, const std::vector<uint8_t> &expected, int width, int height);
