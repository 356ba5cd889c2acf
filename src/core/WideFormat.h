#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <string_view>

// The system's format texts follow the Windows printf family: in a wide format "%s" is a wide
// string and "%S"/"%hs" a narrow one, "%ld" is 32 bits and "%I64d" 64 bits. glibc reads them the other
// way round, so every format passes through here before it reaches the C library.

// Rewrites a Windows-style wide format for glibc's wide printf.
std::wstring TranslateWideFormat(const wchar_t *format);
// Rewrites a Windows-style narrow format for glibc's narrow printf.
std::string TranslateNarrowFormat(const char *format);

// Formats a Windows-style wide format; output longer than maxChars is cut to maxChars.
// Narrow arguments are read as UTF-8.
std::wstring VFormatWide(const wchar_t *format, va_list args, size_t maxChars = 65536);
std::wstring FormatWide(const wchar_t *format, ...);
// Formats a Windows-style narrow format into UTF-8 text.
std::string VFormatNarrow(const char *format, va_list args);

// The text with every control character written as an escape ("\r", "\n", "\t", "\x1b", "\u2028"),
// so that it cannot break or colour the line it is put in.
std::wstring EscapeControlCharacters(std::wstring_view text);
// VFormatWide for a log line: what the string and character arguments bring is escaped, the
// format's own text is kept as written.
std::wstring VFormatWideEscaped(const wchar_t *format, va_list args, size_t maxChars = 65536);
