#pragma once

#include "core/debuglog.h"

// The service functions log under the source name their unit has always had.
#define TYX_GLOBAL_LOG(level, format, ...) \
    DebugLog((level), "dGlobalFuncs", __func__, __LINE__, format __VA_OPT__(, ) __VA_ARGS__)
