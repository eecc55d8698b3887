// Session-client timings for tests: housekeeping, registration and the sweep of ended sessions run
// often, so that no test waits for them. The link time-out keeps its own setter.
#pragma once

#include "P2PClient.h"

namespace lumora::test {

inline ClientTimings quickClientTimings()
{
    ClientTimings timings;
    timings.housekeepingMs = 20;
    timings.sessionSweepMs = 50;
    timings.registrationMs = 50;
    return timings;
}

} // namespace lumora::test
