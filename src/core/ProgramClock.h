#pragma once

#include <cstdint>

// The program clock: microseconds since 1970 plus a fixed 8 hours, read from the wall clock once
// when the clock is made and advancing with the monotonic clock from then on. A step of the host's
// time (NTP after a boot with a wrong clock, an operator setting the time) does not move it, so
// media stamped, paced and cut on it neither stalls nor jumps; what people read (file names, lists,
// the on-screen clock, log lines) follows the wall clock through WallOfProgramUs.
//
// It has no destructor to run: threads abandoned at the exit may still read the program's clock
// after static objects are destroyed, so its sources are plain functions.
class CProgramClock
{
public:
    using Source = int64_t (*)(); // µs

    // wallUs: µs since 1970 of the wall clock; monotonicUs: µs of a clock that no step moves.
    CProgramClock(Source wallUs, Source monotonicUs);

    int64_t NowUs() const;
    // The wall-clock time (µs since 1970) of a program time, as the wall clock reads now.
    int64_t WallOfProgramUs(int64_t programUs) const;

private:
    Source m_wallUs;
    Source m_monotonicUs;
    int64_t m_originUs = 0;          // program time at the origin
    int64_t m_originMonotonicUs = 0; // the monotonic clock at the origin
};
