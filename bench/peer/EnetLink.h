// The ENet anchor of bench-peer: two ENet hosts on 127.0.0.1, one peer and one channel each,
// reliable packets, ENet's default bandwidth and throttle settings. Loss is injected by dropping
// received datagrams in ENet's intercept callback, on both hosts.
#pragma once

#include "BenchHarness.h"

#include <memory>
#include <string>

struct _ENetHost;
struct _ENetPeer;

namespace bench {

class EnetLink final : public Link {
public:
    // lossRate: share of received datagrams dropped on each host (0 = none), from after the
    // connection is made. Null with error set when the hosts cannot be made or do not connect.
    static std::unique_ptr<EnetLink> open(double lossRate, std::string& error);
    ~EnetLink() override;

    bool send(const uint8_t* data, std::size_t length) override;
    void serviceSender(int waitMs) override;
    void serviceReceiver(int waitMs, const MessageSink& sink) override;

private:
    EnetLink() = default;

    _ENetHost* m_senderHost = nullptr;
    _ENetHost* m_receiverHost = nullptr;
    _ENetPeer* m_toReceiver = nullptr;
};

} // namespace bench
