// bench-grid: the live grid with 32 panes, each showing a 720p H.264 stream at 25 pictures a second
// from its own camsim process on libTovel (one tovel-rendezvous), in this one process on Qt's
// offscreen platform: the client's real grid (CRealTimePlayView split in 32, its panes'
// SurfaceWidget) over libLumora. Against it, FFmpeg decoding the same 32 streams alone in a child
// process (one decoder with FFmpeg's default settings and one thread per stream, each stream paced
// at its rate), run before and after the grid so that a machine's changing load falls on both.
// Prints the pictures painted per second per pane, the CPU seconds per wall second of both, the
// delay from a picture's arrival at its pane's surface to its paint (median, p99), and last:
// "grid/ffmpeg cpu ratio: R" (the grid's CPU over FFmpeg's).
// Usage: bench-grid [--seconds S] [--warmup S] [--panes N] [--size WxH]
//        (the child: bench-grid --ffmpeg-alone STREAMS FPS WARMUP SECONDS FILE)
#include "BenchVideo.h"
#include "ChildProcess.h"
#include "ClientPaths.h"
#include "DeploymentSettings.h"
#include "libLumora.h"
#include "liveview/CRealTimePlayView.h"
#include "liveview/CVideoWnd.h"
#include "liveview/SurfaceWidget.h"
#include "liveview/VideoFrame.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kPassword = "bench-pass";
constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFps = 25;
constexpr int kFixtureFrames = 100;

struct Options {
    double seconds = 12;
    double warmup = 5;
    int panes = 32;
    int viewWidth = 1920;
    int viewHeight = 1080;
};

std::string toolPath(const char* name)
{
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path().parent_path() / "tools" / name / name).string();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(double(values.size()) * p))];
}

// The child: FFmpeg alone on the streams; one line "ffmpeg-alone CPU WALL THREADS RATE...".
int ffmpegAlone(int argc, char** argv)
{
    if (argc < 7)
        return 2;
    const int streams = std::atoi(argv[2]);
    const int fps = std::atoi(argv[3]);
    const double warmup = std::atof(argv[4]);
    const double seconds = std::atof(argv[5]);
    const auto units = benchvideo::AccessUnits(argv[6]);
    if (units.empty() || streams <= 0 || fps <= 0 || seconds <= 0)
        return 1;
    const benchvideo::PacedResult r = benchvideo::DecodePaced(units, streams, fps, warmup, seconds);
    std::printf("ffmpeg-alone %.6f %.6f %d", r.cpuSeconds, r.wallSeconds, r.decoderThreads);
    for (double rate : r.rates)
        std::printf(" %.3f", rate);
    std::printf("\n");
    std::fflush(stdout);
    return 0;
}

struct AnchorRun {
    bool ok = false;
    double cpuPerSecond = 0;
    double minRate = 0;
    double medianRate = 0;
    double pictures = 0; // pictures decoded per wall second, all streams
    int decoderThreads = 0;
};

AnchorRun runAnchor(const Options& options, const std::string& file)
{
    AnchorRun run;
    platform::ChildProcess child;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    if (!child.start(self, {"--ffmpeg-alone", std::to_string(options.panes), std::to_string(kFps),
                            std::to_string(options.warmup), std::to_string(options.seconds), file}))
        return run;
    std::string line;
    const int deadlineMs = static_cast<int>((options.warmup + options.seconds) * 1000) + 120000;
    while (child.readLine(line, deadlineMs)) {
        if (line.rfind("ffmpeg-alone ", 0) != 0)
            continue;
        std::istringstream in(line.substr(13));
        double cpu = 0;
        double wall = 0;
        in >> cpu >> wall >> run.decoderThreads;
        std::vector<double> rates;
        for (double rate = 0; in >> rate;)
            rates.push_back(rate);
        if (wall > 0 && !rates.empty()) {
            run.ok = true;
            run.cpuPerSecond = cpu / wall;
            run.minRate = *std::min_element(rates.begin(), rates.end());
            run.medianRate = median(rates);
            for (double rate : rates)
                run.pictures += rate;
        }
        break;
    }
    child.stop(5000);
    return run;
}

// Runs the GUI thread's event loop (as the client's own loop runs it, sleeping while nothing
// happens) until done() or the deadline; done()'s last result. done() is looked at every 20 ms.
bool pumpUntil(const std::function<bool()>& done, double seconds)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    check.start(20);
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return done();
}

