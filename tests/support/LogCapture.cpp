#include "support/LogCapture.h"

#include "core/debuglog.h"

CLogCapture::CLogCapture()
{
    SetDebugLogObserver([this](int32_t level, const std::wstring &text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back({level, text});
    });
}

CLogCapture::~CLogCapture()
{
    SetDebugLogObserver(nullptr);
}

std::vector<CLogCapture::stLine> CLogCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

int CLogCapture::Count(const std::wstring &text, int32_t level) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int count = 0;
    for (const stLine &line : m_lines) {
        if ((level <= 0 || line.level == level) && line.text.find(text) != std::wstring::npos)
            ++count;
    }
    return count;
}

void CLogCapture::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}
