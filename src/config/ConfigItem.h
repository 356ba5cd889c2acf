#pragma once

#include "config/ConfigXmlDocument.h"

#include <cstdint>
#include <string>

// One item of a configuration section, or an element nested in one, as a loader reads it: its
// keys, the element they came from and the name its log lines give it. The typed reads refuse a
// value that does not fit its field instead of wrapping it, and say so; a refused key then counts
// as absent. Every line names the item, the key and the reason, so that an operator can find each
// mistake of a file in the debug log.
class CConfigItem
{
public:
    // schema: the key schema the values were read by (none: every key is of code 20); loader: the
    // function named in the log lines. The item refers to all three, which must outlive it.
    CConfigItem(const ConfigValueMap &values, ConfigElement element, const ConfigKeySchema *schema, const char *loader);

    // "Decoder(No=2, Name=Dec2)", "Stream No[1] of MWreader(No=1, Name=Cam1)".
    void SetLabel(std::wstring label) { m_label = std::move(label); }
    const std::wstring &Label() const { return m_label; }
    const ConfigValueMap &Values() const { return m_values; }
    ConfigElement Element() const { return m_element; }
    const char *Loader() const { return m_loader; }

    // The key's value, none when the item has no such key ("absent").
    const stConfigValue *Find(const std::wstring &key) const;
    bool Has(const std::wstring &key) const { return Find(key) != nullptr; }

    // Typed reads: true with the target set when the key is present and fits, else false with the
    // target unchanged. A boolean that is no true or false word reads false, with a line; an
    // integer beyond the field is refused with a line ending in outcome.
    bool Bool(const std::wstring &key, uint8_t &target) const;
    bool Bool(const std::wstring &key, bool &target) const;
    bool Int(const std::wstring &key, int32_t &target) const;
    bool Int16(const std::wstring &key, int16_t &target, const wchar_t *outcome = L"ignored it!") const;
    bool UInt16(const std::wstring &key, uint16_t &target, const wchar_t *outcome = L"ignored it!") const;
    bool Real(const std::wstring &key, float &target) const;
    bool Text(const std::wstring &key, std::wstring &target) const;
    // A number the item cannot do without: false with a line when it is absent or outside low..high.
    bool RequiredInt(const std::wstring &key, int32_t low, int32_t high, int32_t &target) const;
    // A text the item cannot do without: false with a line when it is absent or was out of the
    // length bounds of its type code.
    bool RequiredText(const std::wstring &key, std::wstring &target) const;

    // "Configuration:<item> <key>(<text>) <reason>, Skip it!": the item is dropped.
    void Refuse(const std::wstring &key, const std::wstring &reason) const;
    // "Configuration:<item> <key>(<text>) <reason>, <outcome>": the item stays without the key's value.
    void Ignore(const std::wstring &key, const std::wstring &reason, const std::wstring &outcome) const;
    // A line of the item's own: "Configuration:<item> <text>".
    void Log(const std::wstring &text) const;

private:
    // "key(text)" for a present key with a text, else "key".
    std::wstring Quoted(const std::wstring &key) const;
    bool IntInRange(const std::wstring &key, int32_t low, int32_t high, int32_t &value, const wchar_t *outcome) const;

    const ConfigValueMap &m_values;
    ConfigElement m_element;
    const ConfigKeySchema *m_schema;
    const char *m_loader;
    std::wstring m_label;
};
