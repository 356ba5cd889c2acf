#pragma once

// The flash-and-beep clip that sound-against-picture checks measure with: every period a white
// flash and a 1 kHz beep that start together, each numbered, so that an offset of a whole period
// or more does not look like none. The picture marks a flash's number with dark blocks in its
// lowest band (four bits, the highest on the left); the sound marks it by a second tone after the
// beep, 60 ms long for 0 and 40 ms longer for each step.

#include "support/TestMedia.h"

#include <cstdint>
#include <filesystem>
#include <string>

// Timing and look of the clip's marks; the rest of stTestMediaSpec (container, codecs, size,
// rate) is given with it.
struct stFlashBeepSpec
{
    int firstMs = 1000;        // the first flash; it lies on a picture
    int periodMs = 2000;       // from one flash to the next; a whole number of pictures
    int numbers = 16;          // flashes count 0, 1, ... numbers - 1 and then again from 0
    int soundOffsetMs = 0;     // each beep this much after (negative: before) its flash
    // The part of the picture that flashes, as fractions of its width and height; the rest stays
    // dark, or flashes on its own a decoy period apart when decoyOffsetMs is not 0.
    double left = 0.0;
    double top = 0.0;
    double width = 1.0;
    double height = 1.0;
    int decoyOffsetMs = 0;
};

// Pictures a flash lasts; the number is readable in each of them.
constexpr int kFlashPictures = 3;
constexpr int kBeepMs = 100;
constexpr int kNumberToneGapMs = 100;
constexpr int kNumberToneMs = 60;
constexpr int kNumberToneStepMs = 40;
constexpr int kFlashNumberBits = 4;

// Fills media.paintPicture and media.soundSample with the clip's marks.
void SetUpFlashBeep(stTestMediaSpec &media, const stFlashBeepSpec &marks);

// Writes the clip: 0 or a negative FFmpeg code.
int WriteFlashBeepClip(const std::filesystem::path &path, stTestMediaSpec media, const stFlashBeepSpec &marks);
