// LAN search against simulated cameras: two cameras answer one broadcast probe on loopback, and
// their answers are parsed as the search dialog parses them.
#include "DeploymentSettings.h"
#include "CamSim.h"
#include "DevSearch.h"
#include "PPCS_API.h"
#include "UdpSocket.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// One answer record, after the 4-byte datagram header: IP text (80 bytes) at 0, MAC (6 bytes)
// at 80, UID text (64 bytes) at 88, hardware version (16 bytes) at 152, software version (32
// bytes, as camsim sends it) at 168.
constexpr int kAnswerHeader = 4;
constexpr int kAnswerSize = kAnswerHeader + 152;
constexpr int kCamsimAnswerSize = kAnswerHeader + 168 + 32;
constexpr int kIpOffset = 0;
constexpr int kIpSize = 80;
constexpr int kMacOffset = 80;
constexpr int kMacSize = 6;
constexpr int kUidOffset = 88;
constexpr int kUidSize = 64;

struct SearchAnswer {
    std::string ip;
    std::optional<std::array<uint8_t, kMacSize>> mac;
    std::string uid;
};

// A text field: up to its first zero, never past its size nor past the datagram's end.
std::string textField(const char* record, int recordLength, int offset, int size)
{
    if (offset >= recordLength)
        return {};
    const int limit = std::min(size, recordLength - offset);
    const char* begin = record + offset;
    const void* zero = std::memchr(begin, 0, static_cast<size_t>(limit));
    return std::string(begin, zero != nullptr ? static_cast<const char*>(zero) : begin + limit);
}

// Parses one search datagram as the search dialog does; nothing when it has no record at all.
std::optional<SearchAnswer> parseAnswer(const char* data, int length)
{
    if (data == nullptr || length <= kAnswerHeader)
        return std::nullopt;
    const char* record = data + kAnswerHeader;
    const int recordLength = length - kAnswerHeader;
    SearchAnswer answer;
    answer.ip = textField(record, recordLength, kIpOffset, kIpSize);
    if (recordLength >= kMacOffset + kMacSize) {
        std::array<uint8_t, kMacSize> mac{};
        std::memcpy(mac.data(), record + kMacOffset, kMacSize);
        answer.mac = mac;
    }
    answer.uid = textField(record, recordLength, kUidOffset, kUidSize);
    return answer;
}

uint16_t freeUdpPort()
{
    platform::UdpSocket probe;
    probe.open(platform::AddressFamily::IPv4);
    probe.bind(platform::NetAddress::ipv4Any(0));
    platform::NetAddress local;
    probe.localAddress(local);
    return local.port;
}

// The MAC the simulated camera derives from its UID.
std::array<uint8_t, kMacSize> macOf(const std::string& uid)
{
    const uint32_t hash = static_cast<uint32_t>(std::hash<std::string>{}(uid));
    return {0x02, 0x4C, static_cast<uint8_t>(hash >> 24), static_cast<uint8_t>(hash >> 16), static_cast<uint8_t>(hash >> 8),
            static_cast<uint8_t>(hash)};
}

TEST(SearchAnswerParse, StopsAtTheDatagramEndAndAtEachFieldSize)
{
    std::vector<char> full(kAnswerSize, 0);
    std::memset(full.data() + kAnswerHeader, 'I', kIpSize); // no terminating zero in the field
    for (int i = 0; i < kMacSize; ++i)
        full[kAnswerHeader + kMacOffset + i] = static_cast<char>(0xA0 + i);
    std::memset(full.data() + kAnswerHeader + kUidOffset, 'U', kUidSize); // fills the rest
    struct Case {
        int length;
        size_t ip;
        bool mac;
        size_t uid;
    };
    for (const Case c : {Case{kAnswerSize, kIpSize, true, kUidSize}, Case{kAnswerSize - 10, kIpSize, true, kUidSize - 10},
                         Case{kAnswerHeader + 84, kIpSize, false, 0}, Case{kAnswerHeader + 30, 30, false, 0}}) {
        SCOPED_TRACE(c.length);
        const auto answer = parseAnswer(full.data(), c.length);
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->ip.size(), c.ip);
        EXPECT_EQ(answer->mac.has_value(), c.mac);
        EXPECT_EQ(answer->uid.size(), c.uid);
    }
    EXPECT_FALSE(parseAnswer(full.data(), kAnswerHeader).has_value());
    EXPECT_FALSE(parseAnswer(nullptr, 0).has_value());
}

TEST(LanSearch, TwoCamerasOnLoopbackBothAnswerTheBroadcastProbe)
{
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("lumora-search-" + std::to_string(::getpid()));
    std::filesystem::remove(directory);
    deployment::setP2PDirectory(directory.string());
    char init[] = "TEST";
    PPCS_Initialize(init);

    const uint16_t port = freeUdpPort();
    ASSERT_NE(port, 0);
    std::vector<std::unique_ptr<camsim::CamSim>> cameras;
    std::map<std::string, bool> expected;
    for (const char* stem : {"HOWSEARCHA", "HOWSEARCHB"}) {
        camsim::CamSimOptions options;
        options.uid = std::string(stem) + std::to_string(::getpid() % 100000);
        options.password = "pw";
        options.transport = "cs2";
        options.searchPort = port;
        cameras.push_back(std::make_unique<camsim::CamSim>(options));
        std::string error;
        ASSERT_TRUE(cameras.back()->start(error)) << error;
        expected[options.uid] = false;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, SearchAnswer> answers;
    std::vector<int> sizes;
    int ends = 0;
    DevSearch search("127.255.255.255", port);
    search.Start(0, [&](int, int result, std::string, std::string, char* data, int) {
        std::lock_guard<std::mutex> lock(mutex);
        if (result < 0) {
            ++ends;
        } else if (auto answer = parseAnswer(data, result)) {
            sizes.push_back(result);
            answers[answer->uid] = *answer;
        }
        changed.notify_all();
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return answers.size() >= 2; }))
            << answers.size() << " camera(s) answered";
    }
    search.Cancel();
    {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return ends == 1; }));
        for (int size : sizes)
            EXPECT_EQ(size, kCamsimAnswerSize);
        ASSERT_EQ(answers.size(), 2u);
        for (const auto& [uid, answer] : answers) {
            ASSERT_TRUE(expected.count(uid)) << "unexpected UID " << uid;
            EXPECT_EQ(answer.ip, "127.0.0.1");
            ASSERT_TRUE(answer.mac.has_value());
            EXPECT_EQ(*answer.mac, macOf(uid));
        }
    }
    for (auto& camera : cameras)
        camera->stop();
    std::filesystem::remove(directory);
}

} // namespace
