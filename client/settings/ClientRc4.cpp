#include "ClientRc4.h"

#include <array>
#include <cstring>
#include <utility>

namespace {

constexpr char kClientKey[] = "Quaxel5183";
constexpr size_t kClientKeyLength = sizeof(kClientKey) - 1;

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// A two-character text as strtol(text, nullptr, 16) reads it: leading blanks, a sign, then hex
// digits up to the first other character; 0 when there is none.
long pairValue(char first, char second)
{
    const char text[2] = {first, second};
    size_t i = 0;
    while (i < 2 && isBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < 2 && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long value = 0;
    bool any = false;
    for (; i < 2 && hexDigit(text[i]) >= 0; ++i) {
        value = value * 16 + hexDigit(text[i]);
        any = true;
    }
    if (!any)
        return 0;
    return negative ? -value : value;
}

} // namespace

void Rc4Schedule(uint8_t state[256], const uint8_t* key, size_t keyLength)
{
    for (int i = 0; i < 256; ++i)
        state[i] = static_cast<uint8_t>(i);
    if (keyLength == 0)
        return;
    uint8_t j = 0;
    for (size_t i = 0; i < 256; ++i) {
        j = static_cast<uint8_t>(j + state[i] + key[i % keyLength]);
        std::swap(state[i], state[j]);
    }
}

void ClientRc4Init(uint8_t state[256], size_t keyLength)
{
    if (keyLength > kClientKeyLength)
        keyLength = kClientKeyLength;
    Rc4Schedule(state, reinterpret_cast<const uint8_t*>(kClientKey), keyLength);
}

void ClientRc4Crypt(uint8_t state[256], uint8_t* buffer, size_t length)
{
    uint8_t i = 0;
    uint8_t j = 0;
    for (size_t k = 0; k < length; ++k) {
        i = static_cast<uint8_t>(i + 1);
        j = static_cast<uint8_t>(j + state[i]);
        std::swap(state[i], state[j]);
        buffer[k] ^= state[static_cast<uint8_t>(state[i] + state[j])];
    }
}

std::string DecipherUpgradeUrl(const std::string& hexText)
{
    if (hexText.size() > kMaxUpgradeUrlText)
        return {};
    std::array<uint8_t, kMaxUpgradeUrlText / 2> bytes{};
    const size_t count = hexText.size() / 2;
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(pairValue(hexText[2 * i], hexText[2 * i + 1]) & 0xFF);
    std::array<uint8_t, 256> state{};
    ClientRc4Init(state.data(), kClientKeyLength);
    ClientRc4Crypt(state.data(), bytes.data(), count);
    state.fill(0);
    size_t end = 0;
    while (end < count && bytes[end] != 0)
        ++end;
    return std::string(reinterpret_cast<const char*>(bytes.data()), end);
}
