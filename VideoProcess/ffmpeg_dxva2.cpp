#include "ffmpeg_dxva2.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

#include <mutex>

namespace ffmpeg_dxva2 {

namespace {

std::mutex g_pathMutex;
std::string g_devicePath = "/dev/dri/renderD128";

AVPixelFormat chooseFormat(AVCodecContext*, const AVPixelFormat* formats)
{
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == AV_PIX_FMT_VAAPI)
            return *f;
    // No hardware format offered for this stream: the first software one.
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(*f);
        if (d && !(d->flags & AV_PIX_FMT_FLAG_HWACCEL))
            return *f;
    }
    return AV_PIX_FMT_NONE;
}

} // namespace

void SetDevicePath(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_devicePath = path;
}

bool Setup(AVCodecContext* context, const AVCodec* codec)
{
    bool offered = false;
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (!config)
            break;
        if (config->device_type == AV_HWDEVICE_TYPE_VAAPI && (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX))
            offered = true;
    }
    if (!offered)
        return false;
    std::string path;
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        path = g_devicePath;
    }
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, path.empty() ? nullptr : path.c_str(), nullptr, 0) < 0)
        return false;
    context->hw_device_ctx = device; // the context owns the reference from here
    context->get_format = chooseFormat;
    return true;
}

bool IsHardwareFrame(const AVFrame* frame)
{
    return frame->format == AV_PIX_FMT_VAAPI;
}

} // namespace ffmpeg_dxva2
