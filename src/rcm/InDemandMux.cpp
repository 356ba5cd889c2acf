// The mux's source and child-window lists of a layout change.

#include "rcm/InDemandChanges.h"

#include <cwchar>

namespace {

constexpr size_t WINDOW_NUMBERS = 6;

std::vector<std::wstring> Split(const std::wstring &text, wchar_t separator)
{
    std::vector<std::wstring> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return parts;
}

// Numbers from outside: bounded, and never negative, since they place windows on the canvas.
int32_t WindowNumber(const std::wstring &text)
{
    const long long value = std::wcstoll(text.c_str(), nullptr, 10);
    return value < 0 ? 0 : (value > 65535 ? 65535 : static_cast<int32_t>(value));
}

} // namespace

int32_t ParseMuxLayoutLists(const std::wstring &sources, const std::wstring &childWindows,
                            std::list<std::wstring> &aliases, std::vector<stPipWindowInfo> &windows)
{
    aliases.clear();
    windows.clear();
    for (std::wstring &part : Split(sources, L';')) {
        if (!part.empty())
            aliases.push_back(std::move(part));
    }
    if (aliases.size() < 2 || childWindows.empty())
        return static_cast<int32_t>(aliases.size());
    for (const std::wstring &item : Split(childWindows, L';')) {
        const std::vector<std::wstring> numbers = Split(item, L':');
        if (item.empty() || numbers.size() < WINDOW_NUMBERS)
            continue;
        stPipWindowInfo window;
        window.anchor = WindowNumber(numbers[0]);
        window.kind = WindowNumber(numbers[1]);
        window.x = WindowNumber(numbers[2]);
        window.y = WindowNumber(numbers[3]);
        window.width = WindowNumber(numbers[4]);
        window.height = WindowNumber(numbers[5]);
        windows.push_back(window);
    }
    return static_cast<int32_t>(aliases.size());
}
