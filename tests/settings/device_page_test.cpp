// The page seam against real cameras: what a load fills, what a save sends, how each failure is
// told, and the answers that must change nothing (an older load, another device, a closed page).
// The wired network page stands for every page here.
#include "SettingsPageSupport.h"
#include "settings/DevAllProView.h"
#include "settings/DevicePages.h"
#include "settings/ProNetCfgDlg.h"

#include "LangText.h"
#include "libLumora.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

Json::Value ethDocument(const char* ip, bool dhcp)
{
    Json::Value eth;
    eth["DhcpEnble"] = dhcp;
    eth["IP"] = ip;
    eth["Netmask"] = "255.255.255.0";
    eth["Getway"] = "192.168.1.1";
    eth["DNS1"] = "8.8.8.8";
    eth["DNS2"] = "";
    eth["Mac"] = "00:11:22:33:44:55"; // a key the page does not show
    return eth;
}

class DevicePageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(SettingsCameras::start(2)); }
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(2));
        for (int i = 0; i < 2; ++i) {
            cam(i).mute({});
            cam(i).garble({});
            cam(i).decline({});
        }
    }
    static Camera& cam(int i) { return SettingsCameras::camera(i); }
    Messages messages;
};

TEST_F(DevicePageTest, LoadFillsTheFormAndSaveSendsWhatItShows)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", ethDocument("10.0.0.7", true)));
    ProNetCfgDlg page;
    auto* ok = ctl<QPushButton>(&page, 1);
    EXPECT_FALSE(ok->isEnabled()) << "nothing to send before the device answered";
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    EXPECT_TRUE(ok->isEnabled());
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1007)->isChecked());
    EXPECT_EQ(ctl<QLineEdit>(&page, 1006)->text(), "10.0.0.7");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1011)->text(), "192.168.1.1");

    ctl<QCheckBox>(&page, 1007)->setChecked(false);
    ctl<QLineEdit>(&page, 1006)->setText("300.1.1.1"); // sent as typed: the device judges it
    ctl<QLineEdit>(&page, 1013)->clear();
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    Json::Value expected;
    expected["DhcpEnble"] = false;
    expected["IP"] = "300.1.1.1";
    expected["Netmask"] = "255.255.255.0";
    expected["Getway"] = "192.168.1.1";
    expected["DNS1"] = "8.8.8.8";
    expected["DNS2"] = "";
    EXPECT_EQ(lastSent(cam(0), 1040, "NetWork.Eth"), expected) << "the page keeps no document: only its six keys";
    EXPECT_EQ(cam(0).document("NetWork.Eth")["IP"].asString(), "300.1.1.1");
}

TEST_F(DevicePageTest, TypeErrorsInTheReplyReadAsMissing)
{
    Json::Value eth = ethDocument("10.0.0.8", true);
    eth["DhcpEnble"] = "yes";
    eth["IP"] = 17;
    eth["Netmask"] = Json::Value(Json::arrayValue);
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", eth));
    ProNetCfgDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1007)->isChecked());
    EXPECT_EQ(ctl<QLineEdit>(&page, 1006)->text(), "");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1009)->text(), "");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1011)->text(), "192.168.1.1");
}

// Each way a set can fail is told with the failure text, once, and nothing else.
struct SetFailure {
    const char* name;
    void (*arrange)(Camera&);
    bool expire; // the failure is a time-out
};

class SetFailures : public DevicePageTest, public ::testing::WithParamInterface<SetFailure> {};

TEST_P(SetFailures, ShowTheFailureTextOnce)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", ethDocument("10.0.0.9", false)));
    ProNetCfgDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    GetParam().arrange(cam(0));
    QSignalSpy saved(&page, &DevicePage::saved);
    ctl<QPushButton>(&page, 1)->click();
    if (GetParam().expire) {
        ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(0), 1040) > 0; }));
        expireRequests();
    }
    ASSERT_TRUE(frametest::waitFor([&] { return !saved.isEmpty(); }));
    EXPECT_NE(saved.at(0).at(0).toInt(), 0);
    settle(cam(0)); // a second answer would have come by now
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Fail")});
    EXPECT_EQ(saved.size(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SetFailures,
    ::testing::Values(SetFailure{"Declined", [](Camera& c) { c.decline({1040}); }, false},
                      SetFailure{"Refused", [](Camera& c) { c.refuse({1040}); }, false},
                      SetFailure{"NotJson", [](Camera& c) { c.garble({1040}); }, false},
                      SetFailure{"TimedOut", [](Camera& c) { c.mute({1040}); }, true}),
    [](const ::testing::TestParamInfo<SetFailure>& param) { return std::string(param.param.name); });

TEST_F(DevicePageTest, ASetToADeviceThatLeftIsToldAsAFailure)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", ethDocument("10.0.0.10", false)));
    ProNetCfgDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    LogoutDev(cam(0).uid());
    EXPECT_EQ(savePage(page), -11);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Fail")});
    // Back for the other tests.
    auto result = std::make_shared<std::atomic<int>>(1);
    LoginDev(cam(0).uid(), "pw", [result](int, int status, std::string, std::string, char*, int) { result->store(status); });
    ASSERT_TRUE(frametest::waitFor([&] { return result->load() == 0; }, 60000));
}

