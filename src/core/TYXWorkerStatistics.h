#pragma once

#include <cstdint>
#include <map>

// Stream states shown on the status screen; 0 is the normal running state.
enum TYXWorkerStatus : int32_t
{
    TYX_STATUS_RUNNING = 0,
    TYX_STATUS_ERROR = 0x1001,
    TYX_STATUS_OPEN_FAILED = 0x1002,
    TYX_STATUS_CLOSED = 0x1101,
    TYX_STATUS_REOPENING = 0x1102,
    TYX_STATUS_HUNGRY = 0x1104,
    TYX_STATUS_BLOCKING = 0x1108,
    TYX_STATUS_CACHING = 0x1201,
    TYX_STATUS_ESTIMATING = 0x1202,
    TYX_STATUS_SYNCHRONIZING = 0x1204,
};

// Traffic of one stream of a worker, on its input or its output side.
struct stStreamStatistics
{
    int32_t reserved1 = 0;
    int32_t state = TYX_STATUS_RUNNING;  // TYXWorkerStatus
    int64_t packetsIn = 0;
    int64_t dataPacketsIn = 0;           // length above 0
    int64_t packetsOut = 0;
    int64_t dataPacketsOut = 0;
    int32_t reserved2 = 0;
    float fps = 0.0f;                    // set by the worker classes
};

using StreamStatisticsMap = std::map<uint32_t, stStreamStatistics>;
