// The peer core under bench-peer: two P2PNet::P2PPeer on 127.0.0.1, connected, messages sent as
// ReliableOrdered on ordering channel 0 with priority Immediate, which wakes the sending peer's
// update thread at once (lower priorities wait for its next round, up to 10 ms). Loss is injected
// through the peers' own test hook, which drops that share of each peer's outgoing datagrams.
#pragma once

#include "BenchHarness.h"
#include "P2PPeer.h"

#include <memory>
#include <string>

namespace bench {

class PeerLink final : public Link {
public:
    // lossRate: share of each peer's outgoing datagrams dropped, from after the connection is made.
    static std::unique_ptr<PeerLink> open(double lossRate, std::string& error);
    ~PeerLink() override;

    bool send(const uint8_t* data, std::size_t length) override;
    void serviceSender(int waitMs) override;
    void serviceReceiver(int waitMs, const MessageSink& sink) override;

private:
    PeerLink();

    std::unique_ptr<P2PNet::P2PPeer> m_sender;
    std::unique_ptr<P2PNet::P2PPeer> m_receiver;
    P2PNet::P2PNetGUID m_receiverGuid;
};

} // namespace bench
