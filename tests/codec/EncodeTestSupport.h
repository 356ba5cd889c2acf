#pragma once

// Helpers of the encoder tests: a moving I420 test pattern in device memory, encode workers fed
// from a list instead of a link queue, the coded packets decoded back with libavcodec and compared.

#include "codec/VEncWorker.h"
#include "core/TYXWorkerConfig.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <vector>

struct AVFrame;
struct stDecoded;

constexpr uint32_t kEncoderId = 0x08010000;
constexpr uint32_t kEncoderOutput = kEncoderId + 1;
constexpr uint32_t kSourceStream = 0x06010001;
constexpr uint32_t kWriterId = 0x09010000;

// The pattern's picture number n: a gradient with a bright square moving across it.
std::vector<uint8_t> MakePattern(int32_t width, int32_t height, int32_t n);
// A raw picture package of the pattern (device memory when inDevice), pts n x duration.
FramePackage MakePatternPackage(int32_t width, int32_t height, int32_t n, int64_t duration, bool inDevice = true);

// The same stamped pts.
FramePackage MakeStampedPattern(int32_t width, int32_t height, int32_t n, int64_t pts, int64_t duration);
// Which of the pattern's pictures first..last a decoded picture is (the closest).
int32_t ShownPattern(const std::vector<uint8_t> &picture, int32_t width, int32_t height, int32_t first, int32_t last);
// Coded packets as a writer takes them: each decode stamp at or before its pts and above the one
// before.
::testing::AssertionResult DecodeStampsHold(const std::vector<FramePackage> &sent);
// The longest time between decode and display among the packets [from, to).
int64_t LongestDecodeDelay(const std::vector<FramePackage> &sent, size_t from, size_t to);

// A feed of count stamps 40 ms apart with a stall: no picture after stallAfter for `missing`
// stamps. The pattern moves on by one per picture. The failing stamps take what refused(n) makes,
// a picture the encoder cannot take.
struct stStalledFeed
{
    int32_t stallAfter = 0;
    int32_t missing = 0;
    int32_t count = 0;
    std::set<int32_t> failing;
    std::function<FramePackage(int32_t)> refused;
    std::set<int64_t> stamps; // of the pictures the encoder takes
    // 0.6 s missing, then 150 stamps of which the 10th, 15th and 20th are refused.
    static stStalledFeed Around(int32_t stallAfter, std::function<FramePackage(int32_t)> refused);
    int32_t Resumed() const { return stallAfter + missing + 1; }
    void Fill(std::deque<FramePackage> &feed, int32_t width, int32_t height);
};
// Checks what an encoder made of such a feed: decode stamps that hold, each picture's own stamp
// once, and a decode delay within twice the reorder depth away from the stall. True when a group
// of reordered pictures spanned the stall.
bool CheckStampsAcrossStall(const std::vector<FramePackage> &sent, const stStalledFeed &feed, int32_t reorderDepth,
                            int64_t frameUs);

// A decoder's status pictures before its first decoded picture are 1280x720 whatever the size of its
// stream: the first `larger` of `count` pictures 40 ms apart are of that size, the others of the
// stream's 640x360. Larger picture n shows the pattern's picture 2n, which at half its size is the
// stream-sized pattern's picture n.
constexpr int32_t kStreamWidth = 640;
constexpr int32_t kStreamHeight = 360;
void FillStatusSizedThenStreamPictures(std::deque<FramePackage> &feed, int32_t larger, int32_t count);
// What such a feed decodes back to: pictures of the stream's size, the larger ones among them, each
// showing its own picture (its PSNR against the stream-sized pattern above psnrFloor).
void CheckStatusSizedPicturesEncoded(const stDecoded &decoded, int32_t larger, double psnrFloor);

// A configuration record of an encoder taking kSourceStream.
stVideoEncodeWorkerConfig MakeEncoderConfig(int32_t codecId, const std::wstring &codecName, uint16_t width,
                                            uint16_t height, float fps, uint16_t gop, int32_t kbits,
                                            const std::wstring &profile = L"High", const std::wstring &usage = {});
