// The clock of a live source on synthetic arrivals: a sender whose crystal runs off the host's,
// network jitter, lasting steps of the delay, and stamps that start again or leap.

#include "input/SourceClock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <map>
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

// A lasting change of the delay: from sending time atUs (from the first package on) every package
// comes byUs later (earlier for a negative one) than it did.
struct stDelayStep
{
    int64_t atUs = 0;
    int64_t byUs = 0;
};

// A start that came late: the reader began byUs behind the sender (its thread stalled, or the open
// left it a backlog) and read what waited `pace` times as fast as real time until it caught up.
struct stLateStart
{
    int64_t byUs = 0;
    double pace = 1.0;
};

// A sender of picture and sound from media time `from` for `seconds` of its own clock, which runs
// `rate` times the host's (0.99: 1 % slow), its first package arriving at `at`. Each package is
// late by a jitter of up to jitterUs (a fixed pseudo-random sequence), sound in bursts of three;
// the packages sent in the first burstUs leave together at its end, as from a sender that made
// them while it connected.
std::vector<stArrival> Send(int64_t from, double seconds, double rate, int64_t at, int64_t jitterUs,
                            const std::vector<stDelayStep> &steps = {}, int64_t burstUs = 0,
                            const stLateStart &late = {})
{
    std::vector<stArrival> all;
    uint32_t seed = 12345;
    const auto jitter = [&] {
        seed = seed * 1103515245u + 12345u;
        return jitterUs > 0 ? int64_t((seed >> 8) % uint32_t(jitterUs)) : 0;
    };
    const auto arrivalOf = [&](int64_t media) {
        const int64_t sent = std::max(int64_t(double(media - from) / rate), burstUs);
        int64_t delay = 0;
        for (const stDelayStep &step : steps)
            delay += sent >= step.atUs ? step.byUs : 0;
        const int64_t onTime = sent + delay;
        return at + std::max(onTime, late.byUs + int64_t(double(onTime) / late.pace));
    };
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

// Plays the arrivals as the stream threads do: a package that the clock holds waits, unstamped,
// until its time line is settled. The rate in force and the sender's rate as estimated after each
// package are kept in `rates` and `senderRates`.
std::vector<stStamped> Play(CSourceClock &clock, const std::vector<stArrival> &arrivals, std::vector<double> *rates = nullptr,
                            std::vector<double> *senderRates = nullptr)
{
    struct stHeld
    {
        stArrival arrival;
        int32_t epoch = 0;
        bool reanchored = false;
    };
    std::vector<stStamped> stamped;
    std::vector<stHeld> held;
    const auto release = [&](int64_t nowUs) {
        size_t done = 0;
        while (done < held.size() && clock.Settled(held[done].epoch, nowUs)) {
            const stHeld &h = held[done++];
            stamped.push_back({h.arrival, clock.MappingOf(h.epoch).Map(h.arrival.mediaUs), h.reanchored});
        }
        held.erase(held.begin(), held.begin() + std::ptrdiff_t(done));
    };
    for (const stArrival &a : arrivals) {
        if (!clock.IsAnchored())
            clock.AnchorOnce(a.arrivalUs - kDelayUs - a.mediaUs);
        const stSourceClockStep step = clock.Observe(a.stream, a.mediaUs, a.arrivalUs);
        release(a.arrivalUs);
        if (step.held)
            held.push_back({a, step.epoch, step.reanchored});
        else
            stamped.push_back({a, step.mapping.Map(a.mediaUs), step.reanchored});
        if (rates)
            rates->push_back(clock.Rate());
        if (senderRates)
            senderRates->push_back(clock.SenderRate());
    }
    release(INT64_MAX);
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

// A picture and the sound of one moment of the source carry one stamp: each sound package's
// stamp is where the stamps of the pictures around it put its media time, to within the few µs
// that a change of the rate between their arrivals makes.
void ExpectOneStampPerMoment(const std::vector<stStamped> &stamped, int64_t fromUs, int64_t toleranceUs)
{
    std::map<int64_t, int64_t> pictures; // media time -> stamp
    for (const stStamped &s : stamped) {
        if (s.arrival.stream == kVideo && s.arrival.arrivalUs >= fromUs)
            pictures[s.arrival.mediaUs] = s.stampUs;
    }
    int moments = 0;
    for (const stStamped &s : stamped) {
        if (s.arrival.stream != kAudio || s.arrival.arrivalUs < fromUs)
            continue;
        const auto after = pictures.lower_bound(s.arrival.mediaUs);
        if (after == pictures.begin() || after == pictures.end() || after->first - std::prev(after)->first != kFrameUs)
            continue;
        const auto before = std::prev(after);
        const double share = double(s.arrival.mediaUs - before->first) / double(kFrameUs);
        const double picture = double(before->second) + share * double(after->second - before->second);
        ++moments;
        EXPECT_NEAR(picture, double(s.stampUs), double(toleranceUs)) << "media " << s.arrival.mediaUs;
    }
    EXPECT_GT(moments, 100);
}

} // namespace

// A sender on the host's rate keeps a plain offset: every stamp is its media time moved by the
// first anchor, to the microsecond, however its packages jitter.
TEST(SourceClockTest, ASenderOnTheHostsRateKeepsItsExactOffset)
{
    for (const int64_t jitter : {int64_t(0), int64_t(2000), int64_t(5000)}) {
        CSourceClock clock;
        const auto stamped = Play(clock, Send(0, 600.0, 1.0, kStartUs, jitter));
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
        ExpectOneStampPerMoment(stamped, kStartUs + 60000000, 50);
    }
}

// A start that came late: the reader began three seconds behind the sender and caught up reading
// twice as fast as real time, so that the whole first second of arrivals came two to three seconds
// late. The least delay of such a start tells nothing of the source: its packages wait until the
// arrivals keep pace with their media, and the source goes on at the delay it has at its best, on
// one offset for picture and sound, with nothing to steer out. A camera off the host's rate keeps
// to the program clock as well.
TEST(SourceClockTest, AStartThatCameLateLeavesNoDelayBehind)
{
    const stLateStart late{3000000, 2.0};
    const int64_t caughtUp = kStartUs + 2 * late.byUs;
    for (const double rate : {1.0, 0.99, 1.01}) {
        SCOPED_TRACE(rate);
        CSourceClock clock;
        std::vector<double> rates;
        const auto arrivals = Send(0, 180.0, rate, kStartUs, 5000, {}, 0, late);
        const auto stamped = Play(clock, arrivals, &rates);
        // Nothing is stamped nearer its arrival than the first anchor put the source: what came
        // late keeps its lateness, and nothing waits at a consumer for its time to come (a sender
        // faster than the host gains on it until its rate is known, late start or not).
        const int64_t end = stamped.back().arrival.arrivalUs;
        if (rate <= 1.0) {
            EXPECT_GE(LeastDelay(stamped, kStartUs, end + 1), kDelayUs - 6000);
        }
        // At its pace, the source is as near the clock as the first anchor put it, from the
        // catch-up on (once its rate is known, for a sender off the host's).
        const int64_t from = rate == 1.0 ? caughtUp + 1000000 : kStartUs + 60000000;
        for (int64_t at = from; at + 10000000 <= end; at += 10000000)
            EXPECT_NEAR(double(kDelayUs), double(LeastDelay(stamped, at, at + 10000000)), 12000.0)
                << (at - kStartUs) / 1000000 << " s";
        if (rate == 1.0) {
            // A sender on the host's rate keeps it exactly: nothing was read as a rate or steered.
            const auto off = std::find_if(rates.begin(), rates.end(), [](double r) { return r != 1.0; });
            EXPECT_TRUE(off == rates.end()) << "rate " << *off << " at "
                                            << (arrivals[size_t(off - rates.begin())].arrivalUs - kStartUs) / 1000 << " ms";
        }
        EXPECT_NEAR(1.0 / rate, clock.Rate(), 0.0005);
        EXPECT_EQ(0, clock.Reanchors());
        ExpectRising(stamped);
        ExpectOneStampPerMoment(stamped, kStartUs, 50);
    }
}

namespace {

// What a sender went through a lasting step of its delay with: the most the rate in force (and
// the sender's rate as estimated) lay off the sender's true rate, the most a second of media was
// stamped off a second at that rate (a share), and how far the least delay went past the one the
// source started with, on the far side of the step.
struct stStepFigures
{
    double rateOff = 0.0;
    double senderRateOff = 0.0;
    double stampStepOff = 0.0;
    int64_t overshootUs = 0;
};

// Checks one sender through one step; the figures of the run.
stStepFigures ExpectStepSteeredOut(double rate, const stDelayStep &step)
{
    const int64_t jitterUs = 5000;
    const double steerSeconds = double(std::llabs(step.byUs)) / 0.005 / 1e6;
    const double seconds = double(step.atUs) / 1e6 + steerSeconds + 240.0;
    CSourceClock clock;
    std::vector<double> rates;
    std::vector<double> senderRates;
    const auto arrivals = Send(0, seconds, rate, kStartUs, jitterUs, {step});
    const auto stamped = Play(clock, arrivals, &rates, &senderRates);
    stStepFigures figures;
    const double trueRate = 1.0 / rate;
    const int64_t stepAt = kStartUs + step.atUs;
    // Acquired by the step: from there on the estimate of the sender's rate stays on it, and the
    // rate in force is that, steered by at most 0.5 %; the steering moves by at most 0.1 % a second.
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (arrivals[i].arrivalUs < stepAt)
            continue;
        figures.rateOff = std::max(figures.rateOff, std::fabs(rates[i] - trueRate));
        figures.senderRateOff = std::max(figures.senderRateOff, std::fabs(senderRates[i] - trueRate));
        const double steer = rates[i] - senderRates[i];
        const double steerBefore = rates[i - 1] - senderRates[i - 1];
        EXPECT_LE(std::fabs(steer - steerBefore), 0.001 + 1e-12) << "at " << (arrivals[i].arrivalUs - kStartUs) / 1000 << " ms";
    }
    EXPECT_LE(figures.senderRateOff, 0.00005);
    EXPECT_LE(figures.rateOff, 0.005 + 0.00005);
    // Each second of media is stamped at the sender's rate, at most 0.5 % off.
    for (const int16_t stream : {kVideo, kAudio}) {
        std::vector<const stStamped *> own;
        for (const stStamped &s : stamped) {
            if (s.arrival.stream == stream && s.arrival.arrivalUs >= stepAt)
                own.push_back(&s);
        }
        const size_t second = stream == kVideo ? 25 : 47;
        for (size_t i = second; i < own.size(); ++i) {
            const double media = double(own[i]->arrival.mediaUs - own[i - second]->arrival.mediaUs) * trueRate;
            const double off = std::fabs(double(own[i]->stampUs - own[i - second]->stampUs) - media) / media;
            figures.stampStepOff = std::max(figures.stampStepOff, off);
        }
    }
    EXPECT_LE(figures.stampStepOff, 0.0051);
    // The least delay goes back to the one the source started with, from its side only, and is
    // there within the time that the bound allows and a minute.
    const int64_t target = LeastDelay(stamped, kStartUs, kStartUs + 1000000);
    const int64_t back = stepAt + int64_t((steerSeconds + 60.0) * 1e6);
    const int64_t end = stamped.back().arrival.arrivalUs;
    for (int64_t at = stepAt; at + 10000000 <= end; at += 10000000) {
        const int64_t off = LeastDelay(stamped, at, at + 10000000) - target;
        figures.overshootUs = std::max(figures.overshootUs, step.byUs > 0 ? -off : off);
        if (at >= back) {
            EXPECT_LE(std::llabs(off), 10000) << "at " << (at - kStartUs) / 1000000 << " s";
        }
    }
    EXPECT_LE(figures.overshootUs, 10000);
    // Steered out, a steady sender is back on its own rate exactly: the rate in force is the
    // estimate of the sender's rate, which is within its resolution of the true one.
    EXPECT_LE(std::fabs(clock.SenderRate() - trueRate), 0.000005);
    int64_t steeredAt = 0;
    for (size_t i = 0; i < arrivals.size(); ++i) {
        if (senderRates[i] != rates[i])
            steeredAt = arrivals[i].arrivalUs;
    }
    EXPECT_LT(steeredAt, end - 120000000) << "steered " << (end - steeredAt) / 1000000 << " s before the end";
    if (rate == 1.0) {
        EXPECT_EQ(1.0, clock.Rate());
    }
    EXPECT_EQ(0, clock.Reanchors());
    ExpectRising(stamped);
    return figures;
}

} // namespace

