#pragma once

#include "core/debuglog.h"

// The log call of the media writer's sources: every line names the writer's source and method.
#define MW_LOG(level, method, ...) \
    DebugLog((level), "MWrtWorker", "CTYXMediaWriteWorker::" method, __LINE__, __VA_ARGS__)
