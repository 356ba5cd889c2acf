#include "platform/RuntimeFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace {

bool IsWritableFolder(const char *path)
{
    struct stat info{};
    return path && *path && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode) && ::access(path, W_OK | X_OK) == 0;
}

} // namespace

std::string GetRuntimeFolder()
{
    // systemd may hand over several folders separated by ':'; the first is ours.
    if (const char *dirs = std::getenv("RUNTIME_DIRECTORY"); dirs && *dirs) {
        std::string first(dirs);
        first = first.substr(0, first.find(':'));
        if (IsWritableFolder(first.c_str()))
            return first;
    }
    if (IsWritableFolder("/run/tyx"))
        return "/run/tyx";
    if (const char *xdg = std::getenv("XDG_RUNTIME_DIR"); IsWritableFolder(xdg))
        return xdg;
    return "/tmp";
}
