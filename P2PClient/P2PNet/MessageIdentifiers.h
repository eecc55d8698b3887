// Message identifiers of the peer: the first byte of every peer message. 0-29, 80 and 81 belong to
// the peer itself; the comments name the components above the peer that own other values, so that
// the ranges do not collide.
#pragma once

#include <cstdint>

namespace P2PNet {

enum PeerMessageId : uint8_t {
    ID_PEER_PING = 0,             // connected: [0][u16 time]; answered with ID_PEER_PONG
    ID_OFFLINE_PING = 1,          // offline: always answered with ID_OFFLINE_PONG
    ID_OFFLINE_PING_OPEN = 2,     // offline: answered only while an incoming slot is free
    ID_PEER_PONG = 3,             // connected: [3][u16 ping time][u16 pong time]
    ID_LOST_CHECK = 4,            // connected: a one-byte 4 is dropped
    ID_OPEN_REQUEST = 5,          // offline: first connection request, padded to the MTU tried
    ID_OPEN_REPLY = 6,            // offline: answer to 5 (responder GUID, MTU)
    ID_OPEN_CONFIRM = 7,          // offline: second connection request with the agreed MTU
    ID_OPEN_CONFIRM_REPLY = 8,    // offline: answer to 7, the requester has a slot
    ID_JOIN_REQUEST = 9,          // connected: GUID, time, connection data
    ID_SECURITY_REFUSED_1 = 10,   // never produced here; reported to plug-ins as failed attempts
    ID_SECURITY_REFUSED_2 = 11,
    ID_SECURITY_REFUSED_3 = 12,
    ID_OUT_OF_BAND = 13,          // offline: data between unconnected peers
    ID_RECEIPT_ACKED = 14,        // local only: [14][u32 receipt, host byte order]
    ID_RECEIPT_LOST = 15,         // local only: [15][u32 receipt, host byte order]
    ID_JOIN_ACCEPTED = 16,        // connected and to the application
    ID_JOIN_FAILED = 17,          // to the application: an attempt ended without success
    ID_ALREADY_JOINED = 18,       // offline and to the application
    ID_NEW_INCOMING = 19,         // connected and to the application
    ID_NO_FREE_SLOTS = 20,        // offline and to the application
    ID_PEER_CLOSED = 21,          // connected and to the application
    ID_PEER_LOST = 22,            // to the application: time-out
    ID_PEER_BANNED = 23,          // offline and to the application
    ID_BAD_JOIN_DATA = 24,        // connected and to the application: password mismatch
    ID_PROTOCOL_MISMATCH = 25,    // offline and to the application
    ID_JOINED_TOO_RECENTLY = 26,  // offline and to the application
    ID_TIME_PREFIX = 27,          // connected: [27][u64 time] prefix of a timestamped message
    ID_OFFLINE_PONG = 28,         // offline: answer to 1 and 2
    ID_ADVERTISE = 29,            // offline: advertisement inside out-of-band data
    ID_PROBE = 80,                // raw one-byte probe ('P'); never an offline message
    ID_PROBE_REPLY = 81,          // raw one-byte answer ('Q'); never an offline message
    // 60, 62-67, 126: NAT punch-through client; 92: relay client; 97, 98: NAT type detection;
    // 127, 129, 135, 136: session client.
};

// The 16 bytes that mark every offline message.
inline constexpr uint8_t kOfflineMarker[16] = {0x00, 0xFF, 0xFF, 0x00, 0xFE, 0xFE, 0xFE, 0xFE,
                                               0xFD, 0xFD, 0xFD, 0xFD, 0x12, 0x34, 0x56, 0x78};
// Version byte carried in ID_OPEN_REQUEST.
inline constexpr uint8_t kPeerProtocolVersion = 8;

} // namespace P2PNet
