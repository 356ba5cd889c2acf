#pragma once

// A tmpfs of the test's own at a folder: a disk that a test can fill up and make room on again.
// Mounting needs root; without it Mounted() is false and the test skips its case with a note.

#include <cstddef>
#include <filesystem>

class CSmallFileSystem
{
public:
    // sizeBytes: the size of the file system (tmpfs rounds it up to whole pages).
    CSmallFileSystem(const std::filesystem::path &where, size_t sizeBytes);
    ~CSmallFileSystem();
    CSmallFileSystem(const CSmallFileSystem &) = delete;
    CSmallFileSystem &operator=(const CSmallFileSystem &) = delete;

    bool Mounted() const { return m_mounted; }
    const std::filesystem::path &Path() const { return m_path; }
    // Writes a filler file until the disk takes no more: true when it is full.
    bool Fill();
    // Removes the filler file again.
    void MakeRoom();

private:
    std::filesystem::path m_path;
    bool m_mounted = false;
};
