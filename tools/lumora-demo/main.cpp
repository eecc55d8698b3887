// lumora-demo [--frames N]
// Starts a rendezvous server and one simulated camera per transport on loopback, then, as the
// client, logs into each camera, reads and writes a setting and watches some live video,
// printing what happens. Exits 0 when every camera that could be started answered.
#include "ChildProcess.h"
#include "NetProImple.h"
#include "NetRWrite.h"
#include "Orlix.h"
#include "PlatformThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <json/json.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

struct Reply {
    int code = 0;
    int result = 0;
    std::string body;
};

class Device {
public:
    Device(std::string name, std::string id) : uid(std::move(id)), m_name(std::move(name))
    {
        session = std::make_unique<NetProImple>(
            this->uid, nullptr, [this](int code, int result, std::vector<char>& body, unsigned length, std::string, int, int) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_replies.push_back({code, result, std::string(body.data(), body.data() + std::min<size_t>(length, body.size()))});
                m_cv.notify_all();
            });
    }

    ~Device() { stopPolling(); }

    void startPolling()
    {
        m_poller = std::thread([this] {
            while (!m_stop)
                if (session->ReadIOData(0) != 0)
                    platform::sleepMillis(20);
        });
    }

    void stopPolling()
    {
        m_stop = true;
        if (m_poller.joinable())
            m_poller.join();
    }

    bool wait(int code, Reply& out, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto it = m_replies.begin(); it != m_replies.end(); ++it)
                if (it->code == code) {
                    out = *it;
                    m_replies.erase(it);
                    return true;
                }
            return false;
        });
    }

    const std::string& name() const { return m_name; }
    std::string uid;
    std::unique_ptr<NetProImple> session;

private:
    std::string m_name;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Reply> m_replies;
    std::atomic<bool> m_stop{false};
    std::thread m_poller;
};

std::string toolPath(const char* name)
{
    const auto self = std::filesystem::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path() / name / name).string();
}

bool runDevice(Device& device, const std::string& password, int frames)
{
    std::printf("\n[%s] device %s\n", device.name().c_str(), device.uid.c_str());
    device.startPolling();
    const auto t0 = std::chrono::steady_clock::now();
    const int sent = device.session->SendLoginMsg(0, device.uid, password);
    Reply reply;
    if (sent < 0 || !device.wait(4003, reply, 15000) || reply.result != 0) {
        std::printf("  login failed (send %d, result %d)\n", sent, reply.result);
        return false;
    }
    const double loginMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("  logged in with the challenge handshake in %.0f ms\n", loginMs);
    if (TransportForUid(device.uid) == LinkTransport::Tovel) {
        Orlix_SessionInfo info{};
        if (Orlix_Check(device.session->parser()->link()->handle(), &info) == 0)
            std::printf("  libTovel session, connection type %d (1 direct, 2 punched through, 3 relayed)\n",
                        info.connectionType);
    }

    device.session->SendGetTimezone();
    if (device.wait(1403, reply, 5000)) {
        Json::Value doc;
        Json::Reader().parse(reply.body, doc);
        std::printf("  Time.Conf read: %s", Json::FastWriter().write(doc["Time.Conf"]).c_str());
    }
    device.session->SendSetTimezone("{\"TimeZone\": 1, \"NtpEnable\": 0, \"NtpServer\": \"127.0.0.1\"}");
    if (device.wait(1405, reply, 5000))
        std::printf("  Time.Conf written (reply 1405, result %d)\n", reply.result);
    device.session->SendGetTimezone();
    if (device.wait(1403, reply, 5000)) {
        Json::Value doc;
        Json::Reader().parse(reply.body, doc);
        std::printf("  Time.Conf read back: TimeZone=%d NtpEnable=%d\n", doc["Time.Conf"]["TimeZone"].asInt(),
                    doc["Time.Conf"]["NtpEnable"].asInt());
    }

    device.session->SendStartVideo(0, 0);
    if (!device.wait(3006, reply, 5000)) {
        std::printf("  no answer to the stream request\n");
        return false;
    }
    size_t bytes = 0;
    int got = 0;
    const auto v0 = std::chrono::steady_clock::now();
    while (got < frames) {
        const int rc = device.session->ReadMediaData(
            0, 0, [&](int, int, std::vector<char>&, unsigned length, std::string, int, uint64_t, int) { bytes += length; }, 0);
        if (rc != 0)
            break;
        ++got;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - v0).count();
    std::printf("  live video: %d frames, %.1f KB, %.1f frames/s\n", got, bytes / 1024.0, got / seconds);
    device.session->SendStopVideo(0, 0);
    device.wait(3006, reply, 2000);
    device.session->CloseLink();
    device.stopPolling();
    return got == frames;
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
    ::setenv("LUMORA_P2P_DIRECTORY", (dir / "devices").c_str(), 1);
    const std::string password = "demo-pass";
    std::printf("Lumora loopback demo: simulated cameras on every transport, one client side.\n");

    // libTovel needs a rendezvous server; the two vendor stand-ins find devices through the
    // directory file.
    std::string serverString;
    platform::ChildProcess rendezvous;
    const std::string rendezvousPath = toolPath("tovel-rendezvous");
    if (std::filesystem::exists(rendezvousPath) && rendezvous.start(rendezvousPath, {"--port", "0"}) &&
        rendezvous.readLine(serverString, 5000)) {
        std::printf("rendezvous server on loopback, server string %s\n", serverString.c_str());
    } else {
        std::printf("no rendezvous server in this build: the libTovel camera is skipped\n");
        serverString.clear();
    }

    struct Camera {
        std::string name, transport, uid;
        platform::ChildProcess process;
    };
    auto makeCamera = [](const char* name, const char* transport, const char* uid) {
        auto camera = std::make_unique<Camera>();
        camera->name = name;
        camera->transport = transport;
        camera->uid = uid;
        return camera;
    };
    std::vector<std::unique_ptr<Camera>> cameras;
    if (!serverString.empty())
        cameras.push_back(makeCamera("libTovel", "tovel", "LUMORADEMO01"));
    cameras.push_back(makeCamera("CS2", "cs2", "DEMOHOW000123"));
    cameras.push_back(makeCamera("ThroughTek", "tutk", "DEMOTUTK000000000001"));
    for (auto& c : cameras) {
        std::vector<std::string> args = {"--uid", c->uid, "--password", password, "--transport", c->transport};
        if (c->transport == "tovel")
            args.insert(args.end(), {"--server", serverString});
        // libTovel's peer writes a few lines of its own first; the camera's line starts "camsim ready".
        std::string line;
        bool ready = c->process.start(toolPath("camsim"), args);
        while (ready && (ready = c->process.readLine(line, 10000)) && line.find("camsim ready") == std::string::npos) {
        }
        if (!ready) {
            std::printf("camera %s did not start\n", c->name.c_str());
            return 1;
        }
        std::printf("%s\n", line.c_str());
    }

    NetRWrite::InitNetRW(serverString.c_str(), 0);
    bool ok = true;
    for (auto& c : cameras) {
        Device device(c->name, c->uid);
        ok = runDevice(device, password, frames) && ok;
    }
    NetRWrite::DeInitNetRW();
    for (auto& c : cameras)
        c->process.stop();
    rendezvous.stop();
    std::filesystem::remove_all(dir);
    std::printf("\n%s\n", ok ? "demo finished: every camera answered" : "demo finished with failures");
    return ok ? 0 : 1;
}
