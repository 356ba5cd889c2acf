#pragma once

// The overlay records live in core, where the registries can hold them; this name stays for the loaders.
#include "core/OsdOsgConfig.h"
