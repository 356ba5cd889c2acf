#include "core/TYXWorkerLink.h"

namespace {

void DestroyLinkPackageQueue(FramePackageQueue *queue)
{
    for (FramePackage &package : *queue)
        FreeFramePackage(package);
    delete queue;
}

} // namespace

stWorkerLink &stWorkerLink::operator=(const stWorkerLink &other)
{
    if (this == &other)
        return *this;
    queue = other.queue;
    queueLock = other.queueLock;
    prevState = other.prevState.load();
    state = other.state.load();
    lastActiveTime = other.lastActiveTime.load();
    producer = other.producer;
    consumer = other.consumer;
    producerId = other.producerId;
    consumerId = other.consumerId;
    paketKind = other.paketKind;
    required = other.required;
    streamStartTime = other.streamStartTime;
    reservedFrames = other.reservedFrames;
    return *this;
}

void stWorkerLink::CreateQueue()
{
    queue = CreateLinkPackageQueue();
    queueLock = std::make_shared<CCriticalSection>();
}

std::shared_ptr<FramePackageQueue> CreateLinkPackageQueue()
{
    return std::shared_ptr<FramePackageQueue>(new FramePackageQueue(), DestroyLinkPackageQueue);
}
