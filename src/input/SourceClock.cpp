#include "input/SourceClock.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

// One point of the rate estimate per second of arrivals.
constexpr int64_t kWindowUs = 1000000;
// Ten minutes of points make the estimate; five seconds of them are needed before it is used.
constexpr size_t kMostPoints = 600;
constexpr size_t kLeastPoints = 5;
// A point this far off its run's line is no jitter: a step of the delay when the next point is off
// to the same side, a single late second when it is not.
constexpr int64_t kStepUs = 10000;
// The drift of the delay from the one the source started with is taken back over this much media
// time, at most this fast, so that the stamps never run visibly faster or slower than the source.
// Steering starts at a drift beyond jitter and ends within a millisecond, where the rate in force
// is the sender's own again.
constexpr double kSteerOverUs = 10000000.0;
constexpr double kMostSteer = 0.005;
constexpr int64_t kSteerStartUs = 4000;
constexpr int64_t kSteerStopUs = 1000;
// The steering moves the rate in force by at most this much from one window to the next; the
// estimate of the sender's rate moves it only where the line says so beyond its uncertainty.
constexpr double kMostRateChange = 0.001;
// The estimate's resolution. It follows the line only where the line differs by more than its
// uncertainty (three standard errors, more for a few points) and by more than this much delay over
// the media time its points cover: few points close together tell jitter, not a rate.
constexpr double kRateResolution = 1e-6;
constexpr double kSignificantErrors = 3.0;
constexpr double kFewPointsErrors = 10.0;
constexpr double kJitterOverSpanUs = 1000.0;
// A window's least delayed package, picked along a rate this far off the sender's, lies late in it.
constexpr double kPickedAlongOff = 0.0005;
// A jump of the stamps beyond what jitter explains.
constexpr int64_t kJumpUs = 1500000;
// A source that starts (again) sends its first packages late and at once, or is read late while a
// backlog is worked off: its least delay is known once this much of its arrivals kept pace with
// their media, and is taken as it is after the longest wait.
constexpr int64_t kSettleUs = 500000;
constexpr int64_t kLongestSettleUs = 5000000;
// Arrivals that gain more than jitter on their media, and faster than a sender's clock could run
// off the host's (kMostRateOff), are a burst or a backlog: the source is not at its pace yet.
constexpr int64_t kSettleGainUs = 10000;
// The mappings of earlier time lines kept for streams whose own jump is still to come.
constexpr size_t kOldMappingsKept = 4;
// A sender's crystal is off by parts per million; anything beyond this is no clock rate.
constexpr double kMostRateOff = 0.05;

double Quantised(double slope)
{
    return 1.0 + std::round(std::clamp(slope, -kMostRateOff, kMostRateOff) / kRateResolution) * kRateResolution;
}

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

double CSourceClock::SenderRate() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_senderRate;
}

int32_t CSourceClock::Reanchors() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reanchors;
}

bool CSourceClock::Settled(int32_t epoch, int64_t nowUs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Before the first observed package the start's wait has not even begun.
    if (!m_hasTarget)
        return epoch != m_epoch || nowUs == INT64_MAX;
    if (m_settling && nowUs >= m_settleUntilUs)
        FinishSettling();
    return epoch != m_epoch || !m_settling;
}

stSourceClockStep CSourceClock::Place(int16_t stream) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    stSourceClockStep step;
    const auto known = m_streams.find(stream);
    step.epoch = known != m_streams.end() ? known->second.epoch : m_epoch;
    step.mapping = MappingOfLocked(step.epoch);
    step.held = step.epoch == m_epoch && (m_settling || !m_hasTarget);
    return step;
}

stSourceMapping CSourceClock::MappingOf(int32_t epoch) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return MappingOfLocked(epoch);
}

stSourceMapping CSourceClock::MappingOfLocked(int32_t epoch) const
{
    const auto old = m_oldMappings.find(epoch);
    return epoch != m_epoch && old != m_oldMappings.end() ? old->second : m_mapping;
}

bool CSourceClock::MeasuresSettling(int16_t stream) const
{
    return m_settleStream < 0 || stream == m_settleStream;
}

void CSourceClock::StartOver()
{
    // The sender's clock is the same: its rate holds, and the points measured so far still tell
    // it. The new stamps start a run of their own; the window and the steering start again.
    m_windowOpen = false;
    m_aside.reset();
    ++m_run;
    m_steering = false;
    m_steer = 0.0;
}

void CSourceClock::StartSettling(int16_t stream, int64_t mediaUs, int64_t arrivalUs)
{
    m_settling = true;
    m_settleStream = stream;
    m_settleBeganUs = arrivalUs;
    m_settleUntilUs = arrivalUs + kSettleUs;
    m_settleMediaUs = mediaUs;
    m_settleArrivalUs = arrivalUs;
    m_gainMediaUs = mediaUs;
    m_gainArrivalUs = arrivalUs;
}

