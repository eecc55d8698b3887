// The record Orlix_Check fills. It crosses to the caller, so its layout is fixed: the caller passes
// at least 84 bytes, of which 82 are written.
#pragma once

#include <cstddef>
#include <cstdint>

struct SessionInfo {
    int32_t handle;
    uint8_t remoteAddress[16]; // first 16 bytes of the remote socket address
    uint8_t localAddress[16];  // this side's address as a server sees it
    uint8_t wanAddress[16];
    uint32_t reserved;         // 255
    char deviceId[24];         // strncpy: not terminated when the id has 24 characters or more
    uint8_t role;              // 2 direct, 3 relayed by the server
    uint8_t connectionType;    // 1 direct, 2 punched, 3 relayed
};

static_assert(offsetof(SessionInfo, remoteAddress) == 4);
static_assert(offsetof(SessionInfo, localAddress) == 20);
static_assert(offsetof(SessionInfo, wanAddress) == 36);
static_assert(offsetof(SessionInfo, reserved) == 52);
static_assert(offsetof(SessionInfo, deviceId) == 56);
static_assert(offsetof(SessionInfo, role) == 80);
static_assert(offsetof(SessionInfo, connectionType) == 81);
// Bytes of the record that Check writes.
inline constexpr std::size_t kSessionInfoWritten = 82;
