// The OSD page against a camera: "OsdCfg.info" into the name, the three check boxes and the
// preview's labels; drags in the preview giving device coordinates (twice the preview's); the
// kept document sent back with the edits, hidden labels keeping the device's own places.
#include "SettingsPageSupport.h"
#include "settings/COSDStatic.h"
#include "settings/ProOSDSetDlg.h"

#include "LangText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kGet = 1505;
constexpr int kSet = 1503;
constexpr const char* kDoc = "OsdCfg.info";
constexpr int kShowName = 1170, kShowTime = 1108, kShowRate = 1110;

// What the preview shows of one label.
struct Shown {
    bool shown;
    int x, y;
};

class OsdPageTest : public OneCameraPageTest<ProOSDSetDlg> {
protected:
    void SetUp() override
    {
        OneCameraPageTest<ProOSDSetDlg>::SetUp();
        page.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
    }
    COSDStatic* preview() { return ctl<COSDStatic>(&page, 1169); }
    void expectLabel(int item, Shown want)
    {
        SCOPED_TRACE(item);
        EXPECT_EQ(preview()->itemShown(item), want.shown);
        EXPECT_EQ(preview()->itemBox(item), QRect(want.x, want.y, 80, 20));
    }
    // Presses at from, moves through to and releases there, as a user's drag. (QTest takes the
    // point (0, 0) for the widget's centre: rows avoid it.)
    void drag(QPoint from, QPoint to)
    {
        QTest::mousePress(preview(), Qt::LeftButton, {}, from);
        QTest::mouseMove(preview(), (from + to) / 2);
        QTest::mouseMove(preview(), to);
        QTest::mouseRelease(preview(), Qt::LeftButton, {}, to);
    }
};

TEST_F(OsdPageTest, TheCamerasDocumentFillsTheFormAndPlacesTheLabels)
{
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled()) << "nothing to send before the camera answered";
    EXPECT_EQ(preview()->size(), QSize(352, 288));
    struct Row {
        const char* name;
        const char* document;
        const char* text;
        bool name_, time, rate;
        Shown nameLabel, timeLabel, rateLabel;
    };
    const Row rows[] = {
        {"AllShownHalved",
         R"({"OsdNameInfo":{"NameText":"Gate","NameConf":{"Enable":true,"Xcord":101,"Ycord":-3}},
             "OsdDateInfo":{"Enable":1,"Xcord":400,"Ycord":24},"OsdRateInfo":{"Enable":true,"Xcord":702,"Ycord":574}})",
         "Gate", true, true, true, {true, 50, -1}, {true, 200, 12}, {true, 351, 287}},
        {"OffLabelsHiddenAtTheDevicesPlace",
         R"({"OsdNameInfo":{"NameText":"\u524d\u95e8","NameConf":{"Enable":false,"Xcord":10,"Ycord":20}},
             "OsdDateInfo":{"Enable":0,"Xcord":401,"Ycord":77},"OsdRateInfo":{"Xcord":6}})",
         "\u524d\u95e8", false, false, false, {false, 5, 10}, {false, 200, 38}, {false, 3, 0}},
        {"WrongTypesReadAsMissing",
         R"({"OsdNameInfo":"Gate","OsdDateInfo":{"Enable":"yes","Xcord":"40","Ycord":8},
             "OsdRateInfo":[1,2]})",
         "", false, false, false, {false, 0, 0}, {false, 0, 4}, {false, 0, 0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(ctl<QLineEdit>(&page, 1168)->text(), QString::fromUtf8(row.text));
        EXPECT_EQ(ctl<QCheckBox>(&page, kShowName)->isChecked(), row.name_);
        EXPECT_EQ(ctl<QCheckBox>(&page, kShowTime)->isChecked(), row.time);
        EXPECT_EQ(ctl<QCheckBox>(&page, kShowRate)->isChecked(), row.rate);
        expectLabel(COSDStatic::Name, row.nameLabel);
        expectLabel(COSDStatic::Time, row.timeLabel);
        expectLabel(COSDStatic::Rate, row.rateLabel);
        EXPECT_TRUE(ctl<QPushButton>(&page, 1)->isEnabled());
    }
    EXPECT_EQ(lastSent(cam(), kGet, "OsdGetCfg.info"), json(R"({"Vich":0})")) << "the OSD of video channel 0 is asked for";
}

