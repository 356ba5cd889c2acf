#pragma once

#include <string>

// A shared flock on a file that this process writes, so that anyone can tell a file still being
// written from one whose writer died: the kernel drops the hold with its holder, SIGKILL included.
// The descriptor is close-on-exec, so children never keep it.
class CFileHold
{
public:
    CFileHold() = default;
    ~CFileHold();
    CFileHold(const CFileHold &) = delete;
    CFileHold &operator=(const CFileHold &) = delete;

    // Holds the file at path (UTF-8), dropping any file held before: false when it cannot be opened.
    bool Take(const std::string &path);
    // Holds the file alone, at once or not at all: false while any other hold stands (a writer
    // still at it) or when it cannot be opened. Every Take waits until it is released.
    bool TakeAlone(const std::string &path);
    void Release();

    // True while a holder anywhere (another process, or another hold in this one) keeps the file.
    static bool IsHeld(const std::string &path);

private:
    int m_fd = -1;
};
