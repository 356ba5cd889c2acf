#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The file-system facts that recording needs: space of a volume, access to a folder, and the
// type, age and device of one entry. Paths are UTF-8.

// Space of the file system that holds path: bytes this process may still use and total bytes.
// 0, or a negative errno (path missing, not reachable).
int32_t GetDiskSpace(const std::string &path, uint64_t &freeBytes, uint64_t &totalBytes);
// True when the process may read and write path.
bool IsPathReadWritable(const std::string &path);

enum class EFileKind { Missing, File, Folder, Link, Other };

// One entry as it stands, links not followed.
struct stFileFacts
{
    EFileKind kind = EFileKind::Missing;
    std::time_t modified = 0;   // last data change, seconds since 1970
    uint64_t device = 0;        // the file system it lies on
};
stFileFacts GetFileFacts(const std::string &path);
