#pragma once

#include <cstdint>
#include <string>

// Where a configured capture device name leads: the libavdevice input format and what it opens.
//   video: "/dev/video0" or "v4l2:/dev/video0" (any node under /dev), "x11grab::0.0+0,0" (a screen
//          of the local X server), or the card name of a V4L2 device as the listing shows it;
//   audio: "alsa:<pcm>", "pulse:<source>", or a bare ALSA PCM name ("default", "hw:1,0");
//   both:  "lavfi:<filter graph>" (generated pictures and tones) and "file:<path>" (a recorded
//          device, played as fast as it is read), only where test sources are allowed: a graph
//          or a path could read any file.
struct stCaptureSource
{
    std::string format; // libavdevice input format name; empty: probed from the file
    std::string url;
};

constexpr size_t TYX_CAPTURE_NAME_MAX = 512;

// Results besides 0.
constexpr int32_t TYX_CAPTURE_BAD_NAME = -1;       // empty, too long, control characters, bad form
constexpr int32_t TYX_CAPTURE_NOT_ALLOWED = -3;    // a test source where none is allowed

// The name as it may be logged: control characters become '?', and a long name is cut.
std::string PrintableDeviceName(const std::string &name);

// Maps a device name; a card name is looked up among the video nodes of deviceFolder. 0, one of
// the codes above, or AVERROR(ENOENT) for a card name that no node has.
int32_t ResolveCaptureSource(const std::string &name, bool video, bool allowTestSources, const std::string &deviceFolder,
                             stCaptureSource &source);