void CSourceClock::FollowSettling(int64_t mediaUs, int64_t arrivalUs)
{
    // Least delayed along the sender's rate: a burst's packages came at once, the first the latest
    // of them.
    const double behind = static_cast<double>(arrivalUs - m_settleArrivalUs) -
                          static_cast<double>(mediaUs - m_settleMediaUs) * m_senderRate;
    if (behind < 0.0) {
        m_settleMediaUs = mediaUs;
        m_settleArrivalUs = arrivalUs;
    }
    // Measured from the last package that gained, not from the one before: a backlog read a little
    // faster than real time gains a few ms a package.
    const double since = static_cast<double>(arrivalUs - m_gainArrivalUs);
    const double gain = static_cast<double>(mediaUs - m_gainMediaUs) * m_senderRate - since;
    if (gain > static_cast<double>(kSettleGainUs) && gain > kMostRateOff * since) {
        m_gainMediaUs = mediaUs;
        m_gainArrivalUs = arrivalUs;
        m_settleUntilUs = std::min(arrivalUs + kSettleUs, m_settleBeganUs + kLongestSettleUs);
    }
}

void CSourceClock::FinishSettling()
{
    // The least delayed package of the new stamps keeps the delay the source had.
    m_mapping.clockUs = m_settleArrivalUs - m_targetDelayUs;
    m_mapping.mediaUs = m_settleMediaUs;
    m_settling = false;
}

