// The video encoder page against a real camera: the "VideoEncode" entries of the main and the sub
// stream into their lists and edits, the resolution as the pair the device lists, the kept
// document back with the edits (other streams and keys unchanged), and the range checks that stop
// a send.
#include "SettingsPageSupport.h"
#include "settings/CVideoSettingDlg.h"

#include "LangText.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

Json::Value parse(const std::string& text)
{
    Json::Value value;
    Json::CharReaderBuilder builder;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &value, &errors)) << text;
    return value;
}

QStringList items(QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

// A main-stream entry with these resolution options and current resolution.
Json::Value mainEntry(const std::string& options, const std::string& size, const std::string& more = "")
{
    return parse(R"({"EncCh":0,"Encode":"H.265","OpionEncode":["H.264","H.265"],"RateCtrl":1,"FrameRate":25,)"
                 R"("IFrame":50,"Bitrate":2048,"VideoResolutionOpt":)" +
                 options + "," + size + more + "}");
}

Json::Value documentOf(const Json::Value& entry)
{
    Json::Value doc;
    doc["VideoEncode"].append(entry);
    return doc;
}

class VideoSettingPageTest : public OneCameraPageTest<CVideoSettingDlg> {};

TEST_F(VideoSettingPageTest, ResolutionIsThePairTheDeviceLists)
{
    const std::string hd = R"([{"Width":1920,"Height":1080},{"Width":1280,"Height":720}])";
    const std::string twoWidths = R"([{"Width":1280,"Height":720},{"Width":1280,"Height":960}])";
    struct Case {
        const char* name;
        Json::Value entry;
        QStringList items;
        int selected;
        int sentWidth, sentHeight; // after OK with the selection as shown
    };
    const Case cases[] = {
        {"listed", mainEntry(hd, R"("Width":1280,"Height":720)"), {"1920 x 1080", "1280 x 720"}, 1, 1280, 720},
        {"same width, other height", mainEntry(twoWidths, R"("Width":1280,"Height":720)"), {"1280 x 720", "1280 x 960"}, 0,
         1280, 720},
        {"the second of two widths", mainEntry(twoWidths, R"("Width":1280,"Height":960)"), {"1280 x 720", "1280 x 960"}, 1,
         1280, 960},
        {"numbers as text", mainEntry(R"([{"Width":"1920","Height":"1080"},{"Width":"1280","Height":"720"}])", R"("Width":1280,"Height":720)"),
         {"1920 x 1080", "1280 x 720"}, 1, 1280, 720},
        {"no options", mainEntry("[]", R"("Width":704,"Height":576)"), {"704 x 576"}, 0, 704, 576},
        {"not listed", mainEntry(hd, R"("Width":1280,"Height":800)"), {"1920 x 1080", "1280 x 720", "1280 x 800"}, 2, 1280, 800},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(cam().setDocument("AVEnc.VideoEncode", documentOf(c.entry)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        auto* resolution = ctl<QComboBox>(&page, 1109);
        EXPECT_EQ(items(resolution), c.items);
        EXPECT_EQ(resolution->currentIndex(), c.selected);
        // A device with a main stream only: the sub stream's zeros do not stop the send.
        EXPECT_FALSE(ctl<QGroupBox>(&page, 1346)->isEnabled());
        ASSERT_EQ(savePage(page), 0);
        const Json::Value sent = lastSent(cam(), 1054, "AVEnc.VideoEncode")["VideoEncode"][0];
        EXPECT_EQ(sent["Width"], c.sentWidth);
        EXPECT_EQ(sent["Height"], c.sentHeight);
    }
    // Choosing another option sends that option's width and height together.
    ASSERT_TRUE(cam().setDocument("AVEnc.VideoEncode", documentOf(mainEntry(twoWidths, R"("Width":1280,"Height":720)"))));
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QComboBox>(&page, 1109)->setCurrentIndex(1);
    ASSERT_EQ(savePage(page), 0);
    const Json::Value sent = lastSent(cam(), 1054, "AVEnc.VideoEncode")["VideoEncode"][0];
    EXPECT_EQ(sent["Width"], 1280);
    EXPECT_EQ(sent["Height"], 960);
}

TEST_F(VideoSettingPageTest, StreamsFillTheirControlsAndComeBackEdited)
{
    Json::Value doc = parse(R"({"Extra":{"a":1},"VideoEncode":[
        {"EncCh":1,"Encode":"MJPEG","OpionEncode":["H.264","H.265"],"RateCtrl":2,"FrameRate":15,"IFrame":30,"Bitrate":512,
         "Width":640,"Height":360,"VideoResolutionOpt":[{"Width":640,"Height":360},{"Width":352,"Height":288}],"ViCh":0},
        {"EncCh":2,"Encode":"H.264","FrameRate":5},
        {"EncCh":0,"Encode":"H.265","OpionEncode":["H.264","H.265"],"RateCtrl":0,"FrameRate":25,"IFrame":50,"Bitrate":2048,
         "Width":1920,"Height":1080,"VideoResolutionOpt":[{"Width":1920,"Height":1080},{"Width":1280,"Height":720}],"ViCh":0}]})");
    ASSERT_TRUE(cam().setDocument("AVEnc.VideoEncode", doc));
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled());
    ASSERT_EQ(loadPage(page, cam()), 0);

    EXPECT_EQ(items(ctl<QComboBox>(&page, 1204)), QStringList({"H.264", "H.265"}));
    EXPECT_EQ(ctl<QComboBox>(&page, 1204)->currentText(), "H.265");
    EXPECT_EQ(ctl<QComboBox>(&page, 1232)->currentText(), "VBR");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1205)->text(), "50");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1206)->text(), "25");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1207)->text(), "2048");
    EXPECT_EQ(ctl<QComboBox>(&page, 1208)->currentIndex(), 0) << "an encoding not offered selects the first";
    EXPECT_EQ(ctl<QComboBox>(&page, 1233)->currentIndex(), -1) << "rate control 2 is neither VBR nor CBR";
    EXPECT_EQ(ctl<QLineEdit>(&page, 1210)->text(), "15") << "the entry of EncCh 2 shows nowhere";
    EXPECT_EQ(items(ctl<QComboBox>(&page, 1110)), QStringList({"640 x 360", "352 x 288"}));

    ctl<QComboBox>(&page, 1204)->setCurrentIndex(0);
    ctl<QComboBox>(&page, 1109)->setCurrentIndex(1);
    ctl<QComboBox>(&page, 1232)->setCurrentIndex(1);
    ctl<QLineEdit>(&page, 1205)->setText("100");
    ctl<QLineEdit>(&page, 1206)->setText("30");
    ctl<QLineEdit>(&page, 1207)->setText("4096");
    ctl<QLineEdit>(&page, 1210)->setText("1");
    ctl<QComboBox>(&page, 1110)->setCurrentIndex(1);
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    Json::Value expected = doc;
    Json::Value& sub = expected["VideoEncode"][0];
    sub["Encode"] = "H.264";
    sub["FrameRate"] = 1;
    sub["Width"] = 352;
    sub["Height"] = 288;
    // RateCtrl 2 had no item: it goes back as it came.
    Json::Value& main = expected["VideoEncode"][2];
    main["Encode"] = "H.264";
    main["Width"] = 1280;
    main["Height"] = 720;
    main["RateCtrl"] = 1;
    main["IFrame"] = 100;
    main["FrameRate"] = 30;
    main["Bitrate"] = 4096;
    EXPECT_EQ(lastSent(cam(), 1054, "AVEnc.VideoEncode"), expected);
}

