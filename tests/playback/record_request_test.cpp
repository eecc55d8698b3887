// The record-file documents byte for byte, the readers of the device's record answers (path,
// count, pages) on good and bad input, and the length of a recording from its name.
#include "RecordFileRequest.h"

#include <gtest/gtest.h>

namespace {

using namespace RecordFileRequest;

TEST(RecordFileDocument, EachOperationAsTheDeviceReadsIt)
{
    struct Case {
        const char* name;
        std::string text;
        const char* expected;
    };
    const std::string path = "/mnt/s0/media/sensor0/20261210/10/100000-100059.h264";
    for (const Case& c : {Case{"play", Build(kPlay, path, "CAM1"),
                               "{\"op\":0,\"p\":\"/mnt/s0/media/sensor0/20261210/10/100000-100059.h264\",\"sh\":0,\"si\":0,"
                               "\"sl\":0,\"t\":\"CAM1\"}\n"},
                          Case{"end", Build(kEnd, "", "CAM1"), "{\"op\":6,\"p\":\"\",\"sh\":0,\"si\":0,\"sl\":0,\"t\":\"CAM1\"}\n"},
                          Case{"pause", Build(kPause, "/a", "C"), "{\"op\":20,\"p\":\"/a\",\"sh\":0,\"si\":0,\"sl\":0,\"t\":\"C\"}\n"},
                          Case{"seek", Build(kSeek, "/a", "C", SeekMicroseconds(3600)),
                               "{\"op\":8,\"p\":\"/a\",\"sh\":0,\"si\":0,\"sl\":0,\"stm\":3600000000,\"t\":\"C\"}\n"},
                          Case{"download", Build(kDownload, "/a/b.h264", "C", std::nullopt, "b.h264"),
                               "{\"n\":\"b.h264\",\"op\":10,\"p\":\"/a/b.h264\",\"sh\":0,\"si\":0,\"sl\":0,\"t\":\"C\"}\n"},
                          Case{"list", ListRequest("/r/20261210/"), "{\"e\":240000,\"m\":1,\"p\":\"/r/20261210/\",\"si\":0,\"st\":0}\n"},
                          Case{"page", PageRequest("/r/d/10", 40, 5), "{\"c\":5,\"p\":\"/r/d/10\",\"s\":40}\n"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.text, c.expected);
    }
}

TEST(RecordFileDocument, SeekPositionsBeyondThirtyTwoBitsOfMicroseconds)
{
    // 4295 s is the first whole second past 2^32 microseconds.
    EXPECT_EQ(SeekMicroseconds(4295), 4295000000ull);
    EXPECT_EQ(SeekMicroseconds(86400), 86400000000ull);
    EXPECT_EQ(SeekMicroseconds(UINT32_MAX), 4294967295000000ull);
    EXPECT_NE(Build(kSeek, "/a", "C", SeekMicroseconds(86400)).find("\"stm\":86400000000,"), std::string::npos);
}

TEST(RecordAnswers, RecordPath)
{
    struct Case {
        const char* text;
        std::optional<std::string> path;
    };
    for (const Case& c : {Case{R"({"Rec.Conf":{"DiskInfo":{"Path":"/mnt/s0/media/sensor0"}}})", "/mnt/s0/media/sensor0"},
                          Case{R"({"ret":0,"Rec.Conf":{"DiskInfo":{"Path":"/sd"}}})", "/sd"},
                          Case{R"({"Rec.Conf":{"DiskInfo":{}}})", ""}, Case{R"({"Rec.Conf":7})", std::nullopt},
                          Case{R"({"ret":-1})", std::nullopt}, Case{R"({"ret":-1,"Rec.Conf":{"DiskInfo":{"Path":"/sd"}}})", std::nullopt},
                          Case{R"({"Rec.Conf":{"DiskInfo":{"Path":12}}})", ""}, Case{"", std::nullopt},
                          Case{"{\"Rec.Conf\":", std::nullopt}, Case{"[1,2]", std::nullopt}, Case{"\"text\"", std::nullopt}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseRecordPath(c.text), c.path);
    }
}

TEST(RecordAnswers, ListCount)
{
    struct Case {
        const char* text;
        std::optional<int> count;
    };
    for (const Case& c : {Case{R"({"li":{"n":45}})", 45}, Case{R"({"li":{"n":"12"}})", 12}, Case{R"({"li":{"n":-3}})", -3},
                          Case{R"({"li":{}})", 0}, Case{R"({"li":[1]})", std::nullopt}, Case{R"({"li":{"n":1e30}})", 0},
                          Case{R"({"ret":-1})", std::nullopt}, Case{R"({"ret":"1","li":{"n":4}})", std::nullopt},
                          Case{R"({"li":{"n":99999999999}})", INT32_MAX}, Case{"", std::nullopt}, Case{"{", std::nullopt}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ParseListCount(c.text), c.count);
    }
}

TEST(RecordAnswers, RecordFileAnswerAcceptsOrRefuses)
{
    struct Case {
        int result;
        const char* text;
        bool accepted;
    };
    for (const Case& c : {Case{0, R"({"ret":0})", true}, Case{0, "", true}, Case{0, "{", true}, Case{0, R"({"ret":-1})", false},
                          Case{-1, R"({"ret":0})", false}, Case{-11, "", false}, Case{0, R"({"ret":"2"})", false}}) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Accepted(c.result, c.text), c.accepted);
    }
}

TEST(RecordAnswers, PageEntriesInOrderWithTheirSizeValue)
{
    const std::vector<PageEntry> entries =
        ParsePage(R"({"dir":{"l":[{"n":"a.h264","sh":2,"sl":5},{"sh":1},{"n":"b","sh":"3","sl":1},7,{"n":"big","sh":16777216,"sl":0}]}})");
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[0].name, "a.h264");
    EXPECT_EQ(entries[0].value, 517);
    EXPECT_EQ(entries[1].name, "");
    EXPECT_EQ(entries[1].value, 256);
    EXPECT_EQ(entries[2].value, 769);
    EXPECT_EQ(entries[3].name, ""); // not an object: an empty entry
    // 16777216 x 256 wraps in 32 bits.
    EXPECT_EQ(entries[4].value, 0);
    for (const char* bad : {"", "{}", R"({"ret":-1,"dir":{"l":[{"n":"a"}]}})", R"({"dir":{}})", R"({"dir":{"l":{}}})", R"({"dir":{"l":[]}})", "{\"dir\":"})
        EXPECT_TRUE(ParsePage(bad).empty()) << bad;
}

TEST(RecordLengthFromName, EndMinusStart)
{
    struct Case {
        const char* name;
        int seconds;
    };
    for (const Case& c : {Case{"120000-123000.h264", 1800}, Case{"080000-080010.h264", 10}, Case{"235959-000001", -86398},
                          Case{"100000", 0}, Case{"-100000", 0}, Case{"", 0}, Case{"1a0000-100000", 32400},
                          Case{"100000-xx", -36000}, Case{"1-2", 3601}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RecordLength(c.name), c.seconds);
    }
}

} // namespace
