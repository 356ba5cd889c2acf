#pragma once

// Letter-case folding of aliases and keywords, shared by the loaders and the registries.

#include <string_view>

// Letter case is folded for ASCII only, as the keyword and alias comparisons always did: a Chinese
// alias matches only itself.
inline wchar_t FoldAsciiCase(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

inline bool EqualsNoCase(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i]))
            return false;
    }
    return true;
}
