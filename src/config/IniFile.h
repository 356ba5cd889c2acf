#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A small INI file: "[section]" headers and "key=value" lines. Sections and keys are found ignoring
// letter case, as on Windows; every other line (comments, blanks, other sections) is kept as it
// stands, in the file's own encoding (UTF-8 with or without byte-order mark, UTF-16LE with mark, or
// GBK) and line ends. One object belongs to one thread.
class CIniFile
{
public:
    explicit CIniFile(std::wstring path);

    // Reads the file; a missing file is an empty one. 0, or -3 when it cannot be read or decoded.
    [[nodiscard]] int32_t Load();
    // Sets the key of the section, adding the key at the end of the section or the section at the
    // end of the file. -3 for a section, key or value that cannot stand on one INI line.
    [[nodiscard]] int32_t SetValue(const std::wstring &section, const std::wstring &key, const std::wstring &value);
    std::optional<std::wstring> GetValue(const std::wstring &section, const std::wstring &key) const;
    // Writes the file beside itself and renames it over the old one: 0, or -3.
    [[nodiscard]] int32_t Save() const;

private:
    enum class EEncoding { Utf8, Utf8Bom, Utf16Le, Gbk };

    // Index of the section's header line, or -1.
    int64_t FindSection(const std::wstring &section) const;
    // Index of the key's line inside the section that starts at header, or -1.
    int64_t FindKey(int64_t header, const std::wstring &key) const;

    std::wstring m_path;
    std::vector<std::wstring> m_lines;
    std::wstring m_lineEnd = L"\n";
    bool m_endsWithLineEnd = true;
    EEncoding m_encoding = EEncoding::Utf8;
};

// WritePrivateProfileString: loads the file, sets the key and saves it; 0 or -3. Writers in several
// threads are serialised, so no update is lost.
int32_t WriteIniText(const std::wstring &file, const std::wstring &section, const std::wstring &key,
                     const std::wstring &value);
