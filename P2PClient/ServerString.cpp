#include "ServerString.h"

#include "Deployment.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr std::size_t kMaxTokens = 7;
constexpr std::size_t kMaxTokenChars = 127;

const char* keyOrDefault(const char* key) { return key ? key : deployment::kServerStringKey; }

void applyKeystream(std::uint8_t* data, std::size_t length, const char* key) {
    // The key is copied into a local buffer for each use, so the cipher never reads past a
    // caller's key text; an empty key would make the schedule meaningless, so it falls back.
    char keyCopy[64] = {};
    std::size_t keyLength = std::strlen(key);
    if (keyLength == 0) {
        key = deployment::kServerStringKey;
        keyLength = deployment::kServerStringKeyLength;
    }
    if (keyLength > sizeof keyCopy) keyLength = sizeof keyCopy;
    std::memcpy(keyCopy, key, keyLength);
    Rc4State state;
    rc4_init(state, reinterpret_cast<const std::uint8_t*>(keyCopy), keyLength);
    rc4_crypt(state, data, length);
}

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
}

// Reads a number as "%x" does: optional blanks, an optional "0x", hexadecimal digits up to the
// first other character. Absent when no digit was read. Keeps the low 32 bits.
std::optional<std::uint32_t> readHex(std::string_view token) {
    std::size_t pos = 0;
    while (pos < token.size() && (token[pos] == ' ' || token[pos] == '\t')) ++pos;
    if (pos + 1 < token.size() && token[pos] == '0' && (token[pos + 1] == 'x' || token[pos + 1] == 'X') &&
        pos + 2 < token.size() && isHexDigit(token[pos + 2]))
        pos += 2;
    std::uint32_t value = 0;
    bool any = false;
    for (; pos < token.size() && isHexDigit(token[pos]); ++pos) {
        value = (value << 4) | static_cast<std::uint32_t>(hexValue(token[pos]));
        any = true;
    }
    if (!any) return std::nullopt;
    return value;
}

// A dotted IPv4 address "a.b.c.d" with every part 0..255; anything else (a host name, a
// malformed text) is absent: server strings of this deployment carry numeric addresses only.
std::optional<std::uint32_t> readDotted(std::string_view token) {
    std::uint32_t result = 0;
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= token.size() || token[pos] != '.') return std::nullopt;
            ++pos;
        }
        std::uint32_t value = 0;
        std::size_t digits = 0;
        while (pos < token.size() && token[pos] >= '0' && token[pos] <= '9') {
            value = value * 10 + static_cast<std::uint32_t>(token[pos] - '0');
            if (++digits > 3 || value > 255) return std::nullopt;
            ++pos;
        }
        if (digits == 0) return std::nullopt;
        result = (result << 8) | value;
    }
    if (pos != token.size()) return std::nullopt;
    return result;
}

