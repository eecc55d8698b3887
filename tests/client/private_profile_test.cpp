// Profile-file semantics that the settings and language files rely on, on real files.
#include "PrivateProfile.h"

#include <QTemporaryDir>
#include <fstream>
#include "CaseName.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace platform;

namespace {

class ProfileFile : public ::testing::Test {
protected:
    void write(const std::string& text)
    {
        std::ofstream(m_path, std::ios::binary) << text;
    }
    std::string read() const
    {
        std::ifstream in(m_path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    QTemporaryDir m_dir;
    std::string m_path = m_dir.filePath("test.ini").toStdString();
};

struct ReadCase {
    const char* name;
    const char* file;
    const char* section;
    const char* key;
    const char* expected;
};
void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class ProfileRead : public ProfileFile, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ProfileRead, FindsTheValue)
{
    const ReadCase& c = GetParam();
    write(c.file);
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "dflt", m_path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileRead,
    ::testing::Values(
        ReadCase{"plain", "[A]\nk=v\n", "A", "k", "v"},
        ReadCase{"sectionIgnoresCase", "[Language]\nlanguage=CN_LAN\n", "LANGUAGE", "language", "CN_LAN"},
        ReadCase{"keyIgnoresCase", "[Language]\nLanguage=CN_LAN\n", "Language", "language", "CN_LAN"},
        ReadCase{"blanksTrimmed", "  [ A ]  \n  k  =  v w  \n", "A", "k", "v w"},
        ReadCase{"crlfLines", "[A]\r\nk=v\r\n", "A", "k", "v"},
        ReadCase{"quotesStripped", "[A]\nk=\"  v \"\n", "A", "k", "  v "},
        ReadCase{"singleQuotesStripped", "[A]\nk='v'\n", "A", "k", "v"},
        ReadCase{"unmatchedQuoteKept", "[A]\nk=\"v\n", "A", "k", "\"v"},
        ReadCase{"firstKeyWins", "[A]\nk=1\nk=2\n", "A", "k", "1"},
        ReadCase{"firstSectionWins", "[A]\nk=1\n[A]\nk=2\n", "A", "k", "1"},
        ReadCase{"otherSectionIgnored", "[B]\nk=1\n", "A", "k", "dflt"},
        ReadCase{"commentIgnored", "[A]\n;k=1\n", "A", "k", "dflt"},
        ReadCase{"emptyValueIsNotDefault", "[A]\nk=\n", "A", "k", ""},
        ReadCase{"equalsInValue", "[A]\nk=a=b\n", "A", "k", "a=b"},
        ReadCase{"byteOrderMarkSkipped", "\xEF\xBB\xBF[A]\nk=v\n", "A", "k", "v"},
        ReadCase{"doubledByteOrderMarkSkipped", "\xEF\xBB\xBF\xEF\xBB\xBF[A]\nk=v\n", "A", "k", "v"},
        ReadCase{"longValueNotCut", "[A]\nk=" "0123456789012345678901234567890123456789012345678901234567890123456789"
                                    "0123456789012345678901234567890123456789012345678901234567890123456789"
                                    "0123456789012345678901234567890123456789012345678901234567890123456789"
                                    "0123456789012345678901234567890123456789012345678901234567890123456789\n",
                 "A", "k", "0123456789012345678901234567890123456789012345678901234567890123456789"
                           "0123456789012345678901234567890123456789012345678901234567890123456789"
                           "0123456789012345678901234567890123456789012345678901234567890123456789"
                           "0123456789012345678901234567890123456789012345678901234567890123456789"},
        ReadCase{"utf8Value", "[A]\nk=\xE7\x94\xA8\xE6\x88\xB7\n", "A", "k", "\xE7\x94\xA8\xE6\x88\xB7"}),
    CaseName());

TEST_F(ProfileFile, MissingFileGivesDefaults)
{
    EXPECT_EQ(GetPrivateProfileString("A", "k", "dflt", m_path), "dflt");
    EXPECT_EQ(GetPrivateProfileInt("A", "k", 7, m_path), 7);
}

struct IntCase {
    const char* name;
    const char* value;
    int expected;
};
void PrintTo(const IntCase& c, std::ostream* os) { *os << c.name; }

class ProfileInt : public ProfileFile, public ::testing::WithParamInterface<IntCase> {};

TEST_P(ProfileInt, ReadsLeadingNumber)
{
    write(std::string("[A]\nk=") + GetParam().value + "\n");
    EXPECT_EQ(GetPrivateProfileInt("A", "k", 99, m_path), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProfileInt,
                         ::testing::Values(IntCase{"plain", "7", 7}, IntCase{"negative", "-3", -3},
                                           IntCase{"trailingText", "12abc", 12}, IntCase{"notANumber", "abc", 0},
                                           IntCase{"empty", "", 0}, IntCase{"plusSign", "+5", 5}),
                         CaseName());

TEST_F(ProfileFile, WriteReplacesInPlaceAndKeepsTheRest)
{
    write("; settings\n[Language]\nlanguage=EN_LAN\n\n[PathSetting]\nSnapPath=/tmp/snap\n");
    ASSERT_TRUE(WritePrivateProfileString("Language", "Language", "CN_LAN", m_path));
    EXPECT_EQ(read(), "; settings\r\n[Language]\r\nlanguage=CN_LAN\r\n\r\n[PathSetting]\r\nSnapPath=/tmp/snap\r\n");
}

TEST_F(ProfileFile, WriteAppendsKeyAtSectionEndAndNewSectionAtFileEnd)
{
    write("[A]\nk=1\n\n[B]\nx=2\n");
    ASSERT_TRUE(WritePrivateProfileString("a", "j", "3", m_path));
    ASSERT_TRUE(WritePrivateProfileString("C", "y", "4", m_path));
    EXPECT_EQ(read(), "[A]\r\nk=1\r\nj=3\r\n\r\n[B]\r\nx=2\r\n\r\n[C]\r\ny=4\r\n");
    EXPECT_EQ(GetPrivateProfileString("A", "J", "", m_path), "3");
}

TEST_F(ProfileFile, WriteAfterADoubledByteOrderMarkReplacesTheValueInItsSection)
{
    write("\xEF\xBB\xBF\xEF\xBB\xBF[Language]\nLanguage=EN_LAN\n");
    ASSERT_TRUE(WritePrivateProfileString("Language", "Language", "CN_LAN", m_path));
    EXPECT_EQ(GetPrivateProfileString("Language", "Language", "", m_path), "CN_LAN");
    EXPECT_EQ(read(), "[Language]\r\nLanguage=CN_LAN\r\n");
}

TEST_F(ProfileFile, WriteCreatesAMissingFile)
{
    ASSERT_TRUE(WritePrivateProfileString("A", "k", "v", m_path));
    EXPECT_EQ(GetPrivateProfileString("A", "k", "", m_path), "v");
}

TEST_F(ProfileFile, WriteIntoAMissingFolderFails)
{
    EXPECT_FALSE(WritePrivateProfileString("A", "k", "v", m_dir.filePath("no/such/x.ini").toStdString()));
}

TEST_F(ProfileFile, DeleteKeyAndSectionNames)
{
    write("[A]\nk=1\nj=2\n[B]\n");
    ASSERT_TRUE(DeletePrivateProfileKey("A", "K", m_path));
    EXPECT_EQ(GetPrivateProfileString("A", "k", "gone", m_path), "gone");
    EXPECT_EQ(GetPrivateProfileString("A", "j", "", m_path), "2");
    EXPECT_EQ(GetPrivateProfileSectionNames(m_path), (std::vector<std::string>{"A", "B"}));
}

}  // namespace