TEST_F(OsdPageTest, OkSendsTheKeptDocumentWithTheLabelsAtTwiceTheirPlaces)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"Vich":0,"OsdNameInfo":{"NameText":"Gate","Color":3,
        "NameConf":{"Enable":true,"Xcord":101,"Ycord":-3}},"OsdDateInfo":{"Enable":false,"Xcord":401,"Ycord":77,"Fmt":2},
        "OsdRateInfo":{"Enable":0}})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QLineEdit>(&page, 1168)->setText(QString::fromUtf8("\u524d\u95e8 1"));
    ASSERT_EQ(savePage(page), 0);
    // The name is sent where the preview holds it (odd numbers round down); the hidden date keeps
    // the device's exact place; the rate, never placed anywhere, goes to the corner.
    const Json::Value expected = json(R"({"Vich":0,"OsdNameInfo":{"NameText":"\u524d\u95e8 1","Color":3,
        "NameConf":{"Enable":1,"Xcord":100,"Ycord":-2}},"OsdDateInfo":{"Enable":0,"Xcord":401,"Ycord":77,"Fmt":2},
        "OsdRateInfo":{"Enable":0,"Xcord":0,"Ycord":0}})");
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), expected);
    EXPECT_EQ(cam().document(kDoc), expected);
    EXPECT_EQ(lastSent(cam(), kSet, kDoc)["OsdNameInfo"]["NameText"].asString(), "\xe5\x89\x8d\xe9\x97\xa8 1") << "UTF-8";
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    // Members of the wrong type are replaced by objects on the way out, never indexed.
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"OsdNameInfo":"Gate","OsdDateInfo":[1],"OsdRateInfo":7})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QCheckBox>(&page, kShowRate)->setChecked(true);
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), json(R"({"OsdNameInfo":{"NameText":"","NameConf":{"Enable":0,"Xcord":0,"Ycord":0}},
        "OsdDateInfo":{"Enable":0,"Xcord":0,"Ycord":0},"OsdRateInfo":{"Enable":1,"Xcord":0,"Ycord":0}})"));

    cam().decline({kSet});
    messages.clear();
    EXPECT_EQ(savePage(page), 1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Fail")});
    cam().decline({});
}

TEST_F(OsdPageTest, DraggingALabelMovesItsCornerToThePointer)
{
    // Name at (10,10), time overlapping it at (50,20), rate hidden at (100,100) in the preview.
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"OsdNameInfo":{"NameText":"Gate","NameConf":{"Enable":true,"Xcord":20,"Ycord":20}},
        "OsdDateInfo":{"Enable":true,"Xcord":100,"Ycord":40},"OsdRateInfo":{"Enable":false,"Xcord":200,"Ycord":200}})")));
    struct Row {
        const char* name;
        bool tickRate;       // tick the rate's box before the drag
        QPoint from, to;
        Shown nameLabel, timeLabel, rateLabel;
        int nameX, nameY, timeX, timeY, rateX, rateY; // device coordinates sent
    };
    const Row rows[] = {
        {"NameToAPoint", false, {15, 15}, {30, 40}, {true, 30, 40}, {true, 50, 20}, {false, 100, 100}, 60, 80, 100, 40, 200, 200},
        {"OverlapTakesTheNameFirst", false, {60, 25}, {2, 0}, {true, 2, 0}, {true, 50, 20}, {false, 100, 100}, 4, 0, 100, 40, 200, 200},
        {"TimeOutsideTheName", false, {95, 35}, {120, 200}, {true, 10, 10}, {true, 120, 200}, {false, 100, 100}, 20, 20, 240, 400, 200, 200},
        {"RightEdgeOfABoxIsOutside", false, {90, 15}, {5, 5}, {true, 10, 10}, {true, 50, 20}, {false, 100, 100}, 20, 20, 100, 40, 200, 200},
        {"HiddenLabelIsNotTaken", false, {110, 110}, {5, 5}, {true, 10, 10}, {true, 50, 20}, {false, 100, 100}, 20, 20, 100, 40, 200, 200},
        {"TickedLabelShowsAtTheDevicesPlace", true, {110, 110}, {351, 287}, {true, 10, 10}, {true, 50, 20}, {true, 351, 287}, 20, 20, 100, 40, 702, 574},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(loadPage(page, cam()), 0);
        if (row.tickRate) {
            ctl<QCheckBox>(&page, kShowRate)->setChecked(true);
            expectLabel(COSDStatic::Rate, {true, 100, 100});
        }
        drag(row.from, row.to);
        EXPECT_EQ(preview()->draggedItem(), -1) << "the release ends the drag";
        expectLabel(COSDStatic::Name, row.nameLabel);
        expectLabel(COSDStatic::Time, row.timeLabel);
        expectLabel(COSDStatic::Rate, row.rateLabel);
        ASSERT_EQ(savePage(page), 0);
        const Json::Value sent = lastSent(cam(), kSet, kDoc);
        EXPECT_EQ(sent["OsdNameInfo"]["NameConf"]["Xcord"], row.nameX);
        EXPECT_EQ(sent["OsdNameInfo"]["NameConf"]["Ycord"], row.nameY);
        EXPECT_EQ(sent["OsdDateInfo"]["Xcord"], row.timeX);
        EXPECT_EQ(sent["OsdDateInfo"]["Ycord"], row.timeY);
        EXPECT_EQ(sent["OsdRateInfo"]["Xcord"], row.rateX);
        EXPECT_EQ(sent["OsdRateInfo"]["Ycord"], row.rateY);
        // Put the camera's document back for the next row.
        ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"OsdNameInfo":{"NameText":"Gate","NameConf":{"Enable":true,"Xcord":20,"Ycord":20}},
            "OsdDateInfo":{"Enable":true,"Xcord":100,"Ycord":40},"OsdRateInfo":{"Enable":false,"Xcord":200,"Ycord":200}})")));
    }

    // A hidden label the user dragged while it was shown sends where it was left.
    ASSERT_EQ(loadPage(page, cam()), 0);
    drag({12, 12}, {70, 90});
    ctl<QCheckBox>(&page, kShowName)->setChecked(false);
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(lastSent(cam(), kSet, kDoc)["OsdNameInfo"]["NameConf"], json(R"({"Enable":0,"Xcord":140,"Ycord":180})"));
}

} // namespace
