#include "BenchVideo.h"

#include "CamSim.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sys/resource.h>
#include <thread>

namespace benchvideo {

namespace {

using Clock = std::chrono::steady_clock;

struct Decoder {
    AVCodecContext* context = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;

    explicit Decoder(int threads)
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context = avcodec_alloc_context3(codec);
        if (threads >= 0)
            context->thread_count = threads;
        if (avcodec_open2(context, codec, nullptr) < 0)
            avcodec_free_context(&context);
        packet = av_packet_alloc();
        frame = av_frame_alloc();
    }
    ~Decoder()
    {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    // Pictures that came out for this unit.
    int decode(const std::vector<char>& unit)
    {
        if (!context)
            return 0;
        packet->data = reinterpret_cast<uint8_t*>(const_cast<char*>(unit.data()));
        packet->size = static_cast<int>(unit.size());
        avcodec_send_packet(context, packet);
        int pictures = 0;
        while (avcodec_receive_frame(context, frame) == 0)
            ++pictures;
        return pictures;
    }
};

double seconds(const timespec& ts)
{
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

std::string Fixture(int width, int height, int frames)
{
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("lumora-bench-" + std::to_string(width) + "x" + std::to_string(height) + "-" +
                               std::to_string(frames) + ".h264"))
                                 .string();
    if (std::filesystem::exists(path))
        return path;
    const std::string part = path + ".part" + std::to_string(::getpid());
    const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=size=" + std::to_string(width) + "x" +
                                std::to_string(height) + ":rate=25 -frames:v " + std::to_string(frames) +
                                " -c:v libx264 -preset veryfast -bf 0 -g 50 -pix_fmt yuv420p -f h264 " + part;
    if (std::system(command.c_str()) != 0)
        return {};
    std::filesystem::rename(part, path);
    return path;
}

std::vector<std::vector<char>> AccessUnits(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return camsim::CamSim::splitAccessUnits(data, false);
}

double ThreadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return seconds(ts);
}

double ProcessCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double DecodeAlone(const std::vector<std::vector<char>>& units, int frames, int threads, double* cpuSeconds)
{
    Decoder decoder(threads);
    const double cpu0 = ThreadCpuSeconds();
    const auto start = Clock::now();
    int decoded = 0;
    for (size_t i = 0; decoded < frames && !units.empty() && decoder.context; ++i)
        decoded += decoder.decode(units[i % units.size()]);
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (cpuSeconds)
        *cpuSeconds = ThreadCpuSeconds() - cpu0;
    return wall;
}

PacedResult DecodePaced(const std::vector<std::vector<char>>& units, int streams, int fps, double warmupSeconds,
                        double measureSeconds)
{
    PacedResult result;
    if (units.empty() || streams <= 0 || fps <= 0)
        return result;
    {
        Decoder probe(-1);
        result.decoderThreads = probe.context ? probe.context->thread_count : 0;
    }
    std::atomic<bool> stop{false};
    std::vector<std::unique_ptr<std::atomic<long>>> counts;
    for (int s = 0; s < streams; ++s)
        counts.push_back(std::make_unique<std::atomic<long>>(0));
    const auto period = std::chrono::nanoseconds(1000000000LL / fps);
    const auto begin = Clock::now();
    std::vector<std::thread> threads;
    for (int s = 0; s < streams; ++s)
        threads.emplace_back([&, s] {
            Decoder decoder(-1);
            // The cameras do not start in step: each stream's pictures are due at its own phase.
            auto due = begin + period * s / streams;
            for (size_t i = 0; !stop.load(); ++i) {
                std::this_thread::sleep_until(due);
                *counts[size_t(s)] += decoder.decode(units[i % units.size()]);
                due += period;
            }
        });
    std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(warmupSeconds)));
    std::vector<long> before;
    for (auto& c : counts)
        before.push_back(c->load());
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_until(t0 + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(measureSeconds)));
    const double cpu1 = ProcessCpuSeconds();
    const auto t1 = Clock::now();
    result.wallSeconds = std::chrono::duration<double>(t1 - t0).count();
    result.cpuSeconds = cpu1 - cpu0;
    for (size_t s = 0; s < counts.size(); ++s)
        result.rates.push_back(double(counts[s]->load() - before[s]) / result.wallSeconds);
    stop = true;
    for (auto& t : threads)
        t.join();
    return result;
}

} // namespace benchvideo
