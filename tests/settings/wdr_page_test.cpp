// The wide dynamic range page against a camera: "IspWdr.info" into the controls and back (the
// manual flag read as a truth value, sent as the integer 0 or 1), and the values it refuses.
#include "SettingsPageSupport.h"
#include "settings/ProImgWDRDlg.h"

#include "LangText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kSet = 1444;
constexpr const char* kDoc = "IspWdr.info";

class WdrPageTest : public OneCameraPageTest<ProImgWDRDlg> {};

TEST_F(WdrPageTest, TheCamerasDocumentFillsTheControls)
{
    struct Row {
        const char* name;
        const char* document;
        bool enabled;
        bool manual;
        const char* value;
    };
    const Row rows[] = {
        {"OnAutomatic", R"({"WdrEn":true,"WdrManEn":0,"WdrVal":128})", true, false, "128"},
        {"ManualAsTruthValue", R"({"WdrEn":false,"WdrManEn":true,"WdrVal":3})", false, true, "3"},
        {"NumbersAsTruthValues", R"({"WdrEn":1,"WdrManEn":2,"WdrVal":255})", true, true, "255"},
        {"MissingReadsOffAutomaticZero", R"({})", false, false, "0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(ctl<QCheckBox>(&page, 1186)->isChecked(), row.enabled);
        EXPECT_EQ(ctl<QRadioButton>(&page, 1107)->isChecked(), row.manual);
        EXPECT_EQ(ctl<QRadioButton>(&page, 1106)->isChecked(), !row.manual);
        EXPECT_EQ(ctl<QLineEdit>(&page, 1187)->text(), row.value);
    }
}

TEST_F(WdrPageTest, OkSendsTheWholeDocumentAndClosesUnlessTheValueIsRefused)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"WdrEn":1,"WdrManEn":false,"WdrVal":128,"WdrLevel":2})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);

    const size_t before = sentCount(cam(), kSet);
    for (const char* typed : {"256", "-1", "x", ""}) {
        SCOPED_TRACE(typed);
        messages.clear();
        ctl<QLineEdit>(&page, 1187)->setText(typed);
        ctl<QPushButton>(&page, 1)->click();
        EXPECT_EQ(messages.texts(), QStringList{LangText("WDRSet", "ValRange")});
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSet), before);
    EXPECT_TRUE(closing.isEmpty());

    messages.clear();
    ctl<QRadioButton>(&page, 1107)->click();
    ctl<QLineEdit>(&page, 1187)->setText("255");
    ASSERT_EQ(savePage(page), 0);
    const Json::Value expected = json(R"({"WdrEn":true,"WdrManEn":1,"WdrVal":255,"WdrLevel":2})");
    const Json::Value sent = lastSent(cam(), kSet, kDoc);
    EXPECT_EQ(sent, expected);
    EXPECT_TRUE(sent["WdrEn"].isBool());
    EXPECT_TRUE(sent["WdrManEn"].isInt() && !sent["WdrManEn"].isBool());
    EXPECT_EQ(closing.size(), 1);
    EXPECT_TRUE(messages.texts().isEmpty());

    ctl<QCheckBox>(&page, 1186)->setChecked(false);
    ctl<QRadioButton>(&page, 1106)->click();
    EXPECT_EQ(saveTimedOut(page, cam(), kSet), -1);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
}

} // namespace
