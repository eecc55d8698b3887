// The server string: an opaque text naming up to three rendezvous servers. Capital-letter pairs,
// each one byte relative to the string's last two letters, deciphered with RC4 under the
// deployment key into "[" name "," address "," port "," address "," port "," address "," port "]".
// Addresses and ports come either in hexadecimal form (the address as the little-endian 32-bit
// value of its four bytes) or in dotted form (a dotted address and a decimal port).
//
// Pure functions; no sockets, no name lookup, no state: safe on any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Bytes a server string can carry, and the longest server string accepted (two characters per
// byte, the two reference letters, and one odd character that is ignored).
inline constexpr std::size_t kServerStringMaxPlain = 512;
inline constexpr std::size_t kServerStringMaxChars = 2 * kServerStringMaxPlain + 3;

struct Rc4State {
    std::uint8_t s[256];
    std::uint8_t i;
    std::uint8_t j;
};

// RC4 key schedule over the 256-byte state; keyLength must be at least 1.
void rc4_init(Rc4State& state, const std::uint8_t* key, std::size_t keyLength);
// XORs the RC4 keystream over data in place, continuing from the state.
void rc4_crypt(Rc4State& state, std::uint8_t* data, std::size_t length);

// Decodes a NUL-terminated server string into out, which must hold kServerStringMaxPlain bytes.
// Returns 0 with out cleared and the decoded bytes at its head, or -1 (out untouched) when the
// text is null, shorter than 2 or longer than kServerStringMaxChars characters. key is the
// NUL-terminated RC4 key (nullptr: the deployment key).
int decode_server_string(const char* text, std::uint8_t* out, const char* key = nullptr);

// The inverse of decode_server_string for a plain list: capital letters only. Empty when the
// plain text is longer than kServerStringMaxPlain bytes or contains a NUL byte.
std::string encodeServerString(std::string_view plain, const char* key = nullptr);

// One server of the list, as the plain text gives it. ipv4 is the address in host order
// (a.b.c.d = a << 24 | b << 16 | c << 8 | d), absent when its token is empty or not a numeric
// address; addressText keeps the address token as it stood (a host name stays unresolved).
struct ServerEndpoint {
    std::string addressText;
    std::optional<std::uint32_t> ipv4;
    std::optional<std::uint16_t> port;
};

struct ServerList {
    // False when the decoded text was not a bracketed list of printable characters: then the
    // name is empty and no server has an address or a port.
    bool valid = false;
    std::string name;
    std::array<ServerEndpoint, 3> servers;
};

// Splits decoded plain bytes (at most kServerStringMaxPlain are looked at; the text ends at the
// first NUL) into the name and the three servers. Up to 7 tokens of at most 127 characters each
// are used; further tokens are ignored.
ServerList splitServerList(const std::uint8_t* plain, std::size_t length);

// decode_server_string then splitServerList; an undecodable string gives an invalid list.
ServerList parseServerString(const char* serverString, const char* key = nullptr);
