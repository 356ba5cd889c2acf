#pragma once

#include <cstdint>

// The input frame rate the sources agree on (frames per second): the largest known rate when it
// stays below the default, except that 25 alone gives the default unless a 24 is among them.
// Rates of exactly 0 are unknown. count is taken modulo 256.
float NegotiateFrameRate(uint16_t count, const float *rates, float defaultRate);
// The same over the media readers of the instance registry: 0.0 when no reader is configured.
float GetNegotiatedInputFrameRate(float defaultRate);
