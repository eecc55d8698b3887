// Screenshots of every device page filled from a camera, in English and in Chinese, as the device
// tree opens them, and of the settings view with its tabs. They land in
// <build>/screenshots/settings-<dialog id>-<language>.png for a person to look at.
#include "ScreenshotSupport.h"
#include "SettingsPageSupport.h"
#include "settings/DevAllProView.h"
#include "settings/DevicePages.h"
#include "settings/SettingsJson.h"

#include "libLumora.h"
#include "settings/ProSettingDlg.h"

#include "CAppConfig.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>

using namespace settingstest;

namespace {

constexpr int kAllPages[] = {DevicePageId::Net,         DevicePageId::Wireless, DevicePageId::Time,    DevicePageId::Rec,
                             DevicePageId::Alarm,       DevicePageId::Osd,      DevicePageId::Info,    DevicePageId::Video,
                             DevicePageId::Ftp,         DevicePageId::ColorSwitch, DevicePageId::Color, DevicePageId::Denoise,
                             DevicePageId::Wdr,         DevicePageId::P2PServer, DevicePageId::Mobile};

struct Language {
    const char* name;
    const char* file;
};

class SettingsScreenshot : public ::testing::TestWithParam<Language> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SettingsCameras::start(1, "SHOTCAM"));
        SettingsCameras::data().setLanguage(QString::fromLatin1(GetParam().file));
        addPresets();
    }
    // The camera's preset positions, for the pages that list them (ids given: adding again
    // replaces).
    static void addPresets()
    {
        const char* const names[] = {"Gate", "Yard", "Garage door"};
        for (int i = 0; i < 3; ++i) {
            Json::Value preset;
            preset["BitID"] = i + 1;
            preset["Desc"] = names[i];
            auto done = std::make_shared<std::atomic<bool>>(false);
            SetPresetPTZ(SettingsCameras::camera(0).uid(), WriteCompact(preset),
                         [done](int, int, std::string, std::string, char*, int) { done->store(true); });
            EXPECT_TRUE(frametest::waitFor([&] { return done->load(); }));
        }
    }
};

TEST_P(SettingsScreenshot, EveryPageFilledFromTheCamera)
{
    int shots = 0;
    for (int id : kAllPages) {
        DevicePage* page = CreateDevicePage(id, nullptr);
        if (page == nullptr)
            continue;
        DevicePageDialog dialog(page);
        QSignalSpy loaded(page, &DevicePage::loaded);
        dialog.open(SettingsCameras::uid(0));
        // As the device tree does: the firmware version the device gave at login.
        page->SetHardwareVersionText(QStringLiteral("1.2.3.4.5"));
        EXPECT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); })) << "page " << id;
        settle(SettingsCameras::camera(0));
        const QString file =
            clienttest::SaveScreenshot(&dialog, QStringLiteral("settings-%1-%2").arg(id).arg(QLatin1String(GetParam().name)));
        EXPECT_FALSE(file.isEmpty()) << "page " << id;
        ++shots;
    }
    EXPECT_GT(shots, 0);
}

TEST_P(SettingsScreenshot, TheSettingsView)
{
    DevAllProView view;
    view.resize(900, 600);
    QSignalSpy loaded(view.activePage(), &DevicePage::loaded);
    view.RefreshActivePage(SettingsCameras::uid(0));
    EXPECT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    EXPECT_FALSE(
        clienttest::SaveScreenshot(&view, QStringLiteral("settings-view-%1").arg(QLatin1String(GetParam().name))).isEmpty());
}

TEST_P(SettingsScreenshot, TheWiFiPageWithTheAccessPointsItFound)
{
    DevicePage* page = CreateDevicePage(DevicePageId::Wireless, nullptr);
    ASSERT_NE(page, nullptr);
    DevicePageDialog dialog(page);
    QSignalSpy loaded(page, &DevicePage::loaded);
    dialog.open(SettingsCameras::uid(0));
    ASSERT_TRUE(frametest::waitFor([&] { return !loaded.isEmpty(); }));
    Camera& camera = SettingsCameras::camera(0);
    const size_t scans = sentCount(camera, 1052);
    auto* scan = page->findChild<QPushButton*>(QStringLiteral("ctl_1027"));
    ASSERT_NE(scan, nullptr);
    scan->click();
    ASSERT_TRUE(frametest::waitFor([&] { return sentCount(camera, 1052) > scans; }));
    settle(camera);
    EXPECT_FALSE(clienttest::SaveScreenshot(&dialog, QStringLiteral("settings-%1-scan-%2")
                                                         .arg(DevicePageId::Wireless)
                                                         .arg(QLatin1String(GetParam().name)))
                     .isEmpty());
}

TEST_P(SettingsScreenshot, TheTwoLocalDialogs)
{
    CAppConfig* config = CAppConfig::GetInstance();
    const QString home = QStringLiteral("/home/lumora/Lumora/");
    for (const char* key : {"SnapPath", "DownloadPath", "RecPath", "AlarmPath"})
        config->WriteProfileString(QStringLiteral("PathSetting"), QString::fromLatin1(key),
                                   home + QString::fromLatin1(key).chopped(4));
    config->SetHardwareType(1);
    RecPlan plan;
    plan.Enable = true;
    plan.AutoCover = true;
    plan.RecTime = 2;
    for (size_t i = 0; i < plan.days.size(); ++i) {
        plan.days[i] = {i >= 1 && i <= 5, QStringLiteral("08:00:00"), QStringLiteral("18:30:00")};
    }
    plan.days[6] = {true, QStringLiteral("22:00:00"), QStringLiteral("06:00:00")};
    config->StoreRecPlan(plan);

    ProSettingDlg folders;
    EXPECT_FALSE(
        clienttest::SaveScreenshot(&folders, QStringLiteral("settings-local-folders-%1").arg(QLatin1String(GetParam().name))).isEmpty());
    CLocalRecPlanDlg recPlan;
    EXPECT_FALSE(
        clienttest::SaveScreenshot(&recPlan, QStringLiteral("settings-local-recplan-%1").arg(QLatin1String(GetParam().name))).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Languages, SettingsScreenshot,
                         ::testing::Values(Language{"en", "EN_LAN"}, Language{"cn", "CN_LAN"}),
                         [](const ::testing::TestParamInfo<Language>& param) { return std::string(param.param.name); });

} // namespace
