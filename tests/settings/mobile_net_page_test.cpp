// The mobile network switch against a camera: "enable" of "Net.Mobile" into the two choices and
// back in the whole document, the outcome told, and nothing sent that the user did not choose.
#include "SettingsPageSupport.h"
#include "settings/CMobileNetDlg.h"

#include "LangText.h"

#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kGet = 1046;
constexpr int kSet = 1044;
constexpr const char* kDoc = "Net.Mobile";

class MobileNetPageTest : public OneCameraPageTest<CMobileNetDlg> {
protected:
    bool on() { return ctl<QRadioButton>(&page, 1106)->isChecked(); }
    bool off() { return ctl<QRadioButton>(&page, 1107)->isChecked(); }
};

TEST_F(MobileNetPageTest, TheCamerasSwitchIsShownAndAnUnreadableOneIsNotGuessed)
{
    struct Row {
        const char* name;
        const char* document;
        bool on, off;
    };
    const Row rows[] = {
        {"True", R"({"enable":true})", true, false},   {"One", R"({"enable":1})", true, false},
        {"False", R"({"enable":false})", false, true}, {"Zero", R"({"enable":0})", false, true},
        {"Missing", R"({"Apn":"net"})", false, true},  {"Text", R"({"enable":"yes"})", false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(on(), row.on);
        EXPECT_EQ(off(), row.off);
    }
    // Neither chosen: OK asks for a choice and sends nothing, so no guess cuts the link.
    QSignalSpy closing(&page, &DevicePage::closeRequested);
    const size_t before = sentCount(cam(), kSet);
    ctl<QPushButton>(&page, 1)->click();
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSet), before);
    EXPECT_EQ(messages.texts(), QStringList{LangText("MobileNet", "Choose")});
    EXPECT_TRUE(closing.isEmpty());
}

TEST_F(MobileNetPageTest, OkSendsTheWholeDocumentAndTellsTheOutcome)
{
    CMobileNetDlg fresh;
    cam().mute({kGet});
    fresh.load(SettingsCameras::uid(0));
    EXPECT_FALSE(ctl<QPushButton>(&fresh, 1)->isEnabled()) << "nothing is sent before the device answered";
    cam().mute({});

    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"enable":true,"Apn":"internet","Signal":23})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);
    ctl<QRadioButton>(&page, 1107)->click();
    ASSERT_EQ(savePage(page), 0);
    const Json::Value expected = json(R"({"enable":false,"Apn":"internet","Signal":23})");
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), expected);
    EXPECT_EQ(cam().document(kDoc), expected);
    EXPECT_EQ(closing.size(), 1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    // A set the device declines is told, not swallowed.
    messages.clear();
    cam().decline({kSet});
    ctl<QRadioButton>(&page, 1106)->click();
    EXPECT_NE(savePage(page), 0);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Fail")});
    EXPECT_EQ(cam().document(kDoc), expected);
}

} // namespace
