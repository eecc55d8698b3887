// What the NAT plug-in tests record besides the packets their peers receive: the punch-through
// client's trace texts and the datagrams a peer sends outside its reliability layer. Both are
// written from a peer's threads and read by the test, with waits through the shared waitUntil.
// The peers themselves are the tests' TestPeer, pumped on threads of their own.
#pragma once

#include "PeerPlugin.h"
#include "PunchDebugPrinter.h"
#include "SystemAddress.h"
#include "TestPeer.h"
#include "WaitUntil.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace punchtest {

using lumora::test::kIPv4Loopback;
using lumora::test::kIPv6Loopback;
using lumora::test::Received;
using lumora::test::TestPeer;
using lumora::test::waitUntil;

// Values pushed from another thread, read as a copy or counted.
template <class T>
class Recorded {
public:
    void push(T value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_items.push_back(std::move(value));
    }
    std::vector<T> snapshot() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }
    template <class Match>
    std::size_t count(const Match& match) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return static_cast<std::size_t>(std::count_if(m_items.begin(), m_items.end(), match));
    }

private:
    mutable std::mutex m_mutex;
    std::vector<T> m_items;
};

// Keeps the punch-through client's trace texts.
class TextRecorder : public P2PNet::PunchDebugSink {
public:
    void PrintPunchText(const char* text) override { m_texts.push(text); }
    bool waitForPrefix(const std::string& prefix)
    {
        return waitUntil([&] { return countPrefix(prefix) > 0; });
    }
    std::size_t countPrefix(const std::string& prefix) const
    {
        return m_texts.count([&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    }
    std::vector<std::string> all() const { return m_texts.snapshot(); }

private:
    Recorded<std::string> m_texts;
};

// Records every datagram the peer sends outside its reliability layer (second plug-in list).
class RawSendRecorder : public P2PNet::PeerPlugin {
public:
    struct Datagram {
        std::vector<uint8_t> data;
        P2PNet::SystemAddress to;
    };
    bool UsesSecondList() override { return true; }
    void OnRawSend(const uint8_t* data, uint32_t bitCount, const P2PNet::SystemAddress& address) override
    {
        m_sent.push(Datagram{std::vector<uint8_t>(data, data + (bitCount + 7) / 8), address});
    }
    Recorded<Datagram>& sent() { return m_sent; }

private:
    Recorded<Datagram> m_sent;
};

// Connects client to server at the server's own address and waits until both report the
// connection (both must be pumped).
inline bool connectTo(TestPeer& client, TestPeer& server)
{
    char host[P2PNet::kAddressTextSize];
    server.address().ToText(false, host, sizeof host);
    return lumora::test::connectPeers(client, server, host).has_value();
}

} // namespace punchtest
