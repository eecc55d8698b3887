#include "StringConvert.h"

#include "CaseName.h"

#include <gtest/gtest.h>

namespace {

struct FolderCase {
    const char* name;
    const char* path;
    const char* folder;
};
void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

class ModuleDirectory : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ModuleDirectory, CutsAtTheLastSeparator)
{
    EXPECT_EQ(GetModuleDirectory(QString::fromUtf8(GetParam().path)), QString::fromUtf8(GetParam().folder));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModuleDirectory,
    ::testing::Values(FolderCase{"forwardSlash", "/opt/lumora/Lumora", "/opt/lumora"},
                      FolderCase{"backslash", "C:\\Lumora\\Lumora.exe", "C:\\Lumora"},
                      FolderCase{"backslashWinsOverLaterSlash", "C:\\a/b", "C:"},
                      FolderCase{"trailingBackslash", "C:\\Lumora\\", "C:\\Lumora"},
                      FolderCase{"noSeparator", "Lumora", ""}, FolderCase{"empty", "", ""}),
    CaseName());

TEST(StringConvert, NarrowCrossingsKeepNonAsciiText)
{
    const QString text = QString::fromUtf8("\xE6\x91\x84\xE5\x83\x8F\xE6\x9C\xBA cam's");
    EXPECT_EQ(MultiByteToWide(WideToMultiByte(text)), text);
    EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
    EXPECT_EQ(WideToUtf8(text), "\xE6\x91\x84\xE5\x83\x8F\xE6\x9C\xBA cam's");
}

TEST(StringConvert, NullAndEmptySourcesGiveEmptyText)
{
    EXPECT_TRUE(MultiByteToWide(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_TRUE(MultiByteToWide("").isEmpty());
    EXPECT_TRUE(Utf8ToWide(static_cast<const char*>(nullptr)).isEmpty());
    EXPECT_EQ(WideToUtf8(QString()), "");
}

TEST(StringConvert, LongTextIsNotCut)
{
    const QString longText(1000, QLatin1Char('x'));
    EXPECT_EQ(WideToMultiByte(longText).size(), 1000u);
}

}  // namespace
