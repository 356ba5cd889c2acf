// The task-ring records of the mux worker.

#include "vproc/VFramesGroup.h"

#include "core/FramePackage.h"

void stVFrameScaleInfo::Reset(bool freeMemory)
{
    if (freeMemory) {
        if (scaled)
            ReleaseFramePackageData(scaled, scaledInDevice != 0);
        if (source && source != scaled)
            ReleaseFramePackageData(source, srcInDevice != 0);
    }
    srcInDevice = 0;
    source = nullptr;
    srcLength = 0;
    srcWidth = srcHeight = srcPitch = 0;
    inputStreamId = 0;
    regionIndex = -1;
    srcTime = 0;
    scaledInDevice = 1;
    scaled = nullptr;
    scaledWidth = scaledHeight = scaledLength = 0;
    done = 0;
    state = 0;
}

void stVFrameScaleInfo::TakeFrom(stVFrameScaleInfo &other)
{
    srcInDevice = other.srcInDevice;
    source = other.source;
    srcLength = other.srcLength;
    srcWidth = other.srcWidth;
    srcHeight = other.srcHeight;
    srcPitch = other.srcPitch;
    inputStreamId = other.inputStreamId;
    regionIndex = other.regionIndex;
    srcTime = other.srcTime;
    scaledInDevice = other.scaledInDevice;
    scaled = other.scaled;
    scaledWidth = other.scaledWidth;
    scaledHeight = other.scaledHeight;
    scaledLength = other.scaledLength;
    done = other.done;
    state = other.state;
    other.Reset(false);
}

void stVFramesGroupInfo::Reset(bool freeMemory)
{
    if (freeMemory && outputFrame)
        ReleaseFramePackageData(outputFrame, true);
    outputFrame = nullptr;
    pts = 0;
    {
        CWriteLockGuard guard(*stateLock);
        state = TYX_GROUP_FREE;
        tasksDone = 0;
    }
    muxed = false;
    outputLength = 0;
    for (auto &task : tasks) {
        if (task)
            task->Reset(freeMemory);
    }
}

void stVFramesGroupInfo::ResizeTasks(size_t count)
{
    while (tasks.size() > count) {
        tasks.back()->Reset(true);
        tasks.pop_back();
    }
    while (tasks.size() < count)
        tasks.push_back(std::make_unique<stVFrameScaleInfo>());
}

std::unique_ptr<stVFramesGroupInfo> stVFramesGroupInfo::TakeOver()
{
    auto copy = std::make_unique<stVFramesGroupInfo>();
    copy->outputFrame = outputFrame;
    copy->pts = pts;
    copy->muxed = muxed;
    copy->outputLength = outputLength;
    copy->ringNo = ringNo;
    {
        CReadLockGuard guard(*stateLock);
        copy->state = state;
        copy->tasksDone = tasksDone;
    }
    for (auto &task : tasks) {
        auto moved = std::make_unique<stVFrameScaleInfo>();
        if (task)
            moved->TakeFrom(*task);
        copy->tasks.push_back(std::move(moved));
    }
    outputFrame = nullptr;
    Reset(false);
    return copy;
}

int32_t stVFramesGroupInfo::GetState() const
{
    CReadLockGuard guard(*stateLock);
    return state;
}

void stVFramesGroupInfo::SetState(int32_t value)
{
    CWriteLockGuard guard(*stateLock);
    state = value;
}
