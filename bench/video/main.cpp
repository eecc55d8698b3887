// bench-video: decode-and-draw rate of the stream channel on a 1080p H.264 stream that a
// simulated camera sends over the CS2 stand-in on loopback, against FFmpeg decoding the same
// access units alone on one thread (the channel's decoders use one thread each), in rounds
// bracketed by FFmpeg's runs so that a machine's changing load falls on both; then the CPU
// time of 16 simultaneous 720p streams against FFmpeg decoding as many frames alone (and, for
// context only, against FFmpeg with sixteen decoders taking turns on one thread).
// Usage: bench-video [frames] [seconds-of-16-streams]
#include "BenchVideo.h"
#include "DeploymentSettings.h"
#include "CamSim.h"
#include "DxvaDecoder.h"
#include "LumoraInstance.h"
#include "VideoSurface.h"
#include "ffmpeg_dxva2.h"

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// FFmpeg alone: `frames` pictures decoded from the access units (looping), one thread.
double ffmpegSeconds(const std::vector<std::vector<char>>& units, int frames, double* cpuSeconds)
{
    return benchvideo::DecodeAlone(units, frames, 1, cpuSeconds);
}

// For comparison only (not the anchor): FFmpeg alone decoding `streams` copies of the access
// units in turn on one thread, one picture of each stream after the other, as a client's
// workers do; `frames` pictures in all. Returns the thread's CPU seconds.
double ffmpegInTurnCpu(const std::vector<std::vector<char>>& units, int streams, int frames)
{
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    std::vector<AVCodecContext*> contexts;
    for (int i = 0; i < streams; ++i) {
        AVCodecContext* context = avcodec_alloc_context3(codec);
        context->thread_count = 1;
        avcodec_open2(context, codec, nullptr);
        contexts.push_back(context);
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    const double cpu0 = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
    int decoded = 0;
    for (size_t i = 0; decoded < frames; ++i) {
        AVCodecContext* context = contexts[i % contexts.size()];
        const auto& unit = units[(i / contexts.size()) % units.size()];
        packet->data = reinterpret_cast<uint8_t*>(const_cast<char*>(unit.data()));
        packet->size = static_cast<int>(unit.size());
        avcodec_send_packet(context, packet);
        while (avcodec_receive_frame(context, frame) == 0)
            ++decoded;
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    const double cpu = double(ts.tv_sec) + double(ts.tv_nsec) / 1e9 - cpu0;
    av_frame_free(&frame);
    av_packet_free(&packet);
    for (auto* context : contexts)
        avcodec_free_context(&context);
    return cpu;
}

class CountingSurface : public platform::VideoSurface {
public:
    void present(const platform::SurfacePicture& picture) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_count == 0)
            m_first = Clock::now();
        ++m_count;
        m_last = Clock::now();
        m_cv.notify_all();
        (void)picture;
    }
    bool waitFor(long count, std::chrono::seconds deadline)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, deadline, [&] { return m_count >= count; });
    }
    long count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    double seconds()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return std::chrono::duration<double>(m_last - m_first).count();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    long m_count = 0;
    Clock::time_point m_first;
    Clock::time_point m_last;
};

// CPU seconds of this process's threads whose names start with `prefix`.
double threadCpu(const std::string& prefix)
{
    double total = 0;
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::vector<std::string> fields;
        std::string field;
        for (size_t i = close + 2; i < text.size(); ++i) {
            if (text[i] == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += text[i];
            }
        }
        if (fields.size() > 12)
            total += double(std::stol(fields[11]) + std::stol(fields[12])) / double(ticks);
    }
    return total;
}

struct Camera {
    std::unique_ptr<camsim::CamSim> sim;
    std::string uid;
    std::shared_ptr<CountingSurface> surface;
    int window = 0;
};

