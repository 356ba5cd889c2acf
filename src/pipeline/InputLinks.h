#pragma once

#include "core/TYXWorker.h"

#include <cstdint>

// Frees the data of every package queued on the link under the link's lock; the queue object
// itself stays with whoever else shares it. A link without queue is left alone.
void ReleaseLinkQueue(stWorkerInputLink &link);
// Releases every link of the map and empties it: the number released, -1 for no map.
int32_t ReleaseInputLinks(CTYXWorker::InputLinkMap *links);
