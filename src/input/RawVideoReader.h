#pragma once

#include "input/CaptureReader.h"

#include <cstdint>
#include <string>

// One video capture device (V4L2 node, X screen, or a generated picture). It delivers the device's
// frames raw or coded, as the device gives them. The owner sets the requested size and rate before
// every open.
class CRawVideoReader : public CCaptureReader
{
public:
    // Opens the device: the captured stream's container index, or a negative code.
    int32_t OpenMediaSource(const std::string &deviceName);
    using CCaptureReader::OpenMediaSource;
    // One packet of the captured stream: its length, 0 at the end, or a negative code.
    int32_t ReadPacket(FramePackage &package) override;

    // Requested picture size (0: the device's) and frame rate (0 or below: the device's).
    void SetRequest(int16_t width, int16_t height, float frameRate);
    int32_t TicksPerFrame() const { return m_ticksPerFrame; }
    bool NeedsDecoding() const { return m_needsDecoding != 0; }
    int32_t CapturedWidth() const { return m_width; }
    int32_t CapturedHeight() const { return m_height; }
    int32_t CapturedPixelFormat() const { return m_pixelFormat; }
    AVRational TimeBase() const { return m_timeBase; }

protected:
    int32_t OpenDevice(const std::string &name) override { return OpenMediaSource(name); }

private:
    void SetOptions();
    // Takes what the open found from the chosen stream; 0 or -1016.
    int32_t TakeStream(int32_t index, const std::wstring &name);
    // How long one read may block: at least 1 s, and two frames of a slow device.
    int32_t ReadDeadlineUs() const;

    AVRational m_timeBase{0, 1};
    int32_t m_width = -1;
    int32_t m_height = -1;
    int32_t m_pixelFormat = -1;
    int16_t m_requestedWidth = 0;
    int16_t m_requestedHeight = 0;
    float m_requestedFrameRate = 0.0f;
    int32_t m_ticksPerFrame = 0;
    uint8_t m_needsDecoding = 0;
};
