#include "config/ConfigItem.h"

#include "config/ConfigText.h"
#include "core/debuglog.h"

#include <limits>

namespace {

// Words that read as true (the reader's own test) and the words that plainly mean false.
bool IsBooleanWord(const std::wstring &text)
{
    for (const wchar_t *word : {L"True", L"T", L"On", L"Yes", L"False", L"F", L"Off", L"No"}) {
        if (EqualsNoCase(text, word))
            return true;
    }
    return false;
}

} // namespace

CConfigItem::CConfigItem(const ConfigValueMap &values, ConfigElement element, const ConfigKeySchema *schema,
                         const char *loader)
    : m_values(values), m_element(element), m_schema(schema), m_loader(loader)
{
}

const stConfigValue *CConfigItem::Find(const std::wstring &key) const
{
    const auto found = m_values.find(key);
    return found == m_values.end() ? nullptr : &found->second;
}

std::wstring CConfigItem::Quoted(const std::wstring &key) const
{
    const stConfigValue *value = Find(key);
    if (!value || value->text.empty())
        return key;
    return key + L"(" + value->text + L")";
}

void CConfigItem::Log(const std::wstring &text) const
{
    DebugLog(3, __FILE__, m_loader, __LINE__, L"Configuration:%s %s", m_label.c_str(), text.c_str());
}

void CConfigItem::Refuse(const std::wstring &key, const std::wstring &reason) const
{
    Log(Quoted(key) + L" " + reason + L", Skip it!");
}

void CConfigItem::Ignore(const std::wstring &key, const std::wstring &reason, const std::wstring &outcome) const
{
    Log(Quoted(key) + L" " + reason + L", " + outcome);
}

bool CConfigItem::Bool(const std::wstring &key, uint8_t &target) const
{
    const stConfigValue *value = Find(key);
    if (!value)
        return false;
    // "1" and "0" are common in hand-written files and both read false here; an empty text was
    // longer than a boolean can be.
    if (value->text.empty() || !IsBooleanWord(value->text))
        Ignore(key, L"is neither true nor false", L"read as false.");
    target = value->boolean ? 1 : 0;
    return true;
}

bool CConfigItem::Bool(const std::wstring &key, bool &target) const
{
    uint8_t flag = 0;
    if (!Bool(key, flag))
        return false;
    target = flag != 0;
    return true;
}

bool CConfigItem::Int(const std::wstring &key, int32_t &target) const
{
    const stConfigValue *value = Find(key);
    if (value)
        target = value->integer;
    return value != nullptr;
}

bool CConfigItem::IntInRange(const std::wstring &key, int32_t low, int32_t high, int32_t &value,
                             const wchar_t *outcome) const
{
    if (!Int(key, value))
        return false;
    if (value >= low && value <= high)
        return true;
    Ignore(key, L"does not fit its field (" + std::to_wstring(low) + L".." + std::to_wstring(high) + L")", outcome);
    return false;
}

bool CConfigItem::Int16(const std::wstring &key, int16_t &target, const wchar_t *outcome) const
{
    int32_t value = 0;
    if (!IntInRange(key, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), value, outcome))
        return false;
    target = static_cast<int16_t>(value);
    return true;
}

bool CConfigItem::UInt16(const std::wstring &key, uint16_t &target, const wchar_t *outcome) const
{
    int32_t value = 0;
    if (!IntInRange(key, 0, std::numeric_limits<uint16_t>::max(), value, outcome))
        return false;
    target = static_cast<uint16_t>(value);
    return true;
}

bool CConfigItem::Real(const std::wstring &key, float &target) const
{
    const stConfigValue *value = Find(key);
    if (value)
        target = value->real;
    return value != nullptr;
}

bool CConfigItem::Text(const std::wstring &key, std::wstring &target) const
{
    const stConfigValue *value = Find(key);
    if (value)
        target = value->text;
    return value != nullptr;
}

bool CConfigItem::RequiredInt(const std::wstring &key, int32_t low, int32_t high, int32_t &target) const
{
    int32_t value = 0;
    if (!Int(key, value)) {
        Refuse(key, L"is missing or empty");
        return false;
    }
    if (value < low || value > high) {
        Refuse(key, high == std::numeric_limits<int32_t>::max()
                        ? L"is below " + std::to_wstring(low)
                        : L"is outside " + std::to_wstring(low) + L".." + std::to_wstring(high));
        return false;
    }
    target = value;
    return true;
}

bool CConfigItem::RequiredText(const std::wstring &key, std::wstring &target) const
{
    const stConfigValue *value = Find(key);
    if (!value) {
        Refuse(key, L"is missing or empty");
        return false;
    }
    if (value->text.empty()) {
        int32_t typeCode = CFG_DEFAULT_TYPE_CODE;
        if (m_schema) {
            const auto listed = m_schema->find(key);
            if (listed != m_schema->end())
                typeCode = listed->second;
        }
        const stConfigValueType *bounds = ConfigValueTypeOf(typeCode);
        const std::wstring range = bounds ? L" (" + std::to_wstring(bounds->minLength) + L".." +
                                                std::to_wstring(bounds->maxLength) + L" characters)"
                                          : std::wstring();
        Refuse(key, L"is out of its length bounds" + range);
        return false;
    }
    target = value->text;
    return true;
}
