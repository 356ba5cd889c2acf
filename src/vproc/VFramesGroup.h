#pragma once

// One entry of the mux worker's task ring: the pictures of one output group, one task per window,
// and the states that hand the group from the grouping thread to the scaling threads, to the
// composition thread and to the clean-up thread.

#include "core/ReadWriteLock.h"

#include <cstdint>
#include <memory>
#include <vector>

// Group states.
constexpr int32_t TYX_GROUP_FREE = 0;
constexpr int32_t TYX_GROUP_GIVEN_UP = 1;
constexpr int32_t TYX_GROUP_READY = 2;
constexpr int32_t TYX_GROUP_SCALING = 3;
constexpr int32_t TYX_GROUP_SCALED = 4;
constexpr int32_t TYX_GROUP_COMPOSING = 5;
constexpr int32_t TYX_GROUP_DROPPED = 6;

// Task states.
constexpr int32_t TYX_TASK_READY = 2;
constexpr int32_t TYX_TASK_SCALING = 3;
constexpr int32_t TYX_TASK_DONE = 4;
constexpr int32_t TYX_TASK_CLEANED = 7;

// One window of one group. The task owns its source and scaled pictures (both device or host
// memory by their flags, as package data); they may be one picture, which is then freed once.
struct stVFrameScaleInfo
{
    stVFrameScaleInfo() : taskLock(std::make_unique<CReadWriteLock>()) {}
    ~stVFrameScaleInfo() { Reset(true); }
    stVFrameScaleInfo(const stVFrameScaleInfo &) = delete;
    stVFrameScaleInfo &operator=(const stVFrameScaleInfo &) = delete;

    // Frees the pictures when asked and zeroes every member but the lock.
    void Reset(bool freeMemory);
    // Takes over every member but the lock from other, which is left zeroed.
    void TakeFrom(stVFrameScaleInfo &other);

    uint8_t srcInDevice = 0;
    uint8_t *source = nullptr;
    int32_t srcLength = 0;   // 0: the input's last valid picture; < 0 a source status code
    int32_t srcWidth = 0;
    int32_t srcHeight = 0;
    int32_t srcPitch = 0;
    int32_t inputStreamId = 0;
    int16_t regionIndex = -1;
    int64_t srcTime = 0;     // when the package was taken from its queue, µs
    uint8_t scaledInDevice = 1;
    uint8_t *scaled = nullptr;
    int32_t scaledWidth = 0;
    int32_t scaledHeight = 0;
    int32_t scaledLength = 0;
    uint8_t done = 0;
    int32_t state = 0;
    std::unique_ptr<CReadWriteLock> taskLock;
};

struct stVFramesGroupInfo
{
    stVFramesGroupInfo()
        : groupLock(std::make_unique<CReadWriteLock>()), stateLock(std::make_unique<CReadWriteLock>())
    {
    }
    ~stVFramesGroupInfo() { Reset(true); }
    stVFramesGroupInfo(const stVFramesGroupInfo &) = delete;
    stVFramesGroupInfo &operator=(const stVFramesGroupInfo &) = delete;

    // Frees the output picture and every task's pictures when asked, clears the group and its tasks.
    void Reset(bool freeMemory);
    // Makes count tasks (keeping the ones there are).
    void ResizeTasks(size_t count);
    // A new group that takes over every picture of this one, which keeps its tasks, emptied.
    std::unique_ptr<stVFramesGroupInfo> TakeOver();
    int32_t GetState() const;
    void SetState(int32_t value);

    std::vector<std::unique_ptr<stVFrameScaleInfo>> tasks;
    uint8_t *outputFrame = nullptr; // device picture
    int64_t pts = 0;
    bool muxed = false;
    int32_t outputLength = 0;
    std::unique_ptr<CReadWriteLock> groupLock;
    std::unique_ptr<CReadWriteLock> stateLock;
    int32_t ringNo = 0;
    int32_t state = TYX_GROUP_FREE; // under stateLock
    uint16_t tasksDone = 0;         // under stateLock
};
