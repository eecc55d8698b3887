// Small views of the peer's SystemAddress that the session client needs.
#pragma once

#include "SystemAddress.h"

#include <cstdint>
#include <cstring>
#include <string>

inline bool isAssigned(const P2PNet::SystemAddress& address)
{
    return !address.IsUnassigned();
}

// Equal when both are assigned, of one family, with equal address and port.
inline bool sameAddress(const P2PNet::SystemAddress& a, const P2PNet::SystemAddress& b)
{
    return isAssigned(a) && isAssigned(b) && a == b;
}

// The first 16 bytes of the socket address (family, port in network order, address...).
inline void addressBytes16(const P2PNet::SystemAddress& address, uint8_t out[16])
{
    std::memcpy(out, &address.address, 16);
}

// Private ranges, IPv6 link-local and loopback: a direct connect there is a local-network one.
inline bool isLocalNetwork(const P2PNet::SystemAddress& address)
{
    return isAssigned(address) && (address.IsPrivateRange() || address.IsLoopback());
}

// Numeric host text without the port; empty for an unassigned address.
inline std::string hostText(const P2PNet::SystemAddress& address)
{
    if (!isAssigned(address))
        return {};
    return address.ToString(false);
}
