#include "config/ConfigLoaderUtils.h"

#include "core/debuglog.h"

#include <cmath>
#include <limits>
#include <map>
#include <mutex>

namespace {

// Every loader opens the file for itself, so one broken file would give the same failure once per
// loader. The first is written at its level; repeats of the same reason for the same file only at
// the detail level, until the file loads again.
struct stLoadFailures
{
    std::mutex mutex;
    std::map<std::wstring, std::wstring> lastFailures; // path -> reason
};

stLoadFailures &LoadFailures()
{
    static stLoadFailures failures;
    return failures;
}

bool IsRepeatedFailure(const std::wstring &path, const std::wstring &reason, bool failed)
{
    std::lock_guard<std::mutex> lock(LoadFailures().mutex);
    std::map<std::wstring, std::wstring> &lastFailures = LoadFailures().lastFailures;
    if (!failed) {
        lastFailures.erase(path);
        return false;
    }
    auto [entry, added] = lastFailures.try_emplace(path, reason);
    if (added || entry->second != reason) {
        entry->second = reason;
        return false;
    }
    return true;
}

} // namespace

int32_t OpenConfigDocument(CConfigXmlDocument &document, const std::wstring &path, const char *loader)
{
    const int32_t result = document.Load(path);
    const bool repeated = IsRepeatedFailure(path, document.LastError(), result != 0);
    if (result != 0) {
        DebugLog(repeated ? 6 : 2, __FILE__, loader, __LINE__, L"Configuration: Loading file(%s) failed with error(%d): %s",
                 path.c_str(), result, document.LastError().c_str());
    }
    return result;
}

std::wstring ConfigLoadFailureOf(const std::wstring &path)
{
    std::lock_guard<std::mutex> lock(LoadFailures().mutex);
    const auto found = LoadFailures().lastFailures.find(path);
    return found == LoadFailures().lastFailures.end() ? std::wstring() : found->second;
}

bool ReadNodeValue(CConfigXmlDocument &document, const wchar_t *xpath, const wchar_t *key, int32_t typeCode,
                   stConfigValue &value)
{
    return document.GetNodeValue(xpath, key, typeCode, value) == 0 && value.type != CFG_VALUE_NONE;
}

const stConfigValue *FindItemValue(const ConfigValueMap &values, const wchar_t *key)
{
    const auto found = values.find(key);
    return found == values.end() ? nullptr : &found->second;
}

bool TakeBool(const ConfigValueMap &values, const wchar_t *key, bool &target)
{
    const stConfigValue *value = FindItemValue(values, key);
    if (value)
        target = value->boolean != 0;
    return value != nullptr;
}

bool TakeBool(const ConfigValueMap &values, const wchar_t *key, uint8_t &target)
{
    const stConfigValue *value = FindItemValue(values, key);
    if (value)
        target = value->boolean ? 1 : 0;
    return value != nullptr;
}

bool TakeInt(const ConfigValueMap &values, const wchar_t *key, int32_t &target)
{
    const stConfigValue *value = FindItemValue(values, key);
    if (value)
        target = value->integer;
    return value != nullptr;
}

bool TakeReal(const ConfigValueMap &values, const wchar_t *key, float &target)
{
    const stConfigValue *value = FindItemValue(values, key);
    if (value)
        target = value->real;
    return value != nullptr;
}

bool TakeText(const ConfigValueMap &values, const wchar_t *key, std::wstring &target)
{
    const stConfigValue *value = FindItemValue(values, key);
    if (value)
        target = value->text;
    return value != nullptr;
}

int32_t TruncateToInt32(float value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 2147483648.0f)
        return std::numeric_limits<int32_t>::max();
    if (value <= -2147483648.0f)
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}
