// bench-sdk: libLumora through its public header against camsim processes on libTovel (one
// tovel-rendezvous): request-to-callback latency (median, p99) with 1, 8 and 32 logged-in
// cameras, then the library's own CPU while 32 logged-in cameras stay idle.
// Last line: "idle cpu per device: P%" (percent of one core).
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "ChildProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPassword = "bench-pass";
constexpr int kRounds = 20;
constexpr int kIdleSeconds = 10;

std::string toolPath(const char* name)
{
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path().parent_path() / "tools" / name / name).string();
}

double cpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Waits for `count` callbacks.
class Countdown {
public:
    void reset(int n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_left = n;
    }
    void hit()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (--m_left <= 0)
            m_cv.notify_all();
    }
    bool wait(int ms)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_left <= 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_left = 0;
};

bool loginAll(const std::vector<std::string>& uids, size_t from, size_t to)
{
    Countdown done;
    done.reset(static_cast<int>(to - from));
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (size_t i = from; i < to; ++i)
        threads.emplace_back([&, i] {
            // The application logs in on one thread per device.
            for (int attempt = 0; attempt < 3; ++attempt) {
                std::mutex m;
                std::condition_variable cv;
                int result = 1;
                LoginDev(uids[i], kPassword, [&](int, int r, std::string, std::string, char*, int) {
                    std::lock_guard<std::mutex> lock(m);
                    result = r;
                    cv.notify_all();
                });
                std::unique_lock<std::mutex> lock(m);
                cv.wait_for(lock, std::chrono::seconds(30), [&] { return result != 1; });
                if (result == 0)
                    break;
                if (attempt == 2)
                    ++failures;
            }
            done.hit();
        });
    for (auto& t : threads)
        t.join();
    return failures == 0;
}

void measureLatency(const std::vector<std::string>& uids, size_t devices)
{
    std::vector<double> samples;
    std::mutex mutex;
    Countdown round;
    for (int r = 0; r < kRounds; ++r) {
        round.reset(static_cast<int>(devices));
        for (size_t i = 0; i < devices; ++i) {
            const auto sent = Clock::now();
            const int rc = GetTimezone(uids[i], [&, sent](int, int result, std::string, std::string, char*, int) {
                const double ms = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
                if (result == 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    samples.push_back(ms);
                }
                round.hit();
            });
            if (rc < 0)
                round.hit();
        }
        round.wait(20000);
    }
    std::sort(samples.begin(), samples.end());
    if (samples.empty()) {
        std::printf("latency with %2zu cameras: no answers\n", devices);
        return;
    }
    const double median = samples[samples.size() / 2];
    const double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    std::printf("latency with %2zu cameras: median %.1f ms, p99 %.1f ms (%zu requests)\n", devices, median, p99,
                samples.size());
    std::fflush(stdout);
}

} // namespace

int main()
{
    const auto dir = std::filesystem::temp_directory_path() / ("bench-sdk-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir); // the library's log file
    deployment::setP2PDirectory((dir / "devices").string());

    platform::ChildProcess rendezvous;
    std::string server;
    if (!rendezvous.start(toolPath("tovel-rendezvous"), {"--port", "0"}) || !rendezvous.readLine(server, 15000)) {
        std::printf("no rendezvous server\n");
        return 1;
    }
    constexpr size_t kCameras = 32;
    std::vector<std::unique_ptr<platform::ChildProcess>> cameras;
    std::vector<std::string> uids;
    for (size_t i = 0; i < kCameras; ++i) {
        uids.push_back("BENCHCAM" + std::to_string(::getpid()) + "N" + std::to_string(i));
        auto camera = std::make_unique<platform::ChildProcess>();
        if (!camera->start(toolPath("camsim"),
                           {"--uid", uids.back(), "--password", kPassword, "--transport", "tovel", "--server", server})) {
            std::printf("camsim did not start\n");
            return 1;
        }
        cameras.push_back(std::move(camera));
    }
    for (auto& camera : cameras) {
        std::string line;
        bool ready = false;
        while (!ready && camera->readLine(line, 20000))
            ready = line.find("camsim ready") != std::string::npos;
        if (!ready) {
            std::printf("camsim not ready\n");
            return 1;
        }
    }

    InitLibLumora(server.c_str(), 0);
    std::printf("libLumora against %zu camsim processes on libTovel, reply poll every 100 ms\n", kCameras);
    size_t loggedIn = 0;
    for (size_t n : {size_t{1}, size_t{8}, kCameras}) {
        if (!loginAll(uids, loggedIn, n)) {
            std::printf("login failed\n");
            return 1;
        }
        loggedIn = n;
        measureLatency(uids, n);
    }

    const double cpu0 = cpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
    const double cpu = cpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double percent = cpu / wall * 100.0;
    std::printf("idle cpu with %zu cameras: %.3f%% of one core over %d s\n", kCameras, percent, kIdleSeconds);

    for (const auto& uid : uids)
        LogoutDev(uid);
    DeInitLibLumora();
    for (auto& camera : cameras)
        camera->stop(500);
    rendezvous.stop();
    std::filesystem::current_path(dir.parent_path());
    std::filesystem::remove_all(dir);
    std::printf("idle cpu per device: %.4f%%\n", percent / static_cast<double>(kCameras));
    return 0;
}
