#include "core/ProgramClock.h"

#include "core/TYXUtils.h"

CProgramClock::CProgramClock(Source wallUs, Source monotonicUs)
    : m_wallUs(wallUs), m_monotonicUs(monotonicUs)
{
    m_originMonotonicUs = m_monotonicUs();
    m_originUs = m_wallUs() + TYX_CLOCK_OFFSET_US;
}

int64_t CProgramClock::NowUs() const
{
    return m_originUs + (m_monotonicUs() - m_originMonotonicUs);
}

int64_t CProgramClock::WallOfProgramUs(int64_t programUs) const
{
    // The monotonic clock first: the wall clock is read after it, as the origin was.
    const int64_t now = NowUs();
    return programUs - now + m_wallUs();
}
