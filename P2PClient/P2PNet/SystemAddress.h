// The value types that name a remote system: a UDP endpoint (`SystemAddress`, IPv4 or IPv6), the
// 64-bit identity a peer picks at start (`P2PNetGUID`) and the pair of both (`PeerTarget`).
// Plain values, copied freely. Host names are never looked up: only numeric texts parse.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

struct sockaddr;

namespace P2PNet {

class BitStream;

// Address family values as they travel on the wire and in socket specifications (the Windows
// values); in memory a SystemAddress holds the local AF_INET / AF_INET6 so that the platform
// socket code can use its storage directly.
constexpr uint16_t kWireFamilyIPv4 = 2;
constexpr uint16_t kWireFamilyIPv6 = 23;
// Local family for a wire family (2 -> AF_INET, 23 -> AF_INET6, anything else -> AF_UNSPEC).
int LocalFamilyFromWire(uint16_t wireFamily);

// Bytes that hold any address text ToText writes, port and terminator included
// ("ffff:...:ffff%4294967295|65535" and "::ffff:255.255.255.255|65535" fit with room to spare).
constexpr std::size_t kAddressTextSize = 72;
// Longest host text without a port (an IPv6 text with a numeric scope id).
constexpr std::size_t kMaxHostTextLength = 56;

struct SystemAddress {
    // Socket-address storage: sin_family / sin6_family hold the local AF_INET / AF_INET6; port and
    // addresses are in network byte order.
    union {
        sockaddr_in addr4;
        sockaddr_in6 addr6;
    } address;
    // The port in host byte order, kept beside the network-order port; set wherever that is set.
    uint16_t debugPort;
    // Index of the remote-system slot this address was last found in; 0xFFFF = not known.
    uint16_t systemIndex;

    static constexpr uint16_t kUnknownIndex = 0xFFFF;

    // All zero (0.0.0.0 port 0), family IPv4, systemIndex unknown.
    SystemAddress();
    // A numeric text (IPv4 or IPv6, see ParseWithPort) and a host-order port; an unparsable text
    // leaves the address unassigned.
    SystemAddress(const char* text, uint16_t port);

    // An IPv4 address from its four octets (a.b.c.d) and a host-order port.
    static SystemAddress FromIPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port);

    // 4 or 6.
    int GetIPVersion() const;
    bool IsIPv4() const { return GetIPVersion() == 4; }
    bool IsIPv6() const { return GetIPVersion() == 6; }
    // The local family (AF_INET or AF_INET6).
    int GetFamily() const;

    uint16_t GetPort() const { return debugPort; }
    uint16_t GetPortNetworkOrder() const;
    // Sets the network-order port and debugPort.
    void SetPort(uint16_t hostOrderPort);
    void SetPortNetworkOrder(uint16_t networkOrderPort);
    // The IPv4 address in host byte order (a.b.c.d as a << 24 | ...); 0 for an IPv6 address.
    uint32_t GetIPv4HostOrder() const;
    // Replaces the address with IPv4 address (host byte order), keeping the port.
    void SetIPv4HostOrder(uint32_t hostOrderAddress);

    // Unassigned: port 0 and an all-zero address of either family.
    bool IsUnassigned() const;
    // Loopback: 127.0.0.0/8, ::1, or an IPv4-mapped loopback address.
    bool IsLoopback() const;
    // Private ranges: IPv4 10/8, 172.16/12, 192.168/16 (also inside an IPv4-mapped IPv6 address);
    // other IPv6 addresses when link-local (fe80::/16 as the first two bytes fe 80).
    bool IsPrivateRange() const;

    // SuperFastHash of the two port bytes as stored (start value 2), then of the 4 or 16 address
    // bytes (start value the first hash).
    uint32_t Hash() const;
    static uint32_t Hash(const SystemAddress& address) { return address.Hash(); }

    // Writes the address text into the caller's buffer of `size` bytes (kAddressTextSize holds
    // any): "UNASSIGNED_SYSTEM_ADDRESS" for an unassigned address (no port whatever writePort
    // says); else the numeric host text (dotted IPv4; the standard IPv6 colon form with "%<scope
    // id>" when the scope id is not 0) and, with writePort, "|" and the host-order port in
    // decimal. A buffer too small gets the empty text. Returns the buffer.
    char* ToText(bool writePort, char* buffer, std::size_t size) const;
    template <std::size_t N>
    char* ToText(bool writePort, char (&buffer)[N]) const { return ToText(writePort, buffer, N); }
    std::string ToString(bool writePort = true) const;

    // Parses "a.b.c.d" optionally followed by a one-character delimiter (normally "|") and a
    // decimal port. A text starting with "localhost" (any case) gives 127.0.0.1, with a port read
    // after the delimiter that follows it. The family becomes IPv4. False (and the address set to
    // unassigned) for a text with any other name, a bad dotted address or a port above 65535.
    // Without a port the port is left as it was.
    bool ParseDotted(const char* text);
    // Parses a numeric IPv4 or IPv6 text (an IPv6 text may end in "%<decimal scope id>"); the
    // port comes from the argument (host order). Anything from the first character that cannot be
    // part of an address on ("|5000") is ignored. ipVersion 4 accepts IPv4 only; 6 prefers IPv6
    // but also accepts IPv4; 0 accepts either. numericOnly is kept for callers: names are never
    // looked up. A null text gives the any-address (0.0.0.0) with the port. False, and the
    // address unassigned, when the text does not parse.
    bool ParseWithPort(const char* text, uint16_t port, bool numericOnly = true, int ipVersion = 0);