stSourceClockStep CSourceClock::Observe(int16_t stream, int64_t mediaUs, int64_t arrivalUs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    stSourceClockStep step;
    if (!m_mapping.IsSet()) {
        step.mapping = m_mapping;
        return step;
    }
    // Only the stream the wait measures ends it: another's packages may be handled ahead of that
    // stream's, which may still prolong it.
    if (m_settling && arrivalUs >= m_settleUntilUs && MeasuresSettling(stream))
        FinishSettling();
    const int64_t delay = arrivalUs - m_mapping.Map(mediaUs);
    if (!m_hasTarget) {
        m_hasTarget = true;
        m_targetDelayUs = delay;
        // A start is measured on the stream of its first package: its delay is the target.
        StartSettling(stream, mediaUs, arrivalUs);
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
        if (m_settling)
            FinishSettling();
        // A stream still on the old stamps keeps the old mapping until its own stamps jump too.
        m_oldMappings[m_epoch] = m_mapping;
        while (m_oldMappings.size() > kOldMappingsKept)
            m_oldMappings.erase(m_oldMappings.begin());
        ++m_epoch;
        ++m_reanchors;
        step.reanchored = true;
        step.jumpUs = mediaStep - arrivalStep;
        m_mapping.clockUs = arrivalUs - m_targetDelayUs;
        m_mapping.mediaUs = mediaUs;
        m_mapping.rate = m_senderRate;
        StartOver();
        StartSettling(-1, mediaUs, arrivalUs);
    }
    if (jumped) {
        // A stream that follows another's jump already fits the new mapping.
        track.epoch = m_epoch;
    } else if (track.epoch != m_epoch) {
        const auto old = m_oldMappings.find(track.epoch);
        step.mapping = old != m_oldMappings.end() ? old->second : m_mapping;
        step.epoch = track.epoch;
        return step;
    }
    step.epoch = m_epoch;
    if (m_settling) {
        if (MeasuresSettling(stream))
            FollowSettling(mediaUs, arrivalUs);
        step.held = true;
    }
    if (m_reference < 0)
        m_reference = stream;
    // The rate is measured on arrivals at the source's pace: a burst or a backlog would read as one.
    if (stream == m_reference && !m_settling) {
        // Least delayed along the sender's rate, not along the steered one: a rate off by a few
        // per mille would pick the window's last package, however late jitter made it.
        const stPoint point{mediaUs, arrivalUs - mediaUs, m_run};
        const double along = static_cast<double>(point.rawUs) - (m_senderRate - 1.0) * static_cast<double>(mediaUs);
        if (m_windowOpen && arrivalUs - m_windowStartUs >= kWindowUs)
            CloseWindow(mediaUs);
        if (!m_windowOpen || along < m_windowLeastAlong) {
            if (!m_windowOpen)
                m_windowStartUs = arrivalUs;
            m_windowOpen = true;
            m_windowLeast = point;
            m_windowLeastAlong = along;
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
        m_targetDelayUs = m_windowLeastDelayUs; // the least delay of the first second at the source's pace
    AddPoint(m_windowLeast);
    FollowLine(FitLine());
    Steer(mediaUs);
}

bool CSourceClock::RunLevelAt(int64_t mediaUs, double &rawUs) const
{
    double sumX = 0.0;
    double sumY = 0.0;
    double n = 0.0;
    int64_t originX = 0;
    int64_t originY = 0;
    for (const stPoint &p : m_points) {
        if (p.run != m_run)
            continue;
        if (n == 0.0) {
            originX = p.mediaUs;
            originY = p.rawUs;
        }
        sumX += static_cast<double>(p.mediaUs - originX);
        sumY += static_cast<double>(p.rawUs - originY);
        n += 1.0;
    }
    if (n == 0.0)
        return false;
    const double slope = m_senderRate - 1.0;
    rawUs = static_cast<double>(originY) + sumY / n + slope * (static_cast<double>(mediaUs - originX) - sumX / n);
    return true;
}

void CSourceClock::AddPoint(const stPoint &point)
{
    double level = 0.0;
    const bool hasLevel = RunLevelAt(point.mediaUs, level);
    const double off = hasLevel ? static_cast<double>(point.rawUs) - level : 0.0;
    if (std::fabs(off) <= kStepUs) {
        m_aside.reset();
        m_points.push_back(point);
    } else if (m_aside && (off > 0.0) == (m_asideOff > 0.0)) {
        // Two points in a row off the line on one side: the delay stepped (or, before the
        // sender's rate is known, the line leans). Both start a run of their own.
        ++m_run;
        stPoint first = *m_aside;
        first.run = m_run;
        m_points.push_back(first);
        stPoint second = point;
        second.run = m_run;
        m_points.push_back(second);
        m_aside.reset();
    } else {
        m_aside = point;
        m_asideOff = off;
    }
    while (m_points.size() > kMostPoints)
        m_points.pop_front();
}

CSourceClock::stLine CSourceClock::FitLine() const
{
    // Least squares with one slope and an offset for each run: each run is centred on its own
    // means. Sums from each run's first point keep them exact for a sender on the host's rate.
    stLine line;
    double sxx = 0.0;
    double sxy = 0.0;
    double syy = 0.0;
    size_t points = 0;
    size_t runs = 0;
    for (size_t begin = 0; begin < m_points.size();) {
        size_t end = begin;
        while (end < m_points.size() && m_points[end].run == m_points[begin].run)
            ++end;
        const size_t n = end - begin;
        if (n >= 2) {
            const stPoint &origin = m_points[begin];
            double sumX = 0.0;
            double sumY = 0.0;
            for (size_t i = begin; i < end; ++i) {
                sumX += static_cast<double>(m_points[i].mediaUs - origin.mediaUs);
                sumY += static_cast<double>(m_points[i].rawUs - origin.rawUs);
            }
            const double meanX = sumX / static_cast<double>(n);
            const double meanY = sumY / static_cast<double>(n);
            for (size_t i = begin; i < end; ++i) {
                const double x = static_cast<double>(m_points[i].mediaUs - origin.mediaUs) - meanX;
                const double y = static_cast<double>(m_points[i].rawUs - origin.rawUs) - meanY;
                sxx += x * x;
                sxy += x * y;
                syy += y * y;
            }
            points += n;
            ++runs;
            line.spanUs += static_cast<double>(m_points[end - 1].mediaUs - origin.mediaUs);
        }
        begin = end;
    }
    if (points < kLeastPoints || points <= runs + 1 || sxx <= 0.0 || line.spanUs <= 0.0)
        return line;
    line.slope = sxy / sxx;
    line.freedom = static_cast<double>(points - runs - 1);
    const double residual = std::max(0.0, syy - line.slope * sxy);
    line.error = std::sqrt(residual / line.freedom / sxx);
    line.valid = true;
    return line;
}

void CSourceClock::FollowLine(const stLine &line)
{
    if (!line.valid)
        return;
    const double rate = Quantised(line.slope);
    const double errors = kSignificantErrors + kFewPointsErrors / line.freedom;
    const double least = std::max({2.0 * kRateResolution, errors * line.error, kJitterOverSpanUs / line.spanUs});
    if (std::fabs(rate - m_senderRate) <= least)
        return;
    // Points picked along a rate this far off are not the least delayed ones of their seconds.
    if (std::fabs(rate - m_senderRate) > kPickedAlongOff)
        m_points.erase(m_points.begin(), m_points.end() - 1);
    m_senderRate = rate;
}

void CSourceClock::Steer(int64_t mediaUs)
{
    double steer = m_steer;
    double level = 0.0;
    if (RunLevelAt(mediaUs, level)) {
        // Where the least delay lies now, against the delay the source started with.
        const double leastArrival = static_cast<double>(mediaUs) + level;
        const double drift =
            leastArrival - static_cast<double>(m_mapping.Map(mediaUs)) - static_cast<double>(m_targetDelayUs);
        if (!m_steering && std::fabs(drift) > kSteerStartUs)
            m_steering = true;
        else if (m_steering && std::fabs(drift) <= kSteerStopUs)
            m_steering = false;
        steer = m_steering ? std::clamp(drift / kSteerOverUs, -kMostSteer, kMostSteer) : 0.0;
    }
    const double change = steer - m_steer;
    m_steer = std::fabs(change) <= kMostRateChange ? steer : m_steer + std::copysign(kMostRateChange, change);
    const double rate = m_senderRate + m_steer;
    if (rate == m_mapping.rate)
        return;
    // The new line starts where the old one is now: no stamp jumps.
    m_mapping.clockUs = m_mapping.Map(mediaUs);
    m_mapping.mediaUs = mediaUs;
    m_mapping.rate = rate;
}
