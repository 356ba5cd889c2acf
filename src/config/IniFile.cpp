#include "config/IniFile.h"

#include "config/ConfigText.h"
#include "core/TYXUtils.h"
#include "platform/TextCodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

constexpr int32_t INI_FAILED = -3;
constexpr size_t MAX_INI_BYTES = 4u << 20;

std::wstring Trimmed(std::wstring text)
{
    TrimWhitespace(text);
    return text;
}

// The name of a "[section]" line, or none.
std::optional<std::wstring> SectionName(const std::wstring &line)
{
    const std::wstring text = Trimmed(line);
    if (text.empty() || text.front() != L'[')
        return std::nullopt;
    const size_t close = text.find(L']');
    return Trimmed(text.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
}

std::optional<std::wstring> KeyName(const std::wstring &line)
{
    const size_t equals = line.find(L'=');
    if (equals == std::wstring::npos)
        return std::nullopt;
    const std::wstring key = Trimmed(line.substr(0, equals));
    if (key.empty() || key.front() == L';' || key.front() == L'#')
        return std::nullopt;
    return key;
}

// The bytes of the file: 1; 0 when there is no file (a new one); INI_FAILED when it cannot be read
// (a folder of that name, no permission, a read error, too large).
int32_t ReadIniBytes(const std::string &path, std::string &bytes)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? 0 : INI_FAILED;
    struct stat facts {};
    int32_t result = 1;
    if (fstat(fd, &facts) != 0 || !S_ISREG(facts.st_mode) || static_cast<uint64_t>(facts.st_size) > MAX_INI_BYTES)
        result = INI_FAILED;
    char buffer[16384];
    while (result == 1) {
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || bytes.size() + static_cast<size_t>(n) > MAX_INI_BYTES)
            result = INI_FAILED;
        else
            bytes.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return result;
}

bool FitsOnOneLine(const std::wstring &text)
{
    return text.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

} // namespace

CIniFile::CIniFile(std::wstring path) : m_path(std::move(path)) {}

int32_t CIniFile::Load()
{
    m_lines.clear();
    m_lineEnd = L"\n";
    m_endsWithLineEnd = true;
    m_encoding = EEncoding::Utf8;
    const std::string utf8Path = WStringToString(m_path);
    if (utf8Path.empty())
        return INI_FAILED;
    std::string bytes;
    const int32_t loaded = ReadIniBytes(utf8Path, bytes);
    if (loaded <= 0)
        return loaded;

    std::optional<std::wstring> text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        m_encoding = EEncoding::Utf16Le;
        const auto utf8 = CTextCodec::Convert(std::string_view(bytes).substr(2), "UTF-16LE", "UTF-8");
        if (utf8)
            text = CTextCodec::Utf8ToWide(*utf8);
    } else if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        m_encoding = EEncoding::Utf8Bom;
        text = CTextCodec::Utf8ToWide(std::string_view(bytes).substr(3));
    } else {
        text = CTextCodec::Utf8ToWide(bytes);
        if (!text) {
            m_encoding = EEncoding::Gbk;
            text = CTextCodec::GbkToWide(bytes);
        }
    }
    if (!text)
        return INI_FAILED;
    if (text->find(L"\r\n") != std::wstring::npos)
        m_lineEnd = L"\r\n";
    size_t start = 0;
    while (start < text->size()) {
        const size_t end = text->find(L'\n', start);
        std::wstring line = text->substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        m_lines.push_back(std::move(line));
        if (end == std::wstring::npos) {
            m_endsWithLineEnd = false;
            break;
        }
        start = end + 1;
    }
    return 0;
}

int64_t CIniFile::FindSection(const std::wstring &section) const
{
    for (size_t i = 0; i < m_lines.size(); ++i) {
        const auto name = SectionName(m_lines[i]);
        if (name && EqualsNoCase(*name, section))
            return static_cast<int64_t>(i);
    }
    return -1;
}

int64_t CIniFile::FindKey(int64_t header, const std::wstring &key) const
{
    for (size_t i = static_cast<size_t>(header) + 1; i < m_lines.size(); ++i) {
        if (SectionName(m_lines[i]))
            break;
        const auto name = KeyName(m_lines[i]);
        if (name && EqualsNoCase(*name, key))
            return static_cast<int64_t>(i);
    }
    return -1;
}

