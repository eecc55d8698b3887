#include "SystemAddress.h"

#include "BitStream.h"
#include "PeerUtils.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <strings.h>

namespace P2PNet {

namespace {

constexpr char kUnassignedAddressText[] = "UNASSIGNED_SYSTEM_ADDRESS";
constexpr char kUnassignedGuidText[] = "UNASSIGNED_P2PNET_GUID";
constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

bool isNameLetter(char c) { return (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z'); }

bool hasNameLetter(const char* text)
{
    for (; *text; ++text)
        if (isNameLetter(*text))
            return true;
    return false;
}

bool isMapped(const in6_addr& a) { return std::memcmp(a.s6_addr, kMappedPrefix, sizeof kMappedPrefix) == 0; }

bool allZero(const uint8_t* bytes, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

bool isPrivateIPv4(const uint8_t* octets)
{
    return octets[0] == 10 || (octets[0] == 172 && octets[1] >= 16 && octets[1] <= 31) ||
           (octets[0] == 192 && octets[1] == 168);
}

// Parses a decimal number of at most maxDigits digits at text; the number of characters used
// goes to *used. False when there is no digit or the value passes maxValue.
bool parseDecimal(const char* text, int maxDigits, uint64_t maxValue, uint64_t& value, std::size_t& used)
{
    value = 0;
    used = 0;
    while (used < static_cast<std::size_t>(maxDigits) && text[used] >= '0' && text[used] <= '9') {
        value = value * 10 + static_cast<uint64_t>(text[used] - '0');
        ++used;
    }
    return used > 0 && value <= maxValue;
}

void writeU32Le(BitStream& stream, uint32_t v)
{
    const uint8_t bytes[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 24)};
    stream.WriteBytes(bytes, 4);
}

uint32_t readU32Le(const uint8_t* b)
{
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) | (static_cast<uint32_t>(b[2]) << 16) |
           (static_cast<uint32_t>(b[3]) << 24);
}

} // namespace

int LocalFamilyFromWire(uint16_t wireFamily)
{
    if (wireFamily == kWireFamilyIPv4)
        return AF_INET;
    if (wireFamily == kWireFamilyIPv6)
        return AF_INET6;
    return AF_UNSPEC;
}

const SystemAddress UNASSIGNED_SYSTEM_ADDRESS;
const P2PNetGUID UNASSIGNED_P2PNET_GUID;

// ---- SystemAddress --------------------------------------------------------------------------

SystemAddress::SystemAddress() : debugPort(0), systemIndex(kUnknownIndex)
{
    std::memset(&address, 0, sizeof address);
    address.addr4.sin_family = AF_INET;
}

SystemAddress::SystemAddress(const char* text, uint16_t port) : SystemAddress() { ParseWithPort(text, port); }

SystemAddress SystemAddress::FromIPv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d, uint16_t port)
{
    SystemAddress result;
    result.SetIPv4HostOrder((static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
                            (static_cast<uint32_t>(c) << 8) | d);
    result.SetPort(port);
    return result;
}

int SystemAddress::GetIPVersion() const { return address.addr4.sin_family == AF_INET6 ? 6 : 4; }

int SystemAddress::GetFamily() const { return address.addr4.sin_family; }

// sin_port and sin6_port lie at the same place.
uint16_t SystemAddress::GetPortNetworkOrder() const { return address.addr4.sin_port; }

void SystemAddress::SetPort(uint16_t hostOrderPort)
{
    address.addr4.sin_port = htons(hostOrderPort);
    debugPort = hostOrderPort;
}

void SystemAddress::SetPortNetworkOrder(uint16_t networkOrderPort)
{
    address.addr4.sin_port = networkOrderPort;
    debugPort = ntohs(networkOrderPort);
}

uint32_t SystemAddress::GetIPv4HostOrder() const { return IsIPv4() ? ntohl(address.addr4.sin_addr.s_addr) : 0; }

void SystemAddress::SetIPv4HostOrder(uint32_t hostOrderAddress)
{
    const uint16_t port = GetPortNetworkOrder();
    std::memset(&address, 0, sizeof address);
    address.addr4.sin_family = AF_INET;
    address.addr4.sin_port = port;
    address.addr4.sin_addr.s_addr = htonl(hostOrderAddress);
}

bool SystemAddress::IsUnassigned() const
{
    if (GetPortNetworkOrder() != 0)
        return false;
    if (IsIPv6())
        return allZero(address.addr6.sin6_addr.s6_addr, 16);
    return address.addr4.sin_addr.s_addr == 0;
}

bool SystemAddress::IsLoopback() const
{
    if (IsIPv4())
        return reinterpret_cast<const uint8_t*>(&address.addr4.sin_addr)[0] == 127;
    const in6_addr& a = address.addr6.sin6_addr;
    if (isMapped(a))
        return a.s6_addr[12] == 127;
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(a.s6_addr, kLoopback6, 16) == 0;
}

bool SystemAddress::IsPrivateRange() const
{
    if (IsIPv4())
        return isPrivateIPv4(reinterpret_cast<const uint8_t*>(&address.addr4.sin_addr));
    const in6_addr& a = address.addr6.sin6_addr;
    if (isMapped(a))
        return isPrivateIPv4(a.s6_addr + 12);
    return a.s6_addr[0] == 0xfe && a.s6_addr[1] == 0x80;
}

uint32_t SystemAddress::Hash() const
{
    const uint16_t port = GetPortNetworkOrder();
    uint32_t h = SuperFastHash(&port, 2, 2);
    if (IsIPv6())
        return SuperFastHash(address.addr6.sin6_addr.s6_addr, 16, h);
    return SuperFastHash(&address.addr4.sin_addr.s_addr, 4, h);
}

char* SystemAddress::ToText(bool writePort, char* buffer, std::size_t size) const
{
    if (buffer == nullptr || size == 0)
        return buffer;
    buffer[0] = '\0';
    if (IsUnassigned()) {
        if (size >= sizeof kUnassignedAddressText)
            std::memcpy(buffer, kUnassignedAddressText, sizeof kUnassignedAddressText);
        return buffer;
    }
    char text[kAddressTextSize];
    if (IsIPv6()) {
        if (inet_ntop(AF_INET6, &address.addr6.sin6_addr, text, sizeof text) == nullptr)
            return buffer;
        if (address.addr6.sin6_scope_id != 0) {
            const std::size_t used = std::strlen(text);
            std::snprintf(text + used, sizeof text - used, "%%%u", static_cast<unsigned>(address.addr6.sin6_scope_id));
        }
    } else if (inet_ntop(AF_INET, &address.addr4.sin_addr, text, sizeof text) == nullptr) {
        return buffer;
    }
    const int n = writePort ? std::snprintf(buffer, size, "%s|%u", text, static_cast<unsigned>(debugPort))
                            : std::snprintf(buffer, size, "%s", text);
    if (n < 0 || static_cast<std::size_t>(n) >= size)
        buffer[0] = '\0';
    return buffer;
}

std::string SystemAddress::ToString(bool writePort) const
{
    char text[kAddressTextSize];
    return ToText(writePort, text, sizeof text);
}

bool SystemAddress::ParseDotted(const char* text)
{
    if (text == nullptr || *text == '\0') {
        *this = UNASSIGNED_SYSTEM_ADDRESS;
        return false;
    }
    if (hasNameLetter(text)) {
        if (strncasecmp(text, "localhost", 9) != 0) {
            // Names are never looked up.
            *this = UNASSIGNED_SYSTEM_ADDRESS;
            return false;
        }
        const uint16_t port = GetPortNetworkOrder();
        const uint16_t index = systemIndex;
        *this = FromIPv4(127, 0, 0, 1, 0);
        SetPortNetworkOrder(port);
        systemIndex = index;
        // "localhost|5000": the character after the name is the delimiter, the port follows it.
        if (text[9] != '\0' && text[10] != '\0') {
            uint64_t value = 0;
            std::size_t used = 0;
            if (!parseDecimal(text + 10, 10, 0xFFFF, value, used)) {
                *this = UNASSIGNED_SYSTEM_ADDRESS;
                return false;
            }
            SetPort(static_cast<uint16_t>(value));
        }
        return true;
    }

    char host[23];
    std::size_t length = 0;
    while (length < 22 && (text[length] == '.' || (text[length] >= '0' && text[length] <= '9'))) {
        host[length] = text[length];
        ++length;
    }
    host[length] = '\0';
    in_addr parsed{};
    if (length == 0 || inet_pton(AF_INET, host, &parsed) != 1) {
        *this = UNASSIGNED_SYSTEM_ADDRESS;
        return false;
    }
    bool havePort = false;
    uint64_t port = 0;
    if (text[length] != '\0' && text[length + 1] != '\0') {
        // Up to 10 digits, and never past text position 32.
        const std::size_t start = length + 1;
        const int room = start < 32 ? static_cast<int>(32 - start) : 0;
        std::size_t used = 0;
        parseDecimal(text + start, room < 10 ? room : 10, ~0ull, port, used);
        if (used > 0) {
            if (port > 0xFFFF) {
                *this = UNASSIGNED_SYSTEM_ADDRESS;
                return false;
            }
            havePort = true;
        }
    }
    const uint16_t oldPort = GetPortNetworkOrder();
    const uint16_t index = systemIndex;
    std::memset(&address, 0, sizeof address);
    address.addr4.sin_family = AF_INET;
    address.addr4.sin_addr = parsed;
    systemIndex = index;
    if (havePort)
        SetPort(static_cast<uint16_t>(port));
    else
        SetPortNetworkOrder(oldPort);
    return true;
}

bool SystemAddress::ParseWithPort(const char* text, uint16_t port, bool /*numericOnly*/, int ipVersion)
{
    const uint16_t index = systemIndex;
    if (text == nullptr) {
        *this = SystemAddress();
        systemIndex = index;
        SetPort(port);
        return true;
    }
    // The host part: the leading run of characters an address text can hold.
    char host[65];
    std::size_t length = 0;
    if (hasNameLetter(text)) {
        // A name; names are never looked up.
        *this = UNASSIGNED_SYSTEM_ADDRESS;
        return false;
    }
    while (length < 64 && (std::isxdigit(static_cast<unsigned char>(text[length])) || text[length] == '%' ||
                           text[length] == '-' || text[length] == '.' || text[length] == '/' || text[length] == ':')) {
        host[length] = text[length];
        ++length;
    }
    host[length] = '\0';

    SystemAddress result;
    bool ok = false;
    auto tryIPv4 = [&] {
        in_addr a{};
        if (inet_pton(AF_INET, host, &a) != 1)
            return false;
        result.address.addr4.sin_addr = a;
        return true;
    };
    auto tryIPv6 = [&] {
        char bare[65];
        std::memcpy(bare, host, length + 1);
        uint32_t scope = 0;
        if (char* percent = std::strchr(bare, '%')) {
            uint64_t value = 0;
            std::size_t used = 0;
            if (!parseDecimal(percent + 1, 10, 0xFFFFFFFFull, value, used) || percent[1 + used] != '\0')
                return false;
            scope = static_cast<uint32_t>(value);
            *percent = '\0';
        }
        in6_addr a{};
        if (inet_pton(AF_INET6, bare, &a) != 1)
            return false;
        std::memset(&result.address, 0, sizeof result.address);
        result.address.addr6.sin6_family = AF_INET6;
        result.address.addr6.sin6_addr = a;
        result.address.addr6.sin6_scope_id = scope;
        return true;
    };
    if (ipVersion == 4)
        ok = tryIPv4();
    else if (ipVersion == 6)
        ok = tryIPv6() || tryIPv4();
    else
        ok = tryIPv4() || tryIPv6();
    if (!ok) {
        *this = UNASSIGNED_SYSTEM_ADDRESS;
        return false;
    }
    *this = result;
    systemIndex = index;
    SetPort(port);
    return true;
}

void SystemAddress::MatchSocketFamily(int socketFamily)
{
    const bool socketIsIPv6 = socketFamily == AF_INET6 || socketFamily == kWireFamilyIPv6;
    const bool socketIsIPv4 = socketFamily == AF_INET;
    if (IsUnassigned())
        return;
    if (IsIPv4() && socketIsIPv6) {
        const in_addr v4 = address.addr4.sin_addr;
        const uint16_t port = GetPortNetworkOrder();
        std::memset(&address, 0, sizeof address);
        address.addr6.sin6_family = AF_INET6;
        address.addr6.sin6_port = port;
        std::memcpy(address.addr6.sin6_addr.s6_addr, kMappedPrefix, sizeof kMappedPrefix);
        std::memcpy(address.addr6.sin6_addr.s6_addr + 12, &v4, 4);
    } else if (IsIPv6() && socketIsIPv4 && isMapped(address.addr6.sin6_addr)) {
        in_addr v4{};
        std::memcpy(&v4, address.addr6.sin6_addr.s6_addr + 12, 4);
        const uint16_t port = GetPortNetworkOrder();
        std::memset(&address, 0, sizeof address);
        address.addr4.sin_family = AF_INET;
        address.addr4.sin_port = port;
        address.addr4.sin_addr = v4;
    }
}

void SystemAddress::Serialize(BitStream& stream) const
{
    if (IsIPv4()) {
        stream.WriteU8(4);
        uint8_t bytes[4];
        std::memcpy(bytes, &address.addr4.sin_addr.s_addr, 4);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(~b);
        stream.WriteBytes(bytes, 4);
        const uint16_t port = GetPortNetworkOrder();
        stream.WriteBytes(&port, 2);
        return;
    }
    stream.WriteU8(6);
    const uint8_t family[2] = {static_cast<uint8_t>(kWireFamilyIPv6), 0};
    stream.WriteBytes(family, 2);
    const uint16_t port = GetPortNetworkOrder();
    stream.WriteBytes(&port, 2);
    writeU32Le(stream, address.addr6.sin6_flowinfo);
    stream.WriteBytes(address.addr6.sin6_addr.s6_addr, 16);
    writeU32Le(stream, address.addr6.sin6_scope_id);
}

bool SystemAddress::Deserialize(BitStream& stream)
{
    const uint32_t start = stream.GetReadPosition();
    uint8_t version = 0;
    if (!stream.ReadU8(version))
        return false;
    SystemAddress result;
    if (version == 4) {
        uint8_t bytes[6];
        if (!stream.ReadBytes(bytes, 6)) {
            stream.SetReadPosition(start);
            return false;
        }
        for (int i = 0; i < 4; ++i)
            bytes[i] = static_cast<uint8_t>(~bytes[i]);
        std::memcpy(&result.address.addr4.sin_addr.s_addr, bytes, 4);
        uint16_t port = 0;
        std::memcpy(&port, bytes + 4, 2);
        result.SetPortNetworkOrder(port);
    } else {
        uint8_t bytes[28];
        if (!stream.ReadBytes(bytes, 28)) {
            stream.SetReadPosition(start);
            return false;
        }
        // Whatever the family field says, this is the IPv6 form.
        std::memset(&result.address, 0, sizeof result.address);
        result.address.addr6.sin6_family = AF_INET6;
        uint16_t port = 0;
        std::memcpy(&port, bytes + 2, 2);
        result.address.addr6.sin6_flowinfo = readU32Le(bytes + 4);
        std::memcpy(result.address.addr6.sin6_addr.s6_addr, bytes + 8, 16);
        result.address.addr6.sin6_scope_id = readU32Le(bytes + 24);
        result.SetPortNetworkOrder(port);
    }
    *this = result;
    return true;
}

bool SystemAddress::operator==(const SystemAddress& other) const
{
    if (GetPortNetworkOrder() != other.GetPortNetworkOrder() || GetFamily() != other.GetFamily())
        return false;
    if (IsIPv6())
        return std::memcmp(address.addr6.sin6_addr.s6_addr, other.address.addr6.sin6_addr.s6_addr, 16) == 0;
    return address.addr4.sin_addr.s_addr == other.address.addr4.sin_addr.s_addr;
}

bool SystemAddress::operator<(const SystemAddress& other) const
{
    const uint16_t port = ntohs(GetPortNetworkOrder());
    const uint16_t otherPort = ntohs(other.GetPortNetworkOrder());
    if (port != otherPort)
        return port < otherPort;
    if (GetFamily() != other.GetFamily())
        return GetFamily() < other.GetFamily();
    if (IsIPv6())
        return std::memcmp(address.addr6.sin6_addr.s6_addr, other.address.addr6.sin6_addr.s6_addr, 16) < 0;
    return ntohl(address.addr4.sin_addr.s_addr) < ntohl(other.address.addr4.sin_addr.s_addr);
}

// ---- P2PNetGUID -----------------------------------------------------------------------------

char* P2PNetGUID::ToText(char* buffer, std::size_t size) const
{
    if (buffer == nullptr || size == 0)
        return buffer;
    const int n = IsUnassigned() ? std::snprintf(buffer, size, "%s", kUnassignedGuidText)
                                 : std::snprintf(buffer, size, "%llu", static_cast<unsigned long long>(g));
    if (n < 0 || static_cast<std::size_t>(n) >= size)
        buffer[0] = '\0';
    return buffer;
}

std::string P2PNetGUID::ToString() const
{
    char text[kGuidTextSize];
    return ToText(text, sizeof text);
}

bool P2PNetGUID::FromText(const char* text)
{
    if (text == nullptr || *text == '\0')
        return false;
    if (std::strcmp(text, kUnassignedGuidText) == 0) {
        *this = UNASSIGNED_P2PNET_GUID;
        return true;
    }
    uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (value > (~0ull - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    g = value;
    systemIndex = 0xFFFF;
    return true;
}

void P2PNetGUID::Serialize(BitStream& stream) const { stream.WriteU64(g); }

bool P2PNetGUID::Deserialize(BitStream& stream)
{
    uint64_t value = 0;
    if (!stream.ReadU64(value))
        return false;
    g = value;
    systemIndex = 0xFFFF;
    return true;
}

P2PNetGUID MakeGuid()
{
    // The clock alone repeats for peers started in the same microsecond (or on hosts whose clocks
    // agree); the random source makes two peers' identities independent.
    static std::atomic<uint64_t> s_counter{0};
    uint64_t random = 0;
    try {
        std::random_device device;
        random = (static_cast<uint64_t>(device()) << 32) | device();
    } catch (...) {
        // No random source: fall back to the clock, a per-process counter and an address.
        random = reinterpret_cast<uintptr_t>(&s_counter) * 0x9E3779B97F4A7C15ull;
    }
    uint64_t g = NowMicros() ^ random ^ (s_counter.fetch_add(1) * 0xBF58476D1CE4E5B9ull);
    if (g == 0 || g == ~0ull)
        g = 0x5DEECE66Dull;
    return P2PNetGUID(g);
}

} // namespace P2PNet
