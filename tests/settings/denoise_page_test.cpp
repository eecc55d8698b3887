// The noise reduction page against a camera: "IspDenoise.info" into the controls and back, the
// page closing once the settings went out, and the 3D values it refuses.
#include "SettingsPageSupport.h"
#include "settings/ProImgNoiseDlg.h"

#include "LangText.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kSet = 1440;
constexpr const char* kDoc = "IspDenoise.info";

class DenoisePageTest : public OneCameraPageTest<ProImgNoiseDlg> {};

TEST_F(DenoisePageTest, TheCamerasDocumentFillsTheControls)
{
    struct Row {
        const char* name;
        const char* document;
        bool on2d, on3d;
        const char* value;
    };
    const Row rows[] = {
        {"BothOn", R"({"En2DEntiNoise":true,"En3DEntiNoise":true,"Val3D":40})", true, true, "40"},
        {"NegativeValueShownAsIs", R"({"En2DEntiNoise":false,"En3DEntiNoise":true,"Val3D":-5})", false, true, "-5"},
        {"MissingReadsOffAndZero", R"({"En2DEntiNoise":true})", true, false, "0"},
        {"WrongTypesReadAsMissing", R"({"En2DEntiNoise":"yes","En3DEntiNoise":[true],"Val3D":"12"})", false, false, "0"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(ctl<QCheckBox>(&page, 1188)->isChecked(), row.on2d);
        EXPECT_EQ(ctl<QCheckBox>(&page, 1108)->isChecked(), row.on3d);
        EXPECT_EQ(ctl<QLineEdit>(&page, 1189)->text(), row.value);
    }
}

TEST_F(DenoisePageTest, OkSendsTheWholeDocumentAndClosesUnlessTheValueIsRefused)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"En2DEntiNoise":true,"En3DEntiNoise":false,"Val3D":40,"Val2D":32})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);

    // Refused values: a message, nothing sent, the page stays.
    const size_t before = sentCount(cam(), kSet);
    for (const char* typed : {"abc", "", "1.5", "99999999999"}) {
        SCOPED_TRACE(typed);
        messages.clear();
        ctl<QLineEdit>(&page, 1189)->setText(typed);
        ctl<QPushButton>(&page, 1)->click();
        EXPECT_EQ(messages.texts(), QStringList{LangText("Denoise", "ValNumber")});
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSet), before);
    EXPECT_TRUE(closing.isEmpty());

    messages.clear();
    ctl<QCheckBox>(&page, 1188)->setChecked(false);
    ctl<QCheckBox>(&page, 1108)->setChecked(true);
    ctl<QLineEdit>(&page, 1189)->setText("-5");
    ASSERT_EQ(savePage(page), 0);
    const Json::Value expected = json(R"({"En2DEntiNoise":false,"En3DEntiNoise":true,"Val3D":-5,"Val2D":32})");
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), expected);
    EXPECT_EQ(cam().document(kDoc), expected);
    EXPECT_EQ(closing.size(), 1);
    EXPECT_TRUE(messages.texts().isEmpty());

    EXPECT_EQ(saveTimedOut(page, cam(), kSet), -1);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});

    // A device that declines in "res" has failed too, though these pages tell only failures. (The
    // clock first passes the time in which a late answer to the silent request would be dropped.)
    expireRequests();
    messages.clear();
    ASSERT_TRUE(cam().decline({kSet}));
    EXPECT_EQ(savePage(page), 1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
    ASSERT_TRUE(cam().decline({}));
}

} // namespace
