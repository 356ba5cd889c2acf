#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The few terminal facts the console output needs, on a plain descriptor.

// True when fd is an open descriptor.
bool IsOpenDescriptor(int fd);
// True when fd is a terminal (escape sequences may be written to it).
bool IsTerminalDescriptor(int fd);
// The window size of the terminal on fd: 0, or a negative errno (ENOTTY for a pipe or a file).
int32_t GetTerminalSize(int fd, int32_t &columns, int32_t &rows);
// Writes all of text, retrying short writes and interruptions: 0 or a negative errno.
int32_t WriteFully(int fd, std::string_view text);
