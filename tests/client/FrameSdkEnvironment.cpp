// The SDK of a test process: one tovel-rendezvous process, then InitLibLumora with its server
// string; LAN search aimed at the cameras' probe port on loopback. Linked into the tests that
// drive the real libLumora.
#include "DeploymentSettings.h"
#include "FrameFixture.h"
#include "libLumora.h"

#include <gtest/gtest.h>
#include <string>

namespace frametest {
void setServerString(const std::string& server);
}

namespace {

class FrameSdkEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        const std::string rendezvous = std::string(LUMORA_BINARY_DIR) + "/tools/tovel-rendezvous/tovel-rendezvous";
        // A camera looked up before its registration arrived is asked for again (every 4 s) instead
        // of failing; the one id without a camera fails at once.
        ASSERT_TRUE(m_rendezvous.start(rendezvous, {"--port", "0", "--silent-unknown", "--refuse",
                                                    std::string(frametest::kNoCamera) + "=1"}));
        std::string server;
        ASSERT_TRUE(m_rendezvous.readLine(server, 10000));
        frametest::setServerString(server);
        // The probe goes to every camera of this process on loopback.
        deployment::setSearchTarget("127.255.255.255", static_cast<uint16_t>(frametest::searchPort()));
        // A search second of 250 ms: the dialog's two-second search ends in about a second.
        deployment::SdkTimings timings;
        timings.searchSecondMs = 250;
        deployment::setSdkTimings(timings);
        InitLibLumora(server.c_str(), 0);
    }

    void TearDown() override
    {
        DeInitLibLumora();
        m_rendezvous.stop();
    }

private:
    platform::ChildProcess m_rendezvous;
};

[[maybe_unused]] ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new FrameSdkEnvironment);

} // namespace
