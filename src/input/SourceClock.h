#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>

// A line from a source's media time onto the program clock (both µs): program = clockUs +
// (media - mediaUs) x rate. At a rate of exactly 1 the mapping is a plain offset, without rounding.
struct stSourceMapping
{
    static constexpr int64_t kUnset = INT64_MIN;

    int64_t clockUs = kUnset;
    int64_t mediaUs = 0;
    double rate = 1.0;

    bool IsSet() const { return clockUs != kUnset; }
    int64_t Map(int64_t media) const;
};

// What the clock made of one observed package: the mapping to stamp it with, and whether the
// package re-anchored the source (a jump of its stamps), by how much its stamps jumped (µs).
struct stSourceClockStep
{
    stSourceMapping mapping;
    bool reanchored = false;
    int64_t jumpUs = 0;
};

// The clock of one live source, shared by its streams for one open: it keeps the source's stamps
// on the program clock however fast or slow the sender's own clock runs, and however its stamps
// start again. The rate is estimated from the arrival times: per second of arrivals, the package
// that came earliest for its media time (the least delayed one, where jitter has not added to it)
// gives a point; a least-squares line through the last minute of points gives the sender's rate,
// and how far the mapping's delay has moved from the one it started with steers the mapping back,
// so that the delay neither grows nor shrinks over days. A sender on the host's rate keeps an
// exact rate of 1. Picture and sound are stamped through the one mapping. Thread-safe.
class CSourceClock
{
public:
    // The first anchor holds until a jump re-anchors the source: media time 0 is at offsetUs on
    // the program clock, at a rate of 1. The mapping in force.
    stSourceMapping AnchorOnce(int64_t offsetUs);
    stSourceMapping Mapping() const;
    bool IsAnchored() const;
    // Takes one package of a stream: its media time and the program time it arrived at. A stamp
    // that jumps back, or forward past what the time since the stream's last package explains,
    // by more than jitter explains and away from the mapping, re-anchors the source: the package
    // keeps the delay the source had. Another stream's packages still on the old stamps keep the
    // old mapping until that stream's own stamps jump.
    stSourceClockStep Observe(int16_t stream, int64_t mediaUs, int64_t arrivalUs);
    // The rate in force (program µs per media µs) and the re-anchors so far.
    double Rate() const;
    int32_t Reanchors() const;

private:
    struct stStreamTrack
    {
        int64_t mediaUs = 0;
        int64_t arrivalUs = 0;
        int32_t epoch = 0;      // the time line its stamps are on
    };
    struct stPoint
    {
        int64_t mediaUs = 0;
        int64_t rawUs = 0;      // arrival less media time
    };

    void CloseWindow(int64_t mediaUs);
    void StartOver();

    mutable std::mutex m_mutex;
    stSourceMapping m_mapping;
    std::map<int16_t, stStreamTrack> m_streams;
    int16_t m_reference = -1;       // the stream whose arrivals measure the rate
    bool m_hasTarget = false;
    int64_t m_targetDelayUs = 0;    // arrival less stamp, as the source started
    bool m_windowOpen = false;
    int64_t m_windowStartUs = 0;
    stPoint m_windowLeast;
    int64_t m_windowLeastDelayUs = 0;
    std::deque<stPoint> m_points;
    int32_t m_reanchors = 0;
    int32_t m_epoch = 0;            // the time line in force: one more at every re-anchor
    std::map<int32_t, stSourceMapping> m_oldMappings;
};
