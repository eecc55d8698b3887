// Process-wide deployment settings that a process may set before it starts using libLumora or
// the vendor stand-ins: where the LAN search probe goes, where the vendor stand-ins' device
// directory file lives, and the SDK's and libTovel's own timers (which tests shorten). The built-in values are kept in NetProcess/NetDeployment.h; these only
// override them. A small shared library of its own, so that libLumora.so (whose own names stay
// hidden) and the application or test that sets the values read one copy.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace deployment {

// A LAN search target; an empty address means "the built-in target".
struct SearchTarget {
    std::string address;
    uint16_t port = 0;
};

// The target of the LAN search probe for SDK instances made from now on (the SDK reads it when its
// instance is made). An empty address restores the built-in target.
void setSearchTarget(const std::string& address, uint16_t port);
SearchTarget searchTarget();

// The device directory file of the vendor P2P stand-ins ("UID host:port" lines); read at every
// publish and lookup. Empty (the default): no directory, so no device can be published or found.
void setP2PDirectory(const std::string& path);
std::string p2pDirectory();

// Timers of the SDK instance; a field left 0 (a negative pause, an empty clock) keeps the
// product's value. The
// instance of libLumora takes them when it is made (on the first export call).
struct SdkTimings {
    std::function<uint32_t()> clock; // millisecond tick, wrapping at 2^32
    int pollIntervalMs = 0;          // reply poll
    int snapIntervalMs = 0;          // picture poll
    int reconnectScanMs = 0;         // reconnect scan
    int firstLoginPauseMs = -1;      // pause between starting the reply and picture polls
    uint32_t searchSecondMs = 0;     // one second of the LAN search
};
void setSdkTimings(const SdkTimings& timings);
SdkTimings sdkTimings();

// Milliseconds without acknowledgement after which a libTovel peer link counts as dead, for the
// process's libTovel client made from now on; 0 (the default) keeps the protocol's value.
void setTovelLinkTimeoutMs(uint32_t timeoutMs);
uint32_t tovelLinkTimeoutMs();

} // namespace deployment
