#pragma once

// Shared by the output tests: a runtime folder of the test's own, waits on conditions, and test
// pictures as packages.

#include "core/FramePackage.h"
#include "support/TempDir.h"
#include "support/Wait.h"

#include <cstdint>
#include <functional>
#include <string>

// Points the runtime folder ($RUNTIME_DIRECTORY) at a new temporary folder while it lives.
class CRuntimeFolderScope
{
public:
    CRuntimeFolderScope();
    ~CRuntimeFolderScope();
    CRuntimeFolderScope(const CRuntimeFolderScope &) = delete;
    CRuntimeFolderScope &operator=(const CRuntimeFolderScope &) = delete;

    std::string Path() const { return m_dir.Path().string(); }

private:
    CTempDir m_dir;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// The display and pipe tests wait up to a minute.
inline bool WaitUntil(const std::function<bool()> &condition) { return WaitUntil(condition, 60000); }

// An I420 picture in host memory whose bytes follow from the seed, stamped with pts.
FramePackage MakeI420Package(int width, int height, uint32_t seed, int64_t pts);
// An I420 picture of one colour.
FramePackage MakeSolidI420Package(int width, int height, uint8_t y, uint8_t u, uint8_t v, int64_t pts);
