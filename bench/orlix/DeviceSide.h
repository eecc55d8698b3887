// The device side of bench-orlix, run in its own process (a process holds one libTovel client):
// it logs in as a device and serves each accepted session until the session ends.
//
// Control, on channel 0 from the connecting side: "stream N" makes the device write N bytes on
// channel 1 in writes of kStreamWriteBytes; the byte at stream offset o is streamByte(o).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orlixbench {

constexpr int kStreamWriteBytes = 100 * 1000;
constexpr int kStreamChannel = 1;
constexpr int kControlChannel = 0;
// Bytes the device lets wait in a session's send queue before it waits for it to drain.
constexpr unsigned kDeviceSendWindow = 4u << 20;

inline uint8_t streamByte(uint64_t offset) { return static_cast<uint8_t>(offset % 251); }

// Longest block streamPattern serves: one whole read (ORLIX_MAX_TRANSFER).
constexpr std::size_t kStreamPatternSpan = 1u << 20;

// The stream bytes from any offset, for up to `length` bytes (at most kStreamPatternSpan, else null): streamPattern(length)[o % 251 + i]
// is streamByte(o + i) for i < length. Writing and checking a block is then a copy or a compare
// instead of a division per byte, which cost the measured sessions more than they cost the peer.
const uint8_t* streamPattern(std::size_t length);

// Runs the device until its standard input closes (the parent ended); the exit status.
int runDevice(const char* serverString, const char* deviceId);

} // namespace orlixbench
