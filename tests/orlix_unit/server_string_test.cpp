// Server string: RC4, the pair decoding, the length limits, the splitting into servers in both
// address forms, and what noise decodes to.
#include "Deployment.h"
#include "ServerString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::uint32_t ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

// First keystream byte of the deployment key.
std::uint8_t firstKeystreamByte() {
    Rc4State state;
    rc4_init(state, reinterpret_cast<const std::uint8_t*>(deployment::kServerStringKey),
             deployment::kServerStringKeyLength);
    std::uint8_t zero = 0;
    rc4_crypt(state, &zero, 1);
    return zero;
}

std::vector<std::uint8_t> decoded(const std::string& text) {
    std::vector<std::uint8_t> out(kServerStringMaxPlain, 0xEE);
    EXPECT_EQ(decode_server_string(text.c_str(), out.data()), 0) << text;
    return out;
}

TEST(Rc4, PublishedVectors) {
    struct Case { const char* key; const char* plain; std::vector<std::uint8_t> cipher; };
    const Case cases[] = {
        {"Key", "Plaintext", {0xBB, 0xF3, 0x16, 0xE8, 0xD9, 0x40, 0xAF, 0x0A, 0xD3}},
        {"Wiki", "pedia", {0x10, 0x21, 0xBF, 0x04, 0x20}},
        {"Secret", "Attack at dawn",
         {0x45, 0xA0, 0x1F, 0x64, 0x5F, 0xC3, 0x5B, 0x38, 0x35, 0x52, 0x54, 0x4B, 0x9B, 0xF5}},
    };
    for (const Case& c : cases) {
        std::vector<std::uint8_t> data(c.plain, c.plain + std::strlen(c.plain));
        Rc4State state;
        rc4_init(state, reinterpret_cast<const std::uint8_t*>(c.key), std::strlen(c.key));
        rc4_crypt(state, data.data(), data.size());
        EXPECT_EQ(data, c.cipher) << c.key;
    }
}

TEST(DecodeServerString, PairsAreRelativeToTheReferenceLetters) {
    const std::uint8_t k = firstKeystreamByte();
    EXPECT_EQ(decoded("ABAA")[0], 0x01 ^ k);
    EXPECT_EQ(decoded("PPAA")[0], 0xFF ^ k);
    // The differences count modulo 16: "A" below the reference "Q" is 0x10 lower, i.e. 0.
    EXPECT_EQ(decoded("AAQQ")[0], 0x00 ^ k);
    // An odd character before the reference letters is ignored.
    EXPECT_EQ(decoded("ABZAA")[0], 0x01 ^ k);
    EXPECT_EQ(decoded("ABZAA")[1], 0);
}

TEST(DecodeServerString, LengthLimits) {
    std::vector<std::uint8_t> out(kServerStringMaxPlain, 0xEE);
    EXPECT_EQ(decode_server_string(nullptr, out.data()), -1);
    EXPECT_EQ(decode_server_string("", out.data()), -1);
    EXPECT_EQ(decode_server_string("A", out.data()), -1);
    EXPECT_EQ(out[0], 0xEE) << "nothing is written on failure";

    // 2 characters: no byte; the output is cleared.
    EXPECT_EQ(decoded("AA")[0], 0);

    const std::string longest(kServerStringMaxChars, 'B');  // 1027: 512 bytes
    const auto full = decoded(longest);
    std::vector<std::uint8_t> expected(kServerStringMaxPlain, 0);  // pairs "BB" against "BB"
    Rc4State state;
    rc4_init(state, reinterpret_cast<const std::uint8_t*>(deployment::kServerStringKey),
             deployment::kServerStringKeyLength);
    rc4_crypt(state, expected.data(), expected.size());
    EXPECT_EQ(full, expected);

    const std::string tooLong(kServerStringMaxChars + 1, 'B');  // 1028
    EXPECT_EQ(decode_server_string(tooLong.c_str(), out.data()), -1);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_FALSE(parseServerString(tooLong.c_str()).valid);
}

TEST(EncodeServerString, RoundTripsAndUsesCapitalsOnly) {
    const std::string plains[] = {
        "[lumora,127.0.0.1,32100,,,,]",
        "[n,100a8c0,1f90,100007f,7d64,100007f,7d66]",
        "[]",
        std::string("[") + std::string(kServerStringMaxPlain - 2, 'x') + "]",
    };
    for (const std::string& plain : plains) {
        const std::string text = encodeServerString(plain);
        ASSERT_EQ(text.size(), 2 * plain.size() + 2);
        for (char c : text) EXPECT_TRUE(c >= 'A' && c <= 'Z') << text;
        const auto out = decoded(text);
        EXPECT_EQ(std::string(out.begin(), out.begin() + plain.size()), plain);
        for (std::size_t i = plain.size(); i < out.size(); ++i) ASSERT_EQ(out[i], 0);
    }
    EXPECT_EQ(encodeServerString(std::string(kServerStringMaxPlain + 1, 'x')), "");
    EXPECT_EQ(encodeServerString(std::string("[a\0b]", 5)), "");
}

