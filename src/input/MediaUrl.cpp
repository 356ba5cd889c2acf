#include "input/MediaUrl.h"

#include "core/TYXUtils.h"

namespace {

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::wstring PercentEncode(const std::wstring &text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::wstring encoded;
    for (const unsigned char c : WStringToString(text)) {
        if (IsUnreserved(c)) {
            encoded += static_cast<wchar_t>(c);
        } else {
            encoded += L'%';
            encoded += static_cast<wchar_t>(kHex[c >> 4]);
            encoded += static_cast<wchar_t>(kHex[c & 0x0F]);
        }
    }
    return encoded;
}

} // namespace

std::wstring InsertUrlCredentials(const std::wstring &url, const std::wstring &user, const std::wstring &password)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos || user.empty() || password.empty())
        return url;
    const size_t at = scheme + 3;
    return url.substr(0, at) + PercentEncode(user) + L":" + PercentEncode(password) + L"@" + url.substr(at);
}

std::wstring MaskUrlCredentials(const std::wstring &url)
{
    const size_t scheme = url.find(L"://");
    if (scheme == std::wstring::npos)
        return url;
    const size_t start = scheme + 3;
    // The user part ends at the last '@' before the query or fragment. Searching past the first '/'
    // masks too much for a path with '@' in it, but never leaves an unescaped password readable.
    const size_t queryStart = url.find_first_of(L"?#", start);
    const size_t at = url.rfind(L'@', queryStart == std::wstring::npos ? std::wstring::npos : queryStart);
    if (at == std::wstring::npos || at < start)
        return url;
    const size_t colon = url.find(L':', start);
    if (colon == std::wstring::npos || colon > at)
        return url;
    return url.substr(0, colon + 1) + L"***" + url.substr(at);
}