// A decimal port: leading digits as atoi reads them; absent when there are none or the value
// does not fit 16 bits.
std::optional<std::uint16_t> readDecimalPort(std::string_view token) {
    std::size_t pos = 0;
    while (pos < token.size() && (token[pos] == ' ' || token[pos] == '\t')) ++pos;
    std::uint32_t value = 0;
    bool any = false;
    for (; pos < token.size() && token[pos] >= '0' && token[pos] <= '9'; ++pos) {
        value = value * 10 + static_cast<std::uint32_t>(token[pos] - '0');
        if (value > 0xFFFF) return std::nullopt;
        any = true;
    }
    if (!any) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

std::uint32_t byteSwap(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// A plain list is "[" printable characters "]" and then nothing but NUL bytes. A wrong key or a
// damaged string deciphers to noise, which must not turn into server addresses.
bool isBracketedList(const std::uint8_t* plain, std::size_t length) {
    if (length < 2 || plain[0] != '[') return false;
    std::size_t end = 0;
    while (end < length && plain[end] != 0) {
        if (plain[end] < 0x20 || plain[end] > 0x7E) return false;
        ++end;
    }
    return plain[end - 1] == ']';
}

}  // namespace

void rc4_init(Rc4State& state, const std::uint8_t* key, std::size_t keyLength) {
    for (int k = 0; k < 256; ++k) state.s[k] = static_cast<std::uint8_t>(k);
    std::uint8_t j = 0;
    for (std::size_t k = 0; k < 256; ++k) {
        j = static_cast<std::uint8_t>(j + state.s[k] + key[k % keyLength]);
        std::swap(state.s[k], state.s[j]);
    }
    state.i = 0;
    state.j = 0;
}

void rc4_crypt(Rc4State& state, std::uint8_t* data, std::size_t length) {
    for (std::size_t k = 0; k < length; ++k) {
        state.i = static_cast<std::uint8_t>(state.i + 1);
        state.j = static_cast<std::uint8_t>(state.j + state.s[state.i]);
        std::swap(state.s[state.i], state.s[state.j]);
        data[k] ^= state.s[static_cast<std::uint8_t>(state.s[state.i] + state.s[state.j])];
    }
}

int decode_server_string(const char* text, std::uint8_t* out, const char* key) {
    if (!text || !out) return -1;
    // Bounded length: a text without a terminator in reach is too long, never read further.
    const std::size_t length = strnlen(text, kServerStringMaxChars + 1);
    if (length < 2 || length > kServerStringMaxChars) return -1;
    const std::size_t n = length / 2 - 1;
    std::memset(out, 0, kServerStringMaxPlain);
    const unsigned char r0 = static_cast<unsigned char>(text[length - 2]);
    const unsigned char r1 = static_cast<unsigned char>(text[length - 1]);
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned high = (static_cast<unsigned char>(text[2 * i]) - r0) & 0x0Fu;
        const unsigned low = (static_cast<unsigned char>(text[2 * i + 1]) - r1) & 0x0Fu;
        out[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    applyKeystream(out, n, keyOrDefault(key));
    return 0;
}

std::string encodeServerString(std::string_view plain, const char* key) {
    if (plain.size() > kServerStringMaxPlain || plain.find('\0') != std::string_view::npos) return {};
    std::uint8_t bytes[kServerStringMaxPlain];
    std::memcpy(bytes, plain.data(), plain.size());
    applyKeystream(bytes, plain.size(), keyOrDefault(key));
    // Reference letters drawn from the content, so that strings differ in look; A..K keeps
    // every letter of a pair (reference + 0..15) within A..Z.
    unsigned sum = 0;
    for (char c : plain) sum = sum * 31 + static_cast<unsigned char>(c);
    const char r0 = static_cast<char>('A' + sum % 11);
    const char r1 = static_cast<char>('A' + (sum / 11) % 11);
    std::string text;
    text.reserve(2 * plain.size() + 2);
    for (std::size_t i = 0; i < plain.size(); ++i) {
        text.push_back(static_cast<char>(r0 + (bytes[i] >> 4)));
        text.push_back(static_cast<char>(r1 + (bytes[i] & 0x0F)));
    }
    text.push_back(r0);
    text.push_back(r1);
    return text;
}

ServerList splitServerList(const std::uint8_t* plain, std::size_t length) {
    ServerList list;
    if (!plain) return list;
    if (length > kServerStringMaxPlain) length = kServerStringMaxPlain;
    if (!isBracketedList(plain, length)) return list;
    list.valid = true;

    std::array<std::string, kMaxTokens> tokens;
    std::size_t count = 0;
    std::size_t start = 1;  // after the opening bracket
    for (std::size_t pos = 1; pos < length && plain[pos] != 0 && count < kMaxTokens; ++pos) {
        if (plain[pos] != ',' && plain[pos] != ']') continue;
        const std::size_t take = std::min(pos - start, kMaxTokenChars);
        tokens[count++].assign(reinterpret_cast<const char*>(plain + start), take);
        start = pos + 1;
    }

    list.name = tokens[0];
    bool dotted = false;
    for (std::size_t t = 1; t < kMaxTokens; ++t) {
        const std::string& token = tokens[t];
        const bool isPort = (t % 2) == 0;
        if (token.empty()) {
            // The dotted form reaches only the token right after the address, even when empty.
            if (isPort) dotted = false;
            continue;
        }
        if (token.find('.') != std::string::npos) dotted = true;
        ServerEndpoint& server = list.servers[(t - 1) / 2];
        if (!isPort) {
            server.addressText = token;
            if (dotted) {
                server.ipv4 = readDotted(token);
            } else if (auto value = readHex(token)) {
                // The four address bytes stored little-endian: d.c.b.a in the hexadecimal text.
                server.ipv4 = byteSwap(*value);
            }
        } else {
            if (dotted) {
                server.port = readDecimalPort(token);
                dotted = false;
            } else if (auto value = readHex(token)) {
                server.port = static_cast<std::uint16_t>(*value & 0xFFFF);
            }
        }
    }
    return list;
}

ServerList parseServerString(const char* serverString, const char* key) {
    std::uint8_t plain[kServerStringMaxPlain];
    if (decode_server_string(serverString, plain, key) != 0) return {};
    return splitServerList(plain, sizeof plain);
}
