// The clock of a live source on synthetic arrivals: a sender whose crystal runs off the host's,
// network jitter, and stamps that start again or leap.

#include "input/SourceClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

constexpr int16_t kVideo = 0;
constexpr int16_t kAudio = 1;
constexpr int64_t kFrameUs = 40000;
constexpr int64_t kSoundUs = 1024 * 1000000LL / 48000;
constexpr int64_t kStartUs = 1700000000000000LL;
constexpr int64_t kDelayUs = 300000; // what the first anchor leaves between arrival and stamp

struct stArrival
{
    int16_t stream = 0;
    int64_t mediaUs = 0;
    int64_t arrivalUs = 0;
};

struct stStamped
{
    stArrival arrival;
    int64_t stampUs = 0;
    bool reanchored = false;
};

// A sender of picture and sound from media time `from` for `seconds` of its own clock, which runs
// `rate` times the host's (0.99: 1 % slow), its first package arriving at `at`. Each package is
// late by a jitter of up to jitterUs (a fixed pseudo-random sequence), sound in bursts of three.
std::vector<stArrival> Send(int64_t from, double seconds, double rate, int64_t at, int64_t jitterUs)
{
    std::vector<stArrival> all;
    uint32_t seed = 12345;
    const auto jitter = [&] {
        seed = seed * 1103515245u + 12345u;
        return jitterUs > 0 ? int64_t((seed >> 8) % uint32_t(jitterUs)) : 0;
    };
    const auto arrivalOf = [&](int64_t media) { return at + int64_t(double(media - from) / rate); };
    const int64_t until = from + int64_t(seconds * 1000000);
    // One connection: a stream's packages keep their order.
    int64_t previous = 0;
    for (int64_t m = from; m < until; m += kFrameUs) {
        previous = std::max(previous, arrivalOf(m) + jitter());
        all.push_back({kVideo, m, previous});
    }
    previous = 0;
    for (int64_t n = 0; from + n * kSoundUs < until; ++n) {
        const int64_t m = from + n * kSoundUs;
        // A burst leaves with its last package.
        const int64_t last = from + (n / 3 * 3 + 2) * kSoundUs;
        previous = std::max(previous, arrivalOf(last) + jitter());
        all.push_back({kAudio, m, previous});
    }
    std::stable_sort(all.begin(), all.end(), [](const stArrival &a, const stArrival &b) { return a.arrivalUs < b.arrivalUs; });
    return all;
}

std::vector<stStamped> Play(CSourceClock &clock, const std::vector<stArrival> &arrivals)
{
    std::vector<stStamped> stamped;
    for (const stArrival &a : arrivals) {
        if (!clock.IsAnchored())
            clock.AnchorOnce(a.arrivalUs - kDelayUs - a.mediaUs);
        const stSourceClockStep step = clock.Observe(a.stream, a.mediaUs, a.arrivalUs);
        stamped.push_back({a, step.mapping.Map(a.mediaUs), step.reanchored});
    }
    return stamped;
}

// The least delay (arrival less stamp) of the packages that arrived in [fromUs, toUs).
int64_t LeastDelay(const std::vector<stStamped> &stamped, int64_t fromUs, int64_t toUs)
{
    int64_t least = INT64_MAX;
    for (const stStamped &s : stamped) {
        if (s.arrival.arrivalUs >= fromUs && s.arrival.arrivalUs < toUs)
            least = std::min(least, s.arrival.arrivalUs - s.stampUs);
    }
    return least;
}

// Every stream's stamps rise.
void ExpectRising(const std::vector<stStamped> &stamped)
{
    for (const int16_t stream : {kVideo, kAudio}) {
        int64_t last = INT64_MIN;
        for (const stStamped &s : stamped) {
            if (s.arrival.stream != stream)
                continue;
            EXPECT_GT(s.stampUs, last) << "stream " << stream << " at media " << s.arrival.mediaUs;
            last = s.stampUs;
        }
    }
}

} // namespace

// A sender on the host's rate keeps a plain offset: every stamp is its media time moved by the
// first anchor, to the microsecond, however its packages jitter.
TEST(SourceClockTest, ASenderOnTheHostsRateKeepsItsExactOffset)
{
    for (const int64_t jitter : {int64_t(0), int64_t(2000)}) {
        CSourceClock clock;
        const auto stamped = Play(clock, Send(0, 120.0, 1.0, kStartUs, jitter));
        const int64_t offset = stamped.front().stampUs - stamped.front().arrival.mediaUs;
        for (const stStamped &s : stamped)
            ASSERT_EQ(offset, s.stampUs - s.arrival.mediaUs) << "jitter " << jitter << " media " << s.arrival.mediaUs;
        EXPECT_EQ(1.0, clock.Rate());
        EXPECT_EQ(0, clock.Reanchors());
    }
}

