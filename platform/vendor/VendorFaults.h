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
// The next call of `call` on session `handle` and `channel` (-1: any) stops at its fault point,
// where a session call already holds its session, until releaseHeld: a test can then change the
// world under a call in flight. waitHeld is true once such a call waits (false after `timeoutMs`).
void holdNext(FaultCall call, int handle = -1, int channel = -1);
bool waitHeld(FaultCall call, int timeoutMs);
void releaseHeld(FaultCall call);
// Clears every switch and lets a held call go.
void clearFaults();

// Used by the stand-ins: applies the hold and the delay, and returns true with `result` set when
// a forced result is pending for this call.
bool takeFault(FaultCall call, int& result, int handle = -1, int channel = -1);

} // namespace vendor
