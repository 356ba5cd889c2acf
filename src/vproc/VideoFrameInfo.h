#pragma once

// The GPU frame records live in core; this name stays for code that includes it from here.
#include "core/VideoFrameInfo.h"
