// The colour/black switch page against a camera: the camera's "IspPicColor.info" into the
// controls, the controls back into the whole document, the values it refuses, and its failure box.
#include "SettingsPageSupport.h"
#include "settings/CProImageSetDlg.h"

#include "LangText.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimeEdit>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kSet = 1432;
constexpr const char* kDoc = "IspPicColor.info";

class ImageSetPageTest : public OneCameraPageTest<CProImageSetDlg> {};

struct Shown {
    const char* name;
    const char* document;
    int mode; // list position, -1 none
    const char* level;
    const char* time;
    int checkedRadio;
    QTime start;
    QTime end;
};

TEST_F(ImageSetPageTest, TheCamerasDocumentFillsTheControls)
{
    // One page through all rows: a row whose times the pickers cannot show keeps the row before's.
    const Shown rows[] = {
        {"Full",
         R"({"Type":5,"SwitchLevel":60,"SwitchTime":-3,"TimerOpera":0,"Start":{"Hour":7,"Min":30,"Sec":5},"End":{"Hour":19,"Min":0,"Sec":0}})",
         5, "60", "-3", 1106, QTime(7, 30, 5), QTime(19, 0)},
        {"TimesOutOfRange",
         R"({"Type":1,"SwitchLevel":1,"SwitchTime":2,"TimerOpera":1,"Start":{"Hour":24,"Min":0,"Sec":0},"End":{"Hour":1,"Min":60,"Sec":0}})",
         1, "1", "2", 1107, QTime(7, 30, 5), QTime(19, 0)},
        {"ModeBeyondTheListAndAnyTimerValue", R"({"Type":8,"TimerOpera":5})", -1, "0", "0", 1107, QTime(0, 0), QTime(0, 0)},
        {"NegativeMode", R"({"Type":-1,"TimerOpera":0})", -1, "0", "0", 1106, QTime(0, 0), QTime(0, 0)},
        {"WrongTypesReadAsMissing", R"({"Type":"3","SwitchLevel":true,"Start":[1,2,3],"End":{"Hour":"5"}})", 0, "0", "0", 1106,
         QTime(0, 0), QTime(0, 0)},
    };
    for (const Shown& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(ctl<QComboBox>(&page, 1176)->currentIndex(), row.mode);
        EXPECT_EQ(ctl<QLineEdit>(&page, 1177)->text(), row.level);
        EXPECT_EQ(ctl<QLineEdit>(&page, 1178)->text(), row.time);
        EXPECT_TRUE(ctl<QRadioButton>(&page, row.checkedRadio)->isChecked());
        EXPECT_FALSE(ctl<QRadioButton>(&page, row.checkedRadio == 1106 ? 1107 : 1106)->isChecked());
        EXPECT_EQ(ctl<QTimeEdit>(&page, 1179)->time(), row.start);
        EXPECT_EQ(ctl<QTimeEdit>(&page, 1180)->time(), row.end);
    }
    // Every mode has its text, in both languages.
    ASSERT_EQ(ctl<QComboBox>(&page, 1176)->count(), 8);
    for (int i = 0; i < 8; ++i)
        EXPECT_FALSE(ctl<QComboBox>(&page, 1176)->itemText(i).isEmpty()) << i;
}

TEST_F(ImageSetPageTest, OkSendsTheWholeDocumentWithTheControlsValues)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"Type":2,"SwitchLevel":60,"SwitchTime":5,"TimerOpera":0,
        "Start":{"Hour":7,"Min":30,"Sec":0},"End":{"Hour":19,"Min":0,"Sec":0},"IrLedLevel":80})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    ctl<QComboBox>(&page, 1176)->setCurrentIndex(7);
    ctl<QLineEdit>(&page, 1177)->setText("255");
    ctl<QLineEdit>(&page, 1178)->setText("-7");
    ctl<QRadioButton>(&page, 1107)->click();
    ctl<QTimeEdit>(&page, 1179)->setTime(QTime(6, 0, 0));
    ctl<QTimeEdit>(&page, 1180)->setTime(QTime(18, 30, 15));
    ASSERT_EQ(savePage(page), 0);
    const Json::Value expected = json(R"({"Type":7,"SwitchLevel":255,"SwitchTime":-7,"TimerOpera":1,
        "Start":{"Hour":6,"Min":0,"Sec":0},"End":{"Hour":18,"Min":30,"Sec":15},"IrLedLevel":80})");
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), expected);
    EXPECT_EQ(cam().document(kDoc), expected);
    EXPECT_TRUE(messages.texts().isEmpty()) << "a set the camera took is not told";

    // A mode the list does not know goes back as the camera gave it, never as -1.
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"Type":9,"SwitchLevel":1,"SwitchTime":1,"TimerOpera":1})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(lastSent(cam(), kSet, kDoc)["Type"], 9);
}

struct Refused {
    const char* name;
    const char* level;
    const char* time;
    const char* message;
};

TEST_F(ImageSetPageTest, NumbersOutOfRangeAreRefusedAndFailuresTold)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"Type":2,"SwitchLevel":60,"SwitchTime":5,"TimerOpera":0})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    const Refused rows[] = {
        {"LevelAbove", "256", "5", "LevelRange"}, {"LevelNegative", "-1", "5", "LevelRange"},
        {"LevelNotANumber", "6o", "5", "LevelRange"}, {"LevelEmpty", "", "5", "LevelRange"},
        {"TimeNotWhole", "60", "1.5", "TimeNumber"}, {"TimeEmpty", "60", " ", "TimeNumber"},
    };
    const size_t before = sentCount(cam(), kSet);
    for (const Refused& row : rows) {
        SCOPED_TRACE(row.name);
        messages.clear();
        ctl<QLineEdit>(&page, 1177)->setText(row.level);
        ctl<QLineEdit>(&page, 1178)->setText(row.time);
        ctl<QPushButton>(&page, 1)->click();
        EXPECT_EQ(messages.texts(), QStringList{LangText("ImageSet", row.message)});
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSet), before);

    // A set the camera never answers is told with the device page's failure text.
    messages.clear();
    ctl<QLineEdit>(&page, 1177)->setText("0");
    ctl<QLineEdit>(&page, 1178)->setText("0");
    EXPECT_EQ(saveTimedOut(page, cam(), kSet), -1);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
    EXPECT_EQ(ctl<QLineEdit>(&page, 1177)->text(), "0") << "the user's values stay for another try";
}

} // namespace
