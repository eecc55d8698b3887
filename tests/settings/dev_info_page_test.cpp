// The device information and firmware upgrade page: the address prefix's cipher, the version
// comparison and the upgrade body on their own; then the page against a camera and an upgrade
// server on loopback: the documents into the controls, the automatic-upgrade flag sent back, an
// upgrade from the question to 100, the version documents that cannot be fetched or read, Enter,
// and a device that stops reporting.
#include "HttpResponder.h"
#include "SettingsPageSupport.h"
#include "settings/ClientRc4.h"
#include "settings/FirmwareVersions.h"
#include "settings/ProDevInfoDlg.h"
#include "settings/VersionFetch.h"

#include "LangText.h"

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <array>
#include <gtest/gtest.h>
#include <optional>

using namespace settingstest;

namespace {

std::string hexOf(const uint8_t* bytes, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

// The hexadecimal text a device sends for the address prefix plain.
std::string encipheredPrefix(const std::string& plain)
{
    std::array<uint8_t, 256> state{};
    ClientRc4Init(state.data(), 10);
    std::string bytes = plain;
    ClientRc4Crypt(state.data(), reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
    return hexOf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// ------------------------------------------------------------------------------------------
// RC4 and the address prefix

TEST(ClientRc4, KnownAnswers)
{
    struct Row {
        const char* key;
        const char* plain;
        const char* cipher;
    };
    const Row rows[] = {
        {"Key", "Plaintext", "BBF316E8D940AF0AD3"},
        {"Wiki", "pedia", "1021BF0420"},
        {"Secret", "Attack at dawn", "45A01F645FC35B383552544B9BF5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.key);
        std::array<uint8_t, 256> state{};
        Rc4Schedule(state.data(), reinterpret_cast<const uint8_t*>(row.key), std::strlen(row.key));
        std::string data = row.plain;
        ClientRc4Crypt(state.data(), reinterpret_cast<uint8_t*>(data.data()), data.size());
        EXPECT_EQ(hexOf(reinterpret_cast<const uint8_t*>(data.data()), data.size()), row.cipher);
    }
    // The client's key "Quaxel5183": its first keystream bytes.
    std::array<uint8_t, 256> state{};
    ClientRc4Init(state.data(), 10);
    std::array<uint8_t, 16> zeros{};
    ClientRc4Crypt(state.data(), zeros.data(), zeros.size());
    EXPECT_EQ(hexOf(zeros.data(), zeros.size()), "2BA5889D23634574180670D7A92A70D5");
}

TEST(ClientRc4, UpgradeUrlDeciphers)
{
    const std::string hex = "43D1FCED194C6A452A315EE7871A5EE43E79B1FF795DBD3200D7BD";
    std::string lower = hex;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Row {
        const char* name;
        std::string text;
        std::string prefix;
    };
    const Row rows[] = {
        {"UpperCase", hex, "http://127.0.0.1:9/upgrade/"},
        {"LowerCase", lower, "http://127.0.0.1:9/upgrade/"},
        {"OddLastCharacterIgnored", hex + "7", "http://127.0.0.1:9/upgrade/"},
        {"Empty", "", ""},
        {"EndsAtAZeroByte", hex.substr(0, 10) + encipheredPrefix(std::string("http:\0xyz", 9)).substr(10), "http:"},
        {"TooLong", std::string(kMaxUpgradeUrlText + 2, 'A'), ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(DecipherUpgradeUrl(row.text), row.prefix);
    }
    // A pair that is no hexadecimal number reads as strtol reads it ("zz" as 0, " f" as 15):
    // deciphering stays byte for byte in step.
    const std::string plain = encipheredPrefix("ab");
    EXPECT_EQ(DecipherUpgradeUrl(plain), "ab");
}

// ------------------------------------------------------------------------------------------
// Version comparison and the upgrade body

std::optional<Json::Value> part(const char* version)
{
    if (version == nullptr)
        return std::nullopt;
    Json::Value element(Json::objectValue);
    element["Version"] = version;
    return element;
}

TEST(FirmwareVersions, ComparedAsVersions)
{
    struct Row {
        const char* device;
        const char* custom;
        const char* vendor;
        const char* system;
        bool newer;
    };
    const Row rows[] = {
        {"1.2.3.4.5", "1", "2", "3.4.5", false},
        {"1.2.3.4.5", "2", "2", "3.4.5", true},      // custom newer, whatever the rest
        {"1.2.3.4.5", "1", "3", "1.0.0", true},      // vendor newer
        {"1.2.3.4.5", "1", "2", "3.5.0", true},
        {"1.2.3.4.5", "1", "2", "2.9.9", false},     // older, although 9 > 4
        {"1.2.3.4.5", "1", "2", "3.4.4", false},
        {"1.2.3.4.5", "1", "2", "3.4.10", true},     // numbers, not text
        {"1.2.3.4.5", "1", "2", "4.0.0", true},
        {"1.2.3.4.5", "0", "1", "3.4.5", false},     // an older part is no upgrade
        {"1.2.3.4.5", nullptr, nullptr, "3.4.6", true},
        {"1.2.3.4.5", "1abc", "2 rc", "3.4.5-beta", false},
        {"1.2.3", "1", "2", "3.0.1", true},          // missing numbers read as 0
        {"", "0", "0", "0.0.1", true},
        {"V2.1.0.camsim", nullptr, nullptr, "0.0.0", false},
        {"1.2.3.4.5", "99999999999", nullptr, nullptr, true},
        {"1.2.3.4.5", nullptr, nullptr, nullptr, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.device) + " / " + (row.custom ? row.custom : "-") + " / " + (row.vendor ? row.vendor : "-") +
                     " / " + (row.system ? row.system : "-"));
        EXPECT_EQ(CompareVersions(row.device, PublishedFirmware{part(row.system), part(row.custom), part(row.vendor)}), row.newer);
    }
    // A "Version" of another type makes its part not newer, and never throws.
    Json::Value numeric(Json::objectValue);
    numeric["Version"] = 9;
    EXPECT_FALSE(CompareVersions("1.2.3.4.5", PublishedFirmware{numeric, numeric, numeric}));
}

TEST(FirmwareVersions, DocumentsAndTheUpgradeBody)
{
    struct Row {
        const char* name;
        std::string bytes;
        bool usable;
    };
    const Row rows[] = {
        {"Usable", R"({"Direct":[{"Version":"2","CustomCheck":"c1"},{"Version":"9"}]})", true},
        {"NotJson", "<html>404</html>", false},
        {"NoDirect", R"({"Version":"2"})", false},
        {"DirectEmpty", R"({"Direct":[]})", false},
        {"DirectNotArray", R"({"Direct":{"Version":"2"}})", false},
        {"ElementNotObject", R"({"Direct":["2"]})", false},
        {"RootArray", R"([{"Direct":[{}]}])", false},
        {"TooDeep", "{\"Direct\":[{\"a\":" + std::string(100, '[') + std::string(100, ']') + "}]}", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ParseVersionDocument(row.bytes).has_value(), row.usable);
    }

    PublishedFirmware all;
    all.custom = ParseVersionDocument(R"({"Direct":[{"Version":"2","CustomCheck":"c1"}]})");
    all.vendor = ParseVersionDocument(R"({"Direct":[{"Version":"2","VendorCheck":7}]})");
    all.system = ParseVersionDocument(R"({"Direct":[{"Version":"3.4.5","SystemCheck":"s","UsrCheck":"u"}]})");
    EXPECT_EQ(UpgradeBody(all), json(R"({"UpgradeCustomInfo":{"version":"2","customcheck":"c1"},
        "UpgradeVendorInfo":{"version":"2","vendorcheck":7},
        "UpgradeSystemInfo":{"version":"3.4.5","systemcheck":"s","usrcheck":"u","webcheck":null}})"));
    PublishedFirmware systemOnly;
    systemOnly.system = all.system;
    EXPECT_EQ(UpgradeBody(systemOnly).getMemberNames(), std::vector<std::string>{"UpgradeSystemInfo"});
}

// ------------------------------------------------------------------------------------------
// The page against a camera and an upgrade server

constexpr int kUpgrade = 1080;
constexpr int kAutoUpdate = 1100;
const char* const kFiles[] = {"/fw/SYSmsg.json", "/fw/CUSmsg.json", "/fw/VENmsg.json"};

const QByteArray kSystem = R"({"Direct":[{"Version":"3.4.5","SystemCheck":"a1","UsrCheck":"b2","WebCheck":"c3"}]})";
const QByteArray kCustomNewer = R"({"Direct":[{"Version":"2","CustomCheck":"d4"}]})";
const QByteArray kCustomSame = R"({"Direct":[{"Version":"1","CustomCheck":"d4"}]})";
const QByteArray kVendor = R"({"Direct":[{"Version":"2","VendorCheck":"e5"}]})";

class DevInfoPageTest : public ::testing::Test {
public:
    static void SetUpTestSuite() { ASSERT_TRUE(SettingsCameras::start(1)); }
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(1));
        cam().mute({});
        cam().refuse({});
        ASSERT_TRUE(server.listening());
        VersionFetch::setTimeout(10000);
        ProDevInfoDlg::setProgressTimeout(60000);
        previousConfirm = ProDevInfoDlg::setConfirm([this](QWidget*, const QString& question, std::function<void(bool)> answer) {
            questions << question;
            answer(confirmAnswer);
        });
        ASSERT_TRUE(cam().setDocument("Dev.Info", json(R"({"Model":"IPC-3M","OSver":"V5.0.1","Extra":1})")));
        setUpgradeCfg(server.base().toStdString() + "fw/");
        publish(kSystem, kCustomNewer, kVendor);
    }
    void TearDown() override
    {
        ProDevInfoDlg::setConfirm(previousConfirm);
        VersionFetch::setTimeout(10000);
    }
    static Camera& cam() { return SettingsCameras::camera(0); }

    void setUpgradeCfg(const std::string& prefix, const char* extra = R"("CheckCycle":24)")
    {
        const std::string text = std::string(R"({"AutoUpgrade":{"AutoUpgrade":true,"Period":3},"UpgradeUrl":")") +
                                 encipheredPrefix(prefix) + R"(","SystemType":"SYS","CustomType":"CUS","VendorType":"VEN",)" + extra + "}";
        ASSERT_TRUE(cam().setDocument("UpgradeCfg.info", json(text.c_str())));
    }
    void publish(const QByteArray& system, const QByteArray& custom, const QByteArray& vendor)
    {
        server.clear();
        server.serve(QString::fromLatin1(kFiles[0]), system);
        server.serve(QString::fromLatin1(kFiles[1]), custom);
        server.serve(QString::fromLatin1(kFiles[2]), vendor);
    }
    // Loads the page with the device's firmware version and waits for the look at the server.
    std::optional<ProDevInfoDlg::Lookup> load(const char* version = "1.2.3.4.5")
    {
        QSignalSpy looked(&page, &ProDevInfoDlg::versionsLooked);
        page.SetHardwareVersionText(QString::fromLatin1(version));
        if (loadPage(page, cam()) != 0)
            return std::nullopt;
        if (!frametest::waitFor([&] { return !looked.isEmpty(); }))
            return std::nullopt;
        settle(cam());
        return looked.takeLast().at(0).value<ProDevInfoDlg::Lookup>();
    }
    // Presses the update button and waits for the upgrade's end: its result, or kNoAnswer.
    int pressUpdate(int timeoutMs = 20000)
    {
        QSignalSpy ended(&page, &ProDevInfoDlg::upgradeEnded);
        ctl<QPushButton>(&page, 1225)->click();
        if (ended.isEmpty() && !frametest::waitFor([&] { return !ended.isEmpty(); }, timeoutMs))
            return kNoAnswer;
        return ended.takeFirst().at(0).toInt();
    }
    QPushButton* updateButton() { return ctl<QPushButton>(&page, 1225); }

    HttpResponder server;
    Messages messages;
    QStringList questions;
    bool confirmAnswer = true;
    ProDevInfoDlg::Confirm previousConfirm;
    ProDevInfoDlg page;
};

TEST_F(DevInfoPageTest, TheDevicesDocumentsFillTheControls)
{
    ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Newer);
    EXPECT_EQ(ctl<QLabel>(&page, 1172)->text(), LangText("DevInfo", "DevType") + ":IPC-3M");
    EXPECT_EQ(ctl<QLabel>(&page, 1173)->text(), LangText("DevInfo", "DevSofeVer") + ":V5.0.1");
    EXPECT_EQ(ctl<QLabel>(&page, 1174)->text(), LangText("DevInfo", "DevhardVer") + ":1.2.3.4.5");
    EXPECT_TRUE(ctl<QCheckBox>(&page, 1171)->isChecked());
    EXPECT_EQ(ctl<QProgressBar>(&page, 1175)->value(), 0);
    EXPECT_TRUE(updateButton()->isEnabled());
    for (const char* file : kFiles)
        EXPECT_EQ(server.hits(QString::fromLatin1(file)), 1) << file;

