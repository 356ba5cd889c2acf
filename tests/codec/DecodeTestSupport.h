#pragma once

// What the decoder tests feed and compare: coded streams made by libx264/libx265 through libavcodec
// (Annex B, stamps in µs of the program clock, as the read workers send them), a plain libavcodec
// decode of the same packets as the reference, and a harness that wires a decode worker to an input
// and a consumer queue.

#include "codec/VDecWorker.h"
#include "core/StreamParams.h"
#include "core/TYXUtils.h"
#include "core/TYXWorkerConfig.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct stTestStreamSpec
{
    std::string encoder = "libx264"; // or "libx265"
    int width = 320;
    int height = 240;
    int fps = 25;
    int frames = 20;
    int gop = 10;
    int bFrames = 0;
    int64_t firstPts = 1000000000; // µs
    int seed = 0;                  // varies the picture pattern
    bool globalHeader = false;     // parameter sets in the extradata instead of in the key frames
};

struct stCodedPacket
{
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t dts = 0;
    bool key = false;
};

struct stCodedStream
{
    std::vector<stCodedPacket> packets;
    stStreamParams params; // as a read worker publishes it
};

// Encodes the stream; false when the encoder is missing or fails.
bool EncodeTestStream(const stTestStreamSpec &spec, stCodedStream &out);

// One picture, packed I420 (or the requested format), with its pts.
struct stPicture
{
    int64_t pts = 0;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bytes;
};

// Decodes the packets with plain libavcodec (drained at the end) and converts each picture with
// libswscale (bicubic) to outWidth x outHeight yuv420p when the size differs (0: its own size).
std::vector<stPicture> ReferenceDecode(const std::vector<stCodedPacket> &packets, const stStreamParams &params,
                                       int outWidth = 0, int outHeight = 0);

// A coded video package owning a copy of the packet (host memory).
FramePackage MakeCodedPackage(const stCodedPacket &packet);
FramePackage MakeStatusPackage(int32_t code, int64_t pts);

// The picture of a package, copied to the host.
stPicture ReadPicture(const FramePackage &frame);
// Saves an I420 picture as a PNG under artifacts/ (for a person to look at).
bool SaveI420AsPng(const std::string &name, const stPicture &picture);

// How long a test waits for what it needs at most: only a test that fails waits so long, and a
// loaded machine (or a sanitizer build) gets there in its own time.
constexpr uint32_t kTestWaitMs = 60000;

// Polls until the condition holds or timeoutMs pass: true when it held.
bool PollUntil(const std::function<bool()> &condition, uint32_t timeoutMs = kTestWaitMs);

// A tick source the test moves forward by hand on top of the real one.
class CTestTicks
{
public:
    uint32_t Now() const;
    void Advance(uint32_t ms) { m_offset += ms; }

private:
    std::atomic<uint32_t> m_offset{0};
};

// A decode worker with one input queue and one consumer queue.
class CDecodeHarness
{
public:
    static constexpr uint32_t kWorkerId = 0x02010000;
    static constexpr uint32_t kSourceStream = 0x01010001;
    static constexpr uint32_t kConsumerId = 0x04010000;

    using Factory = std::function<std::shared_ptr<CTYXVDecWorker>(uint32_t, const CTYXWorker::InputLinkMap *,
                                                                  const CTYXWorker::ConsumerLinkMap *)>;
    explicit CDecodeHarness(Factory factory, bool withConsumer = true);
    ~CDecodeHarness();

    stVideoDecodeWorkerConfig &Config() { return m_config; }
    CTYXVDecWorker &Worker() { return *m_worker; }
    // CopyInConfiguration, the input parameters, Initialize; false when one fails.
    bool Configure(const stStreamParams &input);
    bool Start();
    void Stop();
    void Feed(const FramePackage &package);
    void Feed(const stCodedPacket &packet) { Feed(MakeCodedPackage(packet)); }
    size_t InputQueued();
    // Takes what the consumer queue holds now (the test owns them).
    std::vector<FramePackage> Take();
    // Takes packages until count have come or timeoutMs passed.
    std::vector<FramePackage> TakeAtLeast(size_t count, uint32_t timeoutMs = kTestWaitMs);
    void UseTicks(CTestTicks &ticks);

private:
    stWorkerLink m_input;
    stWorkerLink m_output;
    CTYXWorker::InputLinkMap m_inputs;
    CTYXWorker::ConsumerLinkMap m_consumers;
    stVideoDecodeWorkerConfig m_config;
    std::shared_ptr<CTYXVDecWorker> m_worker;
    bool m_started = false;
};

void FreePackages(std::vector<FramePackage> &packages);
