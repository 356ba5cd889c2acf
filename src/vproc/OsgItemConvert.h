#pragma once

// Turns one configured graphics item ("StreamCfg.xml" or a remote definition) into the runtime item
// a graphics drawer holds; pictures and clips are loaded into device memory on the way.

#include "core/OsdOsgConfig.h"
#include "vproc/OsgItem.h"

// 0, -1 for an unknown kind, an invalid shape or a figure without its parameters, -2 when a picture or
// clip cannot be loaded.
int32_t ConvertOsgItemConfig(const stTYXOSGConfig &config, stOsgItem &item);
