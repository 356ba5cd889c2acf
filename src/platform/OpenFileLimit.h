#pragma once

#include <cstdint>

// The process's limits on open descriptors.
struct stOpenFileLimit
{
    uint64_t before = 0; // the soft limit found
    uint64_t now = 0;    // the soft limit in force after the call
    uint64_t hard = 0;
};

// Raises the soft limit toward wanted, never past the hard limit; a limit already at or above
// wanted is left as it is. 0, or a negative errno when the limits cannot be read.
int32_t RaiseOpenFileLimit(uint64_t wanted, stOpenFileLimit &limit);
