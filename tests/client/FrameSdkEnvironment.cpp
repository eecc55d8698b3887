// The SDK of a test process: one tovel-rendezvous process, then InitLibLumora with its server
// string; LAN search aimed at the cameras' probe port on loopback. Linked into the tests that
// drive the real libLumora.
#include "DeploymentSettings.h"
#include "FrameFixture.h"
#include "libLumora.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace frametest {
void setServerString(const std::string& server);
}

namespace {

// What the tests have added to the SDK's clock.
std::atomic<uint32_t> g_clockOffset{0};

class FrameSdkEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::string rendezvous = std::string(LUMORA_BINARY_DIR) + "/tools/tovel-rendezvous/tovel-rendezvous";
        // A camera looked up before its registration arrived is asked for again (every 4 s) instead
        // of failing; the one id without a camera fails at once. Its event lines (standard error)
        // join its standard output, so that a camera's start can wait for its registration.
        ASSERT_TRUE(m_rendezvous.start("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>&1", rendezvous, "--port", "0",
                                                   "--silent-unknown", "--verbose", "--refuse",
                                                   std::string(frametest::kNoCamera) + "=1"}));
        std::string server;
        ASSERT_TRUE(m_rendezvous.readLine(server, 10000));
        frametest::setServerString(server);
        // The server writes a line per event for as long as it runs: the reader keeps its pipe
        // empty and counts the registrations.
        m_reader = std::thread([this] { readEvents(); });
        frametest::setRegistrationCount([this](const std::string& uid) {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto it = m_registrations.find(uid);
            return it == m_registrations.end() ? size_t{0} : it->second;
        });
        // The probe goes to every camera of this process on loopback.
        deployment::setSearchTarget("127.255.255.255", static_cast<uint16_t>(frametest::searchPort()));
        // A search second of 250 ms: the dialog's two-second search ends in about a second. Replies
        // are polled every 10 ms and lost devices looked at every 50 ms, and the first login does
        // not pause between its polls, so that a login takes round trips, not timer periods.
        deployment::SdkTimings timings;
        timings.searchSecondMs = 250;
        timings.pollIntervalMs = 10;
        timings.snapIntervalMs = 50;
        timings.reconnectScanMs = 50;
        timings.firstLoginPauseMs = 0;
        timings.clock = [] {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now().time_since_epoch());
            return static_cast<uint32_t>(ms.count()) + g_clockOffset.load();
        };
        deployment::setSdkTimings(timings);
        InitLibLumora(server.c_str(), 0);
    }

    void TearDown() override
    {
        DeInitLibLumora();
        frametest::setRegistrationCount(nullptr);
        m_stop = true;
        if (m_reader.joinable())
            m_reader.join();
        m_rendezvous.stop();
    }

private:
    // Runs on m_reader until TearDown.
    void readEvents()
    {
        static const std::string kRegistered = "registered ";
        std::string line;
        while (!m_stop) {
            if (!m_rendezvous.readLine(line, 100) || line.rfind(kRegistered, 0) != 0)
                continue;
            // "registered ID mode M nat N"
            const std::string id = line.substr(kRegistered.size(), line.find(' ', kRegistered.size()) - kRegistered.size());
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_registrations[id];
        }
    }

    platform::ChildProcess m_rendezvous;
    std::thread m_reader;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::map<std::string, size_t> m_registrations; // guarded by m_mutex
};

} // namespace

void frametest::advanceSdkClock(uint32_t ms)
{
    g_clockOffset += ms;
}

void frametest::restartSdkWithLinkTimeout(uint32_t timeoutMs)
{
    // libTovel's client takes the link time-out when it is made, at InitLibLumora.
    DeInitLibLumora();
    deployment::setTovelLinkTimeoutMs(timeoutMs);
    InitLibLumora(frametest::serverString().c_str(), 0);
}

namespace {

[[maybe_unused]] ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new FrameSdkEnvironment);

} // namespace
