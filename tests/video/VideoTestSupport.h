// Shared pieces of the video tests: a drawing surface that records what it is given, fixtures
// encoded by the ffmpeg command line, FFmpeg's own decode of them, a small worker pool standing
// in for the SDK's frame pool, and a media-chunk byte stream for a device session.
#pragma once

#include <VideoSurface.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace videotest {

struct RecordedPicture {
    platform::PictureFormat format = platform::PictureFormat::Bgr24;
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    platform::PictureRect view;
    int rotation = 0;
    std::vector<platform::SurfaceOverlay> overlays;
    std::string label;
};

class RecordingSurface : public platform::VideoSurface {
public:
    explicit RecordingSurface(bool yuv = true, size_t keep = 1000) : m_yuv(yuv), m_keep(keep) {}
    bool acceptsYuv() const override { return m_yuv; }
    void present(const platform::SurfacePicture& picture) override;

    // Waits until `count` pictures have come in total; false at the deadline.
    bool waitFor(size_t count, std::chrono::milliseconds deadline = std::chrono::seconds(20));
    size_t count() const;
    std::vector<RecordedPicture> pictures() const;
    RecordedPicture last() const;

private:
    bool m_yuv;
    size_t m_keep;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    size_t m_total = 0;
    std::deque<RecordedPicture> m_pictures;
};

// Registers a recording surface under a fresh handle for the life of the object.
class ScopedSurface {
public:
    explicit ScopedSurface(bool yuv = true);
    ~ScopedSurface();
    int handle() const { return m_handle; }
    RecordingSurface& surface() { return *m_surface; }

private:
    int m_handle;
    std::shared_ptr<RecordingSurface> m_surface;
};

// An Annex-B elementary stream made by the ffmpeg command line (cached for the process);
// codec "h264" or "h265"; no B-frames, a key frame every `gop` pictures.
std::string EncodedFixture(const std::string& codec, int width, int height, int frames, int gop = 10);
// FFmpeg's decode of a fixture: each picture in `pixelFormat` ("yuv420p" or "bgr24").
std::vector<std::vector<uint8_t>> ReferenceDecode(const std::string& fixture, const std::string& pixelFormat, int width,
                                                  int height);
// The access units of an Annex-B stream (parameter sets travel with the picture that follows).
std::vector<std::vector<char>> SplitAccessUnits(const std::vector<char>& data, bool h265);
std::vector<char> ReadFile(const std::string& path);
// Mean absolute difference of two equal-size byte vectors (max when the sizes differ).
double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// A fixed set of named workers running posted tasks in order; joined by the destructor.
class WorkerPool {
public:
    explicit WorkerPool(int workers);
    ~WorkerPool();
    void post(std::function<void()> task);
    std::function<void(std::function<void()>)> scheduler();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

// The bytes a device sends on a media channel for one frame: 24-byte chunk headers and chunks of
// at most `chunk` bytes.
std::vector<char> MediaChunks(const std::vector<char>& frame, int frameType, uint32_t frameId, uint64_t pts,
                              size_t chunk = 1024);

// Waits for `condition` with a deadline, waking on each call of notify().
class Waiter {
public:
    void notify();
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline = std::chrono::seconds(20));

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
};

} // namespace videotest