// A relay that keeps a standing backlog after congestion, an encoder pause whose stamps go on: the
// delay rises (or falls) for good. That is an offset, not a rate: the estimate of the sender's rate
// stays, the stamps are steered back to the delay the source started with at most 0.5 % off the
// sender's rate, and a steady sender ends on its own rate, exactly.
TEST(SourceClockTest, ALastingStepOfTheDelayIsAnOffsetSteeredOutWithinTheBound)
{
    const stDelayStep steps[] = {{60000000, 300000}, {60000000, 1000000}, {60000000, 3000000}, {60000000, -1000000}};
    for (const double rate : {1.0, 0.99, 1.01, 0.998, 1.002}) {
        for (const stDelayStep &step : steps) {
            SCOPED_TRACE(testing::Message() << "sender rate " << rate << ", step " << step.byUs / 1000 << " ms");
            const stStepFigures figures = ExpectStepSteeredOut(rate, step);
            if (rate == 1.0 && step.byUs == 1000000)
                std::printf("1 s step, sender on the host's rate: rate off by at most %.5f, stamp steps by %.5f, "
                            "least delay past its target by %lld ms\n",
                            figures.rateOff, figures.stampStepOff, static_cast<long long>(figures.overshootUs / 1000));
        }
    }
}

// An encoder that restarts: three seconds of nothing, then stamps from 0 on the same session, its
// first 0.4 s made while it reconnected and sent at once. The first package of the new stamps
// re-anchors the source once, for picture and sound alike; the packages of the first half second
// wait until the least delay of the new stamps is known, so that the source goes on at once with
// the delay it had, on one new offset, without steering.
TEST(SourceClockTest, StampsThatStartAgainReAnchorTheSourceOnceAtTheDelayItHad)
{
    CSourceClock clock;
    const int64_t before = 90000000;
    auto arrivals = Send(60000000, before / 1e6, 0.99, kStartUs, 20000);
    const int64_t back = arrivals.back().arrivalUs + 3000000;
    const size_t returned = arrivals.size();
    for (const stArrival &a : Send(0, 30.0, 0.99, back, 20000, {}, 400000))
        arrivals.push_back(a);
    std::vector<double> rates;
    const auto stamped = Play(clock, arrivals, &rates);
    EXPECT_EQ(1, clock.Reanchors());
    EXPECT_EQ(1, std::count_if(stamped.begin(), stamped.end(), [](const stStamped &s) { return s.reanchored; }));
    ExpectRising(stamped);
    const int64_t first = LeastDelay(stamped, kStartUs, kStartUs + 1000000);
    // In step at once: every second from the return on has the least delay the source had.
    for (int64_t at = back; at < back + 30000000; at += 1000000)
        EXPECT_NEAR(double(first), double(LeastDelay(stamped, at, at + 1000000)), 40000.0) << (at - back) / 1000 << " ms";
    // Nothing to steer out after the return but the few ms of jitter.
    for (size_t i = returned; i < rates.size(); ++i)
        ASSERT_NEAR(rates[returned - 1], rates[i], 0.0005) << (arrivals[i].arrivalUs - back) / 1000 << " ms";
    // The sound that followed the picture's jump did not move the source again, and shares its offset.
    for (const stStamped &s : stamped) {
        if (s.arrival.arrivalUs >= back) {
            EXPECT_LT(std::llabs(s.arrival.arrivalUs - s.stampUs - first), 450000) << s.arrival.stream;
        }
    }
    ExpectOneStampPerMoment(stamped, back, 50);
}