TEST_F(VideoSettingPageTest, NumbersOutOfRangeSendNothing)
{
    ASSERT_TRUE(cam().setDocument("AVEnc.VideoEncode", parse(R"({"VideoEncode":[
        {"EncCh":0,"IFrame":50,"FrameRate":25,"Bitrate":2048,"Width":1280,"Height":720},
        {"EncCh":1,"IFrame":50,"FrameRate":25,"Bitrate":512,"Width":640,"Height":360}]})")));
    const QString main = LangText("VideoSet", "MainStream") + ", ";
    const QString sub = LangText("VideoSet", "SubStream") + ", ";
    const QString iFrame = LangText("VideoSet", "MainIDis");
    const QString rate = LangText("VideoSet", "MainFBR");
    const QString bits = LangText("VideoSet", "MainCBR");
    auto range = [](const QString& field, int low, int high) {
        return LangText("VideoSet", "RangeTip").arg(field).arg(low).arg(high);
    };
    struct Case {
        int edit;
        const char* typed;
        QString message;
    };
    const Case cases[] = {
        {1205, "0", range(main + iFrame, 1, 100)},
        {1205, "101", range(main + iFrame, 1, 100)},
        {1206, "0", range(main + rate, 1, 30)},
        {1206, "31", range(main + rate, 1, 30)},
        {1206, "", LangText("VideoSet", "NumberTip").arg(main + rate)},
        {1207, "2k", LangText("VideoSet", "NumberTip").arg(main + bits)},
        {1209, "-1", range(sub + iFrame, 1, 100)},
        {1210, "31", range(sub + rate, 1, 30)},
        {1211, "99999999999", LangText("VideoSet", "NumberTip").arg(sub + bits)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.edit);
        SCOPED_TRACE(c.typed);
        ASSERT_EQ(loadPage(page, cam()), 0);
        messages.clear();
        const size_t sets = sentCount(cam(), 1054);
        ctl<QLineEdit>(&page, c.edit)->setText(QString::fromLatin1(c.typed));
        ctl<QPushButton>(&page, 1)->click();
        settle(cam());
        EXPECT_EQ(messages.texts(), QStringList{c.message});
        EXPECT_EQ(sentCount(cam(), 1054), sets);
    }
    // The bounds themselves are good.
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QLineEdit>(&page, 1205)->setText("1");
    ctl<QLineEdit>(&page, 1206)->setText("30");
    ctl<QLineEdit>(&page, 1209)->setText("100");
    ctl<QLineEdit>(&page, 1210)->setText("1");
    ctl<QLineEdit>(&page, 1211)->setText("0");
    ASSERT_EQ(savePage(page), 0);
    const Json::Value sent = lastSent(cam(), 1054, "AVEnc.VideoEncode")["VideoEncode"];
    EXPECT_EQ(sent[0]["IFrame"], 1);
    EXPECT_EQ(sent[1]["FrameRate"], 1);
    EXPECT_EQ(sent[1]["Bitrate"], 0);
}

