// G.711 A-law decoding of device audio (8000 Hz mono, 320-byte frames of 40 ms).
//
// The devices use A-law with two differences from G.711: bit 7 set means a negative sample, and
// samples stay on the 13-bit scale (largest magnitude 4032) instead of being shifted to 16 bits.
// Both directions use the same convention.
#pragma once

#include <vector>

// A decoder of one audio format into 16-bit PCM. Stateless between calls.
class AudioDecBase {
public:
    virtual ~AudioDecBase() = default;
    // Decodes every byte of `in` into `out` (room for in.size() samples); *outBytes becomes the
    // PCM length in bytes. Returns 0, or -1 when the format has no such operation.
    virtual int Decode(const std::vector<unsigned char>& in, short* out, int* outBytes);
    // As Decode, each sample then made louder by 1.7 (truncated toward zero).
    virtual int DecodeLoud(const std::vector<unsigned char>& in, short* out, int* outBytes);
};

class ALawDecoder : public AudioDecBase {
public:
    int Decode(const std::vector<unsigned char>& in, short* out, int* outBytes) override;
    int DecodeLoud(const std::vector<unsigned char>& in, short* out, int* outBytes) override;

    // One byte to one sample on the 13-bit scale.
    static short DecodeSample(unsigned char code);
    // The same sample times 1.7, truncated toward zero.
    static short DecodeLoudSample(unsigned char code);
    // Decodes `length` bytes from `in` into `out` (room for `length` samples); loud or plain.
    static void DecodeBytes(const unsigned char* in, int length, short* out, bool loud);
};
