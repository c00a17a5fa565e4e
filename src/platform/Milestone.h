#pragma once

#include <QtGlobal>

#include <cstdio>
#include <ctime>

// With CORVANE_MILESTONES set, a step of a capture writes "corvane milestone NAME NS" to
// standard error, NS being CLOCK_MONOTONIC in nanoseconds (the clock the compositor stamps
// its frames with), so that a harness can time the steps from outside; otherwise nothing.
inline void milestone(const char *name)
{
    static const bool on = qEnvironmentVariableIsSet("CORVANE_MILESTONES");
    if (!on)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(stderr, "corvane milestone %s %lld\n", name,
                 static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
}
