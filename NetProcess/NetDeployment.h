// Deployment values of the device link, kept in one place. This system runs no public servers, so
// the built-in rendezvous addresses point at loopback; change them here for a real deployment.
#pragma once

namespace deployment {

// Two sets of three IPv6 rendezvous server addresses; region 1 selects the second set.
inline constexpr const char* kTovelServersIPv6[2][3] = {{"::1", "::1", "::1"}, {"::1", "::1", "::1"}};

// Initialisation string handed to the CS2 library: 84 capital letters A to P.
inline constexpr const char kCs2InitString[] =
    "EBGAEIBIKHJJGFJKEOGCFAEPHPMAHONDGJFPBKCPAJJMLFKBDBAGCJPBGOLKIKLKAJMJKFDOOFMOBECEJIMM";

// The 20-character UID of the ThroughTek warm-up connect at start-up; no device answers to it.
inline constexpr const char kTutkWarmUpUid[] = "WARMUPWARMUPWARMUP00";

// LAN search probe target. Under the loopback guard the probe goes to the loopback broadcast
// instead, so that devices on this host answer; a process may set a target of its own
// (deployment::setSearchTarget).
inline constexpr const char kSearchAddress[] = "255.255.255.255";
inline constexpr const char kLoopbackSearchAddress[] = "127.255.255.255";
inline constexpr unsigned short kSearchPort = 8600;

} // namespace deployment
