// A device session of the SDK side against an in-process simulated camera, over one transport.
#pragma once

#include "DeploymentSettings.h"
#include "AVAPIs.h"
#include "CamSim.h"
#include "DeviceDirectory.h"
#include "IOTCAPIs.h"
#include "NetProImple.h"
#include "PPCS_API.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

struct Reply {
    int code = 0;
    int result = 0;
    std::string body;
};

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

class DeviceFixture {
public:
    DeviceFixture(const std::string& transport, const std::string& password = "secret", camsim::CamSimOptions extra = {})
    {
        m_directory = std::filesystem::temp_directory_path() / ("lumora-devdir-" + std::to_string(::getpid()) + "-" +
                                                               std::to_string(reinterpret_cast<uintptr_t>(this)));
        std::filesystem::remove(m_directory);
        deployment::setP2PDirectory(m_directory.string());
        char init[] = "TEST";
        PPCS_Initialize(init);
        IOTC_Initialize2(0);
        avInitialize(40);

        camsim::CamSimOptions options = extra;
        options.uid = uidFor(transport, "CAM");
        options.password = password;
        options.transport = transport;
        m_camera = std::make_unique<camsim::CamSim>(options);
        std::string error;
        EXPECT_TRUE(m_camera->start(error)) << error;
        uid = options.uid;

        session = std::make_unique<NetProImple>(
            uid, nullptr, [this](int code, int result, std::vector<char>& body, unsigned length, std::string, int, int) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_replies.push_back({code, result, std::string(body.data(), body.data() + std::min<size_t>(length, body.size()))});
                m_cv.notify_all();
            });
        m_poller = std::thread([this] {
            while (!m_stop) {
                if (session->ReadIOData(0) != 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
    }

    ~DeviceFixture()
    {
        m_stop = true;
        session->CloseLink();
        m_poller.join();
        m_camera->stop();
        std::filesystem::remove(m_directory);
    }

    camsim::CamSim& camera() { return *m_camera; }

    // Waits for the next reply with that code; false on time-out.
    bool waitReply(int code, Reply& out, int timeoutMs = 5000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        const bool ok = m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (auto it = m_replies.begin(); it != m_replies.end(); ++it)
                if (it->code == code) {
                    out = *it;
                    m_replies.erase(it);
                    return true;
                }
            return false;
        });
        return ok;
    }

    // Waits until the camera can be found: its listener publishes itself from the camera's
    // thread, and a login before that finds no device (-12).
    bool waitPublished() const { return lumora::test::waitPublished(m_directory, uid); }

    // Logs in and returns the 4003 result (0 accepted, -100 refused, -1 no connection); -12 when
    // the connect failed, -998 when the camera never published itself, -999 when no reply came.
    int login(const std::string& password)
    {
        if (!waitPublished())
            return -998;
        const int sent = session->SendLoginMsg(0, uid, password);
        if (sent < 0)
            return sent;
        Reply reply;
        if (!waitReply(4003, reply, 8000))
            return -999;
        return reply.result;
    }

    std::string uid;
    std::unique_ptr<NetProImple> session;

private:
    std::filesystem::path m_directory;
    std::unique_ptr<camsim::CamSim> m_camera;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Reply> m_replies;
    std::atomic<bool> m_stop{false};
    std::thread m_poller;
};