// A wait ends half a second, by the program clock when no package comes to end it, after the last
// package that came well ahead of the least delay before it (the end of a burst), and five seconds
// after its first package at most (a backlog read on and on); the least delayed package of the wait
// keeps the source's delay. So for a re-anchor, and for a start.
TEST(SourceClockTest, AWaitEndsHalfASecondAfterTheArrivalsKeepPaceAndFiveSecondsAtMost)
{
    {
        CSourceClock clock;
        std::vector<stArrival> arrivals = Send(20000000, 20.0, 1.0, kStartUs, 0);
        Play(clock, arrivals);
        const int64_t back = arrivals.back().arrivalUs + 3000000;
        const stSourceClockStep jump = clock.Observe(kVideo, 0, back + 80000);
        ASSERT_TRUE(jump.reanchored);
        ASSERT_TRUE(jump.held);
        EXPECT_TRUE(clock.Observe(kVideo, kFrameUs, back + 80000).held);
        EXPECT_TRUE(clock.Observe(kVideo, 2 * kFrameUs, back + 80000 + 1000).held);
        EXPECT_FALSE(clock.Settled(jump.epoch, back + 81000 + 499999));
        EXPECT_TRUE(clock.Settled(jump.epoch, back + 81000 + 500000));
        EXPECT_FALSE(clock.Observe(kVideo, 3 * kFrameUs, back + 120000).held);
        EXPECT_EQ(back + 81000 - kDelayUs, clock.MappingOf(jump.epoch).Map(2 * kFrameUs));
    }
    {
        // A start read from a backlog twice as fast as real time for eight seconds.
        CSourceClock clock;
        clock.AnchorOnce(kStartUs - kDelayUs);
        int64_t n = 0;
        for (; n * kFrameUs / 2 < 5000000; ++n)
            ASSERT_TRUE(clock.Observe(kVideo, n * kFrameUs, kStartUs + n * kFrameUs / 2).held) << n;
        EXPECT_FALSE(clock.Settled(0, kStartUs + 4999999));
        EXPECT_TRUE(clock.Settled(0, kStartUs + 5000000));
        const stSourceClockStep after = clock.Observe(kVideo, n * kFrameUs, kStartUs + n * kFrameUs / 2);
        EXPECT_FALSE(after.held);
        EXPECT_EQ(kStartUs + (n - 1) * kFrameUs / 2 - kDelayUs, after.mapping.Map((n - 1) * kFrameUs));
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
