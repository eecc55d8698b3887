#include "ALawEncode.h"

#include <cstdlib>

int AudioEncBase::Encode(unsigned char*, const short*, unsigned*) { return -1; }

unsigned char ALawEncode::EncodeSample(short sample)
{
    int magnitude = std::abs(static_cast<int>(sample));
    if (magnitude > 4095)
        magnitude = 4095;
    int segment = 0;
    if (magnitude & 0x800) {
        segment = 7;
    } else {
        for (int bit = 10; bit >= 5; --bit) {
            if (magnitude & (1 << bit)) {
                segment = bit - 4;
                break;
            }
        }
    }
    const int mantissa = segment == 0 ? (magnitude >> 1) & 0x0F : (magnitude >> segment) & 0x0F;
    int code = (segment << 4) | mantissa;
    if (sample < 0)
        code |= 0x80;
    return static_cast<unsigned char>(code ^ 0x55);
}

int ALawEncode::Encode(unsigned char* out, const short* in, unsigned* bytes)
{
    const unsigned samples = *bytes / 2;
    for (unsigned i = 0; i < samples; ++i)
        out[i] = EncodeSample(in[i]);
    *bytes = samples;
    return 0;
}
