#pragma once

#include "service/ServiceRun.h"

#include <cstdint>

// The pipeline main function: loads the three configuration files, starts the event thread and
// the worker graph, runs the main loop until an exit is requested, shuts everything down in order
// and carries out the exit action. 0 after a normal run; -101 when the GPU memory query failed
// (after the same orderly shutdown); -2 when a configuration file cannot be loaded (nothing was
// started then).
int32_t TYXMain(stServiceRun &run);
