#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Reading the host's processes from /proc (or another root, for tests).

// The numeric entries of a folder (process or thread ids), ascending: 0 or a negative errno.
int32_t ListNumericEntries(const std::string &folder, std::vector<int32_t> &ids);
// The program file a process runs (empty when it cannot be read, as for other users' processes).
std::string ReadProcessExe(int32_t pid, const std::string &procRoot = "/proc");
// The argument vector of a process (empty when it cannot be read).
std::vector<std::string> ReadProcessCommandLine(int32_t pid, const std::string &procRoot = "/proc");
// The real user id of a process, -1 when it cannot be read.
int64_t ReadProcessUid(int32_t pid, const std::string &procRoot = "/proc");
// The program file of this process.
std::string OwnProgramPath();
// The systemd service unit this process runs in ("tyxconsole.service"), when systemd started it
// (INVOCATION_ID is set) and its control group names one; empty otherwise.
std::string OwnServiceUnit(const std::string &procRoot = "/proc");
