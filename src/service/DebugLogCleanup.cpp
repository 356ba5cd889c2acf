// Removal of old and oversized debug logs at start-up.

#include "service/dGlobalFuncs.h"

#include "core/TYXUtils.h"
#include "service/ServiceLog.h"

#include <algorithm>
#include <cwctype>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

struct stCleanupRule
{
    fs::file_time_type now;
    int64_t maxAgeSeconds = 0;
    uintmax_t sizeLimitBytes = 0;
    std::wstring extension; // empty: any file
};

bool HasExtension(const fs::path &file, const std::wstring &extension)
{
    if (extension.empty())
        return true;
    const std::wstring name = file.filename().wstring();
    if (name.size() < extension.size())
        return false;
    return std::equal(extension.begin(), extension.end(), name.end() - static_cast<ptrdiff_t>(extension.size()),
                      [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); });
}

bool IsDue(const fs::path &file, const stCleanupRule &rule)
{
    std::error_code error;
    const uintmax_t size = fs::file_size(file, error);
    if (!error && size > rule.sizeLimitBytes)
        return true;
    // The time of the last write stands for the creation time: a day's log is written within
    // its day, and the creation time is not kept by every file system.
    const fs::file_time_type written = fs::last_write_time(file, error);
    if (error)
        return false;
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(rule.now - written).count();
    return age >= rule.maxAgeSeconds;
}

bool RemoveFile(const fs::path &file)
{
    std::error_code error;
    const fs::perms perms = fs::status(file, error).permissions();
    if (!error && (perms & fs::perms::owner_write) == fs::perms::none)
        fs::permissions(file, fs::perms::owner_write, fs::perm_options::add, error);
    if (fs::remove(file, error))
        return true;
    TYX_GLOBAL_LOG(3, L"Debug log file(%S) removing failed with error=%d!", file.c_str(), error.value());
    return false;
}

// Symbolic links are neither followed nor removed: a link could lead out of the log folder.
int32_t CleanFolder(const fs::path &folder, const stCleanupRule &rule)
{
    int32_t removed = 0;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error) {
            error.clear();
            continue;
        }
        if (fs::is_directory(status))
            removed += CleanFolder(it->path(), rule);
        else if (fs::is_regular_file(status) && HasExtension(it->path(), rule.extension) && IsDue(it->path(), rule))
            removed += RemoveFile(it->path()) ? 1 : 0;
    }
    return removed;
}

} // namespace

int32_t CleanupDebugLogs(const std::wstring &folder, int64_t maxAgeSeconds, int64_t sizeLimitKB,
                         const wchar_t *extension)
{
    const fs::path root(WStringToString(folder));
    std::error_code error;
    if (folder.empty() || !fs::is_directory(fs::symlink_status(root, error)))
        return 0;
    stCleanupRule rule;
    rule.now = fs::file_time_type::clock::now();
    rule.maxAgeSeconds = maxAgeSeconds;
    rule.sizeLimitBytes = static_cast<uintmax_t>(std::max<int64_t>(sizeLimitKB, 0)) * 1024;
    rule.extension = extension ? extension : L"";
    return CleanFolder(root, rule);
}
