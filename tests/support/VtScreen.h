#pragma once

#include <string>
#include <vector>

// A small terminal emulator for tests: it plays back what was written to a terminal (UTF-8 text,
// cursor positioning, erasing, colours) into a grid of cells, so that tests read the screen as a
// user sees it. Text that reaches past the right margin counts as an overflow instead of wrapping.
class CVtScreen
{
public:
    struct stCell
    {
        wchar_t ch = L' ';
        int colour = 0; // the SGR foreground code in force when written (0 default)
    };

    CVtScreen(int columns, int rows);

    void Feed(const std::string &bytes);
    // The row's text, trailing blanks removed.
    std::wstring Row(int row) const;
    const stCell &At(int column, int row) const;
    // The text of cells [column, column + count) of the row.
    std::wstring Text(int column, int row, int count) const;
    int Overflows() const { return m_overflows; }
    int UnknownSequences() const { return m_unknown; }
    // Finds text on the screen: its (column, row), or (-1, -1).
    std::pair<int, int> Find(const std::wstring &text) const;

private:
    void Put(wchar_t ch);
    void Csi(const std::string &parameters, char final);

    int m_columns;
    int m_rows;
    std::vector<stCell> m_cells;
    int m_x = 0;
    int m_y = 0;
    int m_colour = 0;
    int m_overflows = 0;
    int m_unknown = 0;
};
