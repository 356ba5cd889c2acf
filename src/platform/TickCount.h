#pragma once

#include <cstdint>

// Milliseconds of the monotonic clock, wrapping at 32 bits; compare two readings only by their
// unsigned difference.
uint32_t GetTickCount32();
// Milliseconds of the monotonic clock without wrap-around.
uint64_t GetTickCount64Ms();
void SleepMs(uint32_t milliseconds);
// Microseconds since 1970 of the wall clock; a step of the host's time moves it.
int64_t GetSystemTimeUs();
// Microseconds of the monotonic clock from an arbitrary origin; no step of the host's time moves it.
int64_t GetMonotonicTimeUs();
