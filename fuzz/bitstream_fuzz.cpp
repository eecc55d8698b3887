// Reads every kind of value from an arbitrary datagram laid into a bit stream, as the peer does
// with what arrives from the network, and checks the reads against the bounds they must keep.
// The first byte of the input chooses the sequence of reads.
#include "BitStream.h"
#include "P2PString.h"
#include "SystemAddress.h"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 65536)
        return 0;
    const uint32_t length = static_cast<uint32_t>(size);
    P2PNet::BitStream stream(data, length, false);
    uint8_t program = size > 0 ? data[0] : 0;
    // Cover all bit offsets: the low 3 bits of the first byte skip that many bits first.
    stream.IgnoreBits(program & 7u);
    for (int step = 0; step < 64 && stream.GetNumberOfUnreadBits() > 0; ++step) {
        const uint32_t before = stream.GetReadPosition();
        bool ok = true;
        switch ((program + step) % 12) {
        case 0: { bool b; ok = stream.ReadBit(b); break; }
        case 1: { uint8_t v; ok = stream.ReadU8(v); break; }
        case 2: { uint16_t v; ok = stream.ReadU16(v); break; }
        case 3: { uint32_t v; ok = stream.ReadU32(v); break; }
        case 4: { uint64_t v; ok = stream.ReadU64(v); break; }
        case 5: { uint32_t v; ok = stream.ReadU24(v); check(!ok || v <= 0xFFFFFFu); break; }
        case 6: { std::string s; ok = stream.ReadString(s); check(ok || s.empty()); break; }
        case 7: { P2PNet::P2PString s; ok = s.Deserialize(stream); check(ok || s.empty()); break; }
        case 8: {
            P2PNet::SystemAddress a;
            ok = a.Deserialize(stream);
            if (ok) {
                char text[P2PNet::kAddressTextSize];
                a.ToText(true, text, sizeof text);
                (void)a.Hash();
            }
            break;
        }
        case 9: { P2PNet::P2PNetGUID g; ok = g.Deserialize(stream); break; }
        case 10: {
            uint8_t bytes[300];
            const uint32_t n = stream.GetNumberOfUnreadBits() % 2400u;
            ok = stream.ReadBits(bytes, n);
            break;
        }
        default: {
            // Copy part of the rest into a second stream and read it back.
            P2PNet::BitStream copy;
            const uint32_t n = stream.GetNumberOfUnreadBits() / 2 + 1;
            ok = copy.WriteBitsFrom(stream, n);
            check(copy.GetWritePosition() <= n);
            uint8_t bytes[8];
            copy.ReadBits(bytes, copy.GetNumberOfUnreadBits() < 64 ? copy.GetNumberOfUnreadBits() : 64);
            break;
        }
        }
        check(stream.GetReadPosition() <= stream.GetWritePosition());
        if (!ok)
            check(stream.GetReadPosition() >= before); // only alignment may have moved it
        if (!ok)
            break;
    }
    // The input bytes must never have been written to.
    check(stream.GetData() == data || size == 0);
    return 0;
}
