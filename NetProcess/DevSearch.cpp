#include "DevSearch.h"

#include "NetDeployment.h"
#include "NetLog.h"

#include <cstdlib>
#include <vector>

namespace {

const uint8_t kProbe[4] = {0x44, 0x48, 0x01, 0x01};

std::string envOr(const char* name, const char* fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string(fallback);
}

} // namespace

DevSearch::DevSearch()
    : DevSearch(envOr("LUMORA_SEARCH_ADDRESS", deployment::kSearchAddress),
                static_cast<uint16_t>(std::atoi(envOr("LUMORA_SEARCH_PORT", std::to_string(deployment::kSearchPort).c_str()).c_str())))
{
}

DevSearch::DevSearch(std::string address, uint16_t port) : m_address(std::move(address)), m_port(port)
{
    platform::netStartup();
    open();
}

DevSearch::~DevSearch()
{
    m_stop = true;
    m_senderStop.set();
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
    while (m_socketOk) {
        platform::NetAddress source;
        std::fill(buffer.begin(), buffer.end(), 0);
        const int n = m_socket.receiveFrom(buffer.data(), buffer.size(), source);
        if (n >= 0) {
            if (callback)
                callback(0, n, "", "", buffer.data(), 0);
            last = platform::tickMillis();
            continue;
        }
        const uint32_t now = platform::tickMillis();
        if (timeoutSeconds != 0 && static_cast<int>((now - last) / secondMs) > timeoutSeconds)
            break;
        if (m_stop)
            break;
        platform::sleepMillis(n == static_cast<int>(platform::NetError::WouldBlock) ? 20 : 50);
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
