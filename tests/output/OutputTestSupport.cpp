#include "output/OutputTestSupport.h"

#include "core/I420Layout.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

CRuntimeFolderScope::CRuntimeFolderScope()
{
    if (const char *previous = std::getenv("RUNTIME_DIRECTORY")) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    ::setenv("RUNTIME_DIRECTORY", m_dir.Path().c_str(), 1);
}

CRuntimeFolderScope::~CRuntimeFolderScope()
{
    if (m_hadPrevious)
        ::setenv("RUNTIME_DIRECTORY", m_previous.c_str(), 1);
    else
        ::unsetenv("RUNTIME_DIRECTORY");
}

FramePackage MakeI420Package(int width, int height, uint32_t seed, int64_t pts)
{
    FramePackage package;
    package.mediaType = TYX_MEDIA_VIDEO;
    package.kind = TYX_PKT_KIND_RAW_VIDEO;
    package.width = static_cast<uint16_t>(width);
    package.height = static_cast<uint16_t>(height);
    package.pts = pts;
    package.dts = pts;
    package.duration = 33333;
    package.flags = TYX_PKT_FLAG_KEY;
    const int32_t length = I420Length(width, height);
    if (AllocFramePackageData(package, length) != length)
        return package;
    uint32_t state = seed * 2654435761u + 1u;
    for (int32_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        package.pData[i] = static_cast<uint8_t>(state >> 24);
    }
    return package;
}

FramePackage MakeSolidI420Package(int width, int height, uint8_t y, uint8_t u, uint8_t v, int64_t pts)
{
    FramePackage package = MakeI420Package(width, height, 0, pts);
    if (!package.pData)
        return package;
    const auto luma = static_cast<size_t>(I420UOffset(width, height));
    const auto chroma = static_cast<size_t>(I420ChromaBytes(width, height));
    std::memset(package.pData, y, luma);
    std::memset(package.pData + luma, u, chroma);
    std::memset(package.pData + luma + chroma, v, chroma);
    return package;
}