// The input stream parameters of I420 pictures.
stStreamParams MakeInputParams(uint16_t width, uint16_t height, float fps);

// Links for a worker: one input from kSourceStream and one consumer (kWriterId) on its output.
struct stEncoderLinks
{
    stEncoderLinks();
    CTYXWorker::InputLinkMap inputs;
    CTYXWorker::ConsumerLinkMap consumers;
    stWorkerLink input;
    stWorkerLink consumer;
    // Takes every package the consumer got (the caller frees them).
    std::vector<FramePackage> TakeSent();
};

// A worker whose input comes from a list: each receive hands the front package over and reports
// queued as the queue length (1 by default), so WorkingFunc runs without a producer thread.
template <class Worker>
class CFedWorker : public Worker
{
public:
    using Worker::Worker;
    ~CFedWorker() override
    {
        for (FramePackage &package : feed)
            FreeFramePackage(package);
    }
    int32_t ReceivePaketFromUpStream(FramePackage &package, uint32_t, bool) override
    {
        if (feed.empty()) {
            if (onEmpty)
                onEmpty();
            return 0;
        }
        package = feed.front();
        feed.pop_front();
        ++received;
        return reportQueued;
    }
    std::deque<FramePackage> feed;
    std::function<void()> onEmpty; // called on the worker's thread at each receive that finds none
    int32_t reportQueued = 1;
    int32_t received = 0;
};

// Feeds count pattern pictures 40 ms apart and runs the worker's own thread until it has taken them
// all, then stops it as the graph does (the exit event, no end package) and waits for the thread's
// end: WaitThreadExit's result. fed receives the pictures' stamps.
template <class Worker>
int32_t FeedThenStop(CFedWorker<Worker> &worker, int32_t count, int32_t width, int32_t height,
                     std::set<int64_t> &fed)
{
    for (int32_t n = 0; n < count; ++n) {
        worker.feed.push_back(MakePatternPackage(width, height, n, 40000));
        fed.insert(worker.feed.back().pts);
    }
    // Shared: a thread that outlives the wait still finds it.
    auto taken = std::make_shared<std::promise<void>>();
    worker.onEmpty = [taken, once = false]() mutable {
        if (!once)
            taken->set_value();
        once = true;
    };
    if (worker.StartWorkingThread(0, 0) <= 0 || worker.ResumeWorkingThread() != 0)
        return -1;
    taken->get_future().wait();
    return worker.WaitThreadExit(120000);
}
// Each of the stamps once among the packets, and no other.
::testing::AssertionResult EveryPictureOnce(const std::vector<FramePackage> &packets, const std::set<int64_t> &stamps);

// Frees the packages when the scope ends, whatever assertion ended it.
struct stPackagesFreer
{
    std::vector<FramePackage> &packages;
    ~stPackagesFreer()
    {
        for (FramePackage &package : packages)
            FreeFramePackage(package);
    }
};

// Coded video decoded back.
struct stDecoded
{
    int32_t width = 0;
    int32_t height = 0;
    int32_t profile = -99;
    std::vector<std::vector<uint8_t>> pictures; // packed I420, in display order
    std::vector<int64_t> pts;
};
// Decodes the packets (in the order given) after the extradata; false when the decoder refuses them.
bool DecodePackets(int32_t codecId, const std::vector<uint8_t> &extradata, const std::vector<FramePackage> &packets,
                   stDecoded &decoded);
double PsnrI420(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, int32_t width, int32_t height);
// Records coded packets (µs stamps) into an MP4 file as a writer would: 0, or the muxer's negative
// code (it refuses a dts after the pts, or a dts that does not grow).
int WritePacketsToMp4(const std::string &path, int32_t codecId, int32_t width, int32_t height,
                      const std::vector<uint8_t> &extradata, const std::vector<FramePackage> &packets);
// Writes a packed I420 picture as a PNG under artifacts/ of the build folder; its path.
std::string SaveI420AsPng(const std::string &name, const std::vector<uint8_t> &picture, int32_t width, int32_t height);
