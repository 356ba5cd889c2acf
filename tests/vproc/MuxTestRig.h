#pragma once

// A mux worker wired as the pipeline wires it: input links whose queues the test fills like the
// decoders do, one consumer link whose queue the test reads like an encoder, and the reference
// composition made by the scaler and the composer called directly.

#include "DecodedPictures.h"

#include "core/TYXWorkerConfig.h"
#include "vproc/VideoMuxWorker.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

constexpr uint32_t kMuxId = 0x04010000;
constexpr uint32_t kConsumerId = 0x06010000;

// Input stream n (from 1) of the rig.
inline uint32_t InputId(int n)
{
    return 0x02000000u + static_cast<uint32_t>(n) * 0x10000u + 1;
}

// Polls until the condition holds (the worker's threads run on their own); false after timeoutMs.
// How long a test waits for what it needs at most: only a test that fails waits so long, and a
// loaded machine (or a sanitizer build) gets there in its own time.
constexpr int kTestWaitMs = 60000;

inline bool WaitFor(const std::function<bool()> &condition, int timeoutMs = kTestWaitMs)
{
    return WaitUntil(condition, timeoutMs);
}

class CMuxRig
{
public:
    // inputs linked at construction; regions: input n shows in region n for n <= windows.
    CMuxRig(int inputs, int layout, int width = 1280, int height = 720, int threadsPerInput = 1);
    ~CMuxRig();

    stVideoMidProcWorkerConfig &Config() { return m_config; }
    CVideoMuxWorker &Mux() { return *m_mux; }
    std::shared_ptr<CVideoMuxWorker> MuxPtr() { return m_mux; }
    // CopyInConfiguration, Initialize, start and resume, then waits for the first output (inputs
    // fed before the first pass would be emptied by it); the first failing result, or 0.
    int32_t Start(bool waitFirstOutput = true);
    void Stop();

    // Queues a package to input n (taken over); all: the packages go in together under the
    // input-link lock, so the grouping sees all or none of them.
    void Feed(int n, FramePackage package);
    void FeedAll(std::vector<FramePackage> packages);
    void FeedStatus(int n, int32_t statusCode);
    // Output packages so far (removed from the consumer queue; the rig frees them at the end).
    std::vector<FramePackage> TakeOutputs();
    size_t WaitOutputs(size_t count, int timeoutMs = kTestWaitMs);
    std::vector<FramePackage> &Outputs() { return m_outputs; }
    // The index of the first output from `from` on whose picture equals expected, or SIZE_MAX.
    // refeed, when given, queues the inputs again whenever the mux has taken them all: a group
    // that met a full ring is dropped with its pictures, as a live source would simply send more.
    size_t WaitForCanvas(const std::vector<uint8_t> &expected, size_t from = 0, int timeoutMs = kTestWaitMs,
                         const std::function<void()> &refeed = {});
    bool InputsEmpty();
    stWorkerConsumerLink &Consumer() { return m_consumer; }

    // A program clock that only the test moves (call before Start): the mux makes a group when the
    // test moves the clock to the time the group is due, so that no group depends on how fast the
    // machine is.
    void UseSteppedClock(int64_t start);
    int64_t Now() const { return *m_now; }
    void SetNow(int64_t now) { *m_now = now; }
    // Moves the clock on to the time the mux's next group is due, as often as the mux asks for a
    // later one, until that group came out; beforeMove (when given) runs with each new time before the
    // clock gets there. The clock moves only while no group is on its way, so that none meets a full
    // ring on a slow machine. False when no group came out within the bound.
    bool StepToNextGroup(const std::function<void(int64_t)> &beforeMove = {});
    // Waits until the mux made `groups` groups since its start and every one came out.
    bool WaitGroupsOut(uint32_t groups);

private:
    stVideoMidProcWorkerConfig m_config;
    CTYXWorker::InputLinkMap m_links;
    stWorkerConsumerLink m_consumer;
    std::shared_ptr<CVideoMuxWorker> m_mux;
    std::vector<FramePackage> m_outputs;
    size_t m_outputsEver = 0; // taken from the consumer queue since the start
    bool m_started = false;
    std::shared_ptr<std::atomic<int64_t>> m_now = std::make_shared<std::atomic<int64_t>>(0);
};

// An I420 picture of one colour: a window that shows it has that luma wherever it is scaled to.
stDecodedPicture FlatPicture(int width, int height, uint8_t luma);
// The luma at the middle of a window of an output package.
int WindowLuma(const FramePackage &output, int width, int height, int layout, int window);

// The canvas the mux should make: each picture scaled to its window by the scaler and composed by
// the composer (pictures[i] goes to window i; an empty picture leaves the window to the caller).
std::vector<uint8_t> ReferenceComposition(int layout, int width, int height,
                                          const std::vector<const stDecodedPicture *> &pictures);
// The window's part of a canvas.
std::vector<uint8_t> WindowOf(const std::vector<uint8_t> &canvas, int width, int height, int layout, int window,
                              int &windowWidth, int &windowHeight);
