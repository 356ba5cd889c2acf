#include "ReadWorkerRun.h"

#include "host/TYXEvent.h"

int32_t StopReadWorker(CTYXWorker &worker)
{
    const int32_t code = worker.WaitThreadExit(5000);
    worker.WaitOtherThreadsExit(5000);
    worker.unInitialize();
    return code;
}

std::vector<int32_t> TakeEventTypes()
{
    std::vector<int32_t> types;
    stTYXEvent event;
    while (PopTYXEvent(event))
        types.push_back(event.type);
    return types;
}
