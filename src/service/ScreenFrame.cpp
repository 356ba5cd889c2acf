#include "service/ScreenFrame.h"

#include "core/TYXUtils.h"
#include "service/ConsoleOutput.h"

#include <algorithm>

int32_t CellWidth(wchar_t c)
{
    const auto u = static_cast<uint32_t>(c);
    const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0xA4CF && u != 0x303F) ||
                      (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) || (u >= 0xFE30 && u <= 0xFE4F) ||
                      (u >= 0xFF00 && u <= 0xFF60) || (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x20000 && u <= 0x3FFFD);
    return wide ? 2 : 1;
}

int32_t CellWidth(const std::wstring &text)
{
    int32_t cells = 0;
    for (const wchar_t c : text)
        cells += CellWidth(c);
    return cells;
}

std::wstring FitToCells(const std::wstring &text, int32_t cells)
{
    std::wstring fitted;
    int32_t used = 0;
    for (const wchar_t c : text) {
        const int32_t width = CellWidth(c);
        if (used + width > cells)
            break;
        fitted += c;
        used += width;
    }
    return fitted;
}

std::wstring CentreInCells(const std::wstring &text, int32_t cells)
{
    const std::wstring fitted = FitToCells(text, cells);
    const int32_t free = cells - CellWidth(fitted);
    const int32_t left = free / 2;
    return std::wstring(static_cast<size_t>(left), L' ') + fitted + std::wstring(static_cast<size_t>(free - left), L' ');
}

CScreenFrame::CScreenFrame(const CConsoleOutput &console, int32_t columns, int32_t rows)
    : m_console(console), m_columns(columns), m_rows(rows)
{
}

void CScreenFrame::ClearScreen()
{
    m_text += "\x1b[H\x1b[2J";
}

void CScreenFrame::Put(int32_t x, int32_t y, const std::wstring &text, uint16_t attribute)
{
    if (y < 0 || y >= m_rows || x >= m_columns || text.empty())
        return;
    std::wstring visible = text;
    if (x < 0) {
        visible = visible.substr(std::min<size_t>(visible.size(), static_cast<size_t>(-x)));
        x = 0;
    }
    visible = FitToCells(visible, m_columns - x);
    if (visible.empty())
        return;
    m_text += m_console.CursorEscape(x, y);
    if (attribute != m_attribute) {
        m_text += m_console.AttributeEscape(attribute);
        m_attribute = attribute;
    }
    m_text += WStringToString(visible);
}

void CScreenFrame::ParkCursor(int32_t y)
{
    m_text += m_console.AttributeEscape(TYX_ATTR_NORMAL);
    m_attribute = TYX_ATTR_NORMAL;
    m_text += m_console.CursorEscape(0, std::clamp(y, 0, std::max(m_rows - 1, 0)));
}
