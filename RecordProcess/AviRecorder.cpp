#include "AviRecorder.h"

#include "NalUnits.h"
#include "NetLog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

const char* fourccOf(int codec) { return codec == nal::kH265 ? "HEVC" : "H264"; }

// Time stamps further apart than this within one second of pictures are not microseconds of
// this stream: the arrival times stand in for them.
constexpr uint64_t kImplausibleSpanUs = 3600ull * 1000000;

// A measured rate close to a whole number is that number (the time stamps jitter).
double tidyRate(double fps)
{
    const double whole = std::round(fps);
    return std::fabs(fps - whole) <= 0.02 * whole ? whole : std::round(fps * 1000.0) / 1000.0;
}

} // namespace

AviRecorder::~AviRecorder() { Close(); }

int AviRecorder::Open(const std::string& path, int width, int height, int fps, int codec)
{
    std::lock_guard lock(m_mutex);
    if (m_file)
        m_file->Close();
    m_file.reset();
    m_started = false;
    m_path = path;
    m_failedPath.clear();
    m_failure = 0;
    m_width = width;
    m_height = height;
    m_codec = codec == nal::kH265 ? nal::kH265 : nal::kH264;
    m_fps = fps;
    m_waiting = false;
    m_waitFrames = 0;
    m_rateFixed = false;
    m_ratedFrames = 0;
    m_gaps.clear();
    auto file = AviFile::OpenOutput(path);
    if (!file)
        return -1;
    // One A-law track: tag 6, mono, 8000 Hz, 16 bits, 64 kbit/s.
    if (file->SetVideo(width, height, fps, fourccOf(m_codec)) != 0 || file->SetAudio(1, 8000, 16, 6, 64) != 0) {
        file->Close();
        std::remove(path.c_str());
        return -1;
    }
    m_file = std::move(file);
    return 0;
}

int AviRecorder::Close()
{
    std::lock_guard lock(m_mutex);
    if (!m_file)
        return 0;
    if (!m_started) {
        // Not one picture was recorded: no file that only looks like a recording is left.
        NETLOG("recording " << m_path << " ended before its first key frame");
        m_file->Close();
        m_file.reset();
        std::remove(m_path.c_str());
        m_failure = kNoKeyFrame;
        return kNoKeyFrame;
    }
    measureRateLocked(0, true);
    const int result = m_file->Close();
    m_file.reset();
    m_started = false;
    return result;
}

int AviRecorder::failLocked()
{
    NETLOG("recording " << m_path << " ended: " << AviFile::ErrorText());
    m_file->Close();
    m_file.reset();
    m_started = false;
    m_failure = kWriteFailed;
    m_failedPath = m_path + ".error";
    if (std::rename(m_path.c_str(), m_failedPath.c_str()) != 0)
        NETLOG("could not rename " << m_path << " to " << m_failedPath);
    return -1;
}

void AviRecorder::measureRateLocked(uint64_t pts, bool final)
{
    if (m_rateFixed)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!final) {
        if (m_ratedFrames++ == 0) {
            m_firstPts = pts;
            m_lastPts = pts;
            m_firstArrival = now;
            m_lastArrival = now;
            return;
        }
        // The gap to the previous picture, by its time stamp or, without usable ones, its arrival.
        const bool stamped = pts > m_lastPts && pts - m_lastPts < kImplausibleSpanUs;
        const auto gap = stamped ? pts - m_lastPts
                                 : static_cast<uint64_t>(
                                       std::chrono::duration_cast<std::chrono::microseconds>(now - m_lastArrival).count());
        m_gaps.push_back(gap);
        m_lastPts = pts;
        m_lastArrival = now;
    }
    if (m_gaps.empty())
        return;
    uint64_t span = 0;
    for (const uint64_t gap : m_gaps)
        span += gap;
    if (span < 1000000 && !final)
        return;
    // The middle gap: a picture sent late and the ones that catch up after it leave it alone.
    std::vector<uint64_t> sorted = m_gaps;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
    const uint64_t middle = sorted[sorted.size() / 2];
    const double fps = middle > 0 ? 1e6 / static_cast<double>(middle)
                                  : (span > 0 ? static_cast<double>(m_gaps.size()) * 1e6 / static_cast<double>(span) : 0.0);
    m_rateFixed = true;
    m_gaps.clear();
    if (fps < 0.5 || fps > 240.0) {
        NETLOG("recording " << m_path << ": measured rate " << fps << " ignored, " << m_fps << " kept");
        return;
    }
    m_fps = tidyRate(fps);
    // Rewrites the provisional header; the final one at Close takes the same rate.
    if (m_file->SetVideo(m_width, m_height, m_fps, fourccOf(m_codec)) != 0)
        NETLOG("recording " << m_path << ": frame rate not written");
}

