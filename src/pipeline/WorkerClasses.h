#pragma once

#include "pipeline/WorkerFactoryTable.h"

// The worker classes of this program by kind and type; those whose workers this build lacks are
// listed without a create function, so that creation says they are not available.
CWorkerFactoryTable BuildWorkerFactoryTable();
