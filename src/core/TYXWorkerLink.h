#pragma once

#include "core/FramePackage.h"
#include "platform/CriticalSection.h"

#include <atomic>
#include <cstdint>
#include <memory>

class CTYXWorker;

enum TYXLinkState : int32_t
{
    TYX_LINK_HUNGRY = 1,
    TYX_LINK_BLOCKING = 2,
    TYX_LINK_NORMAL = 3,
};

// One end of a link between a producer's output stream and a consumer. The producer's consumer
// link and the consumer's input link are two records sharing one queue and one critical section;
// the records are copied by value into the registry and the workers' maps. Queues and workers are
// shared, so a thread that outlives its stop budget never touches freed memory; the worker fields
// are weak so that producer and consumer do not keep each other alive.
struct stWorkerLink
{
    stWorkerLink() = default;
    stWorkerLink(const stWorkerLink &other) { *this = other; }
    stWorkerLink &operator=(const stWorkerLink &other);

    // Gives the link a new empty queue and critical section (the other end copies this record).
    void CreateQueue();
    bool HasQueue() const { return queue && queueLock; }

    std::shared_ptr<FramePackageQueue> queue;     // releases the packages still queued at the end
    std::shared_ptr<CCriticalSection> queueLock;  // guards queue and every package in it
    // Written by the side that owns this record, read by status and control threads.
    std::atomic<int32_t> prevState{TYX_LINK_NORMAL};
    std::atomic<int32_t> state{TYX_LINK_NORMAL};
    std::atomic<int64_t> lastActiveTime{0};       // µs of the program clock
    std::weak_ptr<CTYXWorker> producer;           // the peer of an input link
    std::weak_ptr<CTYXWorker> consumer;
    uint32_t producerId = 0;
    uint32_t consumerId = 0;
    int32_t paketKind = 0;                        // kind of the producer's output item
    uint8_t required = 0;                         // the consumer needs this input to work
    // Belong to a consuming media writer and are used by its thread only.
    int64_t streamStartTime = 0;                  // µs; earlier packages are never written
    std::shared_ptr<FramePackageQueue> reservedFrames;
};

using stWorkerInputLink = stWorkerLink;
using stWorkerConsumerLink = stWorkerLink;

// A package queue that releases the data of the packages still in it when the last link goes.
std::shared_ptr<FramePackageQueue> CreateLinkPackageQueue();
