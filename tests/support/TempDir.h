#pragma once

#include <filesystem>
#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it at the end.
class CTempDir
{
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir &) = delete;
    CTempDir &operator=(const CTempDir &) = delete;

    const std::filesystem::path &Path() const { return m_path; }
    std::filesystem::path File(const std::string &name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// The repository root, for tests that read bundled files.
std::filesystem::path SourceDir();