TEST_F(VideoSettingPageTest, RepliesOfOtherTypesNeitherThrowNorSendNull)
{
    struct Case {
        const char* name;
        const char* document;
        const char* sent; // after OK without edits
    };
    const Case cases[] = {
        {"no streams", R"({"Other":1})", R"({"Other":1})"},
        {"streams not an array", R"({"VideoEncode":{"EncCh":0}})", R"({"VideoEncode":{"EncCh":0}})"},
        {"entries of other types", R"({"VideoEncode":[3,"x",{"EncCh":"0","Width":5}]})",
         R"({"VideoEncode":[3,"x",{"EncCh":"0","Width":5}]})"},
        {"members of other types",
         R"({"VideoEncode":[{"EncCh":0,"OpionEncode":[7,"H.264"],"Encode":7,"VideoResolutionOpt":[{"Width":"wide","Height":[1]}],)"
         R"("Width":"x","Height":null,"RateCtrl":"1","FrameRate":"25","IFrame":true,"Bitrate":2.5}]})",
         R"({"VideoEncode":[{"EncCh":0,"OpionEncode":[7,"H.264"],"Encode":7,"VideoResolutionOpt":[{"Width":"wide","Height":[1]}],)"
         R"("Width":"x","Height":null,"RateCtrl":"1","FrameRate":1,"IFrame":1,"Bitrate":0}]})"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(cam().setDocument("AVEnc.VideoEncode", parse(c.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        // Edits that read 0 from the reply are out of range: give them good numbers.
        for (int id : {1205, 1206, 1209, 1210})
            ctl<QLineEdit>(&page, id)->setText("1");
        ASSERT_EQ(savePage(page), 0);
        EXPECT_EQ(lastSent(cam(), 1054, "AVEnc.VideoEncode"), parse(c.sent));
    }
}

} // namespace
