// lumora-demo [--frames N]
// The SDK demo on loopback: starts a rendezvous server and one simulated camera per transport,
// then, as an application on libLumora's public header (the library built into the program so that
// the surface the demo registers is the one the library draws into), initialises the
// library, logs into every camera, reads and writes settings, receives an alarm, and kills one
// camera and starts it again to show the library reconnecting it. Every camera also streams live
// video: the raw frames, the pictures decoded into a drawing surface the demo registers (frames per
// second), a snapshot of the stream, and a local recording played back by the local player; and
// every camera's SD card holds a recording that the demo downloads (DownloadRecFile).
// Exits 0 when all of it worked.
#include "DeploymentSettings.h"
#include "libLumora.h"

#include "ChildProcess.h"
#include "VideoSurface.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <json/json.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Reply {
    int code = 0;
    int result = 0;
    std::string text;
};

// Collects callbacks so that the demo can wait for them in order.
class Inbox {
public:
    DeviceResultCallback reply()
    {
        return [this](int code, int result, std::string text, std::string, char*, int) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_replies.push_back({code, result, std::move(text)});
            m_cv.notify_all();
        };
    }

    DeviceMessageCallback message()
    {
        return [this](int message, std::string uid, char* text, char*, int, int) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.push_back({message, uid + (text != nullptr ? std::string(" ") + text : std::string())});
            m_cv.notify_all();
        };
    }

    bool waitReply(Reply& out, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !m_replies.empty(); }))
            return false;
        out = m_replies.front();
        m_replies.pop_front();
        return true;
    }

    // Waits for message `number`; its text (the uid and any text of the message) in `text`.
    bool waitMessage(int number, std::string& text, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto it = m_messages.begin(); it != m_messages.end(); ++it)
                if (it->first == number) {
                    text = it->second;
                    m_messages.erase(it);
                    return true;
                }
            return false;
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Reply> m_replies;
    std::deque<std::pair<int, std::string>> m_messages;
};

std::string toolPath(const char* name)
{
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / name / name).string();
}

struct Camera {
    std::string name, transport, uid;
    std::filesystem::path dataDir; // the camera's folder: its SD card is sd/ inside
    platform::ChildProcess process;
};

// Where the simulated camera's SD card is mounted on the device, and the recording on it.
constexpr const char* kSdRoot = "/mnt/s0/media/sensor0";
constexpr const char* kRecording = "20261210/12/120000-120500.h264";

// The drawing surface the application registers for a camera: it counts the decoded pictures
// the library hands it and notes when the first and the latest came.
class CountingSurface : public platform::VideoSurface {
public:
    void present(const platform::SurfacePicture& picture) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto now = std::chrono::steady_clock::now();
        if (m_count++ == 0)
            m_first = now;
        m_last = now;
        m_width = picture.width;
        m_height = picture.height;
        m_cv.notify_all();
    }

    bool waitFor(int count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_count >= count; });
    }

    // Pictures and pictures per second between the first and the latest.
    std::pair<int, double> rate(int& width, int& height)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        width = m_width;
        height = m_height;
        const double seconds = std::chrono::duration<double>(m_last - m_first).count();
        return {m_count, m_count > 1 && seconds > 0 ? (m_count - 1) / seconds : 0.0};
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_count = 0;
    int m_width = 0;
    int m_height = 0;
    std::chrono::steady_clock::time_point m_first, m_last;
};

// An H.264 clip for the cameras to stream (made with the ffmpeg program); empty when none.
std::string makeClip(const std::filesystem::path& dir)
{
    const std::string path = (dir / "clip.h264").string();
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc=size=640x360:rate=25 -frames:v 50 "
                                "-c:v libx264 -g 25 -bf 0 -f h264 '" + path + "' </dev/null";
    return std::system(command.c_str()) == 0 && std::filesystem::exists(path) ? path : std::string();
}

bool startCamera(Camera& c, const std::string& password, const std::string& server, const std::string& clip)
{
    std::vector<std::string> args = {"--uid", c.uid, "--password", password, "--transport", c.transport,
                                     "--data", c.dataDir.string()};
    if (!clip.empty())
        args.insert(args.end(), {"--media", clip, "--fps", "25"});
    if (c.transport == "tovel")
        args.insert(args.end(), {"--server", server});
    else
        args.insert(args.end(), {"--p2p-directory", deployment::p2pDirectory()});
    // libTovel's peer writes a few lines of its own first; the camera's line starts "camsim ready".
    std::string line;
    bool ready = c.process.start(toolPath("camsim"), args);
    while (ready && (ready = c.process.readLine(line, 20000)) && line.find("camsim ready") == std::string::npos) {
    }
    return ready;
}

