#include "support/VtScreen.h"

#include <cstdlib>
#include <sstream>

CVtScreen::CVtScreen(int columns, int rows)
    : m_columns(columns), m_rows(rows), m_cells(static_cast<size_t>(columns * rows))
{
}

const CVtScreen::stCell &CVtScreen::At(int column, int row) const
{
    return m_cells[static_cast<size_t>(row * m_columns + column)];
}

std::wstring CVtScreen::Text(int column, int row, int count) const
{
    std::wstring text;
    for (int x = column; x < column + count && x < m_columns; ++x)
        text += At(x, row).ch;
    return text;
}

std::wstring CVtScreen::Row(int row) const
{
    std::wstring text = Text(0, row, m_columns);
    text.erase(text.find_last_not_of(L' ') + 1);
    return text;
}

std::pair<int, int> CVtScreen::Find(const std::wstring &text) const
{
    for (int y = 0; y < m_rows; ++y) {
        const size_t at = Text(0, y, m_columns).find(text);
        if (at != std::wstring::npos)
            return {static_cast<int>(at), y};
    }
    return {-1, -1};
}

void CVtScreen::Put(wchar_t ch)
{
    if (m_x >= m_columns || m_y >= m_rows) {
        ++m_overflows;
        return;
    }
    stCell &cell = m_cells[static_cast<size_t>(m_y * m_columns + m_x)];
    cell.ch = ch;
    cell.colour = m_colour;
    ++m_x;
}

void CVtScreen::Csi(const std::string &parameters, char final)
{
    std::vector<int> numbers;
    std::stringstream items(parameters);
    std::string item;
    while (std::getline(items, item, ';'))
        numbers.push_back(item.empty() ? 0 : std::atoi(item.c_str()));
    switch (final) {
    case 'H':
        m_y = (numbers.size() > 0 && numbers[0] > 0 ? numbers[0] : 1) - 1;
        m_x = (numbers.size() > 1 && numbers[1] > 0 ? numbers[1] : 1) - 1;
        break;
    case 'J':
        if (!numbers.empty() && (numbers[0] == 2 || numbers[0] == 3))
            m_cells.assign(m_cells.size(), stCell{});
        break;
    case 'm':
        if (numbers.empty())
            numbers.push_back(0);
        for (const int number : numbers) {
            if (number == 0)
                m_colour = 0;
            else if ((number >= 30 && number <= 37) || (number >= 90 && number <= 97))
                m_colour = number;
        }
        break;
    default:
        ++m_unknown;
    }
}

void CVtScreen::Feed(const std::string &bytes)
{
    for (size_t i = 0; i < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (byte == 0x1B && i + 1 < bytes.size() && bytes[i + 1] == '[') {
            size_t end = i + 2;
            while (end < bytes.size() && !(bytes[end] >= 0x40 && bytes[end] <= 0x7E))
                ++end;
            if (end >= bytes.size())
                break;
            Csi(bytes.substr(i + 2, end - i - 2), bytes[end]);
            i = end + 1;
        } else if (byte == '\r') {
            m_x = 0;
            ++i;
        } else if (byte == '\n') {
            ++m_y;
            ++i;
        } else {
            // UTF-8 into one character.
            int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
            wchar_t ch = length == 1 ? byte : byte & (0xFF >> (length + 1));
            for (int k = 1; k < length && i + static_cast<size_t>(k) < bytes.size(); ++k)
                ch = (ch << 6) | (static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]) & 0x3F);
            Put(ch);
            i += static_cast<size_t>(length);
        }
    }
}
