#pragma once

// Measures sound against picture in a recording of the flash-and-beep clip (FlashBeepClip.h):
// finds each flash in a part of the picture and each beep in the sound, pairs them by number and
// gives the offsets and what time the picture and the sound cover.

#include <filesystem>
#include <string>
#include <vector>

// The part of the picture that shows the clip (fractions of width and height), e.g. one window of
// a mux.
struct stSyncRegion
{
    double left = 0.0;
    double top = 0.0;
    double width = 1.0;
    double height = 1.0;
};

// A flash or a beep: its number and where it starts, in ms of the recording's time line.
struct stSyncMark
{
    int number = -1;
    double ms = 0.0;
};

struct stSyncPair
{
    int number = -1;
    double pictureMs = 0.0;
    double soundMs = 0.0;
    double offsetMs = 0.0;     // sound minus picture: positive when the sound is late
};

struct stSyncReport
{
    bool opened = false;
    std::string error;
    std::vector<stSyncMark> flashes;
    std::vector<stSyncMark> beeps;
    std::vector<stSyncPair> pairs;     // in the order of the flashes
    int pictures = 0;
    double pictureStartMs = 0.0;
    double pictureEndMs = 0.0;         // end of the last picture
    double soundStartMs = 0.0;
    double soundEndMs = 0.0;           // end of the last sample

    double PictureSeconds() const { return (pictureEndMs - pictureStartMs) / 1000.0; }
    double SoundSeconds() const { return (soundEndMs - soundStartMs) / 1000.0; }
    // The pairs whose flash lies in [fromMs, toMs).
    std::vector<stSyncPair> PairsBetween(double fromMs, double toMs) const;
    // One line with the pair count, the median and the largest offset and the covered times.
    std::string Summary() const;
};

// The median offset of the pairs (0 without pairs).
double MedianOffsetMs(const std::vector<stSyncPair> &pairs);
// The offset of the largest magnitude, with its sign (0 without pairs).
double LargestOffsetMs(const std::vector<stSyncPair> &pairs);
// "n pairs, median m ms, largest l ms": for messages.
std::string DescribeOffsets(const std::vector<stSyncPair> &pairs);

// Reads the file (MP4, FLV, ...) with libavformat and decodes its first video and audio streams.
// A beep pairs with the flash of its number nearest to it, within maxPairDistanceMs.
stSyncReport AnalyseSync(const std::filesystem::path &file, const stSyncRegion &region = {},
                         double maxPairDistanceMs = 5000.0);