TEST_F(DevicePageTest, FailedLoadsChangeNothingAndKeepSendingClosed)
{
    ProNetCfgDlg page;
    ctl<QLineEdit>(&page, 1006)->setText("typed before");
    cam(0).garble({1042});
    EXPECT_EQ(loadPage(page, cam(0)), DevicePage::kUnusableReply);
    cam(0).garble({});
    cam(0).mute({1042});
    QSignalSpy loaded(&page, &DevicePage::loaded);
    page.load(SettingsCameras::uid(0)); // same device: a new generation
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(0), 1042) >= 2; }));
    expireRequests();
    ASSERT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    EXPECT_EQ(loaded.at(0).at(0).toInt(), -1);
    EXPECT_EQ(loadPage(page, QStringLiteral("NOT-LOGGED-IN")), -11);
    EXPECT_EQ(ctl<QLineEdit>(&page, 1006)->text(), "typed before");
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled());
    EXPECT_TRUE(messages.texts().isEmpty()) << "a failed load is not told";
}

TEST_F(DevicePageTest, OnlyTheLatestLoadOfTheShownDeviceFillsThePage)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", ethDocument("10.0.0.1", false)));
    ASSERT_TRUE(cam(1).setDocument("NetWork.Eth", ethDocument("10.0.0.2", false)));
    ProNetCfgDlg page;
    QSignalSpy loaded(&page, &DevicePage::loaded);
    // Device A's answer is still on its way when the page moves to device B.
    page.load(SettingsCameras::uid(0));
    page.load(SettingsCameras::uid(1));
    ASSERT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(0), 1042) > 0; }));
    settle(cam(0)); // A's answer has come and must have been dropped
    EXPECT_EQ(loaded.size(), 1);
    EXPECT_EQ(ctl<QLineEdit>(&page, 1006)->text(), "10.0.0.2");

    // A page closed while its answer travels stays as it was.
    ASSERT_TRUE(cam(1).setDocument("NetWork.Eth", ethDocument("10.0.0.3", false)));
    loaded.clear();
    page.load(SettingsCameras::uid(1));
    page.cancelPending();
    settle(cam(1));
    EXPECT_TRUE(loaded.isEmpty());
    EXPECT_EQ(ctl<QLineEdit>(&page, 1006)->text(), "10.0.0.2");
}

TEST_F(DevicePageTest, AnotherDeviceClosesSendingUntilItAnswers)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Eth", ethDocument("10.0.1.1", false)));
    ProNetCfgDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    cam(1).mute({1042});
    page.load(SettingsCameras::uid(1));
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled()) << "device A's values must not go to device B";
    EXPECT_TRUE(page.keptDocument().isNull());
    const size_t before = sentCount(cam(1), 1040);
    page.save();
    settle(cam(1));
    EXPECT_EQ(sentCount(cam(1), 1040), before);
}

TEST_F(DevicePageTest, TheViewLoadsOnlyItsActiveTabOncePerChange)
{
    DevAllProView view;
    ASSERT_GE(view.tabs()->count(), 1);
    EXPECT_EQ(view.tabs()->tabText(0), LangText("DevAllPro", "Net"));
    // The tabs come in their fixed order, whatever pages exist.
    int last = -1;
    for (int i = 0; i < view.tabs()->count(); ++i) {
        const int id = view.page(i)->dialogId();
        const int position = static_cast<int>(std::find(std::begin(kSettingsTabs), std::end(kSettingsTabs), id) -
                                              std::begin(kSettingsTabs));
        EXPECT_GT(position, last) << "tab " << i;
        last = position;
    }
    QStringList selected;
    view.onTabChanged = [&](const QString& uid) { selected << uid; };
    const size_t before = sentCount(cam(0), 1042);
    QSignalSpy loaded(view.page(0), &DevicePage::loaded);
    view.RefreshActivePage(SettingsCameras::uid(0));
    ASSERT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    EXPECT_EQ(sentCount(cam(0), 1042), before + 1);
    EXPECT_TRUE(selected.isEmpty()) << "a device change does not select in the tree";
    if (view.tabs()->count() > 1) {
        view.tabs()->setCurrentIndex(1);
        view.tabs()->setCurrentIndex(0);
        ASSERT_TRUE(frametest::waitFor([&] { return loaded.size() >= 2; }));
        EXPECT_EQ(sentCount(cam(0), 1042), before + 2);
        EXPECT_EQ(selected, (QStringList{SettingsCameras::uid(0), SettingsCameras::uid(0)}));
    }
}

} // namespace
