// Where the NAT punch-through client sends its progress texts ("Punch-through to guid ...
// succeeded on 1st attempt." and the others). The texts are for people reading a trace, never
// parsed. PunchDebugPrinter is the sink this system installs: it prints nothing.
#pragma once

namespace P2PNet {

class PunchDebugSink {
public:
    virtual ~PunchDebugSink() = default;
    // One finished line of text, without a line end. Called on the thread that calls the peer's
    // Receive; must not block and must not call back into the punch-through client.
    virtual void PrintPunchText(const char* text) = 0;
};

class PunchDebugPrinter : public PunchDebugSink {
public:
    void PrintPunchText(const char* text) override { (void)text; }
};

} // namespace P2PNet
