// Byte codec of the session client's own messages (127, 129, 135, 136 and the registration
// datagram). Every field of these messages lies on a byte boundary: numbers are big-endian, a
// string is a u16 length followed by its bytes, an address is its bit-stream form
// (SystemAddress::Serialize). Reads never pass the end: a failed read returns false and leaves the reader where it
// was.
#pragma once

#include "SystemAddress.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Message identifiers of the session client (first byte).
enum ClientMessageId : uint8_t {
    ID_ROUTE_REQUEST = 127,
    ID_DEVICE_LOOKUP = 129,
    ID_SESSION_CONTROL = 135,
    ID_SESSION_DATA = 136,
};

// Sub-commands of ID_SESSION_CONTROL.
enum SessionControl : uint8_t {
    kSessionHello = 1,
    kRouteUpdate = 5,
    kLoginAnswer = 7,
    kSessionAccepted = 11,
    kRelayedDataOut = 12,
    kRelayedDataIn = 13,
    kRelayClosed = 14,
    kLookupFailures = 19,
    kRouteOffers = 20,
};

// Delivery kinds and priorities the client asks of the peer.
inline constexpr int kReliable = 2;
inline constexpr int kReliableOrdered = 3;
inline constexpr int kReliableOrderedWithReceipt = 7;

// First byte of the out-of-band registration datagram to a server's port + 1.
inline constexpr uint8_t kRegistrationMessage = 6;
// Marks the identity that follows in every offline ping and pong of this library.
inline constexpr uint32_t kIdentityMarker = 0x55AABBCC;
// Ids, device ids and passwords keep at most this many characters (plus a terminator).
inline constexpr std::size_t kMaxIdLength = 63;

class ByteWriter {
public:
    void u8(uint8_t v) { m_bytes.push_back(v); }
    void u16(uint16_t v)
    {
        u8(static_cast<uint8_t>(v >> 8));
        u8(static_cast<uint8_t>(v));
    }
    void u32(uint32_t v)
    {
        u16(static_cast<uint16_t>(v >> 16));
        u16(static_cast<uint16_t>(v));
    }
    void u64(uint64_t v)
    {
        u32(static_cast<uint32_t>(v >> 32));
        u32(static_cast<uint32_t>(v));
    }
    void bytes(const void* data, std::size_t length)
    {
        const auto* p = static_cast<const uint8_t*>(data);
        m_bytes.insert(m_bytes.end(), p, p + length);
    }
    // u16 length (cut to 65535) then the bytes.
    void string(const std::string& text)
    {
        const std::size_t length = text.size() > 0xFFFF ? 0xFFFF : text.size();
        u16(static_cast<uint16_t>(length));
        bytes(text.data(), length);
    }
    // The address's bit-stream form.
    void address(const P2PNet::SystemAddress& address);

    const std::vector<uint8_t>& data() const { return m_bytes; }
    std::vector<uint8_t>& data() { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

class ByteReader {
public:
    ByteReader(const uint8_t* data, std::size_t length) : m_data(data), m_length(data ? length : 0) {}

    std::size_t remaining() const { return m_length - m_position; }
    std::size_t position() const { return m_position; }
    const uint8_t* current() const { return m_data + m_position; }
    bool skip(std::size_t n)
    {
        if (remaining() < n)
            return false;
        m_position += n;
        return true;
    }

    bool u8(uint8_t& v)
    {
        if (remaining() < 1)
            return false;
        v = m_data[m_position++];
        return true;
    }
    bool u16(uint16_t& v)
    {
        if (remaining() < 2)
            return false;
        v = static_cast<uint16_t>(m_data[m_position] << 8 | m_data[m_position + 1]);
        m_position += 2;
        return true;
    }
    bool u32(uint32_t& v)
    {
        if (remaining() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | m_data[m_position + i];
        m_position += 4;
        return true;
    }
    bool u64(uint64_t& v)
    {
        if (remaining() < 8)
            return false;
        v = 0;
        for (int i = 0; i < 8; ++i)
            v = v << 8 | m_data[m_position + i];
        m_position += 8;
        return true;
    }
    // Reads a string and keeps at most maxKeep characters of it (the rest is skipped).
    bool string(std::string& text, std::size_t maxKeep = kMaxIdLength)
    {
        const std::size_t start = m_position;
        uint16_t length = 0;
        if (!u16(length) || remaining() < length) {
            m_position = start;
            return false;
        }
        const auto* p = reinterpret_cast<const char*>(m_data + m_position);
        std::size_t keep = length < maxKeep ? length : maxKeep;
        // A string ends at an embedded NUL as the C text it was written from does.
        for (std::size_t i = 0; i < keep; ++i)
            if (p[i] == '\0') {
                keep = i;
                break;
            }
        text.assign(p, keep);
        m_position += length;
        return true;
    }
    // False (and nothing consumed) when the bytes are too short.
    bool address(P2PNet::SystemAddress& address);

private:
    const uint8_t* m_data;
    std::size_t m_length;
    std::size_t m_position = 0;
};

// Copies text cut to kMaxIdLength characters (the stored form of ids and passwords).
inline std::string clampId(const char* text)
{
    if (!text)
        return {};
    std::size_t n = 0;
    while (n < kMaxIdLength && text[n] != '\0')
        ++n;
    return std::string(text, n);
}
