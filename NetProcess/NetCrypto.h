// The digest and cipher routines of the device protocol: MD5 (RFC 1321) for the login answer,
// Base64 (RFC 4648, "=" padding) for the challenge tick, and RC4 for the password-change request.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace netcrypto {

std::array<uint8_t, 16> Md5(const void* data, std::size_t length);
// The 16 digest bytes as 32 upper-case hexadecimal digits, first byte first.
std::string Md5HexUpper(const std::string& text);

std::string Base64Encode(const void* data, std::size_t length);

// RC4 over data in place, with a fresh state from the key on every call.
void Rc4Crypt(const std::string& key, uint8_t* data, std::size_t length);

std::string HexLower(const void* data, std::size_t length);

} // namespace netcrypto
