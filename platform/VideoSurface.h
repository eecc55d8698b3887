// Drawing surfaces in place of the window handles (HWND) that the video displayers paint into.
// The application registers a surface under an integer handle and passes that handle to the SDK
// as its "window"; the displayers look the surface up for every picture and hand it one
// description of what to show. The application paints the surface's content itself (on its own
// thread, from the latest picture it was given).
//
// Threads: the registry is safe from any thread. present() is called on decoder worker threads,
// one call at a time per displayer, possibly from several displayers at once for one surface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

enum class PictureFormat {
    Bgr24,   // one plane, rows of width x 3 bytes, top row first
    Yuv420p, // three planes: width x height luma, then two (width/2) x (height/2) chroma planes
    Nv12,    // width x height luma, then (height/2) rows of 2 x (width/2) bytes interleaved U, V
};

// A part of the picture, in picture pixels.
struct PictureRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PictureRect&) const = default;
};

// A small picture drawn over the video, anchored at the bottom-right corner: its box starts
// fromRight pixels left of the right edge and fromBottom pixels above the bottom edge. inPicture
// places it in picture pixels (before scaling to the surface), else in surface pixels.
struct SurfaceOverlay {
    int index = 0;
    int fromRight = 0;
    int fromBottom = 0;
    int width = 0;
    int height = 0;
    bool inPicture = false;
    std::string path;
    // The whole BMP file as read; empty when the displayer draws by path.
    std::shared_ptr<const std::vector<uint8_t>> bitmap;
};

// One picture to show. The pixel pointer is valid only during present().
struct SurfacePicture {
    PictureFormat format = PictureFormat::Bgr24;
    int width = 0;
    int height = 0;
    const uint8_t* pixels = nullptr;
    // The part of the picture to stretch over the whole surface.
    PictureRect view;
    // Quarter turns still to apply, clockwise degrees 0, 90, 180 or 270 (the GDI displayer turns
    // the pixels itself and passes 0).
    int rotation = 0;
    std::vector<SurfaceOverlay> overlays;
    // Text to draw over the picture; empty for none.
    std::string label;
};

// Bytes of a picture's pixel data in the given format.
size_t PictureBytes(PictureFormat format, int width, int height);

// Converts a planar or NV12 picture to BGR24 (BT.601, limited range); BGR24 is copied.
// `out` is resized to width x height x 3.
void PictureToBgr(PictureFormat format, const uint8_t* pixels, int width, int height, std::vector<uint8_t>& out);

class VideoSurface {
public:
    virtual ~VideoSurface() = default;
    // False when the surface cannot take planar or NV12 pictures; the displayer that needs them
    // then fails its set-up and the decoder draws through the BGR24 displayer instead.
    virtual bool acceptsYuv() const { return true; }
    // Called on a decoder worker; must not block for long.
    virtual void present(const SurfacePicture& picture) = 0;
};

// The process-wide table of handles to surfaces. Handle 0 is never registered.
// Returns false for handle 0 or a null surface; replaces an earlier surface of the same handle.
bool RegisterVideoSurface(int handle, std::shared_ptr<VideoSurface> surface);
void UnregisterVideoSurface(int handle);
// The surface of a handle, or null.
std::shared_ptr<VideoSurface> FindVideoSurface(int handle);

} // namespace platform
