// Test harness for the NAT plug-ins: a real P2PPeer on 127.0.0.1 (system-chosen port) whose
// Receive runs on a pump thread of its own, as P2PClient's receive thread does. Every packet the
// application would see is copied into a log that tests wait on with deadlines. Plug-ins are
// owned by the harness, attached before the pump starts, and outlive the peer.
#pragma once

#include "BitStream.h"
#include "P2PPeer.h"
#include "PeerPlugin.h"
#include "PunchDebugPrinter.h"
#include "SystemAddress.h"
#include "WaitUntil.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace punchtest {

constexpr int kWaitMs = 8000;

// A packet as the application received it.
struct Received {
    std::vector<uint8_t> data;
    P2PNet::SystemAddress address;
    P2PNet::P2PNetGUID guid;
    bool local = false;
    uint8_t id() const { return data.empty() ? 0 : data[0]; }
};

// Polls state that is not pushed into a log until it holds or the deadline passes.
using lumora::test::waitUntil;

// Collects values pushed from another thread; waits for one that matches, up to a deadline.
template <class T>
class WaitLog {
public:
    void push(T value)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_items.push_back(std::move(value));
        }
        m_cv.notify_all();
    }
    bool waitFor(const std::function<bool(const T&)>& match, T* found = nullptr, int timeoutMs = kWaitMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            for (const T& item : m_items)
                if (match(item)) {
                    if (found != nullptr)
                        *found = item;
                    return true;
                }
            if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
                for (const T& item : m_items)
                    if (match(item)) {
                        if (found != nullptr)
                            *found = item;
                        return true;
                    }
                return false;
            }
        }
    }
    std::vector<T> snapshot() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_items;
    }
    std::size_t count(const std::function<bool(const T&)>& match) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::size_t n = 0;
        for (const T& item : m_items)
            n += match(item) ? 1 : 0;
        return n;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<T> m_items;
};

// Keeps the punch-through client's trace texts.
class TextRecorder : public P2PNet::PunchDebugSink {
public:
    void PrintPunchText(const char* text) override { m_texts.push(text); }
    bool waitForPrefix(const std::string& prefix, int timeoutMs = kWaitMs)
    {
        return m_texts.waitFor([&](const std::string& t) { return t.rfind(prefix, 0) == 0; }, nullptr, timeoutMs);
    }
    std::size_t countPrefix(const std::string& prefix) const
    {
        return m_texts.count([&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
    }
    std::vector<std::string> all() const { return m_texts.snapshot(); }

private:
    WaitLog<std::string> m_texts;
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
    WaitLog<Datagram>& sent() { return m_sent; }

private:
    WaitLog<Datagram> m_sent;
};

class TestPeer {
public:
    // ipv6: a dual-stack socket on ::1 instead of 127.0.0.1.
    explicit TestPeer(bool ipv6 = false, unsigned maxConnections = 8) : m_peer(std::make_unique<P2PNet::P2PPeer>())
    {
        P2PNet::SocketSpec spec;
        spec.family = ipv6 ? P2PNet::kWireFamilyIPv6 : P2PNet::kWireFamilyIPv4;
        std::snprintf(spec.host, sizeof spec.host, "%s", ipv6 ? "::1" : "127.0.0.1");
        m_started = m_peer->Start(maxConnections, &spec, 1, -99999) == P2PNet::StartResult::Started;
        m_peer->SetIncomingLimit(static_cast<uint16_t>(maxConnections));
    }
    ~TestPeer()
    {
        StopPump();
        m_peer.reset();  // stops the peer while its plug-ins still exist
        m_plugins.clear();
    }
    TestPeer(const TestPeer&) = delete;
    TestPeer& operator=(const TestPeer&) = delete;

    bool started() const { return m_started; }
    P2PNet::P2PPeer& peer() { return *m_peer; }
    P2PNet::SystemAddress address() { return m_peer->GetBoundAddress(0); }
    P2PNet::P2PNetGUID guid() { return m_peer->GetOwnGuid(); }

    // Attach before StartPump: the peer's plug-in lists are not locked.
    template <class T, class... Args>
    T& add(Args&&... args)
    {
        auto plugin = std::make_unique<T>(std::forward<Args>(args)...);
        T& ref = *plugin;
        m_peer->AddPlugin(&ref);
        m_plugins.push_back(std::move(plugin));
        return ref;
    }

    void StartPump()
    {
        m_pumping = true;
        m_pump = std::thread([this] {
            while (m_pumping.load()) {
                P2PNet::Packet* packet = m_peer->Receive();
                if (packet == nullptr)
                    continue;
                Received copy;
                copy.data.assign(packet->data, packet->data + packet->length);
                copy.address = packet->systemAddress;
                copy.guid = packet->guid;
                copy.local = packet->wasGeneratedLocally;
                m_peer->ReleasePacket(packet);
                m_received.push(std::move(copy));
            }
        });
    }
    void StopPump()
    {
        m_pumping = false;
        if (m_pump.joinable())
            m_pump.join();
    }

    WaitLog<Received>& received() { return m_received; }
    bool waitForId(uint8_t id, Received* found = nullptr, int timeoutMs = kWaitMs)
    {
        return m_received.waitFor([id](const Received& r) { return r.id() == id; }, found, timeoutMs);
    }
    std::size_t countId(uint8_t id) const
    {
        return m_received.count([id](const Received& r) { return r.id() == id; });
    }

    // Connects to other and waits until both sides report the connection (both must pump).
    bool ConnectTo(TestPeer& other)
    {
        if (m_peer->Connect(other.address(), nullptr, 0) != P2PNet::ConnectResult::AttemptStarted)
            return false;
        const P2PNet::P2PNetGUID otherGuid = other.guid();
        const P2PNet::P2PNetGUID ownGuid = guid();
        return m_received.waitFor([&](const Received& r) { return r.id() == 16 && r.guid == otherGuid; }) &&
               other.m_received.waitFor([&](const Received& r) { return r.id() == 19 && r.guid == ownGuid; });
    }

    // Sends raw message bytes over the connection to target, reliable and ordered on channel 0.
    bool SendBytes(const std::vector<uint8_t>& bytes, const P2PNet::PeerTarget& target)
    {
        return m_peer->SendBytes(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                                 P2PNet::SendPriority::High, P2PNet::ReliabilityKind::ReliableOrdered, 0, target,
                                 false) != 0;
    }
    bool SendStream(const P2PNet::BitStream& stream, const P2PNet::PeerTarget& target)
    {
        return m_peer->Send(&stream, P2PNet::SendPriority::High, P2PNet::ReliabilityKind::ReliableOrdered, 0, target,
                            false) != 0;
    }

private:
    std::unique_ptr<P2PNet::P2PPeer> m_peer;
    std::vector<std::unique_ptr<P2PNet::PeerPlugin>> m_plugins;
    bool m_started = false;
    std::atomic<bool> m_pumping{false};
    std::thread m_pump;
    WaitLog<Received> m_received;
};

} // namespace punchtest
