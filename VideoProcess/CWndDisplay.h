// The GDI displayer: BGR24 pictures stretched over the window's surface, with a zoomed view
// rectangle, quarter-turn rotation done on the pixels and up to three small BMP overlays in the
// bottom-right corner of the surface.
#pragma once

#include "DisplayerBase.h"

#include <VideoSurface.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

class CWndDisplay : public DisplayerBase {
public:
    // Largest overlay file read into memory.
    static constexpr size_t kMaxOverlayBytes = 4u * 1024u * 1024u;

    int Init(int window, int width, int height, int format) override;
    int DisplayHardwareFrame(const uint8_t*) override { return -1; }
    int DisplayWithLabel(const uint8_t* frame, const char* text) override;
    int Display(const uint8_t* frame) override;
    int SaveSnapshot(const char*) override { return -1; }
    void SetZoom(float scale, int dx, int dy) override;
    void Reset() override {}
    int GetPixelLayout() override { return kLayoutBgr24; }
    void LoadPicture(const char* path, int left, int top, int right, int bottom, int index) override;
    void SetRotation(int degrees) override { m_rotation = degrees; }

    // The part of the picture shown while zoom is on.
    platform::PictureRect view() const { return m_view; }
    bool zoomEnabled() const { return m_zoomEnabled; }

private:
    struct Overlay {
        std::string path;
        std::shared_ptr<const std::vector<uint8_t>> file;
    };

    int present(const uint8_t* frame, bool whole, bool overlays);

    int m_window = 0;
    int m_pictureWidth = 0;
    int m_pictureHeight = 0;
    platform::PictureRect m_view;
    int m_rotation = 0;
    std::vector<uint8_t> m_rotated;
    std::array<Overlay, 3> m_overlays;
    bool m_zoomEnabled = false;
};
