// A bare peer on 127.0.0.1 that plays a client of the rendezvous server in tests: it connects,
// registers, sends raw client messages and waits for answers. Messages that a wait does not
// match are kept for later waits.
#pragma once

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "Packet.h"
#include "PeerUtils.h"
#include "SystemAddress.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace rendezvous_test {

struct Message {
    std::vector<uint8_t> bytes;
    P2PNet::SystemAddress from;
    P2PNet::P2PNetGUID guid;

    uint8_t id() const { return bytes.empty() ? 0 : bytes[0]; }
    uint8_t sub() const { return bytes.size() < 2 ? 0 : bytes[1]; }
    // A reader over the bytes after the first `skip` bytes.
    P2PNet::BitStream reader(unsigned skip) const {
        P2PNet::BitStream in(bytes.data(), static_cast<uint32_t>(bytes.size()), true);
        in.IgnoreBits(skip * 8);
        return in;
    }
};

inline constexpr int kWaitMs = 10000;

class TestPeer {
public:
    explicit TestPeer(const char* joinPassword = nullptr) {
        P2PNet::SocketSpec spec;
        spec.port = 0;
        std::strcpy(spec.host, "127.0.0.1");
        spec.family = P2PNet::kWireFamilyIPv4;
        m_started = m_peer.Start(16, &spec, 1, -99999) == P2PNet::StartResult::Started;
        m_peer.SetIncomingLimit(16);
        if (joinPassword) m_peer.SetJoinPassword(joinPassword, static_cast<int>(std::strlen(joinPassword)));
    }
    ~TestPeer() { m_peer.Stop(0); }

    bool started() const { return m_started; }
    P2PNet::P2PPeer& peer() { return m_peer; }
    P2PNet::P2PNetGUID guid() const { return m_peer.GetOwnGuid(); }
    P2PNet::SystemAddress address() { return m_peer.GetBoundAddress(0); }

    // Takes packets until one matches or the deadline passes; unmatched ones are kept.
    bool waitFor(const std::function<bool(const Message&)>& match, Message* out = nullptr, int timeoutMs = kWaitMs) {
        for (auto it = m_backlog.begin(); it != m_backlog.end(); ++it) {
            if (match(*it)) {
                if (out) *out = *it;
                m_backlog.erase(it);
                return true;
            }
        }
        const uint64_t deadline = P2PNet::NowMillis() + static_cast<uint64_t>(timeoutMs);
        while (P2PNet::NowMillis() < deadline) {
            P2PNet::Packet* packet = m_peer.Receive();
            if (!packet) continue;
            Message message{std::vector<uint8_t>(packet->data, packet->data + packet->length), packet->systemAddress,
                            packet->guid};
            m_peer.ReleasePacket(packet);
            if (match(message)) {
                if (out) *out = message;
                return true;
            }
            m_backlog.push_back(std::move(message));
        }
        return false;
    }
    bool waitForId(uint8_t id, Message* out = nullptr, int timeoutMs = kWaitMs) {
        return waitFor([id](const Message& m) { return m.id() == id; }, out, timeoutMs);
    }
    bool waitForSub(uint8_t id, uint8_t sub, Message* out = nullptr, int timeoutMs = kWaitMs) {
        return waitFor([id, sub](const Message& m) { return m.id() == id && m.sub() == sub; }, out, timeoutMs);
    }
    // Pumps Receive (and so the plug-ins) until the condition holds.
    bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = kWaitMs) {
        const uint64_t deadline = P2PNet::NowMillis() + static_cast<uint64_t>(timeoutMs);
        while (!condition()) {
            if (P2PNet::NowMillis() >= deadline) return false;
            P2PNet::Packet* packet = m_peer.Receive();
            if (!packet) continue;
            m_backlog.push_back({std::vector<uint8_t>(packet->data, packet->data + packet->length),
                                 packet->systemAddress, packet->guid});
            m_peer.ReleasePacket(packet);
        }
        return true;
    }

    // Connects to 127.0.0.1:port with the data as password and waits for the acceptance.
    bool join(uint16_t port, const std::string& password, Message* accepted = nullptr) {
        const P2PNet::SystemAddress target("127.0.0.1", port);
        if (m_peer.Connect(target, password.data(), static_cast<int>(password.size())) !=
            P2PNet::ConnectResult::AttemptStarted)
            return false;
        return waitForId(P2PNet::ID_JOIN_ACCEPTED, accepted);
    }

    // The out-of-band registration datagram to the server's port + 1.
    void registerAs(uint16_t serverPort, uint32_t mode, const std::string& id, const std::string& password = "pw") {
        P2PNet::BitStream out;
        out.WriteU8(6);
        out.WriteU32(mode);
        out.WriteString(id);
        out.WriteString(password);
        address().Serialize(out);
        m_peer.SendRawToHost("127.0.0.1", static_cast<uint16_t>(serverPort + 1),
                             reinterpret_cast<const char*>(out.GetData()), static_cast<int>(out.GetNumberOfBytesUsed()));
    }

    // Registers and waits for the login answer; returns its accepted byte and NAT type.
    bool registerAndWait(uint16_t serverPort, uint32_t mode, const std::string& id, uint8_t* accepted,
                         uint8_t* natType) {
        registerAs(serverPort, mode, id);
        Message answer;
        if (!waitForSub(135, 7, &answer)) return false;
        if (answer.bytes.size() < 4) return false;
        *accepted = answer.bytes[2];
        *natType = answer.bytes[3];
        return true;
    }

    void send(const P2PNet::BitStream& stream, const P2PNet::P2PNetGUID& to) {
        m_peer.Send(&stream, static_cast<P2PNet::SendPriority>(1), static_cast<P2PNet::ReliabilityKind>(3), 0,
                    P2PNet::PeerTarget(to), false);
    }

private:
    P2PNet::P2PPeer m_peer;
    bool m_started = false;
    std::deque<Message> m_backlog;
};

}  // namespace rendezvous_test
