#pragma once

#include <optional>
#include <string>
#include <string_view>

// Text conversion through iconv between wide text (UTF-32 wchar_t), UTF-8 and GBK. Every call
// opens its own converter, so any thread may call. Invalid input gives no result.
class CTextCodec
{
public:
    // Converts bytes between two iconv encodings.
    static std::optional<std::string> Convert(std::string_view input, const char *from, const char *to);

    static std::optional<std::string> WideToUtf8(std::wstring_view text);
    static std::optional<std::wstring> Utf8ToWide(std::string_view text);
    static std::optional<std::string> WideToGbk(std::wstring_view text);
    static std::optional<std::wstring> GbkToWide(std::string_view text);
};
