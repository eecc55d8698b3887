// The loopback carrier behind the two vendor P2P stand-ins (CS2 and ThroughTek). The vendor
// libraries reach devices through their own servers; here a device publishes its UID in a small
// directory file (deployment::setP2PDirectory: one "UID host:port" line per device, the last line
// for a UID wins) and clients reach it over TCP on loopback. One TCP connection is one session;
// every message on it carries a kind, a channel and a payload, so the stand-ins can offer numbered
// byte-stream channels (CS2) and IO-control messages and AV frames (ThroughTek) on top.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vendor {

enum class MsgKind : uint8_t { Hello = 0, Stream = 1, IoCtrl = 2, Frame = 3, Audio = 4 };

// Channels 0-7: the only ones either stand-in can read. A message on any other channel is
// malformed and ends the session; opening another channel is refused.
constexpr int kChannels = 8;
// Largest message either side accepts; a longer length on the wire ends the session.
constexpr uint32_t kMaxMessage = 4u * 1024u * 1024u;
// Most bytes a session holds for its readers over all channels. A message that would pass it
// waits until the readers have made room: meanwhile the session reads nothing more from its
// connection, so the peer's sends wait in TCP's own window. Only when no reader makes room within
// the stall limit does the session end, instead of growing without bound.
constexpr size_t kMaxBuffered = 64u * 1024u * 1024u;
constexpr int kDefaultReaderStallMs = 30000;
// Process-wide; tests shorten and lower them.
void setReaderStallLimit(int ms);
void setSessionBufferLimit(size_t bytes);

struct LoopMessage {
    MsgKind kind = MsgKind::Stream;
    uint8_t channel = 0;
    uint32_t type = 0;
    std::vector<char> info;
    std::vector<char> data;
};

enum class LinkState { Open, ClosedRemote, ClosedLocal, TimedOut };

// One connected session. Thread-safe: any number of threads may send and receive on different
// channels; a receive thread owned by the session fills the queues.
class LoopSession {
public:
    LoopSession(int fd, std::string uid, bool deviceSide);
    ~LoopSession();
    LoopSession(const LoopSession&) = delete;
    LoopSession& operator=(const LoopSession&) = delete;

    const std::string& uid() const { return m_uid; }
    bool deviceSide() const { return m_deviceSide; }
    std::string peerAddress() const { return m_peer; }
    LinkState state();

    // False when the session is no longer open.
    bool send(const LoopMessage& message);
    // Byte-stream read on a channel: up to `size` bytes, waiting up to timeoutMs for all of them.
    // Returns the count read (possibly fewer when the time ran out, or 0).
    int readStream(uint8_t channel, char* out, int size, int timeoutMs);
    // Takes the next message of that kind on that channel; false on time-out or closed session.
    bool pop(MsgKind kind, uint8_t channel, LoopMessage& out, int timeoutMs);
    void close(LinkState why = LinkState::ClosedLocal);
    // True while the receive thread waits for readers to make room (for tests).
    bool waitingForRoom();

private:
    void receiveLoop();
    std::deque<LoopMessage>& queueOf(MsgKind kind, uint8_t channel);

    int m_fd;
    std::string m_uid;
    bool m_deviceSide;
    std::string m_peer;
    std::mutex m_sendMutex;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    LinkState m_state = LinkState::Open;
    std::deque<char> m_streams[kChannels];
    std::deque<LoopMessage> m_ioctrl[kChannels];
    std::deque<LoopMessage> m_frames[kChannels];
    std::deque<LoopMessage> m_audio[kChannels];
    size_t m_buffered = 0; // bytes in all the queues above
    bool m_waitingForRoom = false; // the receive thread waits for readers to take bytes
    std::thread m_reader;
};

// A device's listening endpoint: binds 127.0.0.1 on an ephemeral port and publishes the UID.
// accept() is called by one thread at a time; breakWait() and the setters from any thread.
class LoopListener {
public:
    // Milliseconds a client has for its hello once its connection is accepted (a change applies to
    // the connections waiting too).
    static constexpr int kHelloTimeoutMs = 2000;
    // Connections whose hello is still awaited; a further one turns the oldest away.
    static constexpr std::size_t kMaxPendingHellos = 32;

    LoopListener();
    ~LoopListener();
    LoopListener(const LoopListener&) = delete;
    LoopListener& operator=(const LoopListener&) = delete;
    bool open(const std::string& uid);
    // Waits up to timeoutMs (negative: for ever) for a client that names this UID. Hellos are read
    // as their bytes come, each against its own deadline, so a client that sends part of one (or
    // nothing) holds up nobody else.
    std::shared_ptr<LoopSession> accept(int timeoutMs);
    // Wakes a waiting accept, which then returns null (or the next accept, when none waits).
    void breakWait();
    void close();
    uint16_t port() const { return m_port; }
    void setHelloTimeout(int timeoutMs) { m_helloTimeoutMs.store(timeoutMs); }
    // Connections accepted whose hello is not complete yet (for tests).
    std::size_t pendingHellos() const;

private:
    struct PendingHello {
        int fd = -1;
        std::vector<char> bytes;
        std::chrono::steady_clock::time_point acceptedAt;
    };
    enum class HelloStep { More, Done, Refused };
    HelloStep readHello(PendingHello& pending);
    void dropPending(std::size_t index);

    int m_fd = -1;
    int m_wakeFd = -1; // eventfd that breakWait signals
    uint16_t m_port = 0;
    std::string m_uid;
    std::atomic<int> m_helloTimeoutMs{kHelloTimeoutMs};
    mutable std::mutex m_pendingMutex; // guards m_pending (accept's thread changes it)
    std::vector<PendingHello> m_pending;
};

enum class ConnectError { None, UnknownUid, Refused, Broken, NotLoopback };

// Looks the UID up in the directory and connects. `breakFlag`, when set by another thread, ends
// the attempt with ConnectError::Broken.
std::shared_ptr<LoopSession> connectTo(const std::string& uid, const std::atomic<bool>* breakFlag, ConnectError& error);

// Directory file handling (exposed for tests and tools).
std::string directoryPath();
bool publishUid(const std::string& uid, const std::string& host, uint16_t port);
bool lookupUid(const std::string& uid, std::string& host, uint16_t& port);

} // namespace vendor
