#include "service/ConsoleOutput.h"

#include "core/TYXUtils.h"
#include "core/WideFormat.h"
#include "platform/Terminal.h"

#include <cstdarg>

CConsoleOutput::CConsoleOutput(int fd) : m_fd(fd), m_terminal(IsTerminalDescriptor(fd)) {}

bool CConsoleOutput::IsValid() const
{
    return IsOpenDescriptor(m_fd);
}

int32_t CConsoleOutput::GetWindowSize(int32_t &columns, int32_t &rows) const
{
    return GetTerminalSize(m_fd, columns, rows);
}

void CConsoleOutput::Write(std::string_view utf8)
{
    if (m_failed || utf8.empty())
        return;
    const int32_t result = WriteFully(m_fd, utf8);
    if (result < 0) {
        m_failed = true;
        OnConsoleWriteFailed(-result);
    }
}

void CConsoleOutput::Printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::string text = VFormatNarrow(format, args);
    va_end(args);
    Write(text);
}

void CConsoleOutput::PrintfW(const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    const std::wstring text = VFormatWide(format, args);
    va_end(args);
    Write(WStringToString(text));
}

void CConsoleOutput::SetTextAttribute(uint16_t attribute)
{
    m_attribute = attribute;
    Write(AttributeEscape(attribute));
}

std::string CConsoleOutput::AttributeEscape(uint16_t attribute) const
{
    if (!m_terminal)
        return {};
    if ((attribute & 0x0F) == TYX_ATTR_NORMAL)
        return "\x1b[0m";
    // The console's colour bits are blue, green, red and bright; ANSI numbers red 1, green 2, blue 4.
    const int colour = ((attribute & 1) ? 4 : 0) | ((attribute & 2) ? 2 : 0) | ((attribute & 4) ? 1 : 0);
    const int code = 30 + colour + ((attribute & 8) ? 60 : 0);
    return "\x1b[0;" + std::to_string(code) + "m";
}

std::string CConsoleOutput::CursorEscape(int32_t x, int32_t y) const
{
    if (!m_terminal)
        return {};
    return "\x1b[" + std::to_string(y + 1) + ";" + std::to_string(x + 1) + "H";
}
