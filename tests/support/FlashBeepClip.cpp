#include "support/FlashBeepClip.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <cmath>

namespace {

constexpr uint8_t kDarkLuma = 32;
constexpr uint8_t kFlashLuma = 235;
constexpr uint8_t kMarkLuma = 16;
constexpr uint8_t kNeutralChroma = 128;
constexpr double kBandShare = 0.3;     // the lowest part of the flash that carries the number
constexpr double kBeepHz = 1000.0;
constexpr double kNumberHz = 2000.0;
constexpr double kLevel = 0.5;
constexpr double kRampMs = 1.0;        // soft edges, so the coder does not smear the onset

int64_t FloorDiv(int64_t value, int64_t divisor)
{
    const int64_t quotient = value / divisor;
    return (value % divisor != 0 && (value < 0) != (divisor < 0)) ? quotient - 1 : quotient;
}

// The number of the flash that shows in the picture of that index, or -1.
int FlashNumberAt(int64_t index, int fps, const stFlashBeepSpec &marks, int shiftMs)
{
    const int64_t first = static_cast<int64_t>(marks.firstMs + shiftMs) * fps / 1000;
    const int64_t period = static_cast<int64_t>(marks.periodMs) * fps / 1000;
    if (period <= 0 || index < first)
        return -1;
    const int64_t flash = (index - first) / period;
    if (index - first - flash * period >= kFlashPictures)
        return -1;
    return static_cast<int>(flash % marks.numbers);
}

struct stWindow
{
    int x0, y0, x1, y1, band;
};

stWindow WindowOf(const AVFrame &picture, const stFlashBeepSpec &marks)
{
    stWindow window{};
    window.x0 = static_cast<int>(marks.left * picture.width);
    window.y0 = static_cast<int>(marks.top * picture.height);
    window.x1 = static_cast<int>((marks.left + marks.width) * picture.width);
    window.y1 = static_cast<int>((marks.top + marks.height) * picture.height);
    window.band = window.y1 - static_cast<int>(kBandShare * (window.y1 - window.y0));
    return window;
}

uint8_t LumaAt(int x, int y, const stWindow &window, int number, bool decoy)
{
    if (x < window.x0 || x >= window.x1 || y < window.y0 || y >= window.y1)
        return decoy ? kFlashLuma : kDarkLuma;
    if (number < 0)
        return kDarkLuma;
    if (y < window.band)
        return kFlashLuma;
    const int block = (x - window.x0) * kFlashNumberBits / std::max(1, window.x1 - window.x0);
    const bool set = (number >> (kFlashNumberBits - 1 - block)) & 1;
    return set ? kMarkLuma : kFlashLuma;
}

void PaintFlash(AVFrame &picture, int64_t index, int fps, const stFlashBeepSpec &marks)
{
    const int number = FlashNumberAt(index, fps, marks, 0);
    const bool decoy = marks.decoyOffsetMs != 0 && FlashNumberAt(index, fps, marks, marks.decoyOffsetMs) >= 0;
    const stWindow window = WindowOf(picture, marks);
    for (int y = 0; y < picture.height; ++y) {
        uint8_t *row = picture.data[0] + y * picture.linesize[0];
        for (int x = 0; x < picture.width; ++x)
            row[x] = LumaAt(x, y, window, number, decoy);
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < (picture.height + 1) / 2; ++y)
            std::fill_n(picture.data[plane] + y * picture.linesize[plane], (picture.width + 1) / 2, kNeutralChroma);
    }
}

double Tone(double hz, int64_t offset, int64_t length, int sampleRate)
{
    const double ramp = kRampMs * sampleRate / 1000.0;
    const double edge = std::min({1.0, offset / ramp, (length - offset) / ramp});
    return kLevel * edge * std::sin(2.0 * M_PI * hz * static_cast<double>(offset) / sampleRate);
}

double BeepSample(int64_t sample, int sampleRate, const stFlashBeepSpec &marks)
{
    const int64_t first = std::llround((marks.firstMs + marks.soundOffsetMs) * static_cast<double>(sampleRate) / 1000.0);
    const int64_t period = static_cast<int64_t>(marks.periodMs) * sampleRate / 1000;
    if (period <= 0 || sample < first)
        return 0.0;
    const int64_t beep = FloorDiv(sample - first, period);
    const int64_t offset = sample - first - beep * period;
    const int64_t beepLength = static_cast<int64_t>(kBeepMs) * sampleRate / 1000;
    if (offset < beepLength)
        return Tone(kBeepHz, offset, beepLength, sampleRate);
    const int number = static_cast<int>(beep % marks.numbers);
    const int64_t toneStart = static_cast<int64_t>(kBeepMs + kNumberToneGapMs) * sampleRate / 1000;
    const int64_t toneLength = static_cast<int64_t>(kNumberToneMs + kNumberToneStepMs * number) * sampleRate / 1000;
    if (offset >= toneStart && offset < toneStart + toneLength)
        return Tone(kNumberHz, offset - toneStart, toneLength, sampleRate);
    return 0.0;
}

} // namespace

void SetUpFlashBeep(stTestMediaSpec &media, const stFlashBeepSpec &marks)
{
    const int fps = media.fps;
    const int sampleRate = media.sampleRate;
    media.paintPicture = [fps, marks](AVFrame &picture, int64_t index) { PaintFlash(picture, index, fps, marks); };
    media.soundSample = [sampleRate, marks](int64_t sample) { return BeepSample(sample, sampleRate, marks); };
}

int WriteFlashBeepClip(const std::filesystem::path &path, stTestMediaSpec media, const stFlashBeepSpec &marks)
{
    SetUpFlashBeep(media, marks);
    return WriteTestMedia(path, media);
}
