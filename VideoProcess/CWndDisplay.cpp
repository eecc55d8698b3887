#include "CWndDisplay.h"

#include "BitmapFile.h"

#include <algorithm>
#include <cstring>

int CWndDisplay::Init(int window, int width, int height, int format)
{
    m_window = window;
    m_pictureWidth = width;
    m_pictureHeight = height;
    m_view = {0, 0, width, height};
    m_rotated.clear();
    return 0;
}

void CWndDisplay::SetZoom(float scale, int dx, int dy)
{
    if (scale == 1.0f) {
        m_zoomEnabled = true;
        return;
    }
    if (scale == 0.0f) {
        m_zoomEnabled = false;
        return;
    }
    if (scale < 0.0f) {
        dx = std::clamp(dx, -10, 10);
        dy = std::clamp(dy, -5, 5);
        m_view.x = std::clamp(m_view.x + dx, 0, std::max(0, m_pictureWidth - m_view.width));
        m_view.y = std::clamp(m_view.y + dy, 0, std::max(0, m_pictureHeight - m_view.height));
        return;
    }
    if (!m_zoomEnabled)
        return;
    if (scale < 1.0f) {
        m_view = {0, 0, m_pictureWidth, m_pictureHeight};
        return;
    }
    const int width = static_cast<int>(m_pictureWidth / scale);
    const int height = static_cast<int>(m_pictureHeight / scale);
    // At most five times: a view of a fifth of the picture or less is refused.
    if (width * 5 <= m_pictureWidth || height * 5 <= m_pictureHeight || width <= 0 || height <= 0)
        return;
    // Zoom about the centre of the previous view, kept inside the picture.
    const int x = m_view.x + (m_view.width - width) / 2;
    const int y = m_view.y + (m_view.height - height) / 2;
    m_view = {std::clamp(x, 0, m_pictureWidth - width), std::clamp(y, 0, m_pictureHeight - height), width, height};
}

void CWndDisplay::LoadPicture(const char* path, int, int, int, int, int index)
{
    if (index < 0 || index > 2)
        return;
    Overlay& slot = m_overlays[static_cast<size_t>(index)];
    slot.path = path ? path : "";
    slot.file.reset();
    if (!slot.path.empty())
        slot.file = std::make_shared<const std::vector<uint8_t>>(ReadWholeFile(slot.path, kMaxOverlayBytes));
}

int CWndDisplay::Display(const uint8_t* frame)
{
    return present(frame, false, true);
}

int CWndDisplay::DisplayWithLabel(const uint8_t* frame, const char*)
{
    return present(frame, true, false);
}

int CWndDisplay::present(const uint8_t* frame, bool whole, bool overlays)
{
    if (!frame || m_pictureWidth <= 0 || m_pictureHeight <= 0)
        return -1;
    std::shared_ptr<platform::VideoSurface> surface = platform::FindVideoSurface(m_window);
    if (!surface)
        return -1;
    const int w = m_pictureWidth;
    const int h = m_pictureHeight;
    platform::PictureRect view = (m_zoomEnabled && !whole) ? m_view : platform::PictureRect{0, 0, w, h};
    platform::SurfacePicture picture;
    picture.format = platform::PictureFormat::Bgr24;
    picture.width = w;
    picture.height = h;
    picture.pixels = frame;
    const int rotation = whole ? 0 : m_rotation;
    if (rotation == 90 || rotation == 180 || rotation == 270) {
        m_rotated.resize(static_cast<size_t>(w) * static_cast<size_t>(h) * 3);
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                int tx = x;
                int ty = y;
                int tw = w;
                if (rotation == 90) { // clockwise: (x, y) -> (h - 1 - y, x)
                    tx = h - 1 - y;
                    ty = x;
                    tw = h;
                } else if (rotation == 270) { // counter-clockwise: (x, y) -> (y, w - 1 - x)
                    tx = y;
                    ty = w - 1 - x;
                    tw = h;
                } else {
                    tx = w - 1 - x;
                    ty = h - 1 - y;
                }
                std::memcpy(&m_rotated[(static_cast<size_t>(ty) * static_cast<size_t>(tw) + static_cast<size_t>(tx)) * 3],
                            frame + (static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 3, 3);
            }
        }
        picture.pixels = m_rotated.data();
        if (rotation == 90) {
            picture.width = h;
            picture.height = w;
            view = {h - view.y - view.height, view.x, view.height, view.width};
        } else if (rotation == 270) {
            picture.width = h;
            picture.height = w;
            view = {view.y, w - view.x - view.width, view.height, view.width};
        } else {
            view = {w - view.x - view.width, h - view.y - view.height, view.width, view.height};
        }
    }
    picture.view = view;
    if (overlays) {
        for (size_t i = 0; i < m_overlays.size(); ++i) {
            const Overlay& slot = m_overlays[i];
            // Only a file that begins with "BM" is drawn.
            if (!slot.file || slot.file->size() < 2 || (*slot.file)[0] != 'B' || (*slot.file)[1] != 'M')
                continue;
            platform::SurfaceOverlay overlay;
            overlay.index = static_cast<int>(i);
            overlay.fromRight = 30 * static_cast<int>(i) + 30;
            overlay.fromBottom = 30;
            overlay.width = 20;
            overlay.height = 20;
            overlay.inPicture = false;
            overlay.path = slot.path;
            overlay.bitmap = slot.file;
            picture.overlays.push_back(std::move(overlay));
        }
    }
    surface->present(picture);
    return 0;
}
