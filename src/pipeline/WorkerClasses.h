#pragma once

#include "pipeline/WorkerFactoryTable.h"

#include <cstdint>

// The worker classes of this program by kind and type; those whose workers this build lacks are
// listed without a create function, so that creation says they are not available.
CWorkerFactoryTable BuildWorkerFactoryTable();

class CFpgVEcdWorker;
// Hands the configured hardware acceleration code to an FFmpeg encode worker: true when the
// worker can use it (0 runs the encoder in software and gives false).
bool SetFpgEncoderHwAcclrt(CFpgVEcdWorker &worker, int32_t code);
