// The colour adjustment page against a camera: the sliders from "CamCfg.info", OK sending the
// whole document, and the defaults button, the only sender of "SetDefault".
#include "SettingsPageSupport.h"
#include "settings/ProImgColorSetDlg.h"

#include "LangText.h"

#include <QFile>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kGet = 1496;
constexpr int kSet = 1494;
constexpr const char* kDoc = "CamCfg.info";
constexpr int kBrightness = 1190, kSaturation = 1191, kSharpness = 1192, kContrast = 1193, kChroma = 1194;

class ColorAdjustPageTest : public OneCameraPageTest<ProImgColorSetDlg> {
protected:
    int slider(int id) { return ctl<QSlider>(&page, id)->value(); }
};

TEST_F(ColorAdjustPageTest, TheCamerasDocumentMovesTheSliders)
{
    struct Row {
        const char* name;
        const char* document;
        int brightness, saturation, sharpness, contrast, chroma;
    };
    const Row rows[] = {
        {"Values", R"({"Brightness":10,"Saturtion":20,"Acutance":30,"Contrast":40,"Chroma":50})", 10, 20, 30, 40, 50},
        {"BeyondTheRangeStopsAtItsEnds", R"({"Brightness":300,"Saturtion":-4,"Acutance":255,"Contrast":0,"Chroma":1})", 255, 0,
         255, 0, 1},
        {"MissingOrWrongTypeReadsZero", R"({"Brightness":"9","Contrast":40})", 0, 0, 0, 40, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        ASSERT_EQ(loadPage(page, cam()), 0);
        EXPECT_EQ(slider(kBrightness), row.brightness);
        EXPECT_EQ(slider(kSaturation), row.saturation);
        EXPECT_EQ(slider(kSharpness), row.sharpness);
        EXPECT_EQ(slider(kContrast), row.contrast);
        EXPECT_EQ(slider(kChroma), row.chroma);
    }
    EXPECT_EQ(lastSent(cam(), kGet, kDoc), json(R"({"ViCh":0})")) << "the colours of video channel 0 are asked for";
}

TEST_F(ColorAdjustPageTest, OkSendsTheSlidersInTheWholeDocumentAndNeverSetDefault)
{
    // A camera that echoes the flag in its answer must not be reset by OK.
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"ViCh":0,"Brightness":100,"Saturtion":100,"Acutance":100,
        "Contrast":100,"Chroma":100,"Hue":50,"SetDefault":true})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);
    ctl<QSlider>(&page, kBrightness)->setValue(1);
    ctl<QSlider>(&page, kChroma)->setValue(254);
    ASSERT_EQ(savePage(page), 0);
    const Json::Value expected =
        json(R"({"ViCh":0,"Brightness":1,"Saturtion":100,"Acutance":100,"Contrast":100,"Chroma":254,"Hue":50})");
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), expected);
    EXPECT_EQ(cam().document(kDoc), expected);
    EXPECT_TRUE(closing.isEmpty()) << "OK leaves the page open";
    EXPECT_TRUE(messages.texts().isEmpty());

    EXPECT_EQ(saveTimedOut(page, cam(), kSet), -1);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
}

TEST_F(ColorAdjustPageTest, DefaultsSendTheKeptValuesWithTheFlagOnceAndClose)
{
    QFile file(QStringLiteral(LUMORA_SOURCE_DIR "/tools/camsim/defaults/CamCfg.info.json"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const Json::Value factory = json(file.readAll().constData());
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"ViCh":0,"Brightness":10,"Saturtion":20,"Acutance":30,"Contrast":40,
        "Chroma":50,"Hue":7})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);
    ctl<QSlider>(&page, kBrightness)->setValue(200); // moved, not confirmed
    ASSERT_EQ(savePage(page, 1195), 0);
    EXPECT_EQ(lastSent(cam(), kSet, kDoc), json(R"({"ViCh":0,"Brightness":10,"Saturtion":20,"Acutance":30,"Contrast":40,
        "Chroma":50,"Hue":7,"SetDefault":true})"));
    EXPECT_EQ(closing.size(), 1);
    EXPECT_EQ(cam().document(kDoc), factory) << "the camera went back to its own colours";

    // The flag went with that one set: OK afterwards sends the sliders without it.
    ASSERT_EQ(savePage(page), 0);
    const Json::Value sent = lastSent(cam(), kSet, kDoc);
    EXPECT_FALSE(sent.isMember("SetDefault"));
    EXPECT_EQ(sent["Brightness"], 200);
    EXPECT_TRUE(messages.texts().isEmpty());
}

} // namespace
