#pragma once

// The settings records live in core, where the registries can hold them; this name stays for the loaders.
#include "core/GeneralSettings.h"
