#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Console text attributes, as the system's texts name colours.
constexpr uint16_t TYX_ATTR_GREEN = 2;
constexpr uint16_t TYX_ATTR_DARK_YELLOW = 6;
constexpr uint16_t TYX_ATTR_NORMAL = 7;
constexpr uint16_t TYX_ATTR_GREY = 8;
constexpr uint16_t TYX_ATTR_LIGHT_BLUE = 9;
constexpr uint16_t TYX_ATTR_LIGHT_GREEN = 10;
constexpr uint16_t TYX_ATTR_LIGHT_RED = 12;
constexpr uint16_t TYX_ATTR_YELLOW = 14;

// The console of the service functions: a descriptor (standard output by default) that gets
// colours and cursor moves as ANSI escapes only when it is a terminal, so that a file, a pipe or
// the journal receives plain text. Not owned: the descriptor stays open. One thread at a time.
class CConsoleOutput
{
public:
    explicit CConsoleOutput(int fd = 1);

    int Fd() const { return m_fd; }
    bool IsValid() const;
    bool IsTerminal() const { return m_terminal; }
    // 0, or a negative errno (ENOTTY when it is no terminal).
    int32_t GetWindowSize(int32_t &columns, int32_t &rows) const;

    // Nothing more is written once a write failed; the failure turns screen output off.
    void Write(std::string_view utf8);
    // Windows-style formats (WideFormat.h).
    void Printf(const char *format, ...);
    void PrintfW(const wchar_t *format, ...);

    void SetTextAttribute(uint16_t attribute);
    uint16_t TextAttribute() const { return m_attribute; }
    // The escape that selects the attribute, or nothing off a terminal.
    std::string AttributeEscape(uint16_t attribute) const;
    // The escape that moves the cursor to column x, row y (both from 0), or nothing.
    std::string CursorEscape(int32_t x, int32_t y) const;

private:
    int m_fd;
    bool m_terminal;
    bool m_failed = false;
    uint16_t m_attribute = TYX_ATTR_NORMAL;
};