Json::Value parse(const std::string& text)
{
    Json::Value root;
    Json::Reader().parse(text, root, false);
    return root;
}

// Downloads the recording on the camera's SD card into the download folder; message 5 names the
// file once it is complete.
bool downloadRecording(Camera& camera, Inbox& inbox, const std::filesystem::path& snapDir)
{
    const std::filesystem::path original = camera.dataDir / "sd" / kRecording;
    SetDownloadPath((snapDir / "downloads").string());
    Json::Value op;
    op["op"] = 10;
    op["p"] = std::string(kSdRoot) + "/" + kRecording;
    op["n"] = camera.uid + "-120000.h264";
    op["sh"] = 0;
    op["si"] = 0;
    op["sl"] = 0;
    op["t"] = camera.uid;
    Reply reply;
    const int sent = DownloadRecFile(camera.uid, Json::FastWriter().write(op), inbox.reply());
    std::string text;
    if (sent < 0 || !inbox.waitReply(reply, 10000) || reply.result != 0 || !inbox.waitMessage(5, text, 60000)) {
        std::printf("  DownloadRecFile (%d): no download\n", sent);
        return false;
    }
    // The message text is the uid, then the local file.
    const std::string path = text.substr(text.find(' ') + 1);
    auto bytes = [](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    const std::string downloaded = bytes(path);
    const bool same = !downloaded.empty() && downloaded == bytes(original);
    std::printf("  DownloadRecFile %s: %s (%zu bytes, %s)\n", op["p"].asCString(), path.c_str(), downloaded.size(),
                same ? "byte for byte the camera's file" : "NOT the camera's file");
    return same;
}

bool runDevice(Camera& camera, Inbox& inbox, const std::string& password, int frames, int window,
               const std::filesystem::path& snapDir)
{
    std::printf("\n[%s] device %s\n", camera.name.c_str(), camera.uid.c_str());
    Reply reply;
    const auto t0 = std::chrono::steady_clock::now();
    bool loggedIn = false;
    for (int attempt = 0; attempt < 3 && !loggedIn; ++attempt) {
        LoginDev(camera.uid, password, inbox.reply());
        loggedIn = inbox.waitReply(reply, 60000) && reply.result == 0;
    }
    if (!loggedIn) {
        std::printf("  login failed (result %d)\n", reply.result);
        return false;
    }
    std::printf("  LoginDev: logged in (reply %d) in %.0f ms; LoginState %d\n", reply.code,
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count(),
                LoginState(camera.uid));

    GetTimezone(camera.uid, inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  GetTimezone (reply %d): %s", reply.code, Json::FastWriter().write(parse(reply.text)["Time.Conf"]).c_str());
    SetTimezone(camera.uid, R"({"TimeZone": 1, "NtpEnable": 0, "NtpServer": "127.0.0.1"})", inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  SetTimezone (reply %d): result %d\n", reply.code, reply.result);
    GetTimezone(camera.uid, inbox.reply());
    if (inbox.waitReply(reply, 10000)) {
        const Json::Value conf = parse(reply.text)["Time.Conf"];
        std::printf("  GetTimezone again: TimeZone=%d NtpEnable=%d\n", conf["TimeZone"].asInt(), conf["NtpEnable"].asInt());
    }
    GetNetworkEth(camera.uid, inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  GetNetworkEth (reply %d): %zu bytes of NetWork.Eth\n", reply.code, reply.text.size());
    SetNetworkEth(camera.uid, Json::FastWriter().write(parse(reply.text)["NetWork.Eth"]), inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  SetNetworkEth (reply %d): result %d\n", reply.code, reply.result);
    GetExposureType(camera.uid, inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  GetExposureType (reply %d): result %d\n", reply.code, reply.result);

    // Live video reaches the application's raw-frame callback once the video pipeline is in.
    std::atomic<int> got{0};
    SetVideoDataCallBack(camera.uid, [&got](int, int, std::vector<char>&, unsigned, std::string, int, uint64_t, int) { ++got; });
    const int video = BeginVideo(0, camera.uid, 1, 0, inbox.reply());
    if (video >= 0 && inbox.waitReply(reply, 10000)) {
        const auto v0 = std::chrono::steady_clock::now();
        while (got < frames && std::chrono::steady_clock::now() - v0 < std::chrono::seconds(10))
            ::usleep(10000);
        std::printf("  raw frames through SetVideoDataCallBack: %d\n", got.load());
        EndVideo(camera.uid, 1, 0, inbox.reply());
        inbox.waitReply(reply, 10000);
    } else {
        std::printf("  live video: not started (BeginVideo %d)\n", video);
    }
    SetVideoDataCallBack(camera.uid, nullptr);

    // Decoded live video: the library draws into the surface registered under `window`.
    auto surface = std::make_shared<CountingSurface>();
    platform::RegisterVideoSurface(window, surface);
    bool shown = false;
    if (BeginVideo(window, camera.uid, 0, 0, inbox.reply()) >= 0 && inbox.waitReply(reply, 10000) && reply.result == 0) {
        shown = surface->waitFor(frames, 30000);
        int width = 0;
        int height = 0;
        const auto [count, fps] = surface->rate(width, height);
        std::printf("  decoded video: %d pictures of %d x %d drawn into surface %d, %.1f frames per second\n", count,
                    width, height, window, fps);
        const std::string snap = (snapDir / (camera.uid + ".bmp")).string();
        SnapStreamPic(camera.uid, snap, inbox.reply());
        if (inbox.waitReply(reply, 10000) && reply.result == 0 && std::filesystem::exists(reply.text))
            std::printf("  SnapStreamPic: wrote %s (%ju bytes)\n", reply.text.c_str(),
                        static_cast<uintmax_t>(std::filesystem::file_size(reply.text)));
        else
            std::printf("  SnapStreamPic: no picture saved\n"), shown = false;
        // A local recording of the live stream, then played back by the library's local player.
        const std::string avi = (snapDir / (camera.uid + ".avi")).string();
        if (StartRecordFile(camera.uid, 0, avi) == 0) {
            surface->waitFor(surface->rate(width, height).first + 40, 30000);
            const int stopped = StopRecordFile(camera.uid, 0);
            std::printf("  StartRecordFile/StopRecordFile (%d): %s (%ju bytes)\n", stopped, avi.c_str(),
                        static_cast<uintmax_t>(std::filesystem::exists(avi) ? std::filesystem::file_size(avi) : 0));
            auto playback = std::make_shared<CountingSurface>();
            const int playWindow = window + 100;
            platform::RegisterVideoSurface(playWindow, playback);
            const int played = PlayLocalAVIFile(avi, reinterpret_cast<HWND>(static_cast<intptr_t>(playWindow)));
            const int aviFrames = GetAVIFileFrames();
            const bool drawn = played == 0 && playback->waitFor(5, 30000);
            std::printf("  PlayLocalAVIFile (%d): %d frames in the file, %d pictures drawn so far\n", played, aviFrames,
                        playback->rate(width, height).first);
            EndLocalAVIFile();
            platform::UnregisterVideoSurface(playWindow);
            shown = shown && drawn && aviFrames > 0;
        } else {
            std::printf("  StartRecordFile: refused\n");
            shown = false;
        }
        EndVideo(camera.uid, 0, 0, inbox.reply());
        inbox.waitReply(reply, 10000);
    } else {
        std::printf("  decoded video: not started\n");
    }
    platform::UnregisterVideoSurface(window);
    return downloadRecording(camera, inbox, snapDir) && shown;
}

} // namespace

int main(int argc, char** argv)
{
    int frames = 50;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--frames")
            frames = std::max(1, std::atoi(argv[++i]));

    const auto dir = std::filesystem::temp_directory_path() / ("lumora-demo-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto oldCwd = std::filesystem::current_path();
    std::filesystem::current_path(dir); // libLumora writes DllSysState.log here
    deployment::setP2PDirectory((dir / "devices").string());
    const std::string password = "demo-pass";
    std::printf("Lumora SDK demo: simulated cameras on every transport, an application on libLumora.\n");

    std::string serverString;
    platform::ChildProcess rendezvous;
    if (!rendezvous.start(toolPath("tovel-rendezvous"), {"--port", "0"}) || !rendezvous.readLine(serverString, 10000)) {
        std::printf("the rendezvous server did not start\n");
        return 1;
    }
    std::printf("rendezvous server on loopback, server string %s\n", serverString.c_str());

    const std::string clip = makeClip(dir);
    std::printf("%s\n", clip.empty() ? "no ffmpeg program: the cameras send synthetic frames"
                                     : "the cameras stream a 640 x 360 H.264 clip at 25 frames per second");
    std::vector<std::unique_ptr<Camera>> cameras;
    auto add = [&](const char* name, const char* transport, const char* uid) {
        auto c = std::make_unique<Camera>();
        c->name = name;
        c->transport = transport;
        c->uid = uid;
        // Each camera's SD card holds one recording: the clip, or a few bytes without ffmpeg.
        c->dataDir = dir / ("camera-" + std::string(transport));
        const std::filesystem::path recording = c->dataDir / "sd" / kRecording;
        std::filesystem::create_directories(recording.parent_path());
        if (!clip.empty())
            std::filesystem::copy_file(clip, recording, std::filesystem::copy_options::overwrite_existing);
        else
            std::ofstream(recording, std::ios::binary) << "a recording";
        cameras.push_back(std::move(c));
    };
    add("libTovel", "tovel", "LUMORADEMO01");
    add("CS2", "cs2", "DEMOHOW000123");
    add("ThroughTek", "tutk", "DEMOTUTK000000000001");
    for (auto& c : cameras) {
        if (!startCamera(*c, password, serverString, clip)) {
            std::printf("camera %s did not start\n", c->name.c_str());
            return 1;
        }
        std::printf("camera %s (%s) ready\n", c->uid.c_str(), c->name.c_str());
    }

    Inbox inbox;
    InitLibLumora(serverString.c_str(), 0);
    SetMSGCallBack(inbox.message());
    std::printf("libLumora initialised\n");
    bool ok = true;
    // The snapshots stay after the demo for a look.
    const auto snapDir = std::filesystem::temp_directory_path() / ("lumora-demo-snapshots-" + std::to_string(::getpid()));
    std::filesystem::create_directories(snapDir);
    int window = 100;
    for (auto& c : cameras)
        ok = runDevice(*c, inbox, password, frames, ++window, snapDir) && ok;

    // An alarm pushed by a camera reaches the message callback as message 1502.
    std::string text;
    Camera& cs2 = *cameras[1];
    cs2.process.writeLine(R"(alarm {"AlarmType":1,"Channel":0})");
    if (inbox.waitMessage(1502, text, 10000)) {
        std::printf("\nalarm: message 1502 from %s\n", text.c_str());
    } else {
        std::printf("\nalarm: no message\n");
        ok = false;
    }

    // A camera that vanishes: message 1, then after the reconnect delay the library logs in
    // again by itself: message 2.
    std::printf("\nkilling the %s camera\n", cs2.name.c_str());
    cs2.process.kill();
    cs2.process.stop(0); // reaps it
    const auto lost = std::chrono::steady_clock::now();
    if (inbox.waitMessage(1, text, 30000)) {
        std::printf("  message 1 (link lost): %s; LoginState %d\n", text.c_str(), LoginState(cs2.uid));
    } else {
        std::printf("  the loss was not reported\n");
        ok = false;
    }
    if (startCamera(cs2, password, serverString, clip))
        std::printf("  camera started again; waiting for the library to reconnect\n");
    if (inbox.waitMessage(2, text, 60000)) {
        std::printf("  message 2 (reconnected) %.1f s after the loss; LoginState %d\n",
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - lost).count(), LoginState(cs2.uid));
    } else {
        std::printf("  no reconnect\n");
        ok = false;
    }
    Reply reply;
    GetTimezone(cs2.uid, inbox.reply());
    if (inbox.waitReply(reply, 10000))
        std::printf("  GetTimezone after the reconnect (reply %d): result %d\n", reply.code, reply.result);

    for (auto& c : cameras)
        LogoutDev(c->uid);
    DeInitLibLumora();
    for (auto& c : cameras)
        c->process.stop();
    rendezvous.stop();
    std::filesystem::current_path(oldCwd);
    std::filesystem::remove_all(dir);
    std::printf("\n%s\n", ok ? "demo finished: every camera answered and the lost one came back"
                              : "demo finished with failures");
    return ok ? 0 : 1;
}
