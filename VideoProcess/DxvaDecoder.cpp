#include "DxvaDecoder.h"

#include "BitmapFile.h"
#include "CWndDisplay.h"
#include "DxRenderDisplay.h"
#include "ffmpeg_dxva2.h"

#include <NetLog.h>

extern "C" {
#include <libavutil/cpu.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <mutex>

namespace {

std::atomic<int> g_threadCount{1};

int alignUp(int value, int alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// FFmpeg's own messages go to the SDK log (errors only), never to the terminal.
void forwardFfmpegLog(void* object, int level, const char* format, va_list args)
{
    if (level > AV_LOG_ERROR)
        return;
    char line[512];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    // A stream that does not decode says so for every picture: once, then with a count.
    NETLOG_REPEATING(netlog::Level::Warn, "ffmpeg: " << text);
}

void installFfmpegLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(forwardFfmpegLog); });
}

} // namespace

void DxvaDecoder::SetThreadCount(int threads)
{
    g_threadCount.store(threads < 0 ? 0 : threads);
}

DxvaDecoder::~DxvaDecoder()
{
    UnInit();
}

int DxvaDecoder::InitDecoder(int window, int width, int height, bool hardware, int codec)
{
    UnInit();
    installFfmpegLog();
    m_useDxva2 = hardware;
    m_useDirect3D = hardware;
    // A size from the device sizes our buffers: refuse what no camera sends.
    if (width < 0 || height < 0 || width > kMaxDimension || height > kMaxDimension) {
        NETLOG("refused decoder size " << width << " x " << height);
        return -1;
    }
    m_frame.reset(av_frame_alloc());
    m_hwCopy.reset(av_frame_alloc());
    m_shown.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_frame || !m_hwCopy || !m_shown || !m_packet)
        return -1;
    m_codec = codec;
    const AVCodecID id = codec == kCodecH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    m_alignment = codec == kCodecH265 ? 128 : 16;
    m_alignedWidth = alignUp(width, m_alignment);
    m_alignedHeight = alignUp(height, m_alignment);
    const AVCodec* decoder = avcodec_find_decoder(id);
    if (!decoder)
        return -1;
    m_context.reset(avcodec_alloc_context3(decoder));
    if (!m_context)
        return -1;
    m_context->thread_count = g_threadCount.load();
    m_context->opaque = this;
    m_context->get_buffer2 = &DxvaDecoder::getBuffer;
    if (m_useDxva2 && !ffmpeg_dxva2::Setup(m_context.get(), decoder)) {
        NETLOG("error init dxva decode");
        m_useDxva2 = false;
    }
    if (avcodec_open2(m_context.get(), decoder, nullptr) < 0) {
        m_context.reset();
        return -1;
    }
    m_window = window;
    m_directPictures = 0;
    return 0;
}

void DxvaDecoder::UnInit()
{
    m_context.reset();
    m_frame.reset();
    m_hwCopy.reset();
    m_shown.reset();
    m_packet.reset();
    // Buffers still referenced elsewhere outlive the pool; it is freed with the last of them.
    std::lock_guard<std::mutex> lock(m_poolMutex);
    m_pool.reset();
    m_poolBufferSize = 0;
}

int DxvaDecoder::getBuffer(AVCodecContext* context, AVFrame* frame, int flags)
{
    auto* self = static_cast<DxvaDecoder*>(context->opaque);
    if (self && frame->format == AV_PIX_FMT_YUV420P && context->codec &&
        (context->codec->capabilities & AV_CODEC_CAP_DR1) && self->packedBuffer(context, frame) == 0)
        return 0;
    return avcodec_default_get_buffer2(context, frame, flags);
}

int DxvaDecoder::packedBuffer(AVCodecContext* context, AVFrame* frame)
{
    const int w = frame->width;
    const int h = frame->height;
    // The decoder writes whole coding blocks: only a picture that they cover exactly (no
    // cropping) fills w x h and nothing past it, so the chroma planes may follow the last row.
    if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension || (w & 1) || (h & 1) || w != context->width ||
        h != context->height || w != context->coded_width || h != context->coded_height)
        return -1;
    int alignedWidth = w;
    int alignedHeight = h;
    int strideAlign[AV_NUM_DATA_POINTERS] = {};
    avcodec_align_dimensions2(context, &alignedWidth, &alignedHeight, strideAlign);
    // Rows without padding must still meet the decoder's stride alignment.
    const int cpuAlign = static_cast<int>(av_cpu_max_align());
    if (alignedWidth != w)
        return -1;
    for (int plane = 0; plane < 3; ++plane) {
        const int stride = plane == 0 ? w : w / 2;
        const int align = std::max(strideAlign[plane], cpuAlign);
        if (align > 0 && stride % align != 0)
            return -1;
    }
    const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h);
    const size_t chroma = luma / 4;
    // Past the last plane: the rows FFmpeg's own buffers add below the picture, which its motion
    // compensation may read (never write), and the input padding.
    const size_t tail = static_cast<size_t>(alignedHeight - h + 2) * static_cast<size_t>(w) +
                        static_cast<size_t>(2 * cpuAlign + AV_INPUT_BUFFER_PADDING_SIZE);
    const size_t size = luma + 2 * chroma + tail;
    AVBufferRef* buffer = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_poolMutex);
        if (!m_pool || m_poolBufferSize != size) {
            m_pool.reset(av_buffer_pool_init(size, av_buffer_allocz));
            m_poolBufferSize = m_pool ? size : 0;
        }
        if (m_pool)
            buffer = av_buffer_pool_get(m_pool.get());
    }
    if (!buffer)
        return -1;
    frame->buf[0] = buffer;
    frame->data[0] = buffer->data;
    frame->data[1] = buffer->data + luma;
    frame->data[2] = buffer->data + luma + chroma;
    frame->linesize[0] = w;
    frame->linesize[1] = w / 2;
    frame->linesize[2] = w / 2;
    frame->extended_data = frame->data;
    return 0;
}

