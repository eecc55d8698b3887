// Callbacks through which a link's readers hand what they read to the SDK core.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// (frame type or result, read result, frame, length, uid, kind, presentation time in us, slot).
// Kinds: 0 and 1 live video, 4 remote record, 5 pictures.
using AVDataCallback = std::function<void(int, int, std::vector<char>& frame, unsigned length, std::string uid, int kind,
                                          uint64_t pts, int slot)>;

// (command code, result, body, body length, uid, 0, slot). Results: 0 or a negative error;
// -3 nothing read in time, -100 link dropped.
using IODataCallback = std::function<void(int code, int result, std::vector<char>& body, unsigned length, std::string uid,
                                          int, int slot)>;
