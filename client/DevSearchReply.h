// The answer a camera sends to the LAN search probe, as the search dialog reads it.
//
// Datagram layout (at most 512 bytes as the SDK receives it; the LAN is not trusted):
//   bytes 0-3     header, skipped
//   then the record, offsets from its start:
//     0    up to 80 bytes   device IP address, NUL-terminated text
//     80   6 bytes          MAC address
//     88   up to 64 bytes   device UID, NUL-terminated text
//     152  up to 16 bytes   hardware version, NUL-terminated text
//     168  to the end       software version, NUL-terminated text
// Every string stops at its NUL, at its field's size and at the datagram's end, whichever comes
// first; a field that lies beyond the datagram is empty.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

struct DevSearchReply {
    static constexpr std::size_t kHeaderSize = 4;
    static constexpr std::size_t kMaxDatagram = 512;

    std::string ip;
    std::string mac; // "%02x:%02x:%02x:%02x:%02x:%02x"; the row's identity
    std::string uid;
    std::string hardware;
    std::string software;
};

// The record of one answer datagram; nothing for a datagram shorter than its header. Bytes past
// kMaxDatagram are not read.
std::optional<DevSearchReply> ParseDevSearchReply(const char* data, std::size_t length);
