#pragma once

// Clips and pictures from the clip maker, in memory or written to a test folder.

#include "AnimClipMaker.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

inline std::vector<uint8_t> MakeClip(int32_t width, int32_t height, int32_t frames, bool timecode = false)
{
    stAnimClipSpec spec;
    spec.width = width;
    spec.height = height;
    spec.frames = frames;
    spec.timecode = timecode;
    std::vector<uint8_t> clip;
    EXPECT_EQ(MakeAnimClip(spec, clip), 0);
    return clip;
}

inline std::vector<uint8_t> MakePng(int32_t width, int32_t height)
{
    std::vector<uint8_t> png;
    EXPECT_EQ(MakePngPicture(width, height, png), 0);
    return png;
}

// The file's path (UTF-8).
inline std::string WriteTestFile(const CTempDir &dir, const std::string &name, const std::vector<uint8_t> &bytes)
{
    const std::string path = dir.File(name).string();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}
