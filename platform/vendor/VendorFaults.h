// Fault switches of the two vendor P2P stand-ins, for tests: force the next results of a call,
// delay a call. Process-wide; every switch is off by default.
#pragma once

namespace vendor {

enum class FaultCall {
    PpcsConnect,
    PpcsRead,
    PpcsWrite,
    IotcConnect,
    AvSendIOCtrl,
    AvRecvIOCtrl,
    AvRecvFrame,
    AvRecvAudio,
    AvSendAudio,
    Count
};

// The next `times` calls of `call` return `result` without doing anything else.
void forceResult(FaultCall call, int result, int times = 1);
// Every call of `call` first sleeps `ms` milliseconds (0 turns it off).
void setDelay(FaultCall call, int ms);
// Clears every switch.
void clearFaults();

// Used by the stand-ins: applies the delay, and returns true with `result` set when a forced
// result is pending for this call.
bool takeFault(FaultCall call, int& result);

} // namespace vendor
