#include "input/SourceClock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

// One point of the rate estimate per second of arrivals.
constexpr int64_t kWindowUs = 1000000;
// A minute of points makes the estimate; five seconds of them are needed before it is used.
constexpr size_t kMostPoints = 60;
constexpr size_t kLeastPoints = 5;
// The drift of the delay from the one the source started with is taken back over this much media
// time, at most this fast, so that the stamps never run visibly faster or slower than the source.
constexpr double kSteerOverUs = 10000000.0;
constexpr double kMostSteer = 0.005;
// A drift of the delay smaller than this, and a change of rate that would not make as much over
// the span of the points, are jitter: the mapping stays as it is, an exact rate stays exact.
constexpr int64_t kLeastDelayDriftUs = 4000;
// A jump of the stamps beyond what jitter explains.
constexpr int64_t kJumpUs = 1500000;
// The mappings of earlier time lines kept for streams whose own jump is still to come.
constexpr size_t kOldMappingsKept = 4;
// A sender's crystal is off by parts per million; anything beyond this is no clock rate.
constexpr double kMostRateOff = 0.05;

} // namespace

int64_t stSourceMapping::Map(int64_t media) const
{
    const int64_t since = media - mediaUs;
    if (rate == 1.0)
        return clockUs + since;
    return clockUs + std::llround(static_cast<double>(since) * rate);
}

stSourceMapping CSourceClock::AnchorOnce(int64_t offsetUs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_mapping.IsSet()) {
        m_mapping.clockUs = offsetUs;
        m_mapping.mediaUs = 0;
        m_mapping.rate = 1.0;
    }
    return m_mapping;
}

stSourceMapping CSourceClock::Mapping() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mapping;
}

bool CSourceClock::IsAnchored() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mapping.IsSet();
}

double CSourceClock::Rate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_mapping.rate;
}

int32_t CSourceClock::Reanchors() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reanchors;
}

void CSourceClock::StartOver()
{
    // The points measured the old time line: the rate found holds, its estimate starts again.
    m_points.clear();
    m_windowOpen = false;
}

stSourceClockStep CSourceClock::Observe(int16_t stream, int64_t mediaUs, int64_t arrivalUs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    stSourceClockStep step;
    if (!m_mapping.IsSet()) {
        step.mapping = m_mapping;
        return step;
    }
    const int64_t delay = arrivalUs - m_mapping.Map(mediaUs);
    if (!m_hasTarget) {
        m_hasTarget = true;
        m_targetDelayUs = delay;
    }
    auto known = m_streams.find(stream);
    if (known == m_streams.end())
        known = m_streams.emplace(stream, stStreamTrack{mediaUs, arrivalUs, m_epoch}).first;
    stStreamTrack &track = known->second;
    const int64_t mediaStep = mediaUs - track.mediaUs;
    const int64_t arrivalStep = arrivalUs - track.arrivalUs;
    const bool jumped = mediaStep < -kJumpUs || mediaStep - arrivalStep > kJumpUs;
    track.mediaUs = mediaUs;
    track.arrivalUs = arrivalUs;
    if (jumped && std::llabs(delay - m_targetDelayUs) > kJumpUs) {
        // The new mapping keeps the delay the source had; a stream still on the old stamps keeps
        // the old one until its own stamps jump too.
        m_oldMappings[m_epoch] = m_mapping;
        while (m_oldMappings.size() > kOldMappingsKept)
            m_oldMappings.erase(m_oldMappings.begin());
        ++m_epoch;
        step.reanchored = true;
        step.jumpUs = mediaStep - arrivalStep;
        m_mapping.clockUs = arrivalUs - m_targetDelayUs;
        m_mapping.mediaUs = mediaUs;
        ++m_reanchors;
        StartOver();
    }
    if (jumped) {
        // A stream that follows another's jump already fits the new mapping.
        track.epoch = m_epoch;
    } else if (track.epoch != m_epoch) {
        const auto old = m_oldMappings.find(track.epoch);
        step.mapping = old != m_oldMappings.end() ? old->second : m_mapping;
        return step;
    }
    if (m_reference < 0)
        m_reference = stream;
    if (stream == m_reference && !step.reanchored) {
        const stPoint point{mediaUs, arrivalUs - mediaUs};
        if (m_windowOpen && arrivalUs - m_windowStartUs >= kWindowUs)
            CloseWindow(mediaUs);
        if (!m_windowOpen) {
            m_windowOpen = true;
            m_windowStartUs = arrivalUs;
            m_windowLeast = point;
            m_windowLeastDelayUs = delay;
        } else if (point.rawUs < m_windowLeast.rawUs) {
            m_windowLeast = point;
            m_windowLeastDelayUs = delay;
        }
    }
    step.mapping = m_mapping;
    return step;
}

void CSourceClock::CloseWindow(int64_t mediaUs)
{
    m_windowOpen = false;
    if (m_points.empty() && m_reanchors == 0)
        m_targetDelayUs = m_windowLeastDelayUs; // the least delay of the first second, not its first package's
    m_points.push_back(m_windowLeast);
    while (m_points.size() > kMostPoints)
        m_points.pop_front();
    if (m_points.size() < kLeastPoints)
        return;

    // Least squares of the least delays against media time, from the first point, so that the
    // sums stay exact for a sender on the host's rate.
    const stPoint origin = m_points.front();
    const double n = static_cast<double>(m_points.size());
    double sumX = 0.0;
    double sumY = 0.0;
    for (const stPoint &p : m_points) {
        sumX += static_cast<double>(p.mediaUs - origin.mediaUs);
        sumY += static_cast<double>(p.rawUs - origin.rawUs);
    }
    const double meanX = sumX / n;
    const double meanY = sumY / n;
    double covariance = 0.0;
    double variance = 0.0;
    for (const stPoint &p : m_points) {
        const double x = static_cast<double>(p.mediaUs - origin.mediaUs) - meanX;
        covariance += x * (static_cast<double>(p.rawUs - origin.rawUs) - meanY);
        variance += x * x;
    }
    if (variance <= 0.0)
        return;
    const double slope = std::clamp(covariance / variance, -kMostRateOff, kMostRateOff);

    // Where the line puts the least delay now, against the delay the source started with.
    const double lineAtNow = meanY + slope * (static_cast<double>(mediaUs - origin.mediaUs) - meanX);
    const int64_t leastArrival = mediaUs + origin.rawUs + std::llround(lineAtNow);
    const int64_t drift = leastArrival - m_mapping.Map(mediaUs) - m_targetDelayUs;
    const double steer = std::clamp(static_cast<double>(drift) / kSteerOverUs, -kMostSteer, kMostSteer);
    const double rate = 1.0 + slope + steer;
    const double span = static_cast<double>(m_points.back().mediaUs - origin.mediaUs);
    if (std::fabs(rate - m_mapping.rate) * span < kLeastDelayDriftUs && std::llabs(drift) < kLeastDelayDriftUs)
        return;
    // The new line starts where the old one is now: no stamp jumps.
    m_mapping.clockUs = m_mapping.Map(mediaUs);
    m_mapping.mediaUs = mediaUs;
    m_mapping.rate = rate;
}
