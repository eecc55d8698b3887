// Deployment values of libTovel: the values that a shipped build fixes once and that the servers
// and tools of the same deployment must share. Everything here points at loopback; a deployment
// for real servers changes this file only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace deployment {

// RC4 key of the server string: 23 characters of digits, lower-case letters and underscores.
// Server strings are produced with the same key (tovel-rendezvous --encode).
inline constexpr char kServerStringKey[] = "lumora_tovel_2016_k3y9x";
inline constexpr std::size_t kServerStringKeyLength = sizeof(kServerStringKey) - 1;
static_assert(kServerStringKeyLength == 23, "the server-string key has 23 characters");

// Password under which a side without login info registers (own id defaults to its GUID).
inline constexpr char kDefaultPassword[] = "604218";

// The two built-in sets of IPv6 texts of the three rendezvous servers, chosen by the region
// number given at start-up; each takes its port from the server string.
inline constexpr const char* kBuiltInIpv6Servers[2][3] = {
    {"::1", "::1", "::1"},
    {"::1", "::1", "::1"},
};

// UDP port on which devices answer local-network search pings.
inline constexpr std::uint16_t kLanSearchPort = 19886;

}  // namespace deployment
