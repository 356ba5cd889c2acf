#include "support/TempDir.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>

CTempDir::CTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "tyx-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

CTempDir::~CTempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::filesystem::path SourceDir()
{
    const char *dir = std::getenv("TYX_TEST_SOURCE_DIR");
    return dir ? std::filesystem::path(dir) : std::filesystem::current_path();
}
