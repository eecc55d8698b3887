// Settings and language texts on real files in a scratch data folder.
#include "CAppConfig.h"
#include "PrivateProfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <fstream>
#include "CaseName.h"

#include <gtest/gtest.h>

namespace {

class AppConfigTest : public ::testing::Test {
protected:
    void writeFile(const char* name, const std::string& text)
    {
        std::ofstream(m_dir.filePath(name).toStdString(), std::ios::binary) << text;
    }
    std::string ini() const { return m_dir.filePath("Lumora.ini").toStdString(); }

    QTemporaryDir m_dir;
};

struct LanguageCase {
    const char* name;
    const char* iniText;  // nullptr: no Lumora.ini
    const char* expected;
};
void PrintTo(const LanguageCase& c, std::ostream* os) { *os << c.name; }

class LanguageLookup : public AppConfigTest, public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(LanguageLookup, TakesTheTextOfTheChosenFile)
{
    writeFile("EN_LAN.ini", "[UserLogin]\nUser=User name\n");
    writeFile("CN_LAN.ini", "[UserLogin]\nUser=\xE7\x94\xA8\xE6\x88\xB7\xE5\x90\x8D\n");
    writeFile("EN.ini", "[UserLogin]\nUser=plain EN\n");
    if (GetParam().iniText != nullptr) {
        writeFile("Lumora.ini", GetParam().iniText);
    }
    CAppConfig config(m_dir.path());
    EXPECT_EQ(config.GetLangString("UserLogin", "User"), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LanguageLookup,
    ::testing::Values(LanguageCase{"english", "[Language]\nlanguage=EN_LAN\n", "User name"},
                      LanguageCase{"chinese", "[Language]\nlanguage=CN_LAN\n", "\xE7\x94\xA8\xE6\x88\xB7\xE5\x90\x8D"},
                      LanguageCase{"keySpelledByRegistration", "[Language]\nLanguage=CN_LAN\n",
                                   "\xE7\x94\xA8\xE6\x88\xB7\xE5\x90\x8D"},
                      LanguageCase{"noLanguageKeyLooksForEnIni", "[Other]\n", "plain EN"},
                      LanguageCase{"noIniFileLooksForEnIni", nullptr, "plain EN"},
                      LanguageCase{"languageFileMissing", "[Language]\nlanguage=FR_LAN\n", ""}),
    CaseName());

TEST_F(AppConfigTest, MissingKeyOrSectionGivesEmptyText)
{
    writeFile("Lumora.ini", "[Language]\nlanguage=EN_LAN\n");
    writeFile("EN_LAN.ini", "[UserLogin]\nUser=User name\n");
    CAppConfig config(m_dir.path());
    EXPECT_EQ(config.GetLangString("UserLogin", "Nothing"), QString());
    EXPECT_EQ(config.GetLangString("Nothing", "User"), QString());
}

TEST_F(AppConfigTest, NewLanguageAppliesAfterTheCachedFileIsCleared)
{
    writeFile("Lumora.ini", "[Language]\nlanguage=EN_LAN\n");
    writeFile("EN_LAN.ini", "[Common]\nOK=OK\n");
    writeFile("CN_LAN.ini", "[Common]\nOK=\xE7\xA1\xAE\xE5\xAE\x9A\n");
    CAppConfig config(m_dir.path());
    EXPECT_EQ(config.GetLangString("Common", "OK"), "OK");
    ASSERT_TRUE(config.WriteProfileString("Language", "Language", "CN_LAN"));
    EXPECT_EQ(config.GetLangString("Common", "OK"), "OK") << "the path is cached until cleared";
    config.ClearLangFile();
    EXPECT_EQ(config.GetLangString("Common", "OK"), QString::fromUtf8("\xE7\xA1\xAE\xE5\xAE\x9A"));
}

TEST_F(AppConfigTest, TextsAreReadAgainOnEveryCall)
{
    writeFile("Lumora.ini", "[Language]\nlanguage=EN_LAN\n");
    writeFile("EN_LAN.ini", "[Common]\nOK=OK\n");
    CAppConfig config(m_dir.path());
    EXPECT_EQ(config.GetLangString("Common", "OK"), "OK");
    writeFile("EN_LAN.ini", "[Common]\nOK=Fine\n");
    EXPECT_EQ(config.GetLangString("Common", "OK"), "Fine");
}

TEST_F(AppConfigTest, FoldersAreEmptyWithoutIniAndDefaultWithoutKey)
{
    CAppConfig config(m_dir.path());
    EXPECT_EQ(config.GetDownloadPath(), QString());
    EXPECT_EQ(config.GetHardwareType(), 0);
    config.SetHardwareType(1);
    EXPECT_FALSE(QFile::exists(m_dir.filePath("Lumora.ini"))) << "the client never creates Lumora.ini";

    writeFile("Lumora.ini", "[PathSetting]\nSnapPath=/data/snap\n");
    EXPECT_EQ(config.GetDownloadPath(), "C://Lumora//Download");
    EXPECT_EQ(config.GetRecPath(), "C://Lumora//Record");
    EXPECT_EQ(config.GetAlarmPath(), "C://Lumora//Alarm");
    EXPECT_EQ(config.GetSnapPath(), "/data/snap");
    writeFile("Lumora.ini", "[PathSetting]\nSnapPath=Lumora/Snap\n");
    EXPECT_EQ(config.GetSnapPath(), QDir(m_dir.path()).filePath("Lumora/Snap")) << "relative folders lie under the data folder";
    writeFile("Lumora.ini", "[PathSetting]\nSnapPath=/data/snap\n");
    config.SetHardwareType(1);
    EXPECT_EQ(config.GetHardwareType(), 1);
}

TEST_F(AppConfigTest, RecordPlanRoundTripInDayOrder)
{
    writeFile("Lumora.ini", "[RecPlan]\nEnable=7\n");
    CAppConfig config(m_dir.path());
    RecPlan* plan = config.LoadRecPlan();
    EXPECT_TRUE(plan->Enable) << "any non-zero value is on";
    EXPECT_EQ(plan->RecTime, 1);
    EXPECT_EQ(plan->days[0].start, "00:00:00");
    EXPECT_EQ(plan->days[7].end, "23:59:59");

    plan->Enable = true;
    plan->RecTime = 3;
    plan->days[0].enable = true;
    plan->days[0].start = "08:00:00";
    plan->days[7].end = "18:30:00";
    config.SaveRecPlan(*plan);
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "Enable", "", ini()), "1");
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "RecTime", "", ini()), "3");
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "EveEnable", "", ini()), "1");
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "EveSta", "", ini()), "08:00:00");
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "SunEnd", "", ini()), "18:30:00");
    EXPECT_EQ(platform::GetPrivateProfileString("RecPlan", "MonEnable", "", ini()), "0");

    CAppConfig other(m_dir.path());
    const RecPlan copy = other.CopyRecPlan();
    EXPECT_TRUE(copy.days[0].enable);
    EXPECT_FALSE(copy.days[1].enable);
    EXPECT_EQ(copy.days[7].end, "18:30:00");
}

