#pragma once

#include "input/CaptureSource.h"
#include "input/GMediaReader.h"

#include <cstdint>
#include <string>

struct AVCodecParameters;
struct AVDictionary;
struct AVPacket;
struct AVStream;

// Results of the capture opens besides FFmpeg's codes and the reader results.
constexpr int32_t TYX_CAP_NO_CONTEXT = -2;
constexpr int32_t TYX_CAP_NO_INPUT_FORMAT = -4;
constexpr int32_t TYX_CAP_NO_CODEC_PARAMETERS = -1016;

// What the video and the audio capture reader share: one captured stream of a libavdevice input,
// its record, the open's option dictionary and the packet reading. The open of a device goes
// through the class's own OpenMediaSource(device name); the virtual open with request maps leads
// there too, so Reopen opens the stored device again.
class CCaptureReader : public CMediaSourceReader
{
public:
    CCaptureReader();
    ~CCaptureReader() override;

    // The request maps are not used: a capture device has one stream.
    int32_t OpenMediaSource(const std::string &source, StreamRequestMap *video, StreamRequestMap *audio) override;
    // The captured stream's record whatever number is asked; none while closed.
    stMediaStreamInfo *GetStreamParameters(int16_t number) override;

    // Test sources ("lavfi:", "file:") may be opened.
    void AllowTestSources(bool allow) { m_allowTestSources = allow; }
    // Where V4L2 card names are looked up ("/dev").
    void SetDeviceFolder(const std::string &folder) { m_deviceFolder = folder; }

    int16_t CapturedIndex() const { return m_capturedIndex; }
    // The captured stream's codec parameters (owner thread, while open), or none.
    const AVCodecParameters *CodecParameters() const;
    const stCaptureSource &Source() const { return m_source; }
    int64_t LastPts() const { return m_lastPts; }
    int32_t ReadCount() const { return m_readCount; }
    int32_t LastReadMs() const { return m_lastReadMs; }
    int64_t LastReadTime() const { return m_lastReadTime; }

    // Reserved for the owner; the reader does not read them.
    int64_t m_ownerStamps[3] = {TYX_NOPTS_VALUE, TYX_NOPTS_VALUE, TYX_NOPTS_VALUE};

protected:
    // Opens the named device; the captured stream's container index, or a negative code.
    virtual int32_t OpenDevice(const std::string &name) = 0;
    void CloseLocked() override;

    // Maps the name, allocates the input and opens it with m_options: 0 or a negative code (the
    // reader then closed). The tag begins the log lines ("[Video-Capture]"); the open is logged.
    int32_t OpenInput(const std::string &name, bool video, const wchar_t *tag, bool interrupt, int32_t openDeadlineUs);
    // Reads the opened input's stream information and picks the stream of the media type, each
    // step within the deadline: its index, or a negative code (the reader then closed).
    int32_t FindCapturedStream(const std::string &name, int32_t mediaType, const wchar_t *tag, int32_t deadlineUs);
    // Logs a captured stream without codec parameters and closes: TYX_CAP_NO_CODEC_PARAMETERS.
    int32_t RefuseStreamWithoutParameters(int32_t mediaType, const wchar_t *tag);
    // Reads the next usable packet of the captured stream into the package (pts, dts, data and
    // the like; the caller adds its media fields): its length, 0 at the end of the input, or a
    // negative code. Packets of other streams, packets without a valid time stamp and packets
    // without data are logged and read past.
    int32_t ReadCapturedPackage(FramePackage &package, const wchar_t *tag, int32_t eagainLevel, int32_t deadlineUs);

    AVPacket *m_capturePacket = nullptr;
    int16_t m_capturedIndex = -1;
    AVStream *m_capturedStream = nullptr;
    stMediaStreamInfo m_record;
    bool m_hasRecord = false;
    AVDictionary *m_options = nullptr;
    stCaptureSource m_source;
    int64_t m_lastPts = TYX_NOPTS_VALUE;
    int32_t m_readCount = 0;
    int32_t m_lastReadMs = 0;
    int64_t m_lastReadTime = 0;

private:
    // The best stream of the type, else the first of it: its index, or -1.
    int32_t ChooseStream(int32_t mediaType);
    // Reads up to the next usable packet of the captured stream into m_capturePacket: its length, 0
    // at the end of the input, or FFmpeg's code.
    int32_t ReadCapturedPacket(const wchar_t *tag, int32_t eagainLevel, int32_t deadlineUs);

    bool m_allowTestSources = false;
    std::string m_deviceFolder = "/dev";
};
