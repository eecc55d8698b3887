// The device information page's RC4: the device sends the address prefix of its upgrade server
// enciphered under a key the client keeps, as hexadecimal text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// RC4 key schedule of key (keyLength bytes, 1 to 256) into state.
void Rc4Schedule(uint8_t state[256], const uint8_t* key, size_t keyLength);
// The key schedule of the client's stored key; keyLength is its length (10).
void ClientRc4Init(uint8_t state[256], size_t keyLength);
// The keystream of state XORed over buffer in place (the state advances).
void ClientRc4Crypt(uint8_t state[256], uint8_t* buffer, size_t length);

// The longest "UpgradeUrl" text that is deciphered.
inline constexpr size_t kMaxUpgradeUrlText = 260;

// The address prefix that the hexadecimal text hexText enciphers: two digits (either case) per
// byte, an odd last character ignored, a pair that is no hexadecimal number read as strtol reads
// it; the prefix ends at the first zero byte. Empty for a text longer than kMaxUpgradeUrlText.
std::string DecipherUpgradeUrl(const std::string& hexText);
