#pragma once

#include <cstdint>
#include <string>

// A fragmented MP4 starts with an index that holds no sample and so no length: players that read
// the length from it alone show none. Once the file is closed, its length (µs) is written into that
// index's movie header in place. False when the file has no such header or cannot be written.
bool WriteMp4MovieDuration(const std::string &path, int64_t durationUs);
// The length its movie header states, in µs; -1 without one.
int64_t ReadMp4MovieDuration(const std::string &path);
