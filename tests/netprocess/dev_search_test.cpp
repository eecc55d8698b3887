// LAN search against answering sockets on loopback.
#include "DevSearch.h"
#include "DeploymentSettings.h"
#include "NetDeployment.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// The searches here count their seconds in units of this many milliseconds: short enough that no
// test waits seconds, long enough that a loaded machine still sees all three probes answered
// before the one-"second" silence that ends a search.
constexpr uint32_t kSecondMs = 100;

// A device stand-in: answers every probe it receives with a fixed datagram.
class ProbeAnswerer {
public:
    explicit ProbeAnswerer(std::size_t answerSize) : m_answer(answerSize, 'D')
    {
        EXPECT_EQ(m_socket.open(platform::AddressFamily::IPv4), platform::NetError::None);
        EXPECT_EQ(m_socket.bind(platform::NetAddress::ipv4Loopback(0)), platform::NetError::None);
        platform::NetAddress local;
        m_socket.localAddress(local);
        m_port = local.port;
        m_thread = std::thread([this] {
            char buf[64];
            platform::NetAddress from;
            for (;;) {
                const int n = m_socket.receiveFrom(buf, sizeof buf, from);
                if (n < 0)
                    return;
                if (n == 4 && buf[0] == 0x44 && buf[1] == 0x48) {
                    ++probes;
                    m_socket.sendTo(m_answer.data(), m_answer.size(), from);
                }
            }
        });
    }
    ~ProbeAnswerer()
    {
        m_socket.shutdownReceive();
        m_thread.join();
    }
    uint16_t port() const { return m_port; }
    std::atomic<int> probes{0};

private:
    std::string m_answer;
    platform::UdpSocket m_socket;
    uint16_t m_port = 0;
    std::thread m_thread;
};

struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> results;
    int ends = 0;

    DeviceResultCallback callback()
    {
        return [this](int, int result, std::string, std::string, char* data, int) {
            std::lock_guard<std::mutex> lock(mutex);
            if (result == -1) {
                EXPECT_EQ(data, nullptr);
                ++ends;
            } else {
                EXPECT_NE(data, nullptr);
                results.push_back(result);
            }
            cv.notify_all();
        };
    }
    bool waitEnds(int count, int seconds)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::seconds(seconds), [&] { return ends >= count; });
    }
};

TEST(DevSearch, DeliversAnswersCutTo512AndEndsOnceAfterTimeout)
{
    ProbeAnswerer small(40);
    Recorder recorder;
    {
        DevSearch search("127.0.0.1", small.port());
        search.setSecondMs(kSecondMs);
        ASSERT_EQ(search.Start(1, recorder.callback()), 0);
        ASSERT_TRUE(recorder.waitEnds(1, 15));
    }
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_EQ(small.probes.load(), 3) << "three probes a second apart";
    EXPECT_EQ(recorder.results, std::vector<int>(3, 40));

    ProbeAnswerer large(600);
    Recorder cut;
    DevSearch search("127.0.0.1", large.port());
    search.setSecondMs(kSecondMs);
    search.Start(1, cut.callback());
    ASSERT_TRUE(cut.waitEnds(1, 15));
    std::lock_guard<std::mutex> lock2(cut.mutex);
    ASSERT_FALSE(cut.results.empty());
    EXPECT_EQ(cut.results.front(), DevSearch::kReceiveBuffer);
}

TEST(DevSearch, CancelAndRestartEachEndExactlyOnce)
{
    ProbeAnswerer device(10);
    Recorder recorder;
    {
        DevSearch search("127.0.0.1", device.port());

        // Cancel with nothing running: one end call at once.
        search.Start(0, recorder.callback());
        search.Cancel();
        ASSERT_TRUE(recorder.waitEnds(1, 5));
        search.Cancel();
        ASSERT_TRUE(recorder.waitEnds(2, 5));

        // Start while a search runs: the old search ends first, then the new one runs until cancelled.
        search.Start(0, recorder.callback());
        search.Start(0, recorder.callback());
        ASSERT_TRUE(recorder.waitEnds(3, 5));
        search.Cancel();
        ASSERT_TRUE(recorder.waitEnds(4, 5));
    } // the search's threads are joined here: no end call can come later
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.ends, 4);
}

TEST(DevSearch, UnusableTargetStillEndsOnce)
{
    Recorder recorder;
    DevSearch search("not-an-address", 9);
    search.setSecondMs(kSecondMs);
    search.Start(1, recorder.callback());
    ASSERT_TRUE(recorder.waitEnds(1, 10));
    std::lock_guard<std::mutex> lock(recorder.mutex);
    EXPECT_EQ(recorder.ends, 1);
    EXPECT_TRUE(recorder.results.empty());
}

TEST(DevSearch, TargetComesFromTheProcessSettingElseTheLoopbackBroadcastUnderTheGuard)
{
    ProbeAnswerer device(20);
    Recorder recorder;
    deployment::setSearchTarget("127.0.0.1", device.port());
    {
        DevSearch search; // takes the process's target when it is made
        deployment::setSearchTarget("", 0);
        search.setSecondMs(kSecondMs);
        search.Start(1, recorder.callback());
        ASSERT_TRUE(recorder.waitEnds(1, 15));
    }
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        EXPECT_FALSE(recorder.results.empty());
        EXPECT_GE(device.probes.load(), 1);
    }

    // With no target set, a loopback-only process probes the loopback broadcast on the usual port.
    platform::forceLoopbackOnly();
    platform::UdpSocket listener;
    ASSERT_EQ(listener.open(platform::AddressFamily::IPv4), platform::NetError::None);
    ASSERT_EQ(listener.setReuseAddress(true), platform::NetError::None);
    ASSERT_EQ(listener.bind(platform::NetAddress::ipv4Any(deployment::kSearchPort)), platform::NetError::None);
    Recorder broadcast;
    DevSearch search;
    search.Start(0, broadcast.callback());
    ASSERT_EQ(listener.waitReadable(15000), platform::NetError::None);
    char probe[16];
    platform::NetAddress from;
    EXPECT_EQ(listener.receiveFrom(probe, sizeof probe, from), 4);
    EXPECT_EQ(std::string(probe, 4), std::string("\x44\x48\x01\x01", 4));
    search.Cancel();
    ASSERT_TRUE(broadcast.waitEnds(1, 5));
}

} // namespace
