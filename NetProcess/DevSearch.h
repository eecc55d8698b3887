// LAN device search: sends the 4-byte probe 44 48 01 01 to UDP port 8600 (broadcast by default)
// three times a second apart and hands every answer, unparsed, to the caller's callback, until
// no answer has come for the time-out or the search is cancelled. Every search ends with exactly
// one end call (0, -1, "", "", null, 0); a cancel with no search running makes one at once.
//
// Threads: Start and Cancel on the caller's thread; the callback runs on the receiver thread.
// Both threads of a search are owned and joined by the next Start or the destructor.
#pragma once

#include "DeploymentSettings.h"
#include "LumoraTypes.h"
#include "PlatformThread.h"
#include "UdpSocket.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

class DevSearch {
public:
    static constexpr int kReceiveBuffer = 512;

    // Probes the process's search target (deployment::setSearchTarget), else the built-in one.
    DevSearch();
    explicit DevSearch(const deployment::SearchTarget& target);
    DevSearch(std::string address, uint16_t port);
    ~DevSearch();
    DevSearch(const DevSearch&) = delete;
    DevSearch& operator=(const DevSearch&) = delete;

    // Starts a search (ending one still running first); always 0. timeoutSeconds 0: until Cancel.
    int Start(int timeoutSeconds, DeviceResultCallback callback);
    void Cancel();

    // The length of one second of the search (the probe spacing and the unit of the time-out):
    // 1000 ms unless set. Tests shorten it; a search takes the value when it starts.
    static constexpr uint32_t kDefaultSecondMs = 1000;
    void setSecondMs(uint32_t secondMs) { m_secondMs.store(secondMs == 0 ? 1 : secondMs); }

private:
    // Longest single wait of the receiver, and its pause after a receive error.
    static constexpr uint64_t kMaxWaitMs = 500;
    static constexpr uint32_t kErrorPauseMs = 50;

    void open();
    void receiver(DeviceResultCallback callback, int timeoutSeconds, uint32_t secondMs);
    void sender(uint32_t secondMs);
    void finishRunning();
    void reportEnd(const DeviceResultCallback& callback);

    std::string m_address;
    uint16_t m_port;
    platform::UdpSocket m_socket;
    bool m_socketOk = false;
    std::mutex m_mutex;
    bool m_active = false; // a search whose end has not been reported yet
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_secondMs{kDefaultSecondMs};
    DeviceResultCallback m_callback;
    platform::ManualResetEvent m_senderStop; // set by a cancel or stop; ends the sender's and the receiver's waits
    std::thread m_receiver;
    std::thread m_sender;
};