    // Nothing newer: the button is not offered. Values of the wrong type read as missing.
    publish(kSystem, kCustomSame, kVendor);
    ASSERT_TRUE(cam().setDocument("Dev.Info", json(R"({"Model":7,"OSver":["x"]})")));
    setUpgradeCfg(server.base().toStdString() + "fw/", R"("AutoUpgrade2":1)");
    ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Newest);
    EXPECT_FALSE(updateButton()->isEnabled());
    EXPECT_EQ(ctl<QLabel>(&page, 1172)->text(), LangText("DevInfo", "DevType") + ":");

    ASSERT_TRUE(cam().setDocument("UpgradeCfg.info", json(R"({"AutoUpgrade":true,"UpgradeUrl":5,"SystemType":[1]})")));
    ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Failed);
    EXPECT_FALSE(ctl<QCheckBox>(&page, 1171)->isChecked());
    EXPECT_TRUE(messages.texts().isEmpty()); // a look that fails is told only when an upgrade is asked for
}

TEST_F(DevInfoPageTest, SavingTheFlagSendsTheWholeDocumentWithOnlyTheFlagChanged)
{
    ASSERT_TRUE(load().has_value());
    const Json::Value stored = cam().document("UpgradeCfg.info");
    ctl<QCheckBox>(&page, 1171)->setChecked(false);
    EXPECT_EQ(savePage(page, 1200), 0);
    Json::Value expected = stored;
    expected["AutoUpgrade"]["AutoUpgrade"] = false;
    EXPECT_EQ(lastSent(cam(), kAutoUpdate, "AutoUpgradeSet.info"), expected);
    EXPECT_TRUE(messages.texts().isEmpty()); // success shows nothing

    // A flag that is no object is replaced by one.
    ASSERT_TRUE(cam().setDocument("UpgradeCfg.info", json(R"({"AutoUpgrade":true,"CheckCycle":24})")));
    ASSERT_TRUE(load().has_value());
    ctl<QCheckBox>(&page, 1171)->setChecked(true);
    EXPECT_EQ(savePage(page, 1200), 0);
    EXPECT_EQ(lastSent(cam(), kAutoUpdate, "AutoUpgradeSet.info"), json(R"({"AutoUpgrade":{"AutoUpgrade":true},"CheckCycle":24})"));

    // Only failures are told, with "Fail" of the page's own section: a device that declines in
    // "res" and a request that fails.
    ASSERT_TRUE(cam().refuse({kAutoUpdate}));
    EXPECT_EQ(savePage(page, 1200), -1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
    messages.clear();
    ASSERT_TRUE(cam().refuse({}));
    EXPECT_EQ(saveTimedOut(page, cam(), kAutoUpdate, 1200), -1);
    EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "Fail")});
}

