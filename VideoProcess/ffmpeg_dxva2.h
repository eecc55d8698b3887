// Hardware decoding set-up in place of DXVA2: FFmpeg's VAAPI decoder on a render device, with
// decoded surfaces copied back as NV12. Where no device exists (or the codec has no VAAPI
// configuration) the set-up fails and the decoder stays in software.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <string>

namespace ffmpeg_dxva2 {

// The render device tried by every later set-up ("" lets libva pick its default).
void SetDevicePath(const std::string& path);

// Links a hardware device to `context` (before avcodec_open2). False leaves `context` untouched.
bool Setup(AVCodecContext* context, const AVCodec* codec);

// True when `frame` lives in a hardware surface and must be copied back.
bool IsHardwareFrame(const AVFrame* frame);

} // namespace ffmpeg_dxva2
