// The interface of the video displayers: they draw decoded pictures into the drawing surface
// that a window handle names (platform/VideoSurface.h stands in for the window). The decoder
// picks, owns and feeds its displayer; the stream channel's image operations reach it through
// the decoder, always under the channel's decoder lock, so a displayer is used by one thread at
// a time and keeps no lock of its own.
#pragma once

#include <cstdint>

class DisplayerBase {
public:
    // Formats passed to Init.
    static constexpr int kFormatPlanar = 1; // planar YUV 4:2:0
    static constexpr int kFormatNv12 = 4;
    // Pixel layouts returned by GetPixelLayout.
    static constexpr int kLayoutPlanar = 1;
    static constexpr int kLayoutBgr24 = 2;

    DisplayerBase() = default;
    virtual ~DisplayerBase() = default;
    DisplayerBase(const DisplayerBase&) = delete;
    DisplayerBase& operator=(const DisplayerBase&) = delete;

    // 0 when the displayer can draw pictures of this size and format into the window, else -1.
    virtual int Init(int window, int width, int height, int format) { return -1; }
    // Draws one NV12 picture of the Init size; -1 when the displayer cannot.
    virtual int DisplayHardwareFrame(const uint8_t* nv12) { return -1; }
    // Draws the whole picture with a text label (the GDI displayer ignores the text).
    virtual int DisplayWithLabel(const uint8_t* frame, const char* text) = 0;
    // Draws one picture in the displayer's pixel layout, with zoom, rotation and overlays.
    virtual int Display(const uint8_t* frame) = 0;
    // Saves the picture last drawn as a BMP file; 0 written, -1 not (or nothing to save).
    virtual int SaveSnapshot(const char* path) = 0;
    // 1 turns zoom on, 0 off, a negative scale pans by (dx, dy), another positive value zooms.
    virtual void SetZoom(float scale, int dx, int dy) = 0;
    virtual void Reset() = 0;
    virtual int GetPixelLayout() { return -1; }
    // Loads overlay picture `index` (0 to 2; other values are ignored); an empty path clears it.
    virtual void LoadPicture(const char* path, int left, int top, int right, int bottom, int index) = 0;
    // Degrees 90, 180 and 270 turn the picture clockwise; any other value draws it upright.
    virtual void SetRotation(int degrees) = 0;

    int displayParam = 0;
};
