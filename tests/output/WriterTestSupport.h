#pragma once

#include "TestEncoder.h"
#include "core/TYXWorkerConfig.h"
#include "host/TYXEvent.h"
#include "output/MWrtWorker.h"
#include "support/Wait.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// What libavformat finds in a recording.
struct stProbedStream
{
    int mediaType = -1;       // 0 video, 1 audio
    int codecId = 0;
    int packets = 0;
    int keyFrames = 0;
    bool firstKey = false;    // the first packet is a key frame
    bool dtsMonotonic = true; // every dts above the one before
    int64_t firstPtsUs = 0;
    int64_t endUs = 0;        // last pts + its duration
    AVRational frameRate{0, 1}; // the average rate as read back
};

struct stProbedFile
{
    bool opened = false;
    int streams = 0;
    int64_t durationUs = 0;
    std::vector<stProbedStream> byStream;
    std::string title;
    std::string comment;
    std::string composer;
    const stProbedStream *Video() const;
    const stProbedStream *Audio() const;
};
stProbedFile ProbeRecording(const std::filesystem::path &path);

// What the first audio stream of a recording decodes to.
struct stProbedSound
{
    bool found = false;
    int codecId = 0;
    int sampleRate = 0;       // as the container states it
    int channels = 0;
    int packets = 0;
    int failedPackets = 0;    // the decoder refused them
    int64_t samples = 0;      // decoded, per channel
};
stProbedSound ProbeSound(const std::filesystem::path &path);

// Plays a media file through the program's file reader into the writer, as a file source hands
// its packages on: opens the writer at the destination with the file's streams (video first) and
// writes every package, times in µs from the streams' earliest start. An audio package's data
// goes through rewrite when one is given; with audioFrames > 1 that many audio packages go as one,
// their data back to back. The number of packages the writer refused, or -1 (the file) or -2 (the
// writer) when one did not open.
using AudioRewrite = std::function<void(std::vector<uint8_t> &data)>;
int WriteFileThroughWriter(const std::filesystem::path &source, CStreamWriter &writer, const std::string &destination,
                           int audioFrames = 1, const AudioRewrite &rewrite = AudioRewrite());

// The record files below a folder, oldest name first (list file excluded).
std::vector<std::filesystem::path> ListRecordings(const std::filesystem::path &folder);
// The lines of a "RecordFileList.txt" (UTF-16LE with byte-order mark, CR LF).
std::vector<std::wstring> ReadRecordList(const std::filesystem::path &listFile);

// The events queued so far, taken from the program-wide queue.
std::vector<stTYXEvent> TakeEvents();
int CountEvents(const std::vector<stTYXEvent> &events, int32_t type, const std::string &reason = std::string());

// A writer worker on two real links (H.264 and AAC, as from two encode workers), fed by the test.
class CWriterHarness
{
public:
    static constexpr uint32_t kWriterId = 0x10010004u;
    static constexpr uint32_t kVideoStreamId = 0x06010001u;
    static constexpr uint32_t kAudioStreamId = 0x0E010001u;

    CWriterHarness(const CTestEncoder &encoder, bool withAudio, bool withVideo = true);
    ~CWriterHarness();

    // A file writer into root (segment minutes, list file on) or a push writer.
    static stMediaWriteWorkerConfig RecordConfig(const std::filesystem::path &root, bool withAudio, bool withVideo = true);
    static stMediaWriteWorkerConfig PushConfig(int32_t type, const std::string &url, bool withAudio);

    // Copies in the configuration, initialises, starts the thread; Initialize's result. A writer
    // given replaces the one the configuration makes.
    int32_t Start(const stMediaWriteWorkerConfig &config, bool startPushing = true,
                  std::unique_ptr<CStreamWriter> writer = nullptr);
    // Asks the thread to exit and waits for it; its exit code.
    int32_t Stop();
    CTYXMediaWriteWorker &Worker() { return *m_worker; }
    std::shared_ptr<CTYXMediaWriteWorker> SharedWorker() const { return m_worker; }

    // Queues the clip's packets whose times lie in [fromUs, toUs) of the clip, moved by baseUs,
    // interleaved by dts as the encode workers would deliver them (the sound only when withAudio,
    // the picture only when withVideo). The number queued.
    int Feed(int64_t baseUs, int64_t fromUs, int64_t toUs, bool withAudio = true, bool withVideo = true);
    void Queue(const FramePackage &package, bool video);
    size_t Queued(bool video);
    // Waits (polling the queues, the worker's own thread drains them) until both are empty.
    bool WaitDrained(int timeoutMs);
    // The video and audio packets fed so far.
    int FedVideo() const { return m_fedVideo; }
    int FedAudio() const { return m_fedAudio; }

private:
    const CTestEncoder &m_encoder;
    bool m_withAudio;
    bool m_withVideo;
    stWorkerInputLink m_video;
    stWorkerInputLink m_audio;
    std::shared_ptr<CTYXMediaWriteWorker> m_worker;
    stMediaWriteWorkerConfig m_config;
    int m_fedVideo = 0;
    int m_fedAudio = 0;
};

// The writer tests' clip (H.264 and AAC of the default spec), encoded once for the test program.
const CTestEncoder &TestClip();
inline bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 20000)
{
    return WaitUntil(condition, timeoutMs);
}
