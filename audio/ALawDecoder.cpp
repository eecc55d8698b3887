#include "ALawDecoder.h"

int AudioDecBase::Decode(const std::vector<unsigned char>&, short*, int*) { return -1; }
int AudioDecBase::DecodeLoud(const std::vector<unsigned char>&, short*, int*) { return -1; }

short ALawDecoder::DecodeSample(unsigned char code)
{
    const bool negative = (code & 0x80) != 0;
    const int s = (code & 0x7F) ^ 0x55;
    const int segment = s >> 4;
    const int mantissa = s & 0x0F;
    int magnitude;
    if (segment == 0)
        magnitude = 2 * mantissa + 1;
    else
        magnitude = (mantissa << segment) | (1 << (segment - 1)) | (1 << (segment + 4));
    return static_cast<short>(negative ? -magnitude : magnitude);
}

short ALawDecoder::DecodeLoudSample(unsigned char code)
{
    // 1.7 x 4032 stays well inside 16 bits; the cast truncates toward zero.
    return static_cast<short>(static_cast<double>(DecodeSample(code)) * 1.7);
}

void ALawDecoder::DecodeBytes(const unsigned char* in, int length, short* out, bool loud)
{
    for (int i = 0; i < length; ++i)
        out[i] = loud ? DecodeLoudSample(in[i]) : DecodeSample(in[i]);
}

int ALawDecoder::Decode(const std::vector<unsigned char>& in, short* out, int* outBytes)
{
    DecodeBytes(in.data(), static_cast<int>(in.size()), out, false);
    *outBytes = static_cast<int>(in.size()) * 2;
    return 0;
}

int ALawDecoder::DecodeLoud(const std::vector<unsigned char>& in, short* out, int* outBytes)
{
    DecodeBytes(in.data(), static_cast<int>(in.size()), out, true);
    *outBytes = static_cast<int>(in.size()) * 2;
    return 0;
}
