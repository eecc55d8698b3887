#include "StringConvert.h"

#include <gtest/gtest.h>

namespace {

TEST(StringConvert, Utf8RoundTripKeepsNonAsciiText) {
    const QString text = QString::fromUtf8("\xE6\x91\x84\xE5\x83\x8F\xE6\x9C\xBA cam's");
    EXPECT_EQ(lumora::fromUtf8(lumora::toUtf8(text)), text);
}

}  // namespace
