// The device P2P server page against a camera: the code of "P2pSerCfg.info" into the field, the
// bare code out (the SDK builds the document), an empty code refused, and the outcome told.
#include "SettingsPageSupport.h"
#include "settings/CSetDevServerDlg.h"

#include "LangText.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kSet = 1529;
constexpr const char* kDoc = "P2pSerCfg.info";

class P2PServerPageTest : public OneCameraPageTest<CSetDevServerDlg> {
protected:
    QString code() { return ctl<QLineEdit>(&page, 1229)->text(); }
};

TEST_F(P2PServerPageTest, TheCamerasCodeFillsTheField)
{
    struct Row {
        const char* name;
        const char* document;
        int loaded;
        const char* shown;
    };
    const Row rows[] = {
        {"Code", R"({"P2pSerCode":"EBGBEMBMKGJMGAJP","Md5Chk":"X"})", 0, "EBGBEMBMKGJMGAJP"},
        {"NotAnObjectChangesNothing", R"("EBGB")", DevicePage::kUnusableReply, "EBGBEMBMKGJMGAJP"},
        {"EmptyCodeEmptiesTheField", R"({"P2pSerCode":""})", 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(cam().setDocument(kDoc, json(row.document)));
        EXPECT_EQ(loadPage(page, cam()), row.loaded);
        EXPECT_EQ(code(), row.shown);
    }
    // A code longer than the device keeps is cut to what it keeps.
    ASSERT_TRUE(cam().setDocument(kDoc, json(("{\"P2pSerCode\":\"" + std::string(300, 'A') + "\"}").c_str())));
    ASSERT_EQ(loadPage(page, cam()), 0);
    EXPECT_EQ(code().size(), 259);
}

TEST_F(P2PServerPageTest, OkSendsTheBareCodeRefusesAnEmptyOneAndTellsTheOutcome)
{
    ASSERT_TRUE(cam().setDocument(kDoc, json(R"({"P2pSerCode":"OLD"})")));
    ASSERT_EQ(loadPage(page, cam()), 0);
    QSignalSpy closing(&page, &DevicePage::closeRequested);

    const size_t before = sentCount(cam(), kSet);
    for (const char* typed : {"", "   "}) {
        SCOPED_TRACE(typed);
        messages.clear();
        ctl<QLineEdit>(&page, 1229)->setText(typed);
        ctl<QPushButton>(&page, 1)->click();
        EXPECT_EQ(messages.texts(), QStringList{LangText("P2PServer", "Empty")});
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kSet), before);
    EXPECT_TRUE(closing.isEmpty());

    messages.clear();
    ctl<QLineEdit>(&page, 1229)->setText("PPCSNEWCODE-42");
    ASSERT_EQ(savePage(page), 0);
    const Json::Value sent = lastSent(cam(), kSet, kDoc);
    EXPECT_EQ(sent["P2pSerCode"], "PPCSNEWCODE-42");
    EXPECT_EQ(sent["Md5Chk"].asString().size(), 32u) << "the SDK signs the code";
    EXPECT_EQ(cam().document(kDoc)["P2pSerCode"], "PPCSNEWCODE-42");
    EXPECT_EQ(closing.size(), 1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    messages.clear();
    cam().decline({kSet});
    EXPECT_NE(savePage(page), 0);
    settle(cam());
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Fail")});
}

} // namespace
