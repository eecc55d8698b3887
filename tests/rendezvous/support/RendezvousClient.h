// What a client of the rendezvous server sends on its own, for tests that play that client with
// a bare TestPeer: the connection with the server string as password and the out-of-band
// registration. The peer is polled on the test's thread.
#pragma once

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "SystemAddress.h"
#include "TestPeer.h"

#include <cstdint>
#include <string>

namespace rendezvous_test {

using lumora::test::Received;
using lumora::test::TestPeer;

// A server's client or a relay's side: sixteen connections either way on 127.0.0.1.
inline constexpr lumora::test::Bind kClientSide{P2PNet::kWireFamilyIPv4, "127.0.0.1", 16, 16};

// Connects to 127.0.0.1:port with the data as password and waits for the acceptance.
inline bool join(TestPeer& peer, uint16_t port, const std::string& password, Received* accepted = nullptr)
{
    const P2PNet::SystemAddress target("127.0.0.1", port);
    if (peer->Connect(target, password.data(), static_cast<int>(password.size())) !=
        P2PNet::ConnectResult::AttemptStarted)
        return false;
    return peer.takeId(P2PNet::ID_JOIN_ACCEPTED, accepted);
}

// The out-of-band registration datagram to the server's port + 1.
inline void registerAs(TestPeer& peer, uint16_t serverPort, uint32_t mode, const std::string& id,
                       const std::string& password = "pw")
{
    P2PNet::BitStream out;
    out.WriteU8(6);
    out.WriteU32(mode);
    out.WriteString(id);
    out.WriteString(password);
    peer.address().Serialize(out);
    peer->SendRawToHost("127.0.0.1", static_cast<uint16_t>(serverPort + 1), reinterpret_cast<const char*>(out.GetData()),
                        static_cast<int>(out.GetNumberOfBytesUsed()));
}

// Registers and waits for the login answer; returns its accepted byte and NAT type.
inline bool registerAndWait(TestPeer& peer, uint16_t serverPort, uint32_t mode, const std::string& id,
                            uint8_t* accepted, uint8_t* natType)
{
    registerAs(peer, serverPort, mode, id);
    Received answer;
    if (!peer.takeSub(135, 7, &answer))
        return false;
    if (answer.data.size() < 4)
        return false;
    *accepted = answer.data[2];
    *natType = answer.data[3];
    return true;
}

} // namespace rendezvous_test