    // Before sending through a socket of the other family: an IPv4 target for an IPv6 socket
    // becomes the IPv4-mapped IPv6 address (::ffff:a.b.c.d); an IPv4-mapped IPv6 target for an
    // IPv4 socket becomes the plain IPv4 address. Unassigned addresses, addresses of the socket's
    // family and other IPv6 addresses for an IPv4 socket stay as they are. socketFamily may be the
    // local AF_INET / AF_INET6 or the wire value 2 / 23.
    void MatchSocketFamily(int socketFamily);
    static void MatchSocketFamily(SystemAddress& target, int socketFamily) { target.MatchSocketFamily(socketFamily); }

    // Bit-stream form: IPv4 = [u8 4][4 bytes: the complement of the address bytes][u16 port in
    // network order]; IPv6 = [u8 6][28 bytes: u16 family 23 little-endian, port in network order,
    // u32 flow information little-endian, 16 address bytes, u32 scope id little-endian].
    void Serialize(BitStream& stream) const;
    // Reads that form; a version byte other than 4 is read as the IPv6 form. debugPort follows the
    // port and systemIndex becomes unknown. False (and the address unchanged) when the stream is
    // short.
    bool Deserialize(BitStream& stream);

    // Equal when ports, families and addresses are equal; flow information, scope id, debugPort
    // and systemIndex take no part.
    bool operator==(const SystemAddress& other) const;
    bool operator!=(const SystemAddress& other) const { return !(*this == other); }
    // Port, then family, then address bytes.
    bool operator<(const SystemAddress& other) const;
    bool operator>(const SystemAddress& other) const { return other < *this; }
};

// Family IPv4, address 0, port 0, debugPort 0, systemIndex unknown.
extern const SystemAddress UNASSIGNED_SYSTEM_ADDRESS;

struct P2PNetGUID {
    uint64_t g;
    // Index of the remote-system slot this GUID was last found in; 0xFFFF = not known.
    uint16_t systemIndex;

    // The unassigned value.
    P2PNetGUID() : g(~0ull), systemIndex(0xFFFF) {}
    explicit P2PNetGUID(uint64_t value) : g(value), systemIndex(0xFFFF) {}

    bool IsUnassigned() const { return g == ~0ull; }

    // "UNASSIGNED_P2PNET_GUID" for the unassigned value, else g in unsigned decimal, into the
    // caller's buffer (kGuidTextSize holds any). A buffer too small gets the empty text.
    static constexpr std::size_t kGuidTextSize = 24;
    char* ToText(char* buffer, std::size_t size) const;
    template <std::size_t N>
    char* ToText(char (&buffer)[N]) const { return ToText(buffer, N); }
    std::string ToString() const;
    // Parses unsigned decimal or "UNASSIGNED_P2PNET_GUID"; false (unchanged) for anything else.
    bool FromText(const char* text);

    // A u64, most significant byte first.
    void Serialize(BitStream& stream) const;
    // False (unchanged) when fewer than 64 bits remain; systemIndex becomes unknown.
    bool Deserialize(BitStream& stream);

    // Hash of the value for tables.
    static uint32_t ToUint32(const P2PNetGUID& guid) { return static_cast<uint32_t>(guid.g >> 32) ^ static_cast<uint32_t>(guid.g); }

    bool operator==(const P2PNetGUID& other) const { return g == other.g; }
    bool operator!=(const P2PNetGUID& other) const { return g != other.g; }
    bool operator<(const P2PNetGUID& other) const { return g < other.g; }
    bool operator>(const P2PNetGUID& other) const { return g > other.g; }
};

// g = 0xFFFFFFFFFFFFFFFF, systemIndex unknown.
extern const P2PNetGUID UNASSIGNED_P2PNET_GUID;

// A new identity: the microsecond clock mixed with 64 bits from the system's random source, so
// that peers started in the same microsecond still differ. Never 0 and never the unassigned
// value.
P2PNetGUID MakeGuid();

// A remote system named by GUID, by address, or by both.
struct PeerTarget {
    P2PNetGUID guid;
    SystemAddress address;

    // Undefined: unassigned GUID and unassigned address.
    PeerTarget() : address(UNASSIGNED_SYSTEM_ADDRESS) {}
    PeerTarget(const SystemAddress& systemAddress) : address(systemAddress) {}
    PeerTarget(const P2PNetGUID& peerGuid) : guid(peerGuid), address(UNASSIGNED_SYSTEM_ADDRESS) {}
    PeerTarget(const P2PNetGUID& peerGuid, const SystemAddress& systemAddress) : guid(peerGuid), address(systemAddress) {}

    bool IsUndefined() const { return guid.IsUnassigned() && address.IsUnassigned(); }
};

} // namespace P2PNet

template <>
struct std::hash<P2PNet::SystemAddress> {
    std::size_t operator()(const P2PNet::SystemAddress& address) const noexcept { return address.Hash(); }
};

template <>
struct std::hash<P2PNet::P2PNetGUID> {
    std::size_t operator()(const P2PNet::P2PNetGUID& guid) const noexcept { return std::hash<uint64_t>()(guid.g); }
};
