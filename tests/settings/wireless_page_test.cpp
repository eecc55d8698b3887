// The Wi-Fi page against a real camera: the wireless document into the form and back (the
// network name as UTF-8), the state texts, and the access-point scan with its list.
#include "SettingsPageSupport.h"
#include "settings/ProWirelessDlg.h"
#include "settings/SettingsLayout.h"

#include "CXListCtrl.h"
#include "LangText.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

using namespace settingstest;

namespace {

constexpr int kGet = 1050;
constexpr int kSet = 1048;
constexpr int kScan = 1052;

Json::Value wirelessDocument(bool enabled, int status)
{
    Json::Value w;
    w["WirelessEnable"] = enabled;
    w["DhcpEnble"] = false;
    w["WirelessStatus"] = status;
    w["SSID"] = "Büro Café 二楼"; // UTF-8 on the wire
    w["Password"] = "secret-42";
    w["EncType"] = "WPA2-PSK";
    w["IP"] = "192.168.2.40";
    w["Netmask"] = "255.255.255.0";
    w["Getway"] = "192.168.2.1";
    w["Channel"] = 6; // a key the page neither shows nor keeps
    return w;
}

Json::Value accessPoints(std::initializer_list<std::tuple<const char*, int, const char*>> rows)
{
    Json::Value search;
    search["Aplist"] = Json::Value(Json::arrayValue);
    for (const auto& [ssid, rssi, enc] : rows) {
        Json::Value ap;
        ap["SSID"] = ssid;
        ap["RSSI"] = rssi;
        ap["EncType"] = enc;
        search["Aplist"].append(ap);
    }
    return search;
}

class WirelessPageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(2));
        for (int i = 0; i < 2; ++i)
            cam(i).mute({});
    }
    static Camera& cam(int i) { return SettingsCameras::camera(i); }
    static QString row(CXListCtrl* list, int r)
    {
        return list->GetItemText(r, 0) + "|" + list->GetItemText(r, 1) + "|" + list->GetItemText(r, 2);
    }
    // Presses Scan and waits until the camera's answer (or its time-out) has been handled.
    static void scanAndSettle(ProWirelessDlg& page, Camera& camera)
    {
        const size_t before = sentCount(camera, kScan);
        ctl<QPushButton>(&page, 1027)->click();
        ASSERT_TRUE(frametest::waitFor([&] { return sentCount(camera, kScan) > before; }));
        settle(camera);
    }
    Messages messages;
};

TEST_F(WirelessPageTest, LoadFillsTheFormAndSaveSendsItWithTheNameAsUtf8)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Wireless", wirelessDocument(false, 6)));
    ProWirelessDlg page;
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled());
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1017)->isChecked());
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1028)->isChecked());
    EXPECT_EQ(ctl<QLabel>(&page, 1018)->text(), LangText("WiFiSet", "Connected"));
    EXPECT_EQ(ctl<QLineEdit>(&page, 1020)->text(), QString::fromUtf8("Büro Café 二楼"));
    EXPECT_EQ(ctl<QLineEdit>(&page, 1022)->text(), "secret-42");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1024)->text(), "WPA2-PSK");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1030)->text(), "192.168.2.40");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1032)->text(), "255.255.255.0");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1033)->text(), "192.168.2.1");
    // Wi-Fi off: the network fields and the scan wait for the switch; addresses and OK do not.
    for (int id : {1020, 1022, 1024, 1027})
        EXPECT_FALSE(page.findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id))->isEnabled()) << id;
    for (int id : {1028, 1030, 1032, 1033, 1})
        EXPECT_TRUE(page.findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id))->isEnabled()) << id;
    ctl<QCheckBox>(&page, 1017)->click();
    for (int id : {1020, 1022, 1024, 1027})
        EXPECT_TRUE(page.findChild<QWidget*>(QStringLiteral("ctl_%1").arg(id))->isEnabled()) << id;

    ctl<QLineEdit>(&page, 1020)->setText(QString::fromUtf8("Lager-Zentrale ☕"));
    ctl<QLineEdit>(&page, 1022)->setText(QString(400, QLatin1Char('p'))); // longer than a device field
    ctl<QCheckBox>(&page, 1028)->setChecked(true);
    ctl<QLineEdit>(&page, 1030)->clear();
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")});

    Json::Value expected;
    expected["WirelessEnable"] = true;
    expected["DhcpEnble"] = true;
    expected["WirelessStatus"] = 0; // never the state the device reported
    expected["SSID"] = "Lager-Zentrale \xE2\x98\x95";
    expected["Password"] = std::string(kMaxEditText, 'p');
    expected["EncType"] = "WPA2-PSK";
    expected["IP"] = "";
    expected["Netmask"] = "255.255.255.0";
    expected["Getway"] = "192.168.2.1";
    EXPECT_EQ(lastSent(cam(0), kSet, "NetWork.Wireless"), expected) << "the page keeps no document: its eight keys";
    EXPECT_EQ(cam(0).document("NetWork.Wireless")["SSID"].asString(), "Lager-Zentrale \xE2\x98\x95");
}

