#pragma once

#include "core/FramePackage.h"
#include "core/ReadWriteLock.h"
#include "core/TYXConfigRecords.h"
#include "input/MediaStreamInfo.h"
#include "input/SourceClock.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Delay values of a stream: -16 asks for an estimate, -256 means no figure is known.
constexpr int32_t TYX_DELAY_ESTIMATE = -16;
constexpr int32_t TYX_DELAY_UNKNOWN = -256;

// The delay figure of one output stream of a demultiplexed source.
struct stStreamDelayEstimate
{
    uint32_t outputId = 0;
    int32_t configuredDelay = TYX_DELAY_UNKNOWN; // the stream's EstmtDly
    std::atomic<int32_t> delay{TYX_DELAY_UNKNOWN};
    int32_t mediaType = 0;
    int16_t audioFrameSize = 1024;
    float frameRate = 0.0f;                      // frames per second
    float sampleRate = 0.0f;
    std::mutex lock;                             // the samples
    std::vector<int32_t> samples;                // ms
};

// The average of the samples as an estimate ends it: 50 ms for a sum of 0 or less, and 300 ms
// (video) or 150 ms (audio) when the average is below 1.
int32_t AverageStreamDelay(const std::vector<int32_t> &samples, int32_t mediaType);

// The one mapping of a source's media time onto the program clock, shared by all its streams for
// one open of the source, so that a picture and the sound of the same moment get the same stamp.
// A file keeps its first offset (program µs = media µs + offset); a live source's clock follows
// the sender's rate and re-anchors where its stamps jump.
struct stSourceTimeBase
{
    static constexpr int64_t kUnset = stSourceMapping::kUnset;

    bool IsSet() const { return clock.IsAnchored(); }
    // The first offset given holds until the clock re-anchors; the mapping in force.
    stSourceMapping SetOnce(int64_t offset) { return clock.AnchorOnce(offset); }

    CSourceClock clock;
};

// One stream of the source, keyed by its container index in the stream table.
struct stReadStreamState
{
    stReadStreamState() = default;
    ~stReadStreamState() { FreeFramePackage(reservedKeyFrame); }
    stReadStreamState(const stReadStreamState &) = delete;
    stReadStreamState &operator=(const stReadStreamState &) = delete;

    int16_t subNo = 0;                        // the reader's stream number
    uint32_t outputId = 0;                    // sub number plus worker id
    uint32_t session = 0;                     // the open of the source it belongs to
    stMediaStreamInfo info;                   // own copy of the reader's record
    std::optional<stTYXStreamConfig> config;
    int32_t threadId = 0;                     // the stream thread serving it
    std::shared_ptr<stStreamDelayEstimate> estimate;
    std::shared_ptr<stSourceTimeBase> sourceBase; // the same for every stream of the open

    std::mutex mutex;                         // every field below
    int64_t streamBaseTime = 0;               // program-clock µs, 0 = not set
    int64_t basePts = 0;                      // stream time base
    int64_t lastPts = TYX_NOPTS_VALUE;
    // Where the stream joined the source's time line (its packages are stamped through the
    // source's base).
    int64_t localBaseTime = 0;                // 0 = not set
    int64_t localBasePts = 0;
    int64_t localBaseDts = 0;
    int64_t packetsSent = 0;
    int64_t unitsSent = 0;
    FramePackage reservedKeyFrame;            // own data copy, empty when none
    // Counted by the main thread for every package read, without the mutex.
    std::atomic<int64_t> packetsRead{0};
    std::atomic<int64_t> unitsRead{0};        // video frames or audio samples
};

// The counters of one stream as the statistics operations hand them out.
struct stReadStreamCounts
{
    int16_t subNo = 0;
    int64_t packetsRead = 0;
    int64_t unitsRead = 0;
    int64_t packetsSent = 0;
    int64_t unitsSent = 0;
};

// One stream thread's record in the thread map.
struct StrmPrcsThdPrmtrs
{
    StrmPrcsThdPrmtrs() = default;
    ~StrmPrcsThdPrmtrs();
    StrmPrcsThdPrmtrs(const StrmPrcsThdPrmtrs &) = delete;
    StrmPrcsThdPrmtrs &operator=(const StrmPrcsThdPrmtrs &) = delete;

    std::atomic<int16_t> containerIndex{-1};  // -1: a free thread
    int16_t subNo = 0;
    int16_t subNo2 = 0;
    std::atomic<uint32_t> outputId{0};
    int32_t threadId = 0;
    std::optional<stTYXStreamConfig> config;
    CCriticalSection queueLock;
    // Copies owned by the queue, oldest first. The stream thread swaps the whole queue for its
    // emptied batch, so the two vectors go back and forth without allocating.
    std::vector<FramePackage> queue;
    CEvent queued{false};                     // wakes the thread when it sleeps
    std::atomic<bool> pending{false};         // the queue has packages (looked at without its lock)
    std::atomic<bool> sleeping{false};        // the thread waits on queued
    std::atomic<bool> busy{false};            // a package taken from the queue is being handled
    std::atomic<int32_t> held{0};             // packages its thread holds while the source settles
    int64_t dropped = 0;                      // copies refused by a full queue
    int32_t kind = 0;                         // 2 coded video, 8 coded audio
    uint32_t workerId = 0;
    uint32_t workerId2 = 0;
    CReadWriteLock lock;
};
