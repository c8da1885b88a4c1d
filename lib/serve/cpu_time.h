#pragma once

// The CPU time one thread uses, read in laps.

#include <sys/resource.h>

namespace serve {

// Reads the calling thread's CPU time; lap() gives what it used since the last lap (since the
// thread began, on the first). Use it on one thread only.
class CpuClock {
public:
    // Microseconds of user and system time since the last lap; either pointer may be null.
    void lap(long* utimeUs, long* stimeUs) {
        struct rusage ru = {};
        getrusage(RUSAGE_THREAD, &ru);
        const long u = ru.ru_utime.tv_sec * 1000000L + ru.ru_utime.tv_usec;
        const long s = ru.ru_stime.tv_sec * 1000000L + ru.ru_stime.tv_usec;
        if (utimeUs != nullptr) *utimeUs = u - mUtime;
        if (stimeUs != nullptr) *stimeUs = s - mStime;
        mUtime = u;
        mStime = s;
    }

private:
    long mUtime = 0;
    long mStime = 0;
};

}  // namespace serve