TEST_F(DevInfoPageTest, AnUpgradeAsksThenFollowsTheDeviceTo100)
{
    ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Newer);
    const size_t before = sentCount(cam(), kUpgrade);

    // Declined: nothing is sent.
    confirmAnswer = false;
    EXPECT_EQ(pressUpdate(), ProDevInfoDlg::kDeclined);
    EXPECT_EQ(questions, QStringList{LangText("DevInfo", "UpgradeAsk")});
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kUpgrade), before);
    EXPECT_TRUE(updateButton()->isEnabled());

    // The documents are fetched again for the upgrade; all three parts go, only one is newer.
    confirmAnswer = true;
    QSignalSpy progress(ctl<QProgressBar>(&page, 1175), &QProgressBar::valueChanged);
    EXPECT_EQ(pressUpdate(), 0);
    EXPECT_EQ(server.hits(QString::fromLatin1(kFiles[1])), 3);
    EXPECT_EQ(sentCount(cam(), kUpgrade), before + 1);
    EXPECT_EQ(lastSent(cam(), kUpgrade, "Upgrade.info"), json(R"({
        "UpgradeCustomInfo":{"version":"2","customcheck":"d4"},
        "UpgradeVendorInfo":{"version":"2","vendorcheck":"e5"},
        "UpgradeSystemInfo":{"version":"3.4.5","systemcheck":"a1","usrcheck":"b2","webcheck":"c3"}})"));
    QList<int> values;
    for (const QList<QVariant>& change : progress)
        values << change.at(0).toInt();
    EXPECT_EQ(values, (QList<int>{50, 100}));
    EXPECT_EQ(ctl<QProgressBar>(&page, 1175)->value(), 100);
    ASSERT_FALSE(messages.texts().isEmpty());
    EXPECT_EQ(messages.texts().last(), LangText("DevInfo", "Success"));
    EXPECT_TRUE(updateButton()->isEnabled());

    // A second look, once the server publishes nothing newer: "Newest" and nothing sent.
    publish(kSystem, kCustomSame, kVendor);
    EXPECT_EQ(pressUpdate(), ProDevInfoDlg::kNothingNewer);
    ASSERT_FALSE(messages.texts().isEmpty());
    EXPECT_EQ(messages.texts().last(), LangText("DevInfo", "Newest"));
    EXPECT_FALSE(updateButton()->isEnabled());
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kUpgrade), before + 1);
}

