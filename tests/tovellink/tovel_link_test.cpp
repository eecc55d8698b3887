// The device link over libTovel against a camsim process registered with a tovel-rendezvous
// process: login, settings, live video, talk, a record download and a camera that vanishes.
#include "ChildProcess.h"
#include "DeploymentSettings.h"
#include "NetProImple.h"
#include "NetRWrite.h"

#include "CamSim.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <json/json.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

std::string binary(const char* tool)
{
    return std::string(LUMORA_BINARY_DIR) + "/tools/" + tool + "/" + tool;
}

struct Reply {
    int code = 0;
    int result = 0;
    std::string body;
};

class TovelLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_data = std::filesystem::temp_directory_path() / ("tovel-link-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_data / "sd");
        // A camera looked up before its first registration arrived is asked for again instead of
        // failing the login at once (camsim says it is ready before it has registered).
        ASSERT_TRUE(m_rendezvous.start(binary("tovel-rendezvous"), {"--port", "0", "--silent-unknown"}));
        ASSERT_TRUE(m_rendezvous.readLine(m_server, 10000));
        uid = "TOVELCAM" + std::to_string(::getpid());
    }

    void TearDown() override
    {
        if (m_session) {
            m_stop = true;
            m_session->CloseLink();
            if (m_poller.joinable())
                m_poller.join();
        }
        if (m_lines.joinable()) {
            m_camera.stop();
            m_lines.join();
        }
        NetRWrite::DeInitNetRW();
        m_rendezvous.stop();
        std::filesystem::remove_all(m_data);
    }

    void startCamera(const std::string& password)
    {
        ASSERT_TRUE(m_camera.start(binary("camsim"), {"--uid", uid, "--password", password, "--transport", "tovel", "--server",
                                                      m_server, "--data", m_data.string(), "--verbose", "1"}));
        std::string line;
        bool ready = false;
        while (!ready && m_camera.readLine(line, 15000))
            ready = line.find("camsim ready") != std::string::npos;
        ASSERT_TRUE(ready);
        m_lines = std::thread([this] {
            std::string event;
            for (;;) {
                if (m_camera.readLine(event, 200)) {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_events.push_back(event);
                    m_cv.notify_all();
                } else if (!m_camera.running() || m_stop) {
                    return;
                }
            }
        });
        NetRWrite::InitNetRW(m_server.c_str(), 0);
        m_session = std::make_unique<NetProImple>(
            uid, nullptr, [this](int code, int result, std::vector<char>& body, unsigned length, std::string, int, int) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_replies.push_back({code, result, std::string(body.data(), body.data() + std::min<size_t>(length, body.size()))});
                m_cv.notify_all();
            });
        m_poller = std::thread([this] {
            while (!m_stop)
                if (m_session->ReadIOData(0) != 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
        });
    }

    bool waitReply(int code, Reply& out, int timeoutMs = 10000)
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

    bool waitEvent(const std::string& prefix, size_t count, int timeoutMs = 10000)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            size_t n = 0;
            for (const auto& e : m_events)
                if (e.rfind(prefix, 0) == 0)
                    ++n;
            return n >= count;
        });
    }

    int login(const std::string& password)
    {
        const int sent = m_session->SendLoginMsg(0, uid, password);
        if (sent < 0)
            return sent;
        Reply reply;
        return waitReply(4003, reply, 20000) ? reply.result : -999;
    }

    std::string uid;
    std::unique_ptr<NetProImple> m_session;
    std::filesystem::path m_data;
    platform::ChildProcess m_camera;

private:
    platform::ChildProcess m_rendezvous;
    std::string m_server;
    std::thread m_lines;
    std::thread m_poller;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Reply> m_replies;
    std::vector<std::string> m_events;
};

TEST_F(TovelLinkTest, LoginSettingsAndLiveVideo)
{
    startCamera("tovel-pass");
    ASSERT_EQ(login("tovel-pass"), 0);

    ASSERT_GE(m_session->SendSetTimezone("{\"TimeZone\": 3}"), 0);
    Reply reply;
    ASSERT_TRUE(waitReply(1405, reply));
    ASSERT_GE(m_session->SendGetTimezone(), 0);
    ASSERT_TRUE(waitReply(1403, reply));
    Json::Value doc;
    Json::Reader().parse(reply.body, doc);
    EXPECT_EQ(doc["Time.Conf"]["TimeZone"].asInt(), 3);

    ASSERT_GE(m_session->SendStartVideo(0, 0), 0);
    ASSERT_TRUE(waitReply(3006, reply));
    for (uint32_t i = 0; i < 20; ++i) {
        std::vector<char> got;
        ASSERT_EQ(m_session->ReadMediaData(
                      0, 0,
                      [&](int, int, std::vector<char>& frame, unsigned length, std::string, int, uint64_t, int) {
                          got.assign(frame.data(), frame.data() + length);
                      },
                      0),
                  0);
        EXPECT_TRUE(got == camsim::CamSim::syntheticFrame(i)) << "frame " << i;
    }
    m_session->SendStopVideo(0, 0);
}

TEST_F(TovelLinkTest, WrongPasswordIsRefused)
{
    startCamera("tovel-pass");
    EXPECT_EQ(login("not-it"), -100);
    EXPECT_FALSE(m_session->LinkUp());
}

TEST_F(TovelLinkTest, TalkFramesAndADownloadCrossTheSession)
{
    std::string content(200000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7 + (i >> 10));
    std::ofstream(m_data / "sd" / "clip.avi", std::ios::binary) << content;
    startCamera("pw");
    ASSERT_EQ(login("pw"), 0);

    ASSERT_GE(m_session->SendStartTalk(), 0);
    Reply reply;
    ASSERT_TRUE(waitReply(1007, reply));
    for (int i = 0; i < 3; ++i)
        ASSERT_GE(m_session->parser()->SendAudioFrame(std::vector<char>(320, 'a')), 0);
    EXPECT_TRUE(waitEvent("uplink 20 320", 3));

    ASSERT_GE(m_session->SendRecFileOp("{\"op\": 10, \"p\": \"clip.avi\", \"n\": \"clip.avi\"}"), 0);
    ASSERT_TRUE(waitReply(1079, reply));
    std::string received;
    bool ended = false;
    m_session->SetRecDataCallback([&](int p1, int p2, std::vector<char>& frame, unsigned length, std::string, int, uint64_t, int) {
        if (length == 0 && p1 == 0 && p2 == 0)
            ended = true;
        else
            received.append(frame.data(), length);
    });
    for (int i = 0; i < 200 && !ended; ++i)
        ASSERT_EQ(m_session->ReadMediaData(4, 0, nullptr, 0), 0);
    EXPECT_TRUE(ended);
    EXPECT_TRUE(received == content) << received.size() << " of " << content.size();
}

TEST_F(TovelLinkTest, VanishedCameraIsReportedOnceAsALostLink)
{
    // This process's libTovel client (made by the first connect) gives a silent peer up after
    // 1.5 s instead of 6, so that the test does not wait seconds for the link time-out.
    deployment::setTovelLinkTimeoutMs(1500);
    startCamera("pw");
    ASSERT_EQ(login("pw"), 0);
    m_camera.kill();
    // The reply poller sees the session fail and reports the loss once with result -1.
    // The last command sent was the login, so the loss arrives under the login reply's code.
    Reply reply;
    ASSERT_TRUE(waitReply(4003, reply, 60000));
    EXPECT_LT(reply.result, 0);
    EXPECT_FALSE(m_session->LinkUp());
}

} // namespace