bool DxvaDecoder::IsPackedPlanar(const AVFrame* picture)
{
    if (!picture || picture->format != AV_PIX_FMT_YUV420P || !picture->data[0])
        return false;
    const int w = picture->width;
    const int h = picture->height;
    if (w <= 0 || h <= 0 || (w & 1) || (h & 1))
        return false;
    const size_t luma = static_cast<size_t>(w) * static_cast<size_t>(h);
    return picture->linesize[0] == w && picture->linesize[1] == w / 2 && picture->linesize[2] == w / 2 &&
           picture->data[1] == picture->data[0] + luma && picture->data[2] == picture->data[1] + luma / 4;
}

void DxvaDecoder::Stop()
{
    m_keySeen = false;
    if (m_displayer)
        m_displayer->Reset();
}

void DxvaDecoder::SetSnapshot(std::string path, DeviceResultCallback done)
{
    if (m_snapshotPending)
        return;
    m_snapshotPending = true;
    m_snapshotPath = std::move(path);
    m_snapshotDone = std::move(done);
}

void DxvaDecoder::SetDisplayParam(int value)
{
    if (m_displayer)
        m_displayer->displayParam = value;
}

void DxvaDecoder::DrawPicture(const char* path, int left, int top, int right, int bottom, int index)
{
    if (m_displayer)
        m_displayer->LoadPicture(path, left, top, right, bottom, index);
}

void DxvaDecoder::RotateImage(int degrees)
{
    if (m_displayer)
        m_displayer->SetRotation(degrees);
}

int DxvaDecoder::DecoderFrame(uint64_t pts, const char* frame, size_t length)
{
    if (!frame || length == 0)
        return -1;
    return decode(pts, reinterpret_cast<const uint8_t*>(frame), length, true);
}

int DxvaDecoder::DecodeBuffer(uint64_t pts, const uint8_t* data, int length)
{
    if (!data || length <= 0)
        return -1;
    return decode(pts, data, static_cast<size_t>(length), false);
}

int DxvaDecoder::decode(uint64_t pts, const uint8_t* data, size_t length, bool live)
{
    if (!m_context)
        return -1;
    // Key gate: note the first H.264 sequence parameter set; every frame is decoded.
    if (length > 4 && (data[4] & 0x1F) == 7)
        m_keySeen = true;
    if (live)
        m_lastPts = pts;
    if (length > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        return -1;
    // A packet without a buffer: avcodec_send_packet copies it into a padded one.
    m_packet->data = const_cast<uint8_t*>(data);
    m_packet->size = static_cast<int>(length);
    m_packet->pts = static_cast<int64_t>(pts & INT64_MAX);
    int result = 0;
    int rc = avcodec_send_packet(m_context.get(), m_packet.get());
    bool resend = rc == AVERROR(EAGAIN);
    if (rc < 0 && !resend)
        result = -2;
    for (;;) {
        rc = avcodec_receive_frame(m_context.get(), m_frame.get());
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0) {
            result = -2;
            break;
        }
        const int shown = showPicture(m_frame.get(), live);
        av_frame_unref(m_frame.get());
        if (!live && shown < 0)
            result = shown;
        if (resend) {
            resend = false;
            if (avcodec_send_packet(m_context.get(), m_packet.get()) < 0)
                result = -2;
        }
    }
    m_packet->data = nullptr;
    m_packet->size = 0;
    return result;
}