TEST_F(AppConfigTest, RecordPlanUnchangedWithoutIni)
{
    CAppConfig config(m_dir.path());
    RecPlan* plan = config.LoadRecPlan();
    EXPECT_FALSE(plan->Enable) << "a plan never loaded is switched off";
    plan->RecTime = 4;
    config.SaveRecPlan(*plan);
    EXPECT_EQ(config.LoadRecPlan()->RecTime, 4);
    EXPECT_FALSE(QFile::exists(m_dir.filePath("Lumora.ini")));
}

}  // namespace

#include "ClientPaths.h"

namespace {

TEST(DataFolderOption, SeedsAFreshFolderAndRemovesTheOption)
{
    QTemporaryDir dir;
    const QString folder = dir.filePath("fresh/data");
    const QStringList rest = ApplyDataFolderOption({"Lumora", "--data-dir", folder, "-x"});
    EXPECT_EQ(rest, QStringList({"Lumora", "-x"}));
    EXPECT_EQ(DataFolder(), folder);
    EXPECT_EQ(CAppConfig::GetInstance()->iniPath(), folder + "/Lumora.ini");
    // The test program has no installed files beside it; the folder is made all the same.
    EXPECT_TRUE(QDir(folder).exists());
    ApplyDataFolderOption({"Lumora", "--data-dir=" + dir.path()});
    EXPECT_EQ(DataFolder(), dir.path());
}

}  // namespace
