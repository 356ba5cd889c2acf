#include "pipeline/InputLinks.h"

#include <mutex>

void ReleaseLinkQueue(stWorkerInputLink &link)
{
    if (!link.HasQueue())
        return;
    std::lock_guard<CCriticalSection> guard(*link.queueLock);
    for (FramePackage &package : *link.queue)
        FreeFramePackage(package);
    link.queue->clear();
}

int32_t ReleaseInputLinks(CTYXWorker::InputLinkMap *links)
{
    if (!links)
        return -1;
    int32_t released = 0;
    for (auto &[streamId, link] : *links) {
        ReleaseLinkQueue(link);
        ++released;
    }
    links->clear();
    return released;
}
