// The session client's message dispatcher on arbitrary bytes, without a network: one client with
// a logged-in server, device-side sessions and connecting sessions takes each input as one message.
//
// Input: byte 0 picks the sender (bits 0-1: server IPv4, server IPv6, a device, a stranger; bit 2:
// a local notice; bits 3-5: the sender's GUID among 8 known ones); the rest is the message. A
// message whose id is 92 is taken as the relay coordinator's answer and handed to the client's
// relay result callbacks the way the relay client decodes it.
#include "ClientWire.h"
#include "P2PClient.h"
#include "PeerUtils.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const P2PNet::SystemAddress kServer = P2PNet::SystemAddress::FromIPv4(127, 0, 0, 1, 9000);
const P2PNet::SystemAddress kServerV6("::1", 9000);
const P2PNet::SystemAddress kDevice = P2PNet::SystemAddress::FromIPv4(127, 0, 0, 2, 4000);
const P2PNet::SystemAddress kStranger = P2PNet::SystemAddress::FromIPv4(127, 0, 0, 9, 9000);

P2PClient& client()
{
    static P2PClient* instance = [] {
        auto* c = new P2PClient();
        c->SetServerAddresses(0, kServer, kServerV6);
        c->SetServerState(0, kServerLoggedIn);
        return c;
    }();
    return *instance;
}

// Keeps a mix of sessions alive: accepted ones (device side) and connecting ones.
void refreshSessions(P2PClient& c, uint8_t selector)
{
    if (c.SessionCount() > 64) {
        c.SetLoginInfo("cam", "pw", 2);
        c.HousekeepingPass(P2PNet::NowMillis() + 100000 + selector);
    }
    c.SetLoginInfo("cam", "pw", (selector & 0x40) ? 2 : 1);
    for (const char* id : {"dev0", "dev1", "dev2"})
        c.BeginConnect(id, selector & 1);
}

void relayAnswer(P2PClient& c, const uint8_t* data, std::size_t size)
{
    ByteReader reader(data, size);
    uint8_t id = 0, sub = 0;
    P2PNet::SystemAddress source, target;
    uint64_t guid = 0;
    if (!reader.u8(id) || !reader.u8(sub) || !reader.address(source) || !reader.address(target) || !reader.u64(guid))
        return;
    const P2PNet::P2PNetGUID targetGuid(guid);
    if (sub >= 2 && sub <= 4) {
        c.OnRelayFailed(targetGuid);
        return;
    }
    std::string text;
    uint16_t port = 0;
    if (!reader.string(text, 64) || !reader.u16(port))
        return;
    if (sub == 1)
        c.OnRelayNotice(text.c_str(), port, targetGuid);
    else if (sub == 0 || sub == 5)
        c.OnRelayReady(text.c_str(), port, targetGuid);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    P2PClient& c = client();
    const uint8_t selector = data[0];
    refreshSessions(c, selector);

    IncomingMessage message;
    message.data = data + 1;
    message.length = size - 1;
    static const P2PNet::SystemAddress* const senders[] = {&kServer, &kServerV6, &kDevice, &kStranger};
    message.address = *senders[selector & 3];
    message.local = (selector & 4) != 0;
    message.guid = P2PNet::P2PNetGUID(100 + ((selector >> 3) & 7));
    if (message.data[0] == 92)
        relayAnswer(c, message.data, message.length);
    else
        c.OnMessage(message);

    // Whatever arrived, the sessions stay usable through the interface.
    char buffer[64];
    for (int handle = 0; handle < 8; ++handle) {
        int length = sizeof(buffer);
        c.Read(handle, selector & 15, buffer, &length, 0);
        uint32_t pending = 0, readable = 0;
        c.CheckBuffer(handle, selector & 15, &pending, &readable);
    }
    return 0;
}
