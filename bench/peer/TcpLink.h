// The ceiling of bench-peer: one TCP connection over 127.0.0.1 (Nagle off), messages framed as
// [u32 length][bytes], written in batches of up to 64 KiB (flushed whenever the sender waits) as a
// careful TCP user would write them. Kept here rather than in platform/ because it is a measuring stick, not a
// part of the product.
#pragma once

#include "BenchHarness.h"

#include <memory>
#include <string>
#include <vector>

namespace bench {

class TcpLink final : public Link {
public:
    // A connected pair on an ephemeral loopback port, or null with error set.
    static std::unique_ptr<TcpLink> open(std::string& error);
    ~TcpLink() override;

    bool send(const uint8_t* data, std::size_t length) override;
    // Writes what send batched, then waits for the receiver's progress.
    void serviceSender(int waitMs) override;
    void serviceReceiver(int waitMs, const MessageSink& sink) override;

private:
    TcpLink(int senderFd, int receiverFd) : m_senderFd(senderFd), m_receiverFd(receiverFd) {}

    bool flush();

    int m_senderFd;
    int m_receiverFd;
    // Sender thread only: framed messages not yet written.
    std::vector<uint8_t> m_pending;
    // Receiver thread only: bytes read but not yet handed out lie in [m_begin, m_end).
    std::vector<uint8_t> m_buffer;
    std::size_t m_begin = 0;
    std::size_t m_end = 0;
};

} // namespace bench
