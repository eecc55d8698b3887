// Callback types that cross the libLumora interface.
#pragma once

#include <functional>
#include <string>

// Called once per request: reply code, result (0 success, negative failure, -1 time-out), reply
// JSON text or "", device UID, binary payload and its length (LAN search only).
using DeviceResultCallback = std::function<void(int code, int result, std::string text, std::string uid, char* data, int length)>;

// One per process: 0 picture file written, 1 device link lost, 2 device reconnected, 5 remote
// record or download ended, 1502 event pushed by the device.
using DeviceMessageCallback = std::function<void(int message, std::string uid, char* text, char* extra, int value, int reserved)>;
