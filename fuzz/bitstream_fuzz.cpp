// Two checks on arbitrary input. First, every kind of value is read from the input laid into a bit
// stream, as the peer does with what arrives from the network, and the reads must keep their
// bounds. Second, the input drives a sequence of writes at arbitrary bit positions, and reading
// the stream back must give every value that was written.
#include "BitStream.h"
#include "P2PString.h"
#include "SystemAddress.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/socket.h>

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

struct Cursor {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    uint64_t take(int bytes)
    {
        uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | (at < size ? data[at++] : 0u);
        return v;
    }
    bool done() const { return at >= size; }
};

enum class Op : uint8_t { Bit, U8, U16, U32, U64, U24, Bytes, BytesAligned, String, Address, Pad, Count };

struct Written {
    Op op;
    uint64_t value;
    std::string bytes;
};

void writeThenReadBack(const uint8_t* data, size_t size)
{
    Cursor in{data, size};
    P2PNet::BitStream stream;
    std::vector<Written> log;
    while (!in.done() && log.size() < 200) {
        const Op op = static_cast<Op>(in.take(1) % static_cast<uint8_t>(Op::Count));
        Written w{op, 0, {}};
        switch (op) {
        case Op::Bit: w.value = in.take(1) & 1u; stream.WriteBit(w.value != 0); break;
        case Op::U8: w.value = in.take(1); stream.WriteU8(static_cast<uint8_t>(w.value)); break;
        case Op::U16: w.value = in.take(2); stream.WriteU16(static_cast<uint16_t>(w.value)); break;
        case Op::U32: w.value = in.take(4); stream.WriteU32(static_cast<uint32_t>(w.value)); break;
        case Op::U64: w.value = in.take(8); stream.WriteU64(w.value); break;
        case Op::U24: w.value = in.take(3); stream.WriteU24(static_cast<uint32_t>(w.value)); break;
        case Op::Bytes:
        case Op::BytesAligned:
        case Op::String: {
            const size_t n = in.take(1) % 40u;
            for (size_t i = 0; i < n; ++i)
                w.bytes.push_back(static_cast<char>(in.take(1) | 1u)); // no zero bytes inside strings
            if (op == Op::Bytes)
                stream.WriteBytes(w.bytes.data(), static_cast<uint32_t>(n));
            else if (op == Op::BytesAligned)
                stream.WriteBytesAligned(w.bytes.data(), static_cast<uint32_t>(n));
            else {
                stream.AlignWrite(); // strings start on a byte boundary
                stream.WriteString(w.bytes);
            }
            break;
        }
        case Op::Address: {
            w.value = in.take(6);
            P2PNet::SystemAddress a = P2PNet::SystemAddress::FromIPv4(
                static_cast<uint8_t>(w.value >> 40), static_cast<uint8_t>(w.value >> 32),
                static_cast<uint8_t>(w.value >> 24), static_cast<uint8_t>(w.value >> 16), static_cast<uint16_t>(w.value));
            if (w.value & 0x10000u)
                a.MatchSocketFamily(23);
            a.Serialize(stream);
            break;
        }
        case Op::Pad: {
            w.value = stream.GetNumberOfBytesUsed() + in.take(1) % 16u;
            stream.PadToByteLength(static_cast<uint32_t>(w.value));
            check(stream.GetNumberOfBytesUsed() >= w.value);
            break;
        }
        case Op::Count: break;
        }
        log.push_back(w);
    }

    P2PNet::BitStream reader(stream.GetData(), stream.GetNumberOfBytesUsed(), false);
    reader.SetWritePosition(stream.GetWritePosition());
    for (const Written& w : log) {
        switch (w.op) {
        case Op::Bit: { bool b = false; check(reader.ReadBit(b) && b == (w.value != 0)); break; }
        case Op::U8: { uint8_t v = 0; check(reader.ReadU8(v) && v == w.value); break; }
        case Op::U16: { uint16_t v = 0; check(reader.ReadU16(v) && v == w.value); break; }
        case Op::U32: { uint32_t v = 0; check(reader.ReadU32(v) && v == w.value); break; }
        case Op::U64: { uint64_t v = 0; check(reader.ReadU64(v) && v == w.value); break; }
        case Op::U24: { uint32_t v = 0; check(reader.ReadU24(v) && v == w.value); break; }
        case Op::Bytes:
        case Op::BytesAligned: {
            std::string back(w.bytes.size(), '\0');
            const bool ok = w.op == Op::Bytes ? reader.ReadBytes(back.data(), static_cast<uint32_t>(back.size()))
                                              : reader.ReadBytesAligned(back.data(), static_cast<uint32_t>(back.size()));
            check(ok && back == w.bytes);
            break;
        }
        case Op::String: {
            reader.AlignRead();
            std::string back;
            check(reader.ReadString(back) && back == w.bytes);
            break;
        }
        case Op::Address: {
            P2PNet::SystemAddress a;
            check(a.Deserialize(reader));
            a.MatchSocketFamily(AF_INET);
            check(a.GetIPv4HostOrder() == static_cast<uint32_t>(w.value >> 16) && a.GetPort() == static_cast<uint16_t>(w.value));
            break;
        }
        case Op::Pad: {
            // Padding (only when the contents were shorter) is whole zero bytes after the aligned
            // position.
            if ((reader.GetReadPosition() + 7) / 8 >= w.value)
                break;
            reader.AlignRead();
            while (reader.GetReadPosition() < w.value * 8) {
                uint8_t zero = 1;
                check(reader.ReadU8(zero) && zero == 0);
            }
            break;
        }
        case Op::Count: break;
        }
    }
    check(reader.GetNumberOfUnreadBits() == 0);
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

    writeThenReadBack(data, size);
    return 0;
}
