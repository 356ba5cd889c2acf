#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

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
// A package of a source that is settling (it starts, or its stamps jumped) is held: it waits,
// unstamped, until Settled says that the mapping of its time line (epoch) is final, and is stamped
// with MappingOf.
struct stSourceClockStep
{
    stSourceMapping mapping;
    bool reanchored = false;
    int64_t jumpUs = 0;
    bool held = false;
    int32_t epoch = 0;
};

// The clock of one live source, shared by its streams for one open: it keeps the source's stamps
// on the program clock however fast or slow the sender's own clock runs, and however its stamps
// start again. Per second of arrivals, the package that came earliest for its media time (the
// least delayed one, where jitter has not added to it) gives a point. The sender's rate is the
// slope of a least-squares line through the last ten minutes of points, fitted with an offset of
// its own for each run of points between two lasting steps of the delay (a relay that keeps a
// backlog, an encoder pause whose stamps go on), so that a step never reads as a rate; a single
// point off the line is left out. The estimate follows the line only by more than the line's own
// uncertainty, so that a steady sender keeps one exact rate (a sender on the host's rate keeps
// exactly 1). How far the delay has moved from the one the source started with is steered back
// at most 0.5 % off the sender's rate, until it is within a millisecond; the steering moves the
// rate in force by at most 0.1 % from one second to the next.
// A source that starts, and one whose stamps jump (it is re-anchored), may send or be read late
// and at once at first: a burst made while it connected, a backlog that a stalled reader works off
// faster than real time. Such a start's least delay is only how late it came. Its packages wait,
// unstamped, until the arrivals keep pace with their media for half a second (at most five
// seconds); then the least delayed package of the wait gets the delay the source's first observed
// package had (after a jump: the delay the source had), and the source goes on from there, picture
// and sound on one offset, without steering. A start is measured on the stream of its first
// package, a jump on every stream. Measuring the rate starts once the wait is over.
// Thread-safe.
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
    // by more than jitter explains and away from the mapping, re-anchors the source. Another
    // stream's packages still on the old stamps keep the old mapping until that stream's own
    // stamps jump.
    stSourceClockStep Observe(int16_t stream, int64_t mediaUs, int64_t arrivalUs);
    // Takes a package that tells nothing of the sender's clock (one moved in time): the mapping of
    // its stream's time line. It waits with the packages of its time line while that settles, and
    // before the source's first observed package (the mapping may not be set yet).
    stSourceClockStep Place(int16_t stream) const;
    // True when the mapping of the time line is final: a wait ends when a package of the stream it
    // measures, or the program clock (nowUs), is half a second past the last package that gained
    // on its media beyond jitter (the first one, if none did), five seconds past the first at
    // most; a nowUs of INT64_MAX ends it at once (the source closed).
    bool Settled(int32_t epoch, int64_t nowUs);
    // The mapping of a time line: the one in force, or an earlier one kept for late streams.
    stSourceMapping MappingOf(int32_t epoch) const;
    // The rate in force (program µs per media µs), the sender's rate as estimated (the rate in
    // force less the steering) and the re-anchors so far.
    double Rate() const;
    double SenderRate() const;
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
        int32_t run = 0;        // the run of points between two steps of the delay
    };
    struct stLine
    {
        double slope = 0.0;
        double error = 0.0;     // standard error of the slope
        double freedom = 0.0;   // degrees of freedom of that error
        double spanUs = 0.0;    // media time the points cover
        bool valid = false;
    };

    void StartOver();
    void CloseWindow(int64_t mediaUs);
    // Adds the window's point to its run, starts a new run at a lasting step, or keeps a point
    // off the line aside until the next one tells which it is.
    void AddPoint(const stPoint &point);
    // The raw delay that the current run's points put at media time mediaUs, along the
    // sender's rate; false while the run has no point.
    bool RunLevelAt(int64_t mediaUs, double &rawUs) const;
    stLine FitLine() const;
    void FollowLine(const stLine &line);
    void Steer(int64_t mediaUs);
    // stream: the one whose arrivals the wait measures; -1 for all.
    void StartSettling(int16_t stream, int64_t mediaUs, int64_t arrivalUs);
    // Takes a package of the time line that settles: the least delayed one so far, and whether the
    // arrivals still gain on their media.
    void FollowSettling(int64_t mediaUs, int64_t arrivalUs);
    void FinishSettling();
    // Whether the wait in progress is measured on the stream's arrivals.
    bool MeasuresSettling(int16_t stream) const;
    // MappingOf, the lock held.
    stSourceMapping MappingOfLocked(int32_t epoch) const;

    mutable std::mutex m_mutex;
    stSourceMapping m_mapping;
    std::map<int16_t, stStreamTrack> m_streams;
    int16_t m_reference = -1;       // the stream whose arrivals measure the rate
    bool m_hasTarget = false;
    int64_t m_targetDelayUs = 0;    // arrival less stamp, as the source started
    bool m_windowOpen = false;
    int64_t m_windowStartUs = 0;
    stPoint m_windowLeast;
    double m_windowLeastAlong = 0.0; // its raw delay less what the sender's rate adds
    int64_t m_windowLeastDelayUs = 0;
    std::deque<stPoint> m_points;
    std::optional<stPoint> m_aside; // a point off the line, not yet a step
    double m_asideOff = 0.0;        // how far off, and to which side
    int32_t m_run = 0;
    double m_senderRate = 1.0;
    bool m_steering = false;
    double m_steer = 0.0;           // in force, on top of the sender's rate
    int32_t m_reanchors = 0;
    int32_t m_epoch = 0;            // the time line in force: one more at every re-anchor
    std::map<int32_t, stSourceMapping> m_oldMappings;
    // The wait of a start or a re-anchor: when it began and until when it lasts, the package that
    // came least delayed, and the last one that came well ahead of the least delay before it.
    bool m_settling = false;
    int16_t m_settleStream = -1;
    int64_t m_settleBeganUs = 0;
    int64_t m_settleUntilUs = 0;
    int64_t m_settleMediaUs = 0;
    int64_t m_settleArrivalUs = 0;
    int64_t m_gainMediaUs = 0;
    int64_t m_gainArrivalUs = 0;
};
