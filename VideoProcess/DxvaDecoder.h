// FFmpeg decoding of H.264 or H.265 (send/receive API), optionally on a hardware device
// (ffmpeg_dxva2.h), followed by conversion to the layout its displayer draws (planar YUV for the
// Direct3D displayer, BGR24 for the GDI one) and by snapshot saving.
//
// Pictures whose size allows it are decoded straight into one buffer in the displayer's planar
// layout (rows without padding, the chroma planes right after the luma plane), taken from a
// pool; such a picture goes to the displayer as it is, without a copy. Any other picture (a
// cropped 1080-line stream, a width whose rows FFmpeg pads) is copied into that layout first.
#pragma once

#include "DecodeBase.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/buffer.h>
#include <libswscale/swscale.h>
}

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct AvCodecContextFree {
    void operator()(AVCodecContext* c) const noexcept { avcodec_free_context(&c); }
};
struct AvFrameFree {
    void operator()(AVFrame* f) const noexcept { av_frame_free(&f); }
};
struct AvPacketFree {
    void operator()(AVPacket* p) const noexcept { av_packet_free(&p); }
};
struct AvBufferPoolFree {
    void operator()(AVBufferPool* p) const noexcept { av_buffer_pool_uninit(&p); }
};
struct SwsFree {
    void operator()(SwsContext* s) const noexcept { sws_freeContext(s); }
};

class DxvaDecoder : public DecodeBase {
public:
    static constexpr int kCodecH264 = 0;
    static constexpr int kCodecH265 = 1;
    static constexpr int kCodecMjpeg = 2; // decoded as H.264
    // Largest picture side a decoder is set up for; a device claiming more is refused.
    static constexpr int kMaxDimension = 8192;

    // Decoding threads of every decoder made afterwards (1 by default: the frame pool already
    // decodes several streams at once).
    static void SetThreadCount(int threads);

    DxvaDecoder() = default;
    ~DxvaDecoder() override;

    int InitDecoder(int window, int width, int height, bool hardware, int codec) override;
    void UnInit() override;
    int DecodeBuffer(uint64_t pts, const uint8_t* data, int length) override;
    int DecoderFrame(uint64_t pts, const char* frame, size_t length) override;
    using DecodeBase::DecoderFrame;
    void SetSnapshot(std::string path, DeviceResultCallback done) override;
    void Stop() override;
    void SetDisplayParam(int value) override;
    void DrawPicture(const char* path, int left, int top, int right, int bottom, int index) override;
    void RotateImage(int degrees) override;

    bool usesHardware() const { return m_useDxva2; }
    bool usesDirect3D() const { return m_useDirect3D; }
    int alignedWidth() const { return m_alignedWidth; }
    int alignedHeight() const { return m_alignedHeight; }
    // Pictures handed to the displayer without a copy since the decoder was set up (for tests
    // and benchmarks).
    long directPictures() const { return m_directPictures; }

    // True when a decoded picture lies in memory exactly as the planar layout the displayers
    // take: three planes back to back, rows without padding.
    static bool IsPackedPlanar(const AVFrame* picture);

private:
    int decode(uint64_t pts, const uint8_t* data, size_t length, bool live);
    int showPicture(AVFrame* picture, bool live);
    bool makeDisplayer(int width, int height, int format, bool live);
    // Converts `picture` into m_converted in the given pixel format; false on failure.
    bool convert(const AVFrame* picture, AVPixelFormat to);
    void finishSnapshot(bool live, int result);
    // The decoder's get_buffer2: a packed planar buffer from m_pool for pictures that fit one,
    // FFmpeg's own buffers for everything else. May run on FFmpeg's decoding threads.
    static int getBuffer(AVCodecContext* context, AVFrame* frame, int flags);
    int packedBuffer(AVCodecContext* context, AVFrame* frame);

    std::unique_ptr<AVCodecContext, AvCodecContextFree> m_context;
    std::unique_ptr<SwsContext, SwsFree> m_scaler;
    std::unique_ptr<AVFrame, AvFrameFree> m_frame;
    std::unique_ptr<AVFrame, AvFrameFree> m_hwCopy;
    std::unique_ptr<AVPacket, AvPacketFree> m_packet;
    std::vector<uint8_t> m_converted; // the picture in the displayer's layout, reused
    // The picture last drawn straight from the decoder's buffer: the displayer may read it until
    // the next picture (snapshots).
    std::unique_ptr<AVFrame, AvFrameFree> m_shown;
    long m_directPictures = 0;
    // Packed planar picture buffers; replaced when the picture size changes. Guarded by
    // m_poolMutex (getBuffer may run on several FFmpeg threads at once).
    std::mutex m_poolMutex;
    std::unique_ptr<AVBufferPool, AvBufferPoolFree> m_pool;
    size_t m_poolBufferSize = 0;
    int m_codec = kCodecH264;
    int m_alignment = 16;
    int m_alignedHeight = 0;
    int m_alignedWidth = 0;
    int m_window = 0;
    // Size and format the displayer was set up for.
    int m_displayWidth = 0;
    int m_displayHeight = 0;
    int m_displayFormat = 0;
    bool m_snapshotPending = false;
    std::string m_snapshotPath;
    bool m_keySeen = false;
    bool m_useDxva2 = true;
    bool m_useDirect3D = true;
};
