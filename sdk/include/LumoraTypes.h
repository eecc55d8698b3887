// Types that cross the libLumora interface: the four callback types, the window handle and the
// rectangle of the drawing calls.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Called once per request: reply code, result (0 success, negative failure, -1 time-out), reply
// JSON text or "", device UID, binary payload and its length (LAN search only).
using DeviceResultCallback = std::function<void(int code, int result, std::string text, std::string uid, char* data, int length)>;

// One per process: 0 picture file written, 1 device link lost, 2 device reconnected, 5 remote
// record or download ended, 1502 event pushed by the device.
using DeviceMessageCallback = std::function<void(int message, std::string uid, char* text, char* extra, int value, int reserved)>;

// (frame type or result, read result, frame, length, uid, kind, presentation time in us, slot).
// Kinds: 0 and 1 live video, 4 remote record, 5 pictures.
using AVDataCallback = std::function<void(int, int, std::vector<char>& frame, unsigned length, std::string uid, int kind,
                                          uint64_t pts, int slot)>;

// (command code, result, body, body length, uid, link, slot). Results: 0 or a negative error;
// -3 nothing read in time, -100 link dropped. link: the number of the link the message was read
// on, which grows with every connect of the device (0 when not known).
using IODataCallback = std::function<void(int code, int result, std::vector<char>& body, unsigned length, std::string uid,
                                          int, int slot)>;

// Results of their own, besides 0, -1, -11 and the link's send results:
// a request whose text (or user data) is larger than the device's link carries in one message;
// nothing is sent, the link stays up and the callback is never called.
inline constexpr int kLumoraRequestTooLarge = -30;
// a text that cannot be a device UID (empty, longer than 63 characters, or holding a character
// other than letters, digits, '-', '_' and '.', or "." and ".." alone); nothing is done.
inline constexpr int kLumoraBadUid = -31;

// A native window handle (the X11 window id of the widget that shows a stream); null for none.
using HWND = void*;

// A rectangle in window pixels, right and bottom exclusive.
struct RECT {
    long left = 0;
    long top = 0;
    long right = 0;
    long bottom = 0;
};
