// The preset-list, colour and add replies as the panel and the dialog read them.
#include "CaseName.h"
#include "liveview/PtzReply.h"

#include <gtest/gtest.h>
#include <string>

namespace {

struct ListCase {
    const char* name;
    const char* text;
    bool accepted;
    int pointsCount;
    std::vector<std::pair<int, int>> idsAndIndexes;
};

class PresetListReplyTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(PresetListReplyTest, ReadsIdsNamesAndIndexes)
{
    const ListCase& c = GetParam();
    const std::string text = c.text;
    const auto reply = ParsePresetListReply(text.data(), text.size());
    ASSERT_EQ(reply.has_value(), c.accepted);
    if (!reply)
        return;
    EXPECT_EQ(reply->pointsCount, c.pointsCount);
    std::vector<std::pair<int, int>> got;
    for (const PresetPoint& p : reply->points)
        got.emplace_back(p.bitId, p.index);
    EXPECT_EQ(got, c.idsAndIndexes);
}

INSTANTIATE_TEST_SUITE_P(
    Ptz, PresetListReplyTest,
    ::testing::Values(
        ListCase{"TwoPoints",
                 R"({"PrePointList.info":{"PointsCount":2,"Points":[{"PtzPreBit.info":{"BitID":3,"Desc":"Door"}},)"
                 R"({"PtzPreBit.info":{"BitID":7}}]}})",
                 true, 2, {{3, 0}, {7, 1}}},
        ListCase{"PointWithoutIdSkipped",
                 R"({"PrePointList.info":{"Points":[{"PtzPreBit.info":{"Desc":"x"}},{"PtzPreBit.info":{"BitID":5}},)"
                 R"({"PtzPreBit.info":{"BitID":"6"}},7,{"PtzPreBit.info":{"BitID":9}}]}})",
                 true, 0, {{5, 1}, {9, 4}}},
        ListCase{"NoPoints", R"({"PrePointList.info":{"PointsCount":0}})", true, 0, {}},
        ListCase{"PointsNotAnArray", R"({"PrePointList.info":{"Points":{"a":1}}})", true, 0, {}},
        ListCase{"OtherDocument", R"({"CamCfg.info":{}})", false, 0, {}},
        ListCase{"NotAnObject", R"([1,2])", false, 0, {}}, ListCase{"Cut", R"({"PrePointList.info":)", false, 0, {}},
        ListCase{"Empty", "", false, 0, {}},
        ListCase{"TooDeep", R"({"PrePointList.info":{"Points":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]}})",
                 false, 0, {}}),
    lumora::test::CaseName{});

TEST(PtzReplies, ColourReplyKeepsTheWholeObject)
{
    const std::string text = R"({"CamCfg.info":{"Brightness":1,"Saturtion":2,"Hue":3}})";
    const auto colours = ParseColourReply(text.data(), text.size());
    ASSERT_TRUE(colours.has_value());
    EXPECT_EQ(colours->getMemberNames(), (std::vector<std::string>{"Brightness", "Hue", "Saturtion"}));
    for (const char* bad : {"", "{}", R"({"CamCfg.info":5})", "not json"})
        EXPECT_FALSE(ParseColourReply(bad, std::string(bad).size()).has_value()) << bad;
}

TEST(PtzReplies, AddReplyNamesItsIdWhenItSays)
{
    const std::string named = R"({"ret":0,"PtzPreBit.info":{"BitID":12,"Desc":"x"}})";
    EXPECT_EQ(ParsePresetAddReply(named.data(), named.size()), 12);
    const std::string bare = R"({"ret":0})";
    EXPECT_FALSE(ParsePresetAddReply(bare.data(), bare.size()).has_value());
    EXPECT_FALSE(ParsePresetAddReply(nullptr, 0).has_value());
}

} // namespace
