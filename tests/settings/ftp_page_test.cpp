// The FTP page against a real camera: the document into the form, the form into the kept document
// sent back whole as JSON text, the port as the device reads it, and a kept document that never
// follows the page to another device.
#include "SettingsPageSupport.h"
#include "settings/CFTPSettingDlg.h"

#include "LangText.h"

#include <QLineEdit>
#include <QPushButton>
#include <climits>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kSet = 1482;

Json::Value ftpDocument()
{
    Json::Value ftp;
    ftp["FtpAddr"] = "ftp.example.lan";
    ftp["FtpPort"] = 2121;
    ftp["FtpUser"] = "cam";
    ftp["FtpPasswd"] = "pa ss";
    ftp["FtpPath"] = "/up/load";
    return ftp;
}

// What the camera received: the document as JSON text inside a string, parsed.
Json::Value sentDocument(Camera& camera)
{
    const Json::Value text = lastSent(camera, kSet, "FtpCfg.info");
    EXPECT_TRUE(text.isString()) << "the document travels as a JSON string";
    if (!text.isString())
        return {};
    EXPECT_EQ(text.asString().find('\n'), text.asString().size() - 1) << "written compact, on one line";
    Json::Value document;
    Json::Reader().parse(text.asString(), document);
    return document;
}

class FtpPageTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SettingsCameras::start(2)); }
    static Camera& cam(int i) { return SettingsCameras::camera(i); }
    static QString edits(CFTPSettingDlg& page)
    {
        QStringList texts;
        for (int id : {1220, 1221, 1222, 1223, 1224})
            texts << ctl<QLineEdit>(&page, id)->text();
        return texts.join('|');
    }
    Messages messages;
};

TEST_F(FtpPageTest, TheStoredDocumentFillsTheForm)
{
    struct Case {
        const char* name;
        void (*change)(Json::Value&);
        const char* shown;
    };
    const Case cases[] = {
        {"all keys", [](Json::Value&) {}, "ftp.example.lan|2121|cam|pa ss|/up/load"},
        {"no port", [](Json::Value& d) { d.removeMember("FtpPort"); }, "ftp.example.lan|0|cam|pa ss|/up/load"},
        {"wrong types read as missing",
         [](Json::Value& d) {
             d["FtpPort"] = "21";
             d["FtpUser"] = 7;
             d["FtpPath"] = Json::Value(Json::arrayValue);
         },
         "ftp.example.lan|0||pa ss|"},
    };
    CFTPSettingDlg page;
    for (const Case& c : cases) {
        Json::Value document = ftpDocument();
        c.change(document);
        ASSERT_TRUE(cam(0).setDocument("FtpCfg.info", document));
        ASSERT_EQ(loadPage(page, cam(0)), 0) << c.name;
        EXPECT_EQ(edits(page), QString::fromUtf8(c.shown)) << c.name;
    }
}

TEST_F(FtpPageTest, SaveSendsTheKeptDocumentWithTheEditsAsJsonText)
{
    Json::Value stored = ftpDocument();
    stored["FtpMode"] = "passive"; // a key the page does not show
    ASSERT_TRUE(cam(0).setDocument("FtpCfg.info", stored));
    CFTPSettingDlg page;
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled()) << "nothing to send before the device answered";
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    ctl<QLineEdit>(&page, 1220)->setText("10.1.2.3");
    ctl<QLineEdit>(&page, 1221)->setText("21abc");
    ctl<QLineEdit>(&page, 1223)->setText(QString(300, QLatin1Char('x')));
    ctl<QLineEdit>(&page, 1224)->setText(QString::fromUtf8("/报警/front"));
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    Json::Value expected = stored;
    expected["FtpAddr"] = "10.1.2.3";
    expected["FtpPort"] = 21;
    expected["FtpPasswd"] = std::string(259, 'x');
    expected["FtpPath"] = "/报警/front";
    EXPECT_EQ(sentDocument(cam(0)), expected);
    EXPECT_EQ(cam(0).document("FtpCfg.info"), expected);

    // A second OK without a new load sends the same document with the edits of that moment.
    ctl<QLineEdit>(&page, 1221)->clear();
    ASSERT_EQ(savePage(page), 0);
    expected["FtpPort"] = 0;
    EXPECT_EQ(sentDocument(cam(0)), expected);
}

TEST_F(FtpPageTest, TheKeptDocumentStaysWithItsDevice)
{
    Json::Value a = ftpDocument();
    a["FtpMode"] = "passive";
    ASSERT_TRUE(cam(0).setDocument("FtpCfg.info", a));
    ASSERT_TRUE(cam(1).setDocument("FtpCfg.info", ftpDocument()));
    CFTPSettingDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    ASSERT_EQ(loadPage(page, cam(1)), 0);
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(sentDocument(cam(1)), ftpDocument()) << "device A's keys must not reach device B";
}

TEST(FtpPort, ReadsTheLeadingNumberOfTheText)
{
    const std::pair<const char*, int> cases[] = {
        {"21", 21},           {"21abc", 21},   {"", 0},       {"abc", 0},           {"  +990", 990},
        {"-5", -5},           {"\t 8 21", 8},  {"+", 0},      {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
        {"2147483647", INT_MAX},
    };
    for (const auto& [text, port] : cases)
        EXPECT_EQ(CFTPSettingDlg::PortFromText(QString::fromUtf8(text)), port) << '"' << text << '"';
}

} // namespace
