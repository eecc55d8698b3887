#include "DxRenderDisplay.h"

#include "BitmapFile.h"

#include <algorithm>

namespace {

constexpr size_t kMaxOverlayBytes = 4u * 1024u * 1024u;
constexpr float kMaxZoom = 3.0f;
constexpr float kNoZoomBelow = 1.02f;

} // namespace

int DxRenderDisplay::Init(int window, int width, int height, int format)
{
    m_ready = false;
    m_pictureWidth = width;
    m_pictureHeight = height;
    m_format = format;
    m_zoomLeft = 0;
    m_zoomTop = 0;
    m_zoomRight = width;
    m_zoomBottom = height;
    if (width <= 0 || height <= 0)
        return -1;
    std::shared_ptr<platform::VideoSurface> target = platform::FindVideoSurface(window);
    if (!target || !target->acceptsYuv())
        return -1;
    m_window = window;
    m_ready = true;
    return 0;
}

std::shared_ptr<platform::VideoSurface> DxRenderDisplay::surface() const
{
    return m_ready ? platform::FindVideoSurface(m_window) : nullptr;
}

void DxRenderDisplay::Reset()
{
    m_zoomLeft = 0;
    m_zoomTop = 0;
    m_zoomRight = m_pictureWidth;
    m_zoomBottom = m_pictureHeight;
    m_zoomActive = false;
}

void DxRenderDisplay::SetZoom(float scale, int dx, int dy)
{
    if (scale == 1.0f) {
        m_zoomEnabled = true;
        return;
    }
    if (scale == 0.0f) {
        m_zoomEnabled = false;
        Reset();
        return;
    }
    if (scale < 0.0f) {
        dx = std::clamp(dx, -10, 10);
        dy = std::clamp(dy, -5, 5);
        // The drawing rectangle always covers the whole window (the picture size).
        const int width = m_zoomRight - m_zoomLeft;
        const int height = m_zoomBottom - m_zoomTop;
        m_zoomLeft = std::clamp(m_zoomLeft + dx, m_pictureWidth - width, 0);
        m_zoomTop = std::clamp(m_zoomTop + dy, m_pictureHeight - height, 0);
        m_zoomRight = m_zoomLeft + width;
        m_zoomBottom = m_zoomTop + height;
        return;
    }
    if (!m_zoomEnabled)
        return;
    if (scale <= kNoZoomBelow) {
        Reset();
        return;
    }
    scale = std::min(scale, kMaxZoom);
    const int width = static_cast<int>(m_pictureWidth * scale);
    const int height = static_cast<int>(m_pictureHeight * scale);
    m_zoomLeft = -(width - m_pictureWidth) / 2;
    m_zoomTop = -(height - m_pictureHeight) / 2;
    m_zoomRight = m_zoomLeft + width;
    m_zoomBottom = m_zoomTop + height;
    m_zoomActive = true;
}

void DxRenderDisplay::LoadPicture(const char* path, int, int, int, int, int index)
{
    if (index < 0 || index > 2 || !m_ready)
        return;
    Overlay& slot = m_overlays[static_cast<size_t>(index)];
    slot.path = path ? path : "";
    slot.left = m_pictureWidth - 30 * index - 30;
    slot.top = m_pictureHeight - 30;
    slot.right = m_pictureWidth - 30 * index - 5;
    slot.bottom = m_pictureHeight - 5;
    slot.file.reset();
    if (!slot.path.empty())
        slot.file = std::make_shared<const std::vector<uint8_t>>(ReadWholeFile(slot.path, kMaxOverlayBytes));
}

platform::PictureRect DxRenderDisplay::visiblePart() const
{
    // The window shows the part of the enlarged picture that lies over (0, 0)-(w, h).
    const int width = std::max(1, m_zoomRight - m_zoomLeft);
    const int height = std::max(1, m_zoomBottom - m_zoomTop);
    const long long w = m_pictureWidth;
    const long long h = m_pictureHeight;
    platform::PictureRect view;
    view.x = static_cast<int>(-m_zoomLeft * w / width);
    view.y = static_cast<int>(-m_zoomTop * h / height);
    view.width = static_cast<int>(w * w / width);
    view.height = static_cast<int>(h * h / height);
    return view;
}

int DxRenderDisplay::draw(const uint8_t* frame, platform::PictureFormat format, bool useZoom, int rotation,
                          bool overlays, const char* label)
{
    std::shared_ptr<platform::VideoSurface> target = surface();
    if (!target || !frame)
        return -1;
    platform::SurfacePicture picture;
    picture.format = format;
    picture.width = m_pictureWidth;
    picture.height = m_pictureHeight;
    picture.pixels = frame;
    picture.view = useZoom ? visiblePart() : platform::PictureRect{0, 0, m_pictureWidth, m_pictureHeight};
    picture.rotation = (rotation == 90 || rotation == 180 || rotation == 270) ? rotation : 0;
    if (overlays) {
        for (size_t i = 0; i < m_overlays.size(); ++i) {
            const Overlay& slot = m_overlays[i];
            if (slot.path.empty())
                continue;
            platform::SurfaceOverlay overlay;
            overlay.index = static_cast<int>(i);
            overlay.fromRight = m_pictureWidth - slot.left;
            overlay.fromBottom = m_pictureHeight - slot.top;
            overlay.width = slot.right - slot.left;
            overlay.height = slot.bottom - slot.top;
            overlay.inPicture = true;
            overlay.path = slot.path;
            overlay.bitmap = slot.file;
            picture.overlays.push_back(std::move(overlay));
        }
    }
    if (label)
        picture.label = label;
    m_lastFrame = frame;
    m_lastFormat = format;
    target->present(picture);
    return 0;
}

int DxRenderDisplay::Display(const uint8_t* frame)
{
    return draw(frame, platform::PictureFormat::Yuv420p, true, m_rotation, true, nullptr);
}

int DxRenderDisplay::DisplayHardwareFrame(const uint8_t* nv12)
{
    return draw(nv12, platform::PictureFormat::Nv12, m_zoomActive, 0, true, nullptr);
}

int DxRenderDisplay::DisplayWithLabel(const uint8_t* frame, const char* text)
{
    return draw(frame, platform::PictureFormat::Yuv420p, false, 0, false, text);
}

int DxRenderDisplay::SaveSnapshot(const char* path)
{
    if (!m_ready || !m_lastFrame || !path)
        return -1;
    std::vector<uint8_t> bgr;
    platform::PictureToBgr(m_lastFormat, m_lastFrame, m_pictureWidth, m_pictureHeight, bgr);
    return WriteBitmapFile(path, bgr.data(), m_pictureWidth, m_pictureHeight) ? 0 : -1;
}
