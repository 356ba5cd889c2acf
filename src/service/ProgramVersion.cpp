// The product version: this program's is compiled in; no other file format carries one here.

#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "platform/ProcessTable.h"
#include "service/ServiceLog.h"

#include <cerrno>
#include <filesystem>

namespace fs = std::filesystem;

stProgramVersion TyxProgramVersion()
{
    return {TYX_VERSION_MAJOR, TYX_VERSION_MINOR, TYX_VERSION_PATCH, TYX_VERSION_TWEAK};
}

int32_t GetFileProductVersion(const std::wstring &path, stProgramVersion &version)
{
    if (path.empty())
        return -1;
    const fs::path file(WStringToString(path));
    std::error_code error;
    if (!fs::exists(file, error))
        return -2;
    const std::string own = OwnProgramPath();
    if (own.empty() || !fs::equivalent(file, own, error)) {
        TYX_GLOBAL_LOG(3, L"File Version Information getting failed with error=%d...", ENODATA);
        return -ENODATA;
    }
    version = TyxProgramVersion();
    TYX_GLOBAL_LOG(6, L"Version of file(%s) is: %d.%d.%d.%d.", path.c_str(), version.major, version.minor,
                   version.build, version.revision);
    return 0;
}
