// Session-client timings for tests: housekeeping, registration and the sweep of ended sessions run
// often, so that no test waits for them. The link time-out keeps its own setter.
//
// kQuickPunchDelayMs is the lead a test's rendezvous server gives a punch (RendezvousOptions::
// punchDelayMs): on loopback both start messages arrive well within it, and a side that gets its
// start message late starts at once, so a short lead only saves the wait.
#pragma once

#include "P2PClient.h"

#include <cstdint>

namespace lumora::test {

inline constexpr uint32_t kQuickPunchDelayMs = 10;

inline ClientTimings quickClientTimings()
{
    ClientTimings timings;
    timings.housekeepingMs = 20;
    timings.sessionSweepMs = 50;
    timings.registrationMs = 50;
    return timings;
}

} // namespace lumora::test