TEST_F(WirelessPageTest, EachStateCodeShowsItsTextAndUnknownCodesKeepTheLastOne)
{
    struct Case {
        Json::Value status;
        const char* key; // the text shown afterwards
    };
    const Case cases[] = {{0, "Disconnect"},  {2, "Disconnect"}, {3, "Disconnect"}, {4, "Connecting"},
                          {8, "Connecting"},  {5, "RequestAddr"}, {-1, "RequestAddr"}, {6, "Connected"},
                          {"7", "Connected"}, {7, "Fail"}};
    ProWirelessDlg page;
    EXPECT_EQ(ctl<QLabel>(&page, 1018)->text(), LangText("WiFiSet", "WiFiStatus"));
    for (const Case& c : cases) {
        Json::Value document = wirelessDocument(true, 0);
        document["WirelessStatus"] = c.status;
        ASSERT_TRUE(cam(0).setDocument("NetWork.Wireless", document));
        ASSERT_EQ(loadPage(page, cam(0)), 0);
        EXPECT_EQ(ctl<QLabel>(&page, 1018)->text(), LangText("WiFiSet", c.key)) << c.status.toStyledString();
    }
}

TEST_F(WirelessPageTest, ScanListsTheFoundNetworksAndADoubleClickTakesOne)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Wireless", wirelessDocument(true, 6)));
    ASSERT_TRUE(cam(0).setDocument("NetWork.WirelessSearch", accessPoints({{"Office", -41, "WPA2-PSK"},
                                                                          {"仓库监控", -63, "WPA/WPA2-PSK"},
                                                                          {"Guest", -80, ""}})));
    ProWirelessDlg page;
    page.resize(700, 360);
    page.show();
    auto* scan = ctl<QPushButton>(&page, 1027);
    auto* list = ctl<CXListCtrl>(&page, 1026);
    EXPECT_FALSE(scan->isEnabled()) << "no scan before the device answered";
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    ASSERT_TRUE(scan->isEnabled());

    scanAndSettle(page, cam(0));
    ASSERT_EQ(list->rowCount(), 3);
    EXPECT_EQ(row(list, 0), "Office|-41|WPA2-PSK");
    EXPECT_EQ(row(list, 1), QString::fromUtf8("仓库监控|-63|WPA/WPA2-PSK"));
    EXPECT_EQ(row(list, 2), "Guest|-80|");
    EXPECT_EQ(list->item(1, 2)->background().color(), QColor(255, 225, 255));

    ASSERT_TRUE(QTest::qWaitForWindowExposed(&page));
    const QPoint cell = list->visualItemRect(list->item(1, 1)).center();
    QTest::mousePress(list->viewport(), Qt::LeftButton, {}, cell); // as a user's first click
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell);
    EXPECT_EQ(ctl<QLineEdit>(&page, 1020)->text(), QString::fromUtf8("仓库监控"));
    EXPECT_EQ(ctl<QLineEdit>(&page, 1024)->text(), "WPA/WPA2-PSK");
    EXPECT_EQ(ctl<QLineEdit>(&page, 1022)->text(), "") << "the new network's password is the user's to type";
    ASSERT_EQ(savePage(page), 0);
    EXPECT_EQ(lastSent(cam(0), kSet, "NetWork.Wireless")["SSID"].asString(), "仓库监控");

    // Each scan starts from an empty list; one that finds nothing, answers nonsense or never
    // answers leaves it empty, without a message.
    struct Empty {
        const char* name;
        Json::Value search;
        bool mute;
    };
    Json::Value notAnArray;
    notAnArray["Aplist"] = Json::Value(Json::objectValue);
    Json::Value noList(Json::objectValue);
    const Empty empties[] = {{"none found", accessPoints({}), false},
                             {"list of the wrong type", notAnArray, false},
                             {"no list", noList, false},
                             {"time-out", accessPoints({{"Late", -50, "WEP"}}), true}};
    for (const Empty& e : empties) {
        scanAndSettle(page, cam(0)); // the rows to clear
        ASSERT_GT(list->rowCount(), 0) << e.name;
        ASSERT_TRUE(cam(0).setDocument("NetWork.WirelessSearch", e.search));
        if (e.mute)
            cam(0).mute({kScan});
        const size_t before = sentCount(cam(0), kScan);
        scan->click();
        EXPECT_EQ(list->rowCount(), 0) << e.name;
        ASSERT_TRUE(frametest::waitFor([&] { return sentCount(cam(0), kScan) > before; }));
        if (e.mute)
            expireRequests();
        settle(cam(0));
        EXPECT_EQ(list->rowCount(), 0) << e.name;
        cam(0).mute({});
        ASSERT_TRUE(cam(0).setDocument("NetWork.WirelessSearch", accessPoints({{"Office", -41, "WPA2-PSK"}})));
    }
    EXPECT_EQ(messages.texts(), QStringList{LangText("Common", "Success")}) << "only the save was told";
}

TEST_F(WirelessPageTest, AnotherDeviceClosesTheScanUntilItAnswers)
{
    ASSERT_TRUE(cam(0).setDocument("NetWork.Wireless", wirelessDocument(true, 6)));
    ProWirelessDlg page;
    ASSERT_EQ(loadPage(page, cam(0)), 0);
    auto* scan = ctl<QPushButton>(&page, 1027);
    ASSERT_TRUE(scan->isEnabled());
    cam(1).mute({kGet});
    page.load(SettingsCameras::uid(1));
    EXPECT_FALSE(scan->isEnabled()) << "a scan would ask a device that has not answered";
    EXPECT_FALSE(ctl<QPushButton>(&page, 1)->isEnabled());
}

} // namespace