int AviRecorder::WriteVideo(const char* data, std::size_t length, uint64_t pts)
{
    if (data == nullptr || length == 0 || length > AviFile::kMaxChunkBytes)
        return 0;
    std::lock_guard lock(m_mutex);
    if (!m_file)
        return 0;
    bool startHere = false;
    if (!m_started) {
        const int codec = nal::DetectCodec(data, length);
        if (codec != nal::kUnknown && nal::StartsStream(data, length, codec)) {
            startHere = true;
            if (codec != m_codec) {
                m_codec = codec;
                if (m_file->SetVideo(m_width, m_height, m_fps, fourccOf(m_codec)) != 0)
                    return failLocked();
            }
        } else {
            const auto now = std::chrono::steady_clock::now();
            if (!m_waiting) {
                m_waiting = true;
                m_waitFirstPts = pts;
                m_waitFirstArrival = now;
            }
            ++m_waitFrames;
            uint64_t waited = pts > m_waitFirstPts ? pts - m_waitFirstPts : 0;
            if (waited == 0 || waited > kImplausibleSpanUs)
                waited = static_cast<uint64_t>(
                    std::chrono::duration_cast<std::chrono::microseconds>(now - m_waitFirstArrival).count());
            if (static_cast<int64_t>(waited) < m_startBoundUs)
                return 0;
            NETLOG("recording " << m_path << " could not start: no key frame in " << m_waitFrames << " pictures ("
                                << waited / 1000 << " ms)");
            m_file->Close();
            m_file.reset();
            std::remove(m_path.c_str());
            m_failure = kNoKeyFrame;
            return -1;
        }
    }
    if (startHere)
        m_started = true;
    const bool key = nal::IsKeyFrame(data, length, m_codec);
    if (m_file->WriteVideoFrame(data, static_cast<uint32_t>(length), key) != 0)
        return failLocked();
    measureRateLocked(pts, false);
    return 0;
}

int AviRecorder::WriteAudio(const char* data, std::size_t length)
{
    if (data == nullptr || length == 0 || length > AviFile::kMaxChunkBytes)
        return 0;
    std::lock_guard lock(m_mutex);
    if (!m_file || !m_started)
        return 0;
    if (m_file->WriteAudio(data, static_cast<uint32_t>(length)) != 0)
        return failLocked();
    return 0;
}

bool AviRecorder::IsOpen()
{
    std::lock_guard lock(m_mutex);
    return m_file != nullptr;
}

bool AviRecorder::IsStarted()
{
    std::lock_guard lock(m_mutex);
    return m_started;
}

std::string AviRecorder::Path()
{
    std::lock_guard lock(m_mutex);
    return m_path;
}

std::string AviRecorder::FailedPath()
{
    std::lock_guard lock(m_mutex);
    return m_failedPath;
}

int AviRecorder::Failure()
{
    std::lock_guard lock(m_mutex);
    return m_failure;
}

double AviRecorder::FrameRate()
{
    std::lock_guard lock(m_mutex);
    return m_fps;
}

void AviRecorder::SetStartBound(std::chrono::microseconds bound)
{
    std::lock_guard lock(m_mutex);
    m_startBoundUs = bound.count();
}