TEST_F(DevInfoPageTest, VersionDocumentsThatCannotBeFetchedSendNothing)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const std::string refused = "http://127.0.0.1:" + std::to_string(closed.serverPort()) + "/fw/";
    closed.close();

    struct Row {
        const char* name;
        bool reload; // the device names another server: the page loads again
        std::function<void(DevInfoPageTest&)> arrange;
    };
    const Row rows[] = {
        {"OneMissing", false, [](DevInfoPageTest& t) { t.server.serve(QString::fromLatin1(kFiles[2]), "gone", 404); }},
        {"AllMissing", false, [](DevInfoPageTest& t) { t.server.clear(); }},
        {"Refused", true, [refused](DevInfoPageTest& t) { t.setUpgradeCfg(refused); }},
        {"NotHttp", true, [](DevInfoPageTest& t) { t.setUpgradeCfg("file:///etc/"); }},
        {"NoServerNamed", true, [](DevInfoPageTest& t) { t.setUpgradeCfg(""); }},
        {"AllMalformed", false, [](DevInfoPageTest& t) { t.publish("<html>", "{\"Direct\":[]}", "{}"); }},
        {"NoAnswer", false,
         [](DevInfoPageTest& t) {
             VersionFetch::setTimeout(200);
             t.server.hang(QString::fromLatin1(kFiles[0]));
         }},
    };
    const size_t before = sentCount(cam(), kUpgrade);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // First the documents are there: the button is offered. Then they go away: the upgrade
        // never uses what an earlier look found.
        publish(kSystem, kCustomNewer, kVendor);
        setUpgradeCfg(server.base().toStdString() + "fw/");
        VersionFetch::setTimeout(10000);
        ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Newer);
        row.arrange(*this);
        if (row.reload) {
            EXPECT_EQ(load(), ProDevInfoDlg::Lookup::Failed);
        }
        EXPECT_TRUE(updateButton()->isEnabled());
        messages.clear();
        EXPECT_EQ(pressUpdate(), ProDevInfoDlg::kVersionsUnavailable);
        EXPECT_EQ(messages.texts(), QStringList{LangText("DevInfo", "VersionFail")});
        EXPECT_TRUE(questions.isEmpty());
    }
    settle(cam());
    EXPECT_EQ(sentCount(cam(), kUpgrade), before);
}

