// Feeds arbitrary datagrams to a ReliabilityLayer's receive path, with update rounds between
// them, after the layer has sent some messages of its own (so acknowledgements and NAKs find a
// send history).
//
// Input: [u8 options][u16 little-endian length, that many bytes]... Option bits: 0-1 pick the
// MTU, 2 sets a split progress interval, 3 sets an unreliable time-out. Each datagram advances
// the fake clock by 7 ms; every fourth one is followed by an update.
#include "ReliabilityLayer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace P2PNet;
    if (size < 1)
        return 0;
    static constexpr uint32_t kMtus[] = {548, 1172, 1444, 1464};
    const uint8_t options = data[0];
    ReliabilityLayer layer(kMtus[options & 3], 0);
    if (options & 4)
        layer.SetSplitProgressInterval(1 + (options >> 4));
    if (options & 8)
        layer.SetUnreliableTimeout(50);

    SystemAddress remote;
    uint64_t sentBytes = 0;
    DatagramSender send = [&](const uint8_t*, uint32_t length) { sentBytes += length; };
    uint64_t now = 1000;

    // A little traffic of our own: small and split messages of several kinds.
    std::vector<uint8_t> message(5000, 0x42);
    for (int kind = 0; kind < 8; ++kind) {
        layer.Send(message.data(), 8 * (20 + 300 * kind), SendPriority::High, static_cast<ReliabilityKind>(kind),
                   static_cast<uint32_t>(kind), now, static_cast<uint32_t>(kind + 1));
    }
    layer.Send(message.data(), 8 * 4000, SendPriority::Low, ReliabilityKind::ReliableOrderedWithReceipt, 3, now, 99);
    layer.Update(remote, send, now, 0, {});

    size_t at = 1;
    int count = 0;
    while (at + 2 <= size) {
        const size_t length = data[at] | (size_t{data[at + 1]} << 8);
        at += 2;
        const size_t take = length < size - at ? length : size - at;
        layer.HandleDatagram(data + at, static_cast<uint32_t>(take), remote, send, {}, now);
        at += take;
        now += 7000;
        if (++count % 4 == 0)
            layer.Update(remote, send, now, 0, {});
    }
    layer.Update(remote, send, now + 20000, 0, {});
    layer.Update(remote, send, now + 2000000, 0, {});

    LayerMessage out;
    size_t delivered = 0;
    while (layer.Receive(out))
        delivered += out.data.size();
    (void)layer.GetStatistics();
    return delivered > size_t{1} << 40 ? 1 : 0;
}