bool DxvaDecoder::makeDisplayer(int width, int height, int format, bool live)
{
    m_displayer.reset();
    if (!m_useDirect3D) {
        if (live)
            NETLOG("error occur DXRender");
        m_displayer = std::make_unique<CWndDisplay>();
    } else {
        m_displayer = std::make_unique<DxRenderDisplay>();
    }
    if (m_displayer->Init(m_window, width, height, format) >= 0)
        return true;
    if (format == DisplayerBase::kFormatNv12 || !m_useDirect3D) {
        m_displayer.reset();
        return false;
    }
    // The Direct3D displayer cannot draw here: GDI for the rest of this decoder's life.
    m_useDirect3D = false;
    m_displayer = std::make_unique<CWndDisplay>();
    if (m_displayer->Init(m_window, width, height, format) >= 0)
        return true;
    m_displayer.reset();
    return false;
}

bool DxvaDecoder::convert(const AVFrame* picture, AVPixelFormat to)
{
    const int w = picture->width;
    const int h = picture->height;
    const int bytes = av_image_get_buffer_size(to, w, h, 1);
    if (bytes <= 0)
        return false;
    m_converted.resize(static_cast<size_t>(bytes));
    uint8_t* planes[4] = {};
    int lines[4] = {};
    if (av_image_fill_arrays(planes, lines, m_converted.data(), to, w, h, 1) < 0)
        return false;
    if (picture->format == to) {
        av_image_copy(planes, lines, const_cast<const uint8_t**>(picture->data), picture->linesize, to, w, h);
        return true;
    }
    m_scaler.reset(sws_getCachedContext(m_scaler.release(), w, h, static_cast<AVPixelFormat>(picture->format), w, h,
                                        to, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr));
    if (!m_scaler)
        return false;
    return sws_scale(m_scaler.get(), picture->data, picture->linesize, 0, h, planes, lines) == h;
}

int DxvaDecoder::showPicture(AVFrame* decoded, bool live)
{
    AVFrame* picture = decoded;
    const bool hardwareFrame = ffmpeg_dxva2::IsHardwareFrame(decoded);
    if (hardwareFrame) {
        av_frame_unref(m_hwCopy.get());
        m_hwCopy->format = AV_PIX_FMT_NV12;
        if (av_hwframe_transfer_data(m_hwCopy.get(), decoded, 0) < 0) {
            NETLOG("Unable to lock DXVA2 surface");
            return -1;
        }
        picture = m_hwCopy.get();
    }
    const int w = picture->width;
    const int h = picture->height;
    if (w <= 0 || h <= 0 || w > kMaxDimension || h > kMaxDimension)
        return -1;
    // A picture larger than the decoder was set up for (or of another size than the displayer
    // draws) sets the decoder and its displayer up again for the new size.
    if (w > m_alignedWidth || h > m_alignedHeight) {
        m_alignedWidth = alignUp(w, m_alignment);
        m_alignedHeight = alignUp(h, m_alignment);
    }
    const int format = (hardwareFrame && live) ? DisplayerBase::kFormatNv12 : DisplayerBase::kFormatPlanar;
    if (!m_displayer || w != m_displayWidth || h != m_displayHeight || format != m_displayFormat) {
        m_scaler.reset();
        if (!makeDisplayer(w, h, format, live))
            return -1;
        m_displayWidth = w;
        m_displayHeight = h;
        m_displayFormat = format;
    }
    int result = 0;
    const int layout = m_displayer->GetPixelLayout();
    // The previous picture is no longer the displayer's.
    av_frame_unref(m_shown.get());
    if (format == DisplayerBase::kFormatNv12 && layout == DisplayerBase::kLayoutPlanar) {
        if (!convert(picture, AV_PIX_FMT_NV12))
            return -1;
        result = m_displayer->DisplayHardwareFrame(m_converted.data());
    } else if (layout == DisplayerBase::kLayoutPlanar && IsPackedPlanar(picture) &&
               av_frame_ref(m_shown.get(), picture) == 0) {
        // Decoded straight into the displayer's layout: drawn from the decoder's buffer, which
        // m_shown keeps until the next picture.
        ++m_directPictures;
        result = m_displayer->Display(m_shown->data[0]);
    } else {
        if (!convert(picture, layout == DisplayerBase::kLayoutPlanar ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_BGR24))
            return -1;
        result = m_displayer->Display(m_converted.data());
    }
    if (m_snapshotPending) {
        int saved = -1;
        if (!live || layout == DisplayerBase::kLayoutPlanar)
            saved = m_displayer->SaveSnapshot(m_snapshotPath.c_str());
        else
            saved = WriteBitmapFile(m_snapshotPath, m_converted.data(), w, h) ? 0 : -1;
        finishSnapshot(live, saved);
    }
    return result < 0 && !live ? result : 0;
}

void DxvaDecoder::finishSnapshot(bool live, int result)
{
    m_snapshotPending = false;
    if (!live || !m_snapshotDone)
        return;
    DeviceResultCallback done = std::move(m_snapshotDone);
    m_snapshotDone = nullptr;
    done(0, result, m_snapshotPath, std::string(), nullptr, 0);
}
