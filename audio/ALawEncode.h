// G.711 A-law encoding of captured 16-bit PCM for talk-back, with the devices' convention
// (bit 7 set for negative samples, input on the 13-bit scale; louder samples clip).
#pragma once

// An encoder of 16-bit PCM into one audio format. Stateless between calls.
class AudioEncBase {
public:
    virtual ~AudioEncBase() = default;
    // `*bytes` is the PCM length in bytes on entry; *bytes / 2 samples are encoded into `out` and
    // *bytes becomes the encoded length. Returns 0, or -1 when the format has no encoder.
    virtual int Encode(unsigned char* out, const short* in, unsigned* bytes);
};

class ALawEncode : public AudioEncBase {
public:
    int Encode(unsigned char* out, const short* in, unsigned* bytes) override;

    static unsigned char EncodeSample(short sample);
};
