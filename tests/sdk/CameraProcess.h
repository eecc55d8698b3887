// camsim and tovel-rendezvous as processes of their own (a process holds one libTovel client),
// for the tests that drive libLumora as an application does.
#pragma once

#include "ChildProcess.h"
#include "DeploymentSettings.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sdktest {

inline std::string toolBinary(const char* tool)
{
    return std::string(LUMORA_BINARY_DIR) + "/tools/" + tool + "/" + tool;
}

// A UID for the transport: 20 characters selects ThroughTek, "HOW" inside selects CS2, any other
// libTovel.
inline std::string uidFor(const std::string& transport, const std::string& stem)
{
    static std::atomic<int> counter{0};
    const std::string unique = std::to_string(::getpid() % 100000) + "N" + std::to_string(counter++);
    if (transport == "tutk") {
        std::string uid = "T" + stem + unique;
        uid.resize(20, 'Q');
        return uid;
    }
    if (transport == "cs2")
        return "HOW" + stem + unique;
    return stem + unique;
}

class RendezvousProcess {
public:
    bool start()
    {
        // A camera looked up before its registration arrived (camsim says it is ready before its
        // first registration) is asked for again instead of failing the login at once.
        return m_process.start(toolBinary("tovel-rendezvous"), {"--port", "0", "--silent-unknown"}) &&
               m_process.readLine(m_server, 15000);
    }
    const std::string& serverString() const { return m_server; }
    ~RendezvousProcess() { m_process.stop(); }

private:
    platform::ChildProcess m_process;
    std::string m_server;
};

// One camsim process; its standard output lines ("request CODE BYTES" with verbose on) are
// collected by a reader thread.
class CameraProcess {
public:
    struct Settings {
        std::string uid;
        std::string password;
        std::string transport;
        std::string server;
        int searchPort = 0;
    };

    explicit CameraProcess(Settings settings) : m_settings(std::move(settings)) {}
    ~CameraProcess() { stop(); }

    bool start()
    {
        std::vector<std::string> args = {"--uid", m_settings.uid, "--password", m_settings.password, "--transport",
                                         m_settings.transport, "--verbose", "1"};
        if (m_settings.transport == "tovel")
            args.insert(args.end(), {"--server", m_settings.server});
        // The stand-in transports find the camera through this process's device directory.
        if (m_settings.transport != "tovel" && !deployment::p2pDirectory().empty())
            args.insert(args.end(), {"--p2p-directory", deployment::p2pDirectory()});
        if (!m_mediaFile.empty())
            args.insert(args.end(), {"--media", m_mediaFile});
        if (!m_dataDir.empty())
            args.insert(args.end(), {"--data", m_dataDir});
        if (m_fps > 0)
            args.insert(args.end(), {"--fps", std::to_string(m_fps)});
        if (m_settings.searchPort != 0)
            args.insert(args.end(), {"--search-port", std::to_string(m_settings.searchPort)});
        if (!m_process.start(toolBinary("camsim"), args))
            return false;
        std::string line;
        bool ready = false;
        while (!ready && m_process.readLine(line, 20000))
            ready = line.find("camsim ready") != std::string::npos;
        if (!ready)
            return false;
        m_stop = false;
        m_reader = std::thread([this] {
            std::string event;
            while (!m_stop) {
                if (m_process.readLine(event, 100)) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_lines.push_back(event);
                    m_cv.notify_all();
                } else if (!m_process.running()) {
                    return;
                }
            }
        });
        return true;
    }

    void stop()
    {
        m_stop = true;
        if (m_reader.joinable())
            m_reader.join();
        if (m_process.running())
            m_process.stop();
    }

    // SIGKILL: a camera that vanishes.
    void kill()
    {
        m_stop = true;
        if (m_reader.joinable())
            m_reader.join();
        m_process.kill();
    }

    // The pictures to send, from an Annex B file (camsim's own when never set); before start().
    void setMedia(const std::string& file) { m_mediaFile = file; }
    // The folder of the settings documents and the SD card (sd/), and the camera's frame rate
    // (camsim's own when never set); before start().
    void setDataDir(const std::string& dir) { m_dataDir = dir; }
    void setFps(int fps) { m_fps = fps; }

    bool send(const std::string& line) { return m_process.writeLine(line); }

    // Waits until `count` lines starting with `prefix` were printed.
    bool waitLines(const std::string& prefix, size_t count, int timeoutMs = 20000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (const auto& l : m_lines)
                if (l.rfind(prefix, 0) == 0)
                    ++n;
            return n >= count;
        });
    }

    const std::string& uid() const { return m_settings.uid; }

private:
    Settings m_settings;
    std::string m_mediaFile;
    std::string m_dataDir;
    int m_fps = 0;
    platform::ChildProcess m_process;
    std::thread m_reader;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::string> m_lines;
};

} // namespace sdktest
