// What the recorder and the record-stream decoder need to know about an Annex-B access unit:
// which codec its parameter sets belong to, whether a stream can start with it, and whether it
// is a key frame. NAL units may begin with three- or four-byte start codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nal {

inline constexpr int kUnknown = -1;
inline constexpr int kH264 = 0;
inline constexpr int kH265 = 1;

// Calls fn(header, bytes) for each NAL unit of the access unit: `header` points at its first
// header byte and `bytes` counts what is left of the buffer from there. Stops when fn returns true.
template <class Fn> bool forEachUnit(const char* data, std::size_t length, Fn&& fn)
{
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    if (p == nullptr)
        return false;
    for (std::size_t i = 0; i + 3 < length; ++i) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if (fn(p + i + 3, length - i - 3))
                return true;
            i += 2;
        }
    }
    return false;
}

// The codec named by the first parameter set of the access unit; kUnknown without one.
inline int DetectCodec(const char* data, std::size_t length)
{
    int codec = kUnknown;
    forEachUnit(data, length, [&codec](const uint8_t* h, std::size_t bytes) {
        if ((h[0] & 0x80) != 0)
            return false;
        const int hevcType = (h[0] >> 1) & 0x3F;
        if (bytes >= 2 && hevcType >= 32 && hevcType <= 34 && h[1] == 0x01) {
            codec = kH265;
            return true;
        }
        if ((h[0] & 0x1F) == 7) {
            codec = kH264;
            return true;
        }
        return false;
    });
    return codec;
}

// True when the access unit carries the stream's sequence parameters (H.264 SPS, H.265 VPS or
// SPS): a decoder can begin there.
inline bool StartsStream(const char* data, std::size_t length, int codec)
{
    return forEachUnit(data, length, [codec](const uint8_t* h, std::size_t) {
        if (codec == kH265) {
            const int type = (h[0] >> 1) & 0x3F;
            return type == 32 || type == 33;
        }
        return (h[0] & 0x1F) == 7;
    });
}

// True for an access unit with parameter sets or an instantaneous refresh picture.
inline bool IsKeyFrame(const char* data, std::size_t length, int codec)
{
    return forEachUnit(data, length, [codec](const uint8_t* h, std::size_t) {
        if (codec == kH265) {
            const int type = (h[0] >> 1) & 0x3F;
            return type == 32 || type == 33 || (type >= 16 && type <= 21);
        }
        const int type = h[0] & 0x1F;
        return type == 7 || type == 5;
    });
}

} // namespace nal