int32_t CIniFile::SetValue(const std::wstring &section, const std::wstring &key, const std::wstring &value)
{
    const std::wstring sectionName = Trimmed(section);
    const std::wstring keyName = Trimmed(key);
    if (sectionName.empty() || keyName.empty() || !FitsOnOneLine(section) || !FitsOnOneLine(key) ||
        !FitsOnOneLine(value) || sectionName.find(L']') != std::wstring::npos ||
        keyName.find(L'=') != std::wstring::npos || keyName.front() == L'[' || keyName.front() == L';')
        return INI_FAILED;
    const std::wstring entry = keyName + L"=" + value;
    const int64_t header = FindSection(sectionName);
    if (header < 0) {
        if (!m_lines.empty() && !Trimmed(m_lines.back()).empty())
            m_lines.emplace_back();
        m_lines.push_back(L"[" + sectionName + L"]");
        m_lines.push_back(entry);
        m_endsWithLineEnd = true;
        return 0;
    }
    const int64_t existing = FindKey(header, keyName);
    if (existing >= 0) {
        m_lines[static_cast<size_t>(existing)] = entry;
        return 0;
    }
    // After the section's last non-blank line, so blank lines before the next section stay there.
    size_t insertAt = static_cast<size_t>(header) + 1;
    for (size_t i = insertAt; i < m_lines.size() && !SectionName(m_lines[i]); ++i) {
        if (!Trimmed(m_lines[i]).empty())
            insertAt = i + 1;
    }
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(insertAt), entry);
    if (insertAt == m_lines.size() - 1)
        m_endsWithLineEnd = true;
    return 0;
}

std::optional<std::wstring> CIniFile::GetValue(const std::wstring &section, const std::wstring &key) const
{
    const int64_t header = FindSection(Trimmed(section));
    if (header < 0)
        return std::nullopt;
    const int64_t line = FindKey(header, Trimmed(key));
    if (line < 0)
        return std::nullopt;
    const std::wstring &text = m_lines[static_cast<size_t>(line)];
    return Trimmed(text.substr(text.find(L'=') + 1));
}

int32_t CIniFile::Save() const
{
    std::wstring text;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        text += m_lines[i];
        if (i + 1 < m_lines.size() || m_endsWithLineEnd)
            text += m_lineEnd;
    }
    std::optional<std::string> bytes;
    switch (m_encoding) {
    case EEncoding::Utf8:
        bytes = CTextCodec::WideToUtf8(text);
        break;
    case EEncoding::Utf8Bom:
        bytes = CTextCodec::WideToUtf8(text);
        if (bytes)
            bytes->insert(0, "\xEF\xBB\xBF");
        break;
    case EEncoding::Utf16Le:
        if (const auto utf8 = CTextCodec::WideToUtf8(text)) {
            bytes = CTextCodec::Convert(*utf8, "UTF-8", "UTF-16LE");
            if (bytes)
                bytes->insert(0, "\xFF\xFE");
        }
        break;
    case EEncoding::Gbk:
        bytes = CTextCodec::WideToGbk(text);
        break;
    }
    if (!bytes)
        return INI_FAILED;

    const std::string utf8Path = WStringToString(m_path);
    if (utf8Path.empty())
        return INI_FAILED;
    std::string temporary = utf8Path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        return INI_FAILED;
    bool written = true;
    size_t done = 0;
    while (done < bytes->size()) {
        const ssize_t n = write(fd, bytes->data() + done, bytes->size() - done);
        if (n <= 0) {
            written = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    struct stat existing {};
    fchmod(fd, stat(utf8Path.c_str(), &existing) == 0 ? (existing.st_mode & 07777) : 0644);
    if (close(fd) != 0)
        written = false;
    if (!written || std::rename(temporary.c_str(), utf8Path.c_str()) != 0) {
        unlink(temporary.c_str());
        return INI_FAILED;
    }
    return 0;
}

int32_t WriteIniText(const std::wstring &file, const std::wstring &section, const std::wstring &key,
                     const std::wstring &value)
{
    static std::mutex writers;
    std::lock_guard<std::mutex> lock(writers);
    // The callers run on command threads: a failure of any kind is the writer's code, never an exception.
    try {
        CIniFile ini(file);
        if (ini.Load() != 0 || ini.SetValue(section, key, value) != 0)
            return INI_FAILED;
        return ini.Save();
    } catch (...) {
        return INI_FAILED;
    }
}
