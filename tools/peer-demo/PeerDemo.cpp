// peer-demo: a "camera" peer and a "viewer" peer on 127.0.0.1. The viewer connects, both measure
// the round trip, the viewer streams 16 MiB of ordered reliable blocks while keeping at most
// 1 MiB unacknowledged (by the peer's receipts), the camera answers with short status messages,
// and the viewer closes the connection with a notice. Prints what happened; exit 0 on success,
// 1 with the reason on failure.
#include "MessageIdentifiers.h"
#include "P2PPeer.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace P2PNet;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kBlock = 200;         // [200][u32 index][bytes]: a block of the stream
constexpr uint8_t kStatus = 201;        // [201][text]: the camera's answer
constexpr std::size_t kBlockBytes = 64 * 1024;
constexpr std::size_t kStreamBytes = 16u << 20;
constexpr std::size_t kWindowBytes = 1u << 20;
constexpr auto kDeadline = std::chrono::seconds(20);

struct Failure {
    std::string reason;
};

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

std::unique_ptr<P2PPeer> startPeer(const char* role)
{
    auto peer = std::make_unique<P2PPeer>();
    SocketSpec spec;
    std::snprintf(spec.host, sizeof spec.host, "127.0.0.1");
    spec.family = kWireFamilyIPv4;
    const StartResult result = peer->Start(4, &spec, 1, -99999);
    if (result != StartResult::Started)
        throw Failure{std::string(role) + " peer did not start (result " + std::to_string(static_cast<int>(result)) + ")"};
    peer->SetIncomingLimit(4);
    return peer;
}

// A received packet copied out; id 0xFF for an empty one.
struct Message {
    uint8_t id = 0xFF;
    std::vector<uint8_t> data;
    SystemAddress from;
    P2PNetGUID guid;
};

// The next packet of peer, or nothing within about 10 ms.
bool receive(P2PPeer& peer, Message& out)
{
    Packet* packet = peer.Receive();
    if (!packet)
        return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(packet->data);
    out.data.assign(bytes, bytes + packet->length);
    out.id = out.data.empty() ? 0xFF : out.data[0];
    out.from = packet->systemAddress;
    out.guid = packet->guid;
    peer.ReleasePacket(packet);
    return true;
}

// Receives on peer until a packet of id arrives; packets of other ids are dropped.
Message waitFor(P2PPeer& peer, uint8_t id, const char* what)
{
    const auto deadline = Clock::now() + kDeadline;
    Message m;
    while (Clock::now() < deadline) {
        if (receive(peer, m) && m.id == id)
            return m;
    }
    throw Failure{std::string("timed out waiting for ") + what};
}

int run()
{
    auto camera = startPeer("camera");
    auto viewer = startPeer("viewer");
    const SystemAddress cameraAddress = camera->GetBoundAddress(0);
    std::printf("camera listening on %s\n", cameraAddress.ToString(true).c_str());

    const auto connectStart = Clock::now();
    if (viewer->ConnectByHostText("127.0.0.1", cameraAddress.GetPort(), nullptr, 0) != ConnectResult::AttemptStarted)
        throw Failure{"the viewer could not start its connection attempt"};
    const Message accepted = waitFor(*viewer, ID_JOIN_ACCEPTED, "the camera to accept");
    const Message incoming = waitFor(*camera, ID_NEW_INCOMING, "the camera to see the viewer");
    std::printf("viewer %s connected to camera in %.1f ms (MTU %d bytes)\n", incoming.from.ToString(true).c_str(),
                secondsSince(connectStart) * 1000, viewer->MtuOf(accepted.from));

    const PeerTarget toCamera(accepted.guid);
    const PeerTarget toViewer(incoming.guid);
    viewer->PingConnected(accepted.from);
    const auto pingDeadline = Clock::now() + kDeadline;
    Message m;
    while (viewer->LatestPing(toCamera) < 0 && Clock::now() < pingDeadline)
        receive(*viewer, m);
    std::printf("round trip %d ms\n", viewer->LatestPing(toCamera));

    // The stream: blocks sent with a receipt, at most kWindowBytes of them unacknowledged.
    std::vector<uint8_t> block(1 + 4 + kBlockBytes);
    block[0] = kBlock;
    for (std::size_t i = 5; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    const uint32_t blocks = kStreamBytes / kBlockBytes;
    uint32_t sent = 0, acked = 0, received = 0, statuses = 0;
    bool inOrder = true;
    const auto streamStart = Clock::now();
    const auto streamDeadline = streamStart + kDeadline;
    while ((received < blocks || acked < blocks || statuses < blocks / 16) && Clock::now() < streamDeadline) {
        while (sent < blocks && (sent - acked) * kBlockBytes < kWindowBytes) {
            std::memcpy(block.data() + 1, &sent, 4);
            if (viewer->SendBytes(reinterpret_cast<const char*>(block.data()), static_cast<int>(block.size()),
                                  SendPriority::High, ReliabilityKind::ReliableOrderedWithReceipt, 1, toCamera, false) == 0)
                throw Failure{"the viewer's send was refused"};
            ++sent;
        }
        while (receive(*camera, m)) {
            if (m.id != kBlock)
                continue;
            uint32_t index = 0;
            std::memcpy(&index, m.data.data() + 1, 4);
            inOrder = inOrder && index == received && m.data.size() == block.size() && m.data.back() == block.back();
            ++received;
            if (received % 16 == 0) {
                const std::string reply = static_cast<char>(kStatus) + ("got " + std::to_string(received) + " blocks");
                camera->SendBytes(reply.data(), static_cast<int>(reply.size()),
                                  SendPriority::Medium, ReliabilityKind::ReliableOrdered, 0, toViewer, false);
            }
            if (camera->PendingPacketCount() == 0)
                break;
        }
        while (viewer->PendingPacketCount() > 0 && receive(*viewer, m)) {
            if (m.id == ID_RECEIPT_ACKED)
                ++acked;
            else if (m.id == kStatus)
                ++statuses;
        }
    }
    const double streamSeconds = secondsSince(streamStart);
    if (received < blocks)
        throw Failure{"only " + std::to_string(received) + " of " + std::to_string(blocks) + " blocks arrived"};
    std::printf("viewer -> camera: %.1f MiB in %u blocks of %zu KiB, %.2f s, %.1f MB/s, %s\n",
                static_cast<double>(blocks) * kBlockBytes / (1 << 20), blocks, kBlockBytes / 1024, streamSeconds,
                static_cast<double>(blocks) * kBlockBytes / streamSeconds / 1e6,
                inOrder ? "all intact and in order" : "OUT OF ORDER OR DAMAGED");
    std::printf("camera -> viewer: %u status messages; viewer holds %u receipts\n", statuses, acked);
    if (!inOrder)
        return 1;

    viewer->DropConnection(toCamera, true);
    const Message closed = waitFor(*camera, ID_PEER_CLOSED, "the close notice");
    std::printf("viewer closed the connection; camera got the close notice from %s\n", closed.from.ToString(true).c_str());
    viewer->Stop(0);
    camera->Stop(0);
    return 0;
}

} // namespace

int main()
{
    try {
        return run();
    } catch (const Failure& f) {
        std::printf("peer-demo failed: %s\n", f.reason.c_str());
        return 1;
    }
}