void pumpFor(double seconds)
{
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// Logs every device in, one thread per device as the client does; false if one fails three times.
bool loginAll(const std::vector<std::string>& uids)
{
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const std::string& uid : uids)
        threads.emplace_back([&failures, uid] {
            for (int attempt = 0; attempt < 3; ++attempt) {
                std::mutex m;
                std::condition_variable cv;
                int result = 1;
                LoginDev(uid, kPassword, [&](int, int r, std::string, std::string, char*, int) {
                    std::lock_guard<std::mutex> lock(m);
                    result = r;
                    cv.notify_all();
                });
                std::unique_lock<std::mutex> lock(m);
                cv.wait_for(lock, std::chrono::seconds(100), [&] { return result != 1; });
                if (result == 0)
                    return;
            }
            ++failures;
        });
    for (auto& t : threads)
        t.join();
    return failures == 0;
}

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        if (arg == "--seconds")
            options.seconds = std::atof(value.c_str());
        else if (arg == "--warmup")
            options.warmup = std::atof(value.c_str());
        else if (arg == "--panes")
            options.panes = std::atoi(value.c_str());
        else if (arg == "--size") {
            if (std::sscanf(value.c_str(), "%dx%d", &options.viewWidth, &options.viewHeight) != 2)
                return false;
        } else
            return false;
    }
    return options.seconds > 0 && options.warmup >= 0 && options.panes > 0 &&
           options.panes <= CRealTimePlayView::kCells && options.viewWidth > 0 && options.viewHeight > 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--ffmpeg-alone")
        return ffmpegAlone(argc, argv);
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: bench-grid [--seconds S] [--warmup S] [--panes 1..32] [--size WxH]\n");
        return 2;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

    const auto dir = std::filesystem::temp_directory_path() / ("lumora-bench-grid-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir / "data");
    std::filesystem::current_path(dir); // the library's log file
    deployment::setP2PDirectory((dir / "devices").string());

    const std::string file = benchvideo::Fixture(kWidth, kHeight, kFixtureFrames);
    if (file.empty()) {
        std::fprintf(stderr, "ffmpeg could not make the test stream\n");
        return 1;
    }

    // 1. FFmpeg alone, before the grid.
    const AnchorRun before = runAnchor(options, file);
    if (!before.ok) {
        std::fprintf(stderr, "FFmpeg alone did not run\n");
        return 1;
    }

    // 2. The cameras: one camsim process each, all on one rendezvous server.
    platform::ChildProcess rendezvous;
    std::string server;
    if (!rendezvous.start(toolPath("tovel-rendezvous"), {"--port", "0"}) || !rendezvous.readLine(server, 15000)) {
        std::fprintf(stderr, "no rendezvous server\n");
        return 1;
    }
    std::vector<std::unique_ptr<platform::ChildProcess>> cameras;
    std::vector<std::string> uids;
    for (int i = 0; i < options.panes; ++i) {
        uids.push_back("BENCHGRID" + std::to_string(::getpid()) + "N" + std::to_string(i));
        auto camera = std::make_unique<platform::ChildProcess>();
        if (!camera->start(toolPath("camsim"), {"--uid", uids.back(), "--password", kPassword, "--transport", "tovel",
                                                "--server", server, "--media", file, "--width", std::to_string(kWidth),
                                                "--height", std::to_string(kHeight), "--fps", std::to_string(kFps)})) {
            std::fprintf(stderr, "camsim did not start\n");
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
            std::fprintf(stderr, "camsim not ready\n");
            return 1;
        }
    }

    // 3. The client: its settings as installed, libLumora, the logins, then the grid.
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QApplication app(qtArgc, qtArgv);
    const QString data = QString::fromStdString((dir / "data").string());
    for (const char* name : {"Lumora.ini", "EN_LAN.ini", "CN_LAN.ini"})
        QFile::copy(QStringLiteral(LUMORA_BENCH_RESOURCES "/") + name, data + "/" + name);
    SetResourceFolder(QStringLiteral(LUMORA_BENCH_RESOURCES));
    SetDataFolder(data);
    InitLibLumora(server.c_str(), 0);
    if (!loginAll(uids)) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }

    auto view = std::make_unique<CRealTimePlayView>();
    view->resize(options.viewWidth, options.viewHeight);
    view->show();
    view->SetSplitCount(32);
    pumpFor(0.2);
    for (const std::string& uid : uids)
        view->OpenDeviceVideo(QString::fromStdString(uid), 0, QPoint());

    std::vector<SurfaceWidget*> surfaces;
    std::vector<double> delaysMs; // the GUI thread's own, filled while measuring
    bool measuring = false;
    for (int i = 0; i < options.panes; ++i) {
        SurfaceWidget* surface = view->pane(i)->videoPane()->surface();
        surface->setPaintObserver([&](std::chrono::nanoseconds delay) {
            if (measuring)
                delaysMs.push_back(std::chrono::duration<double, std::milli>(delay).count());
        });
        surfaces.push_back(surface);
    }
    // Every pane has started and painted a second of its stream; then the warm-up.
    const bool started = pumpUntil(
        [&] {
            for (SurfaceWidget* s : surfaces)
                if (s->picturesPainted() < static_cast<uint64_t>(kFps))
                    return false;
            return true;
        },
        120);
    if (!started) {
        int waiting = 0;
        for (SurfaceWidget* s : surfaces)
            waiting += s->picturesPainted() < static_cast<uint64_t>(kFps) ? 1 : 0;
        std::fprintf(stderr, "%d of %d panes did not show their stream\n", waiting, options.panes);
        return 1;
    }
    pumpFor(options.warmup);

    std::vector<uint64_t> painted0;
    std::vector<uint64_t> presented0;
    for (SurfaceWidget* s : surfaces) {
        painted0.push_back(s->picturesPainted());
        presented0.push_back(s->picturesPresented());
    }
    measuring = true;
    std::fprintf(stderr, "bench-grid %d: measuring for %.1f s\n", static_cast<int>(::getpid()), options.seconds);
    const double cpu0 = benchvideo::ProcessCpuSeconds();
    const auto t0 = Clock::now();
    pumpFor(options.seconds);
    const double cpu1 = benchvideo::ProcessCpuSeconds();
    const auto t1 = Clock::now();
    measuring = false;
    const double wall = std::chrono::duration<double>(t1 - t0).count();
    std::vector<double> paintedRates;
    std::vector<double> presentedRates;
    for (size_t i = 0; i < surfaces.size(); ++i) {
        paintedRates.push_back(double(surfaces[i]->picturesPainted() - painted0[i]) / wall);
        presentedRates.push_back(double(surfaces[i]->picturesPresented() - presented0[i]) / wall);
    }
    const double gridCpu = (cpu1 - cpu0) / wall;

    // 4. The grid goes as the client closes it, then the cameras.
    for (int i = 0; i < options.panes; ++i)
        view->pane(i)->videoPane()->CloseVideo();
    pumpFor(0.5);
    view.reset();
    for (const std::string& uid : uids)
        LogoutDev(uid);
    DeInitLibLumora();
    for (auto& camera : cameras)
        camera->stop(2000);
    rendezvous.stop();

    // 5. FFmpeg alone, after the grid.
    const AnchorRun after = runAnchor(options, file);
    if (!after.ok) {
        std::fprintf(stderr, "FFmpeg alone did not run\n");
        return 1;
    }
    const double ffmpegCpu = (before.cpuPerSecond + after.cpuPerSecond) / 2;
    // On a machine too busy for either side to keep up, the work done per wall second differs; the
    // CPU per picture shows what each picture costs.
    double gridPictures = 0;
    for (double rate : presentedRates)
        gridPictures += rate;
    const double ffmpegPerPicture = (before.cpuPerSecond / std::max(before.pictures, 1e-9) +
                                     after.cpuPerSecond / std::max(after.pictures, 1e-9)) / 2 * 1000;
    const double gridPerPicture = gridCpu / std::max(gridPictures, 1e-9) * 1000;

    const double minPainted = *std::min_element(paintedRates.begin(), paintedRates.end());
    const double minPresented = *std::min_element(presentedRates.begin(), presentedRates.end());
    // A pane keeps its stream's rate when it paints at least 98% of the stream's pictures.
    const bool atRate = minPainted >= 0.98 * kFps;
    std::printf("%d panes of %dx%d H.264 at %d pictures/s, view %dx%d (split 32), %.1f s measured after %.1f s warm-up\n",
                options.panes, kWidth, kHeight, kFps, options.viewWidth, options.viewHeight, wall, options.warmup);
    std::printf("  painted per pane: min %.2f, median %.2f pictures/s (given to the surface: min %.2f, median %.2f)\n",
                minPainted, median(paintedRates), minPresented, median(presentedRates));
    std::printf("  every pane at its stream's rate: %s\n", atRate ? "yes" : "no");
    std::printf("  arrival at the surface to paint: median %.2f ms, p99 %.2f ms (%zu paints)\n", median(delaysMs),
                percentile(delaysMs, 0.99), delaysMs.size());
    std::printf("  Lumora process CPU: %.3f s per wall second\n", gridCpu);
    std::printf("  FFmpeg alone (%d decoders, %d thread(s) each by default, paced): %.3f s per wall second before, "
                "%.3f after; per-stream rate min %.2f / %.2f pictures/s\n",
                options.panes, before.decoderThreads, before.cpuPerSecond, after.cpuPerSecond, before.minRate,
                after.minRate);
    std::printf("  CPU per picture: Lumora %.3f ms (decoded, converted, painted), FFmpeg alone %.3f ms (decoded); "
                "ratio %.2f\n",
                gridPerPicture, ffmpegPerPicture, ffmpegPerPicture > 0 ? gridPerPicture / ffmpegPerPicture : 0.0);
    std::filesystem::current_path(dir.parent_path());
    std::filesystem::remove_all(dir);
    std::printf("grid/ffmpeg cpu ratio: %.2f\n", ffmpegCpu > 0 ? gridCpu / ffmpegCpu : 0.0);
    return 0;
}
