#include "VideoSurface.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace platform {

namespace {

std::mutex g_surfaceMutex;
std::map<int, std::shared_ptr<VideoSurface>>& surfaces()
{
    static std::map<int, std::shared_ptr<VideoSurface>> table;
    return table;
}

uint8_t clampByte(int v)
{
    return static_cast<uint8_t>(std::clamp(v, 0, 255));
}

} // namespace

size_t PictureBytes(PictureFormat format, int width, int height)
{
    if (width <= 0 || height <= 0)
        return 0;
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    if (format == PictureFormat::Bgr24)
        return w * h * 3;
    return w * h + 2 * ((w / 2) * (h / 2));
}

void PictureToBgr(PictureFormat format, const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out)
{
    if (width <= 0 || height <= 0 || !pixels) {
        out.clear();
        return;
    }
    const size_t w = static_cast<size_t>(width);
    const size_t h = static_cast<size_t>(height);
    out.resize(w * h * 3);
    if (format == PictureFormat::Bgr24) {
        std::copy(pixels, pixels + w * h * 3, out.begin());
        return;
    }
    const size_t cw = w / 2;
    const size_t ch = h / 2;
    const uint8_t* luma = pixels;
    const uint8_t* chroma = pixels + w * h;
    for (size_t y = 0; y < h; ++y) {
        const size_t cy = std::min(y / 2, ch ? ch - 1 : 0);
        for (size_t x = 0; x < w; ++x) {
            const size_t cx = std::min(x / 2, cw ? cw - 1 : 0);
            int u = 128;
            int v = 128;
            if (cw && ch) {
                if (format == PictureFormat::Yuv420p) {
                    u = chroma[cy * cw + cx];
                    v = chroma[cw * ch + cy * cw + cx];
                } else {
                    // Rows of 2 x (width/2) bytes: an odd width's last column has no chroma
                    // pair of its own, and the rows stay inside the picture's bytes.
                    u = chroma[cy * 2 * cw + 2 * cx];
                    v = chroma[cy * 2 * cw + 2 * cx + 1];
                }
            }
            const int c = 298 * (luma[y * w + x] - 16);
            const int d = u - 128;
            const int e = v - 128;
            uint8_t* p = &out[(y * w + x) * 3];
            p[0] = clampByte((c + 516 * d + 128) >> 8);
            p[1] = clampByte((c - 100 * d - 208 * e + 128) >> 8);
            p[2] = clampByte((c + 409 * e + 128) >> 8);
        }
    }
}

bool RegisterVideoSurface(int handle, std::shared_ptr<VideoSurface> surface)
{
    if (handle == 0 || !surface)
        return false;
    std::lock_guard<std::mutex> lock(g_surfaceMutex);
    surfaces()[handle] = std::move(surface);
    return true;
}

void UnregisterVideoSurface(int handle)
{
    std::shared_ptr<VideoSurface> old;
    {
        std::lock_guard<std::mutex> lock(g_surfaceMutex);
        auto it = surfaces().find(handle);
        if (it == surfaces().end())
            return;
        old = std::move(it->second);
        surfaces().erase(it);
    }
    // `old` is released outside the lock: its destructor may be the application's.
}

std::shared_ptr<VideoSurface> FindVideoSurface(int handle)
{
    std::lock_guard<std::mutex> lock(g_surfaceMutex);
    auto it = surfaces().find(handle);
    return it == surfaces().end() ? nullptr : it->second;
}

} // namespace platform
