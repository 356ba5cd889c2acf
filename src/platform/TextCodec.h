#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text conversion through iconv between wide text (UTF-32 wchar_t), UTF-8 and GBK. Each thread
// keeps the converters it has opened, one per pair of encodings, so any thread may call and none
// opens iconv for every call. Invalid input gives no result.
class CTextCodec
{
public:
    // Converts bytes between two iconv encodings.
    static std::optional<std::string> Convert(std::string_view input, const char *from, const char *to);

    static std::optional<std::string> WideToUtf8(std::wstring_view text);
    // Never fails: a character that has no UTF-8 form (a lone surrogate, a value above U+10FFFF)
    // becomes U+FFFD, so a log line keeps the rest of its text.
    static std::string WideToUtf8Replacing(std::wstring_view text);
    static std::optional<std::wstring> Utf8ToWide(std::string_view text);
    static std::optional<std::string> WideToGbk(std::wstring_view text);
    static std::optional<std::wstring> GbkToWide(std::string_view text);

    // Test hook: the converters opened so far, by every thread.
    static int64_t OpenedConverters();
};