// A camera 1 % slow or fast, with 30 ms of jitter: its stamps follow the host, so that the delay
// between arrival and stamp stays what it was at the start (a fixed offset would let it grow or
// shrink by 10 ms a second), and picture and sound of one moment keep one stamp.
TEST(SourceClockTest, ACameraOnePercentOffStaysOnTheProgramClock)
{
    for (const double rate : {0.99, 1.01, 0.998}) {
        SCOPED_TRACE(rate);
        CSourceClock clock;
        const auto stamped = Play(clock, Send(5000000, 600.0, rate, kStartUs, 30000));
        const int64_t first = LeastDelay(stamped, kStartUs, kStartUs + 1000000);
        const int64_t end = stamped.back().arrival.arrivalUs;
        for (int64_t at = kStartUs + 40000000; at + 10000000 <= end; at += 10000000) {
            const int64_t least = LeastDelay(stamped, at, at + 10000000);
            EXPECT_NEAR(double(first), double(least), 25000.0) << "at " << (at - kStartUs) / 1000000 << " s";
        }
        EXPECT_NEAR(1.0 / rate, clock.Rate(), 0.0005);
        EXPECT_EQ(0, clock.Reanchors());
        ExpectRising(stamped);
        // One moment of the source, one stamp: the mapping is the source's, not a stream's.
        const stSourceMapping mapping = clock.Mapping();
        EXPECT_EQ(mapping.Map(stamped.back().arrival.mediaUs), mapping.Map(stamped.back().arrival.mediaUs));
    }
}

// An encoder that restarts: three seconds of nothing, then stamps from 0 on the same session. The
// first package of the new stamps re-anchors the source once, for picture and sound alike, with the
// delay it had; the stamps go on rising from there and follow the arrivals again at once.
TEST(SourceClockTest, StampsThatStartAgainReAnchorTheSourceOnce)
{
    CSourceClock clock;
    const int64_t before = 90000000;
    auto arrivals = Send(60000000, before / 1e6, 0.99, kStartUs, 20000);
    const int64_t back = arrivals.back().arrivalUs + 3000000;
    for (const stArrival &a : Send(0, 30.0, 0.99, back, 20000))
        arrivals.push_back(a);
    const auto stamped = Play(clock, arrivals);
    EXPECT_EQ(1, clock.Reanchors());
    EXPECT_EQ(1, std::count_if(stamped.begin(), stamped.end(), [](const stStamped &s) { return s.reanchored; }));
    ExpectRising(stamped);
    const int64_t first = LeastDelay(stamped, kStartUs, kStartUs + 1000000);
    // In step within a second of its return, and after.
    for (int64_t at = back; at < back + 30000000; at += 1000000)
        EXPECT_NEAR(double(first), double(LeastDelay(stamped, at, at + 1000000)), 40000.0) << (at - back) / 1000 << " ms";
    // The sound that followed the picture's jump did not move the source again.
    for (const stStamped &s : stamped) {
        if (s.arrival.arrivalUs >= back) {
            EXPECT_LT(std::llabs(s.arrival.arrivalUs - s.stampUs - first), 200000) << s.arrival.stream;
        }
    }
}

// Stamps that leap forward while the packages keep coming re-anchor too; a stall of the network,
// after which the held packages come at once, does not: their stamps stay as the sender gave them.
TEST(SourceClockTest, AForwardLeapReAnchorsAStallDoesNot)
{
    {
        CSourceClock clock;
        auto arrivals = Send(0, 20.0, 1.0, kStartUs, 5000);
        const int64_t next = arrivals.back().arrivalUs + kFrameUs;
        for (const stArrival &a : Send(3600000000LL, 20.0, 1.0, next, 5000))
            arrivals.push_back(a);
        const auto stamped = Play(clock, arrivals);
        EXPECT_EQ(1, clock.Reanchors());
        ExpectRising(stamped);
        EXPECT_NEAR(double(kDelayUs), double(LeastDelay(stamped, next + 1000000, next + 20000000)), 10000.0);
    }
    {
        CSourceClock clock;
        auto arrivals = Send(0, 40.0, 1.0, kStartUs, 5000);
        // Ten to eleven seconds in, nothing comes; then all of it at once.
        for (stArrival &a : arrivals) {
            if (a.arrivalUs >= kStartUs + 10000000 && a.arrivalUs < kStartUs + 12000000)
                a.arrivalUs = kStartUs + 12000000;
        }
        const auto stamped = Play(clock, arrivals);
        EXPECT_EQ(0, clock.Reanchors());
        const int64_t offset = stamped.front().stampUs - stamped.front().arrival.mediaUs;
        for (const stStamped &s : stamped)
            ASSERT_EQ(offset, s.stampUs - s.arrival.mediaUs);
    }
}