bool startCameras(LumoraInstance& sdk, std::vector<Camera>& cameras, int count, const std::string& file, int width,
                  int height, int fps, int firstWindow)
{
    for (int i = 0; i < count; ++i) {
        Camera c;
        c.uid = "HOWBENCH" + std::to_string(::getpid() % 100000) + "N" + std::to_string(firstWindow + i);
        camsim::CamSimOptions options;
        options.uid = c.uid;
        options.password = "bench";
        options.transport = "cs2";
        options.mediaFile = file;
        options.width = width;
        options.height = height;
        options.fps = fps;
        c.sim = std::make_unique<camsim::CamSim>(options);
        std::string error;
        if (!c.sim->start(error)) {
            std::fprintf(stderr, "camsim: %s\n", error.c_str());
            return false;
        }
        c.surface = std::make_shared<CountingSurface>();
        c.window = firstWindow + i;
        platform::RegisterVideoSurface(c.window, c.surface);
        std::mutex m;
        std::condition_variable cv;
        int result = 1;
        sdk.LoginDev(c.uid, "bench", [&](int, int r, std::string, std::string, char*, int) {
            std::lock_guard<std::mutex> lock(m);
            result = r;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        if (!cv.wait_for(lock, std::chrono::seconds(90), [&] { return result != 1; }) || result != 0) {
            std::fprintf(stderr, "login failed for %s\n", c.uid.c_str());
            return false;
        }
        lock.unlock();
        sdk.SetbeUseHardware(c.uid, true);
        sdk.BeginVideo(c.window, c.uid, 0, 0, nullptr);
        cameras.push_back(std::move(c));
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    const int busySeconds = argc > 2 ? std::atoi(argv[2]) : 4;
    const auto dir = std::filesystem::temp_directory_path() / ("lumora-bench-video-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    deployment::setP2PDirectory((dir / "devices").string());
    ffmpeg_dxva2::SetDevicePath("/nonexistent/renderD128");
    av_log_set_level(AV_LOG_QUIET);

    const std::string fullHd = benchvideo::Fixture(1920, 1080, 100);
    const std::string hd = benchvideo::Fixture(1280, 720, 100);
    if (fullHd.empty() || hd.empty()) {
        std::fprintf(stderr, "ffmpeg could not make the fixtures\n");
        return 1;
    }
    const auto fullHdUnits = benchvideo::AccessUnits(fullHd);
    const auto hdUnits = benchvideo::AccessUnits(hd);

    LumoraInstance::Options options;
    options.pollIntervalMs = 10;
    options.firstLoginPauseMs = 0;
    auto sdk = std::make_unique<LumoraInstance>(options);
    sdk->InitLib("", 0);

    // 1. One 1080p stream, as fast as the camera can send it. A loaded machine changes both
    // rates from second to second, so FFmpeg alone runs before and after every pipeline round and
    // the round compares with the mean of its two neighbours; the ratio is the median round.
    // Each round has a camera of its own: a stopped stream leaves what the camera sent ahead in
    // its session, which the next round must not inherit.
    std::vector<Camera> one;
    auto stopVideo = [&](Camera& camera) {
        std::mutex m;
        std::condition_variable cv;
        bool answered = false;
        sdk->EndVideo(camera.uid, 0, 0, [&](int, int, std::string, std::string, char*, int) {
            std::lock_guard<std::mutex> lock(m);
            answered = true;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        cv.wait_for(lock, std::chrono::seconds(20), [&] { return answered; });
    };
    constexpr int kRounds = 3;
    std::vector<double> ffmpegRates{double(frames) / ffmpegSeconds(fullHdUnits, frames, nullptr)};
    std::vector<double> pipelineRates;
    std::vector<double> ratios;
    double busy = 0;
    for (int round = 0; round < kRounds; ++round) {
        if (!startCameras(*sdk, one, 1, fullHd, 1920, 1080, 1000, 100 + round))
            return 1;
        Camera& camera = one.back();
        // The first pictures of a round set the decoder and the displayer up; the rate is taken after them.
        const long warmup = 20;
        if (!camera.surface->waitFor(camera.surface->count() + warmup, std::chrono::seconds(300))) {
            std::fprintf(stderr, "only %ld pictures arrived\n", camera.surface->count());
            return 1;
        }
        const long firstCount = camera.surface->count();
        const auto firstTime = Clock::now();
        const double firstCpu = threadCpu("lum-stream");
        if (!camera.surface->waitFor(firstCount + frames, std::chrono::seconds(300))) {
            std::fprintf(stderr, "only %ld pictures arrived\n", camera.surface->count());
            return 1;
        }
        const double pipelineSeconds = std::chrono::duration<double>(Clock::now() - firstTime).count();
        busy += (threadCpu("lum-stream") - firstCpu) / pipelineSeconds / kRounds;
        pipelineRates.push_back(double(camera.surface->count() - firstCount) / pipelineSeconds);
        stopVideo(camera);
        sdk->LogoutDev(camera.uid);
        camera.sim->stop();
        ffmpegRates.push_back(double(frames) / ffmpegSeconds(fullHdUnits, frames, nullptr));
        ratios.push_back(pipelineRates.back() / ((ffmpegRates[size_t(round)] + ffmpegRates[size_t(round) + 1]) / 2));
    }
    std::printf("1080p H.264, one decoding thread, %d rounds of %d pictures:\n", kRounds, frames);
    std::printf("  pipeline (camsim -> CS2 loopback -> channel -> decoder -> surface):");
    for (double r : pipelineRates)
        std::printf(" %.1f", r);
    std::printf(" pictures/s\n  FFmpeg alone, before and after each round:                      ");
    for (double r : ffmpegRates)
        std::printf(" %.1f", r);
    std::printf(" pictures/s\n  ratio per round:");
    for (double r : ratios)
        std::printf(" %.2f", r);
    std::printf("; stream workers busy %.0f%% of the pipeline's time\n", 100.0 * busy);
    std::vector<double> sorted = ratios;
    std::sort(sorted.begin(), sorted.end());
    const double ratio = sorted[sorted.size() / 2];

    // 2. Sixteen 720p streams at 25 pictures/s.
    std::vector<Camera> sixteen;
    if (!startCameras(*sdk, sixteen, 16, hd, 1280, 720, 25, 200))
        return 1;
    for (auto& c : sixteen)
        c.surface->waitFor(25, std::chrono::seconds(60));
    long before = 0;
    for (auto& c : sixteen)
        before += c.surface->count();
    const double cpu0 = threadCpu("lum-stream");
    std::this_thread::sleep_for(std::chrono::seconds(busySeconds));
    const double streamCpu = threadCpu("lum-stream") - cpu0;
    long after = 0;
    for (auto& c : sixteen)
        after += c.surface->count();
    const long shown = after - before;
    double ffmpegCpu = 0;
    ffmpegSeconds(hdUnits, static_cast<int>(shown), &ffmpegCpu);
    std::printf("16 x 720p H.264 at 25 pictures/s for %d s: %ld pictures drawn\n", busySeconds, shown);
    std::printf("  stream workers' CPU: %.2f s; FFmpeg alone for as many pictures: %.2f s; ratio %.2f\n", streamCpu,
                ffmpegCpu, ffmpegCpu > 0 ? streamCpu / ffmpegCpu : 0.0);
    // Context for the ratio above: what sixteen decoders taking turns cost FFmpeg itself.
    const double inTurnCpu = ffmpegInTurnCpu(hdUnits, 16, static_cast<int>(shown));
    std::printf("  (FFmpeg alone with 16 decoders taking turns on one thread: %.2f s, %.2f of one decoder's)\n",
                inTurnCpu, ffmpegCpu > 0 ? inTurnCpu / ffmpegCpu : 0.0);
    sdk.reset();
    for (auto& c : one)
        c.sim->stop();
    for (auto& c : sixteen)
        c.sim->stop();
    std::filesystem::remove_all(dir);
    std::printf("pipeline/ffmpeg decode ratio: %.2f\n", ratio);
    return 0;
}
