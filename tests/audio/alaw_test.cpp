// The devices' A-law: G.711 with bit 7 set for negative samples, on the 13-bit scale.
#include "ALawDecoder.h"
#include "ALawEncode.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct DecodeCase {
    const char* name;
    unsigned char code;
    short sample;
    short loud;
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class ALawDecodeTable : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ALawDecodeTable, GivesSampleAndLoudSample)
{
    const auto& c = GetParam();
    EXPECT_EQ(ALawDecoder::DecodeSample(c.code), c.sample);
    EXPECT_EQ(ALawDecoder::DecodeLoudSample(c.code), c.loud);
}

INSTANTIATE_TEST_SUITE_P(Codes, ALawDecodeTable,
                         ::testing::Values(DecodeCase{"SmallestPositive", 0x55, 1, 1},
                                           DecodeCase{"SmallestNegative", 0xD5, -1, -1},
                                           DecodeCase{"LargestPositive", 0x2A, 4032, 6854},
                                           DecodeCase{"LargestNegative", 0xAA, -4032, -6854},
                                           DecodeCase{"SegmentOneFloor", 0x45, 33, 56},
                                           DecodeCase{"SegmentZeroTop", 0x5A, 31, 52}),
                         [](const auto& param) { return std::string(param.param.name); });

struct EncodeCase {
    const char* name;
    short sample;
    unsigned char code;
};

void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class ALawEncodeTable : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(ALawEncodeTable, GivesCode) { EXPECT_EQ(ALawEncode::EncodeSample(GetParam().sample), GetParam().code); }

INSTANTIATE_TEST_SUITE_P(Samples, ALawEncodeTable,
                         ::testing::Values(EncodeCase{"Zero", 0, 0x55}, EncodeCase{"MinusOne", -1, 0xD5},
                                           EncodeCase{"Loud", 30000, 0x2A}, EncodeCase{"LoudNegative", -30000, 0xAA},
                                           EncodeCase{"ClipPoint", 4095, 0x2A},
                                           EncodeCase{"MostNegative", -32768, 0xAA},
                                           EncodeCase{"SegmentSevenFloor", 2048, 0x25},
                                           EncodeCase{"SegmentOneFloor", 32, 0x45}),
                         [](const auto& param) { return std::string(param.param.name); });

// G.711's own reference decoder on its 16-bit scale, positive when bit 7 is set.
int g711Reference(unsigned char code)
{
    const int a = code ^ 0x55;
    int t = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0)
        t += 8;
    else
        t = (t + 0x108) << (segment - 1);
    return (a & 0x80) ? t : -t;
}

TEST(ALawCodec, EveryCodeIsG711WithTheSignInvertedOnThe13BitScale)
{
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(ALawDecoder::DecodeSample(static_cast<unsigned char>(code)),
                  -g711Reference(static_cast<unsigned char>(code)) / 8)
            << "code " << code;
}

TEST(ALawCodec, EveryCodeSurvivesDecodeThenEncode)
{
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(ALawEncode::EncodeSample(ALawDecoder::DecodeSample(static_cast<unsigned char>(code))), code);
}

TEST(ALawCodec, FrameOperationsReportLengths)
{
    std::vector<short> pcm(320);
    for (std::size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<short>((static_cast<int>(i) - 160) * 20);
    std::vector<unsigned char> alaw(320);
    unsigned bytes = 640;
    ALawEncode encoder;
    ASSERT_EQ(encoder.Encode(alaw.data(), pcm.data(), &bytes), 0);
    EXPECT_EQ(bytes, 320u);

    ALawDecoder decoder;
    std::vector<short> plain(320), loud(320);
    int outBytes = 0;
    ASSERT_EQ(decoder.Decode(alaw, plain.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 640);
    ASSERT_EQ(decoder.DecodeLoud(alaw, loud.data(), &outBytes), 0);
    EXPECT_EQ(outBytes, 640);
    for (std::size_t i = 0; i < pcm.size(); ++i) {
        EXPECT_EQ(plain[i], ALawDecoder::DecodeSample(alaw[i]));
        EXPECT_EQ(loud[i], static_cast<short>(plain[i] * 1.7));
    }

    AudioDecBase base;
    EXPECT_EQ(base.DecodeLoud(alaw, loud.data(), &outBytes), -1);
    AudioEncBase encBase;
    EXPECT_EQ(encBase.Encode(alaw.data(), pcm.data(), &bytes), -1);
}

} // namespace
