// What the SDK keeps per device: the session, eight stream slots and the password. Entries live
// in LumoraInstance's device map and are never removed while the instance lives.
#pragma once

#include "LumoraTypes.h"

#include <array>
#include <atomic>
#include <memory>
#include <string>

class NetProImple;
class VideoDecoderImple;
class AviRecorder;

// Bits of a stream slot's play state.
namespace PlayStateMask {
inline constexpr int kVideo = 0x01;
inline constexpr int kAudio = 0x02;
inline constexpr int kTalk = 0x04;
inline constexpr int kFace = 0x08;
inline constexpr int kRecord = 0x10;
inline constexpr int kLocalRecord = 0x80;
inline constexpr int kDropped = 0x8000; // the link reported -100: login refused or dropped
} // namespace PlayStateMask

// One stream of a device. The media objects are owned by the slot and freed by
// LumoraInstance::ResetStreamSlot (through the media files, which alone see their types).
// Fields other than the atomics are guarded by the instance's device-map lock.
struct StreamSlot {
    std::shared_ptr<VideoDecoderImple> decoder; // the slot's channel; queued reads hold it weakly
    std::shared_ptr<AviRecorder> recorder; // the slot's local recording (made by its first start)
    DeviceResultCallback streamCallback;  // last stream request's callback; slot 0: also the login's
    AVDataCallback rawFrameCallback;      // set by SetVideoDataCallBack; frames bypass the decoder
    int window = 0;                       // window handle given to BeginVideo
    int streamIndex = 1;                  // stream asked for or reported by the device
    std::atomic<int> closing{0};          // 1 after LogoutDev: reconnection skips the slot
    int width = 0;
    int height = 0;
    std::atomic<int> playState{0};        // PlayStateMask bits
    std::atomic<bool> hardware{false};    // decode with the graphics hardware
    std::string downloadPath;             // local path of the running download
};

inline constexpr int kStreamSlots = 8;

// Device states.
namespace DeviceState {
inline constexpr int kLoggedIn = 0;
inline constexpr int kLost = 2;
inline constexpr int kLoginFailed = 5;
inline constexpr int kCreated = 6;
} // namespace DeviceState

struct DeviceEntry {
    DeviceEntry();
    ~DeviceEntry();
    DeviceEntry(const DeviceEntry&) = delete;
    DeviceEntry& operator=(const DeviceEntry&) = delete;

    std::unique_ptr<NetProImple> session;
    std::array<StreamSlot, kStreamSlots> slots;
    std::string password;                        // used again by reconnection; never logged
    std::atomic<int> state{DeviceState::kCreated};
    std::atomic<bool> loginRunning{false};       // a login step (connect and first message) is running
    std::atomic<int> loginAttempts{0};           // login steps started (for tests)
    // Message 1 was raised for the current loss: the reply poll, each stream and each failed
    // reconnect see the same outage; it is told once. Cleared by a successful login or reconnect.
    std::atomic<bool> lossReported{false};
};
