#pragma once

#include "core/TYXWorker.h"
#include "core/TYXWorkerConfig.h"

#include <cstdint>
#include <vector>

// Runs a read worker as the pipeline does, for the read worker tests of every kind.

// Starts it: configuration, initialisation, main thread.
template <typename Worker>
int32_t StartReadWorker(Worker &worker, const stMediaSourceReadWorkerConfig &config)
{
    if (worker.CopyInConfiguration(&config) < 0)
        return -1;
    worker.Initialize(0, 0);
    if (worker.StartWorkingThread(1, 0) < 0)
        return -2;
    return worker.ResumeWorkingThread();
}

// Stops it, its child threads too; the main thread's exit code.
int32_t StopReadWorker(CTYXWorker &worker);

// The types of the events queued so far, which are taken out of the queue.
std::vector<int32_t> TakeEventTypes();
