#pragma once

// Makes QuickTime clips in memory: the stand-in of the program's built-in animation (300 PNG-coded
// RGBA frames of 1280x720 at 30 fps with a timecode track, video time base 1/15360) and, with other
// settings, the clips the tests need.

#include <cstdint>
#include <vector>

struct stAnimClipSpec
{
    int32_t width = 1280;
    int32_t height = 720;
    int32_t frames = 300;
    int32_t fps = 30;
    int32_t trackTimescale = 15360;
    bool timecode = true;
    bool audioOnly = false; // one second of silence and no video
};

// 0 with the clip's bytes in out, or a negative FFmpeg error.
int32_t MakeAnimClip(const stAnimClipSpec &spec, std::vector<uint8_t> &out);
// One PNG picture of the size (a moving badge on transparency, frame index 0); 0 or an error.
int32_t MakePngPicture(int32_t width, int32_t height, std::vector<uint8_t> &out);
