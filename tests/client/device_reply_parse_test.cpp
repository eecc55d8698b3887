// The readers of bytes a camera sends: the LAN search answer (read with bounds) and the alarm
// event document.
#include "AlarmReport.h"
#include "CaseName.h"
#include "DevSearchReply.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A full answer: header, IP, MAC, UID, hardware and software versions.
std::vector<char> answer(std::size_t size)
{
    std::vector<char> d(size, 0);
    const char header[4] = {0x44, 0x48, 0x01, 0x02};
    std::memcpy(d.data(), header, std::min<std::size_t>(4, size));
    auto put = [&](std::size_t offset, const std::string& text) {
        for (std::size_t i = 0; i < text.size() && 4 + offset + i < size; ++i)
            d[4 + offset + i] = text[i];
    };
    put(0, "192.168.1.20");
    const unsigned char mac[6] = {0x00, 0x1a, 0xB2, 0x03, 0xfe, 0x10};
    for (std::size_t i = 0; i < 6 && 4 + 80 + i < size; ++i)
        d[4 + 80 + i] = static_cast<char>(mac[i]);
    put(88, "CAM'01\"X");
    put(152, "HW2");
    put(168, "V3.4.5");
    return d;
}

struct ReplyCase {
    std::string name;
    std::size_t size;
    std::string ip, mac, uid, hardware, software;
};
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

class SearchReplyRead : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(SearchReplyRead, ReadsEachFieldWithinTheDatagram)
{
    const ReplyCase& c = GetParam();
    const std::vector<char> d = answer(c.size);
    const auto reply = ParseDevSearchReply(d.data(), d.size());
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->ip, c.ip);
    EXPECT_EQ(reply->mac, c.mac);
    EXPECT_EQ(reply->uid, c.uid);
    EXPECT_EQ(reply->hardware, c.hardware);
    EXPECT_EQ(reply->software, c.software);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, SearchReplyRead,
    ::testing::Values(ReplyCase{"whole", 4 + 200, "192.168.1.20", "00:1a:b2:03:fe:10", "CAM'01\"X", "HW2", "V3.4.5"},
                      ReplyCase{"endsInSoftware", 4 + 171, "192.168.1.20", "00:1a:b2:03:fe:10", "CAM'01\"X", "HW2", "V3."},
                      ReplyCase{"withoutVersions", 4 + 152, "192.168.1.20", "00:1a:b2:03:fe:10", "CAM'01\"X", "", ""},
                      ReplyCase{"endsInUid", 4 + 91, "192.168.1.20", "00:1a:b2:03:fe:10", "CAM", "", ""},
                      ReplyCase{"endsInMac", 4 + 83, "192.168.1.20", "00:1a:b2:00:00:00", "", "", ""},
                      ReplyCase{"endsInIp", 4 + 5, "192.1", "00:00:00:00:00:00", "", "", ""},
                      ReplyCase{"headerOnly", 4, "", "00:00:00:00:00:00", "", "", ""}),
    CaseName());

TEST(SearchReplyBounds, FieldsWithoutTerminatorStopAtTheirSize)
{
    std::vector<char> d(512, 'A');
    const auto reply = ParseDevSearchReply(d.data(), d.size());
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->ip.size(), 80u);
    EXPECT_EQ(reply->uid.size(), 64u);
    EXPECT_EQ(reply->hardware.size(), 16u);
    EXPECT_EQ(reply->software.size(), 512u - 4 - 168);
    // Bytes past the 512 the SDK receives are not read.
    std::vector<char> big(4096, 'B');
    EXPECT_EQ(ParseDevSearchReply(big.data(), big.size())->software.size(), 512u - 4 - 168);
}

TEST(SearchReplyBounds, ShorterThanTheHeaderIsRefused)
{
    const char d[3] = {1, 2, 3};
    EXPECT_FALSE(ParseDevSearchReply(d, 3).has_value());
    EXPECT_FALSE(ParseDevSearchReply(nullptr, 100).has_value());
}

struct AlarmCase {
    std::string name;
    std::string json;
    bool parses;
    int state;
    std::string time;
};
void PrintTo(const AlarmCase& c, std::ostream* os) { *os << c.name; }

class AlarmDocument : public ::testing::TestWithParam<AlarmCase> {};

TEST_P(AlarmDocument, GivesStateAndTimeText)
{
    const AlarmCase& c = GetParam();
    const auto report = ParseAlarmReport(c.json.data(), c.json.size());
    ASSERT_EQ(report.has_value(), c.parses);
    if (!report)
        return;
    EXPECT_EQ(report->state, c.state);
    EXPECT_EQ(report->raised(), c.state == 1);
    EXPECT_EQ(report->timeText(), c.time);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, AlarmDocument,
    ::testing::Values(
        AlarmCase{"raised",
                  R"({"AlarmReport.info":{"AlarmType":1,"AlarmSta":1,"AlarmTime":{"Sec":5,"Min":4,"Hour":3},)"
                  R"("AlarmDate":{"Day":9,"Mon":12,"Year":2026}}})",
                  true, 1, "2026-12-09 03:04:05"},
        AlarmCase{"cleared", R"({"AlarmReport.info":{"AlarmSta":0,"AlarmDate":{"Day":1,"Mon":2,"Year":2025}}})", true, 0,
                  "2025-02-01 00:00:00"},
        AlarmCase{"missingSeconds",
                  R"({"AlarmReport.info":{"AlarmSta":1,"AlarmTime":{"Min":30,"Hour":23},"AlarmDate":{"Day":31,"Mon":1,"Year":2027}}})",
                  true, 1, "2027-01-31 23:30:00"},
        AlarmCase{"wrongTypes", R"({"AlarmReport.info":{"AlarmSta":"1","AlarmTime":[1,2],"AlarmDate":7}})", true, 0,
                  "0000-00-00 00:00:00"},
        AlarmCase{"noReport", R"({"Other":{}})", true, 0, "0000-00-00 00:00:00"},
        AlarmCase{"notAnObject", "[1,2,3]", false, 0, ""}, AlarmCase{"notJson", "alarm!", false, 0, ""},
        AlarmCase{"empty", "", false, 0, ""},
        AlarmCase{"nestedPastTheLimit", std::string(65, '[') + std::string(65, ']'), false, 0, ""},
        AlarmCase{"reportNestedPastTheLimit",
                  R"({"AlarmReport.info":{"AlarmSta":1,"AlarmTime":)" + std::string(100, '[') + std::string(100, ']') + "}}",
                  false, 0, ""}),
    CaseName());

} // namespace
