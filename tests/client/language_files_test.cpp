// The shipped language files: both hold the same sections and keys, none empty, and the texts
// the client looks up come back in each language.
#include "CAppConfig.h"

#include "CaseName.h"

#include <QFile>
#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

using Keys = std::map<std::string, std::map<std::string, std::string>>;

Keys readAll(const std::string& path)
{
    Keys keys;
    std::ifstream in(path);
    std::string line;
    std::string section;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == ';') {
            continue;
        }
        if (line[0] == '[') {
            section = line.substr(1, line.find(']') - 1);
            continue;
        }
        const auto equals = line.find('=');
        if (equals != std::string::npos) {
            keys[section][line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    return keys;
}

const std::string kEnglish = LUMORA_SOURCE_DIR "/resources/EN_LAN.ini";
const std::string kChinese = LUMORA_SOURCE_DIR "/resources/CN_LAN.ini";

TEST(LanguageFiles, BothLanguagesHoldTheSameKeysAndNoEmptyText)
{
    const Keys english = readAll(kEnglish);
    const Keys chinese = readAll(kChinese);
    ASSERT_FALSE(english.empty());
    ASSERT_EQ(english.size(), chinese.size());
    for (const auto& [section, keys] : english) {
        ASSERT_TRUE(chinese.count(section)) << section;
        for (const auto& [key, text] : keys) {
            EXPECT_TRUE(chinese.at(section).count(key)) << section << "/" << key;
            EXPECT_FALSE(text.empty()) << section << "/" << key;
        }
        EXPECT_EQ(keys.size(), chinese.at(section).size()) << section;
    }
}

struct Lookup {
    const char* name;
    const char* language;
    const char* section;
    const char* key;
    const char* expected;
};
void PrintTo(const Lookup& c, std::ostream* os) { *os << c.name; }

class ShippedTexts : public ::testing::TestWithParam<Lookup> {};

TEST_P(ShippedTexts, LookupThroughTheSettingsObject)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QFile::copy(QString::fromStdString(kEnglish), dir.filePath("EN_LAN.ini")));
    ASSERT_TRUE(QFile::copy(QString::fromStdString(kChinese), dir.filePath("CN_LAN.ini")));
    std::ofstream(dir.filePath("Lumora.ini").toStdString()) << "[Language]\nlanguage=" << GetParam().language << "\n";
    CAppConfig config(dir.path());
    EXPECT_EQ(config.GetLangString(GetParam().section, GetParam().key), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ShippedTexts,
    ::testing::Values(Lookup{"loginUserEnglish", "EN_LAN", "UserLogin", "User", "User"},
                      Lookup{"loginUserChinese", "CN_LAN", "UserLogin", "User", "用户"},
                      Lookup{"okEnglish", "EN_LAN", "Common", "OK", "OK"},
                      Lookup{"okChinese", "CN_LAN", "Common", "OK", "确定"},
                      Lookup{"zoneChinese", "CN_LAN", "TimeCheck", "datetimeZone23", "(GMT+08:00) 北京，香港，新加坡"},
                      Lookup{"menuEnglish", "EN_LAN", "DevListMenu", "DevInfoModify", "Alias and password"}),
    CaseName());

}  // namespace