TEST_F(DevInfoPageTest, AMalformedDocumentLeavesItsPartOut)
{
    publish(kSystem, "not json", kVendor);
    ASSERT_EQ(load("1.2.3.4.5"), ProDevInfoDlg::Lookup::Newest);
    ASSERT_EQ(load("1.1.3.4.5"), ProDevInfoDlg::Lookup::Newer); // the vendor part is newer
    EXPECT_EQ(pressUpdate(), 0);
    EXPECT_EQ(lastSent(cam(), kUpgrade, "Upgrade.info"), json(R"({
        "UpgradeVendorInfo":{"version":"2","vendorcheck":"e5"},
        "UpgradeSystemInfo":{"version":"3.4.5","systemcheck":"a1","usrcheck":"b2","webcheck":"c3"}})"));
}

TEST_F(DevInfoPageTest, EnterDoesNotStartAnUpgrade)
{
    auto* owned = new ProDevInfoDlg;
    DevicePageDialog dialog(owned);
    QSignalSpy looked(owned, &ProDevInfoDlg::versionsLooked);
    dialog.open(SettingsCameras::uid(0));
    owned->SetHardwareVersionText(QStringLiteral("1.2.3.4.5"));
    ASSERT_TRUE(frametest::waitFor([&] { return !looked.isEmpty(); }));
    auto* update = ctl<QPushButton>(owned, 1225);
    ASSERT_TRUE(update->isEnabled());
    QSignalSpy clicked(update, &QPushButton::clicked);
    for (QWidget* focus : {static_cast<QWidget*>(ctl<QCheckBox>(owned, 1171)), static_cast<QWidget*>(update)}) {
        focus->setFocus();
        QTest::keyClick(focus, Qt::Key_Return);
        QTest::keyClick(focus, Qt::Key_Enter);
    }
    EXPECT_TRUE(clicked.isEmpty());
    EXPECT_TRUE(questions.isEmpty());
    EXPECT_TRUE(dialog.isVisible());
}

TEST_F(DevInfoPageTest, AnUpgradeWhoseProgressStopsEndsWithAMessage)
{
    ASSERT_EQ(load(), ProDevInfoDlg::Lookup::Newer);
    ProDevInfoDlg::setProgressTimeout(300);
    ASSERT_TRUE(cam().mute({kUpgrade}));
    EXPECT_EQ(pressUpdate(), ProDevInfoDlg::kStalled);
    ASSERT_FALSE(messages.texts().isEmpty());
    EXPECT_EQ(messages.texts().last(), LangText("DevInfo", "UpgradeStall"));
    EXPECT_TRUE(updateButton()->isEnabled());

    // A device that answers again can be upgraded again.
    ASSERT_TRUE(cam().mute({}));
    ProDevInfoDlg::setProgressTimeout(60000);
    EXPECT_EQ(pressUpdate(), 0);
}

} // namespace
