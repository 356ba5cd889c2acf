#pragma once

#include <cstdint>
#include <string>

class CConsoleOutput;

// The number of console cells a character takes: 2 for the wide East Asian ones, else 1.
int32_t CellWidth(wchar_t c);
// The cells a text takes.
int32_t CellWidth(const std::wstring &text);
// The longest start of text that fits into cells.
std::wstring FitToCells(const std::wstring &text, int32_t cells);
// text centred in cells (cut when longer), padded with blanks on both sides.
std::wstring CentreInCells(const std::wstring &text, int32_t cells);

// One batch of output to a terminal: texts placed at cells with their attributes, clipped to the
// window so that nothing wraps or scrolls, written with a single write.
class CScreenFrame
{
public:
    CScreenFrame(const CConsoleOutput &console, int32_t columns, int32_t rows);

    void ClearScreen();
    // Writes text at (x, y); what falls outside the window is left out.
    void Put(int32_t x, int32_t y, const std::wstring &text, uint16_t attribute);
    // Leaves the cursor at the start of row y (the last row when y is below the window).
    void ParkCursor(int32_t y);
    const std::string &Text() const { return m_text; }

private:
    const CConsoleOutput &m_console;
    int32_t m_columns;
    int32_t m_rows;
    std::string m_text;
    int32_t m_attribute = -1;
};
