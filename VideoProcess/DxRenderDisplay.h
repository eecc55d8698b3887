// The Direct3D displayer: planar YUV 4:2:0 or NV12 pictures handed to the window's surface,
// which converts and scales them; zoom and pan as a drawing rectangle up to three times the
// picture, rotation by the surface, three overlay pictures and a text label. Its set-up fails
// when the window has no surface or the surface takes no YUV pictures; the decoder then draws
// through the GDI displayer.
#pragma once

#include "DisplayerBase.h"

#include <VideoSurface.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

class DxRenderDisplay : public DisplayerBase {
public:
    int Init(int window, int width, int height, int format) override;
    int DisplayHardwareFrame(const uint8_t* nv12) override;
    int DisplayWithLabel(const uint8_t* frame, const char* text) override;
    int Display(const uint8_t* frame) override;
    int SaveSnapshot(const char* path) override;
    void SetZoom(float scale, int dx, int dy) override;
    void Reset() override;
    int GetPixelLayout() override { return kLayoutPlanar; }
    void LoadPicture(const char* path, int left, int top, int right, int bottom, int index) override;
    void SetRotation(int degrees) override { m_rotation = degrees; }

    // The drawing rectangle (left, top, right, bottom) in picture pixels of an unscaled window.
    platform::PictureRect zoomRect() const
    {
        return {m_zoomLeft, m_zoomTop, m_zoomRight - m_zoomLeft, m_zoomBottom - m_zoomTop};
    }
    bool zoomActive() const { return m_zoomActive; }

private:
    struct Overlay {
        int left = 0;
        int top = 0;
        int right = 0;
        int bottom = 0;
        std::string path;
        std::shared_ptr<const std::vector<uint8_t>> file;
    };

    std::shared_ptr<platform::VideoSurface> surface() const;
    platform::PictureRect visiblePart() const;
    int draw(const uint8_t* frame, platform::PictureFormat format, bool useZoom, int rotation, bool overlays,
             const char* label);

    bool m_ready = false; // stands for the renderer object: set by a successful Init
    int m_window = 0;
    int m_zoomLeft = 0;
    int m_zoomTop = 0;
    int m_zoomRight = 0;
    int m_zoomBottom = 0;
    int m_pictureWidth = 0;
    int m_pictureHeight = 0;
    bool m_zoomActive = false;
    std::array<Overlay, 3> m_overlays;
    int m_rotation = 0;
    int m_format = kFormatPlanar;
    bool m_zoomEnabled = false;
    // The picture last drawn, kept for SaveSnapshot; valid until the decoder's next picture.
    const uint8_t* m_lastFrame = nullptr;
    platform::PictureFormat m_lastFormat = platform::PictureFormat::Yuv420p;
};
