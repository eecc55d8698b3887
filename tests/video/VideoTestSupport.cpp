#include "VideoTestSupport.h"

#include "CamSim.h"

#include <NetProtocol.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <unistd.h>

namespace videotest {

void RecordingSurface::present(const platform::SurfacePicture& picture)
{
    RecordedPicture copy;
    copy.format = picture.format;
    copy.width = picture.width;
    copy.height = picture.height;
    const size_t bytes = platform::PictureBytes(picture.format, picture.width, picture.height);
    copy.pixels.assign(picture.pixels, picture.pixels + bytes);
    copy.view = picture.view;
    copy.rotation = picture.rotation;
    copy.overlays = picture.overlays;
    copy.label = picture.label;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pictures.push_back(std::move(copy));
    while (m_pictures.size() > m_keep)
        m_pictures.pop_front();
    ++m_total;
    m_cv.notify_all();
}

bool RecordingSurface::waitFor(size_t count, std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, deadline, [&] { return m_total >= count; });
}

size_t RecordingSurface::count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_total;
}

std::vector<RecordedPicture> RecordingSurface::pictures() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return {m_pictures.begin(), m_pictures.end()};
}

RecordedPicture RecordingSurface::last() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pictures.empty() ? RecordedPicture{} : m_pictures.back();
}

namespace {
std::atomic<int> g_nextHandle{7000};
}

ScopedSurface::ScopedSurface(bool yuv)
    : m_handle(g_nextHandle.fetch_add(1)), m_surface(std::make_shared<RecordingSurface>(yuv))
{
    platform::RegisterVideoSurface(m_handle, m_surface);
}

ScopedSurface::~ScopedSurface()
{
    platform::UnregisterVideoSurface(m_handle);
}

namespace {

std::filesystem::path fixtureDir()
{
    static const std::filesystem::path dir = [] {
        // Shared by the test processes of one user; every file appears whole by a rename.
        auto d = std::filesystem::temp_directory_path() / ("lumora-video-fixtures-" + std::to_string(::getuid()));
        std::filesystem::create_directories(d);
        return d;
    }();
    return dir;
}

std::mutex g_fixtureMutex;

} // namespace

std::string EncodedFixture(const std::string& codec, int width, int height, int frames, int gop)
{
    std::lock_guard<std::mutex> lock(g_fixtureMutex);
    const std::string name = codec + "-" + std::to_string(width) + "x" + std::to_string(height) + "-" +
                             std::to_string(frames) + "-" + std::to_string(gop) + "." + codec;
    const std::filesystem::path path = fixtureDir() / name;
    if (std::filesystem::exists(path))
        return path.string();
    const std::string encoder = codec == "h265" ? "-c:v libx265 -x265-params log-level=none:bframes=0:keyint=" +
                                                      std::to_string(gop)
                                                : "-c:v libx264 -bf 0 -g " + std::to_string(gop);
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
                                std::to_string(height) + ":rate=25 -frames:v " + std::to_string(frames) +
                                " -preset ultrafast -pix_fmt yuv420p " + encoder + " -f " +
                                (codec == "h265" ? "hevc " : "h264 ") + path.string() + "." + std::to_string(::getpid());
    if (std::system(command.c_str()) != 0)
        return {};
    std::filesystem::rename(path.string() + "." + std::to_string(::getpid()), path);
    return path.string();
}

std::vector<std::vector<uint8_t>> ReferenceDecode(const std::string& fixture, const std::string& pixelFormat, int width,
                                                  int height)
{
    const std::string out = fixture + "." + pixelFormat + ".raw";
    const std::string partial = out + "." + std::to_string(::getpid());
    const std::string command = "ffmpeg -nostdin -v error -y -i " + fixture + " -fps_mode passthrough -f rawvideo -pix_fmt " +
                                pixelFormat + " " + partial;
    std::vector<std::vector<uint8_t>> pictures;
    if (!std::filesystem::exists(out)) {
        if (std::system(command.c_str()) != 0)
            return pictures;
        std::filesystem::rename(partial, out);
    }
    const std::vector<char> data = ReadFile(out);
    const size_t size = platform::PictureBytes(
        pixelFormat == "bgr24" ? platform::PictureFormat::Bgr24 : platform::PictureFormat::Yuv420p, width, height);
    for (size_t at = 0; size && at + size <= data.size(); at += size)
        pictures.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                              data.begin() + static_cast<std::ptrdiff_t>(at + size));
    return pictures;
}

std::vector<std::vector<char>> SplitAccessUnits(const std::vector<char>& data, bool h265)
{
    return camsim::CamSim::splitAccessUnits(data, h265);
}

std::vector<char> ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

double MeanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size() || a.empty())
        return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
        sum += std::abs(int(a[i]) - int(b[i]));
    return sum / static_cast<double>(a.size());
}

WorkerPool::WorkerPool(int workers)
{
    for (int i = 0; i < workers; ++i)
        m_threads.emplace_back([this] {
            for (;;) {
                std::function<void()> task;
                {
                    std::unique_lock<std::mutex> lock(m_mutex);
                    m_cv.wait(lock, [&] { return m_stop || !m_tasks.empty(); });
                    if (m_tasks.empty())
                        return;
                    task = std::move(m_tasks.front());
                    m_tasks.pop_front();
                }
                task();
            }
        });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_tasks.clear();
    }
    m_cv.notify_all();
    for (auto& t : m_threads)
        t.join();
}

void WorkerPool::post(std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop)
            return;
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_one();
}

std::function<void(std::function<void()>)> WorkerPool::scheduler()
{
    return [this](std::function<void()> task) { post(std::move(task)); };
}

std::vector<char> MediaChunks(const std::vector<char>& frame, int frameType, uint32_t frameId, uint64_t pts, size_t chunk)
{
    std::vector<char> out;
    size_t at = 0;
    do {
        const size_t n = std::min(chunk, frame.size() - at);
        MediaChunkHeader header;
        header.frameId = frameId;
        header.totalFrameSize = static_cast<uint32_t>(frame.size());
        header.frameType = static_cast<uint8_t>(frameType);
        header.chunkLength = static_cast<uint16_t>(n);
        header.seconds = static_cast<uint32_t>(pts / 1000000);
        header.microseconds = static_cast<uint32_t>(pts % 1000000);
        uint8_t bytes[kMediaChunkHeaderSize];
        EncodeMediaChunkHeader(header, bytes);
        out.insert(out.end(), bytes, bytes + kMediaChunkHeaderSize);
        out.insert(out.end(), frame.begin() + static_cast<std::ptrdiff_t>(at),
                   frame.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
    } while (at < frame.size());
    return out;
}

void Waiter::notify()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_cv.notify_all();
}

bool Waiter::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, deadline, condition);
}

} // namespace videotest
