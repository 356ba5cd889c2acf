#pragma once

// Real decoded pictures for the mid-processing workers' tests: a clip is encoded by the test,
// decoded again with libavcodec, and each picture handed over as a contiguous I420 picture, in host
// memory or as a device package the way a decoder worker sends it.

#include "core/FramePackage.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct stDecodedPicture
{
    int width = 0;
    int height = 0;
    std::vector<uint8_t> i420;
};

// Makes a clip of width x height at fps (its codec picks the pattern) and decodes up to count of its
// pictures; the test fails when it cannot.
std::vector<stDecodedPicture> DecodeTestClip(const std::filesystem::path &folder, const std::string &name, int width,
                                             int height, int fps, int count);

// A device package holding the picture, stamped pts; the caller owns it.
FramePackage DevicePackageOf(const stDecodedPicture &picture, int64_t pts);
// The device or host package's bytes, copied back.
std::vector<uint8_t> DownloadPackage(const FramePackage &package);
// Saves an I420 picture as a PNG (under artifacts/ of the build folder) for a person to look at.
void SavePictureAsPng(const std::vector<uint8_t> &i420, int width, int height, const std::string &name);
