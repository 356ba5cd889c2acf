#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Captures every debug log message while it lives (whether or not the log file runs).
class CLogCapture
{
public:
    struct stLine
    {
        int32_t level;
        std::wstring text;
    };

    CLogCapture();
    ~CLogCapture();
    CLogCapture(const CLogCapture &) = delete;
    CLogCapture &operator=(const CLogCapture &) = delete;

    std::vector<stLine> Lines() const;
    // Number of captured lines that contain the text (at the level, when level > 0).
    int Count(const std::wstring &text, int32_t level = 0) const;
    bool Contains(const std::wstring &text, int32_t level = 0) const { return Count(text, level) > 0; }
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<stLine> m_lines;
};
