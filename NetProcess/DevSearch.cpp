#include "DevSearch.h"

#include "NetDeployment.h"
#include "NetLog.h"

#include <algorithm>
#include <vector>

namespace {

const uint8_t kProbe[4] = {0x44, 0x48, 0x01, 0x01};

// The process's search target when one was set, else the built-in one.
deployment::SearchTarget configuredTarget()
{
    deployment::SearchTarget target = deployment::searchTarget();
    if (target.address.empty())
        target = {platform::loopbackOnly() ? deployment::kLoopbackSearchAddress : deployment::kSearchAddress,
                  deployment::kSearchPort};
    return target;
}

} // namespace

DevSearch::DevSearch() : DevSearch(configuredTarget()) {}

DevSearch::DevSearch(const deployment::SearchTarget& target) : DevSearch(target.address, target.port) {}

DevSearch::DevSearch(std::string address, uint16_t port) : m_address(std::move(address)), m_port(port)
{
    platform::netStartup();
    open();
}

DevSearch::~DevSearch()
{
    m_stop = true;
    m_senderStop.set();
    m_socket.interruptWait();
    if (m_receiver.joinable())
        m_receiver.join();
    if (m_sender.joinable())
        m_sender.join();
    m_socket.close();
    platform::netCleanup();
}

void DevSearch::open()
{
    m_socketOk = false;
    if (m_socket.open(platform::AddressFamily::IPv4) != platform::NetError::None)
        return;
    if (m_socket.setBroadcast(true) != platform::NetError::None) {
        m_socket.close();
        return;
    }
    // Bound to any address on a free port, so that the devices' unicast answers arrive here.
    m_socketOk = m_socket.bind(platform::NetAddress::ipv4Any(0)) == platform::NetError::None &&
                 m_socket.setNonBlocking(true) == platform::NetError::None;
}

void DevSearch::reportEnd(const DeviceResultCallback& callback)
{
    if (callback)
        callback(0, -1, "", "", nullptr, 0);
}

void DevSearch::finishRunning()
{
    m_stop = true;
    m_senderStop.set();
    m_socket.interruptWait();
    if (m_receiver.joinable())
        m_receiver.join();
    if (m_sender.joinable())
        m_sender.join();
}

int DevSearch::Start(int timeoutSeconds, DeviceResultCallback callback)
{
    // The search still running ends (and reports its end) before the new one starts.
    finishRunning();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_callback = callback;
        m_active = true;
    }
    m_stop = false;
    m_senderStop.reset();
    const uint32_t secondMs = m_secondMs.load();
    m_receiver = std::thread([this, callback, timeoutSeconds, secondMs] { receiver(callback, timeoutSeconds, secondMs); });
    if (m_socketOk)
        m_sender = std::thread([this, secondMs] { sender(secondMs); });
    return 0;
}

void DevSearch::Cancel()
{
    DeviceResultCallback idle;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_active)
            m_stop = true; // the receiver reports the end
        else
            idle = m_callback;
    }
    m_senderStop.set();
    m_socket.interruptWait();
    reportEnd(idle);
}

void DevSearch::sender(uint32_t secondMs)
{
    platform::NetAddress target;
    std::vector<platform::NetAddress> found;
    platform::LookupOptions options;
    options.family = platform::AddressFamily::IPv4;
    if (platform::lookupAddresses(m_address.c_str(), m_port, options, found) != platform::NetError::None ||
        found.empty()) {
        NETLOG("search target not usable: " << m_address);
        return;
    }
    target = found.front();
    for (int i = 0; i < 3; ++i) {
        m_socket.sendTo(kProbe, sizeof kProbe, target);
        if (m_senderStop.wait(static_cast<int>(secondMs)))
            return;
    }
}

void DevSearch::receiver(DeviceResultCallback callback, int timeoutSeconds, uint32_t secondMs)
{
    std::vector<char> buffer(kReceiveBuffer);
    uint32_t last = platform::tickMillis();
    // The search ends once (now - last) in search seconds, rounded down, exceeds the time-out:
    // (timeout + 1) seconds after the last answer.
    const uint64_t quietMs = static_cast<uint64_t>(timeoutSeconds + 1) * secondMs;
    while (m_socketOk && !m_stop) {
        int waitMs = -1;
        if (timeoutSeconds != 0) {
            const uint32_t since = platform::tickMillis() - last;
            if (since >= quietMs)
                break;
            waitMs = static_cast<int>(std::min<uint64_t>(quietMs - since, kMaxWaitMs));
        }
        const platform::NetError waited = m_socket.waitReadable(waitMs);
        if (waited == platform::NetError::WouldBlock)
            continue; // timed out or interrupted: the checks above decide
        if (waited != platform::NetError::None) {
            m_senderStop.wait(static_cast<int>(kErrorPauseMs)); // ends early on a cancel
            continue;
        }
        // Take every datagram waiting now.
        for (;;) {
            platform::NetAddress source;
            std::fill(buffer.begin(), buffer.end(), 0);
            const int n = m_socket.receiveFrom(buffer.data(), buffer.size(), source);
            if (n == static_cast<int>(platform::NetError::WouldBlock))
                break;
            if (n < 0) {
                m_senderStop.wait(static_cast<int>(kErrorPauseMs));
                break;
            }
            if (callback)
                callback(0, n, "", "", buffer.data(), 0);
            last = platform::tickMillis();
            if (m_stop)
                break;
        }
    }
    bool report = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        report = m_active;
        m_active = false;
    }
    if (report)
        reportEnd(callback);
}