struct SplitCase {
    const char* label;
    const char* plain;
    const char* name;
    std::optional<std::uint32_t> address[3];
    std::optional<std::uint16_t> port[3];
};

class SplitServerList : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitServerList, GivesNameAddressesAndPorts) {
    const SplitCase& c = GetParam();
    const ServerList list = parseServerString(encodeServerString(c.plain).c_str());
    ASSERT_TRUE(list.valid);
    EXPECT_EQ(list.name, c.name);
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(list.servers[s].ipv4, c.address[s]) << "server " << s;
        EXPECT_EQ(list.servers[s].port, c.port[s]) << "server " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(
    ServerString, SplitServerList,
    ::testing::Values(
        SplitCase{"hex", "[n,100a8c0,1f90]", "n", {ip(192, 168, 0, 1), {}, {}}, {8080, {}, {}}},
        SplitCase{"dotted", "[n,192.168.0.1,8080]", "n", {ip(192, 168, 0, 1), {}, {}}, {8080, {}, {}}},
        SplitCase{"three", "[srv,127.0.0.1,32100,127.0.0.2,32101,127.0.0.3,32102]", "srv",
                  {ip(127, 0, 0, 1), ip(127, 0, 0, 2), ip(127, 0, 0, 3)}, {32100, 32101, 32102}},
        // After a port in dotted form the hexadecimal form holds again.
        SplitCase{"mixed", "[m,127.0.0.1,32100,100007f,7d64,,]", "m",
                  {ip(127, 0, 0, 1), ip(127, 0, 0, 1), {}}, {32100, 32100, {}}},
        SplitCase{"empty tokens", "[e,,,127.0.0.1,,,7d64]", "e", {{}, ip(127, 0, 0, 1), {}}, {{}, {}, 32100}},
        SplitCase{"nine tokens", "[x,100007f,1,100007f,2,100007f,3,100007f,4]", "x",
                  {ip(127, 0, 0, 1), ip(127, 0, 0, 1), ip(127, 0, 0, 1)}, {1, 2, 3}},
        SplitCase{"host name unresolved", "[h,cam.example,80]", "h", {{}, {}, {}}, {80, {}, {}}},
        SplitCase{"port out of range", "[p,127.0.0.1,70000]", "p", {ip(127, 0, 0, 1), {}, {}}, {{}, {}, {}}},
        SplitCase{"empty list", "[]", "", {{}, {}, {}}, {{}, {}, {}}}),
    [](const auto& paramInfo) {
        std::string name = paramInfo.param.label;
        for (char& ch : name)
            if (ch == ' ') ch = '_';
        return name;
    });

TEST(SplitServerList, LongTokensAreCutTo127) {
    const std::string plain = "[" + std::string(200, 'n') + ",127.0.0.1,1]";
    const ServerList list = parseServerString(encodeServerString(plain).c_str());
    ASSERT_TRUE(list.valid);
    EXPECT_EQ(list.name, std::string(127, 'n'));
    EXPECT_EQ(list.servers[0].ipv4, ip(127, 0, 0, 1));
}

TEST(SplitServerList, FullBufferWithoutTerminatorStaysInside) {
    // 512 printable bytes end exactly at the buffer's end: no terminator follows.
    std::string plain = "[n,127.0.0.1,7,";
    plain += std::string(kServerStringMaxPlain - plain.size() - 1, 'z') + "]";
    ASSERT_EQ(plain.size(), kServerStringMaxPlain);
    const ServerList list = splitServerList(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size());
    ASSERT_TRUE(list.valid);
    EXPECT_EQ(list.servers[0].port, 7);
}

TEST(SplitServerList, NoiseGivesNoServers) {
    const std::string plain = "[n,127.0.0.1,32100,100007f,7d64,100007f,7d66]";
    struct Case { const char* label; std::string text; };
    const Case cases[] = {
        {"wrong key", encodeServerString(plain, "another_key_of_23_chars")},
        {"random capitals", "QWERTYUIOPASDFGHJKLZXCVBNMQWERTYUIOPASDFGHJKLZXCVBNMAA"},
        {"not bracketed", encodeServerString("n,127.0.0.1,32100")},
        {"unclosed", encodeServerString("[n,127.0.0.1,32100")},
        {"control byte", encodeServerString("[n,127.0.0.1\t,32100]")},
        {"trailing text", encodeServerString("[n,127.0.0.1,32100]x")},
        {"empty plain", "AAAA"},
    };
    for (const Case& c : cases) {
        const ServerList list = parseServerString(c.text.c_str());
        EXPECT_FALSE(list.valid) << c.label;
        EXPECT_EQ(list.name, "") << c.label;
        for (const ServerEndpoint& server : list.servers) {
            EXPECT_FALSE(server.ipv4) << c.label;
            EXPECT_FALSE(server.port) << c.label;
        }
    }
}

TEST(Deployment, KeyHasTheExpectedShape) {
    for (std::size_t i = 0; i < deployment::kServerStringKeyLength; ++i) {
        const char c = deployment::kServerStringKey[i];
        EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || c == '_') << i;
    }
}

}  // namespace
