#include "LoopLink.h"

#include "DeploymentSettings.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vendor {

namespace {

constexpr size_t kHeaderBytes = 14;
// Longest UID a hello may carry.
constexpr uint32_t kMaxHelloUid = 256;

void putU32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t getU32(const unsigned char* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

bool writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads exactly size bytes; false on end of stream or error.
bool readAll(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::recv(fd, data, size, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool waitReadable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR)
            continue;
        return rc > 0;
    }
}

bool loopbackOnly()
{
    const char* v = std::getenv("LUMORA_LOOPBACK_ONLY");
    return v != nullptr && *v != '\0';
}

bool isLoopback(const std::string& host)
{
    in_addr a4{};
    if (inet_pton(AF_INET, host.c_str(), &a4) == 1)
        return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    if (inet_pton(AF_INET6, host.c_str(), &a6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&a6);
    return false;
}

bool sendMessage(int fd, const LoopMessage& m)
{
    unsigned char header[kHeaderBytes];
    header[0] = static_cast<unsigned char>(m.kind);
    header[1] = m.channel;
    putU32(header + 2, m.type);
    putU32(header + 6, static_cast<uint32_t>(m.info.size()));
    putU32(header + 10, static_cast<uint32_t>(m.data.size()));
    // One buffer, one send: keeps small messages in one segment.
    std::vector<char> buffer(kHeaderBytes + m.info.size() + m.data.size());
    std::memcpy(buffer.data(), header, kHeaderBytes);
    if (!m.info.empty())
        std::memcpy(buffer.data() + kHeaderBytes, m.info.data(), m.info.size());
    if (!m.data.empty())
        std::memcpy(buffer.data() + kHeaderBytes + m.info.size(), m.data.data(), m.data.size());
    return writeAll(fd, buffer.data(), buffer.size());
}

// Reads one message; false on a closed stream or a malformed header.
bool receiveMessage(int fd, LoopMessage& m)
{
    unsigned char header[kHeaderBytes];
    if (!readAll(fd, reinterpret_cast<char*>(header), kHeaderBytes))
        return false;
    if (header[0] > static_cast<unsigned char>(MsgKind::Audio) || header[1] >= kChannels)
        return false;
    const uint32_t infoLen = getU32(header + 6);
    const uint32_t dataLen = getU32(header + 10);
    if (infoLen > 1024 || dataLen > kMaxMessage)
        return false;
    m.kind = static_cast<MsgKind>(header[0]);
    m.channel = header[1];
    m.type = getU32(header + 2);
    m.info.resize(infoLen);
    m.data.resize(dataLen);
    return readAll(fd, m.info.data(), infoLen) && readAll(fd, m.data.data(), dataLen);
}

std::string peerName(int fd)
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (ss.ss_family == AF_INET) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
        port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
        port = ntohs(a->sin6_port);
    }
    return std::string(text) + ":" + std::to_string(port);
}

std::atomic<int> g_readerStallMs{kDefaultReaderStallMs};
std::atomic<size_t> g_bufferLimit{kMaxBuffered};

} // namespace

void setReaderStallLimit(int ms)
{
    g_readerStallMs.store(ms);
}

void setSessionBufferLimit(size_t bytes)
{
    g_bufferLimit.store(bytes);
}

LoopSession::LoopSession(int fd, std::string uid, bool deviceSide)
    : m_fd(fd), m_uid(std::move(uid)), m_deviceSide(deviceSide), m_peer(peerName(fd))
{
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_reader = std::thread([this] { receiveLoop(); });
}

LoopSession::~LoopSession()
{
    close();
    if (m_reader.joinable())
        m_reader.join();
    ::close(m_fd);
}

LinkState LoopSession::state()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

void LoopSession::close(LinkState why)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_state == LinkState::Open)
            m_state = why;
    }
    // Wakes the receive thread; the descriptor itself is closed by the destructor after the join.
    ::shutdown(m_fd, SHUT_RDWR);
    m_cv.notify_all();
}

bool LoopSession::waitingForRoom()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waitingForRoom;
}

bool LoopSession::send(const LoopMessage& message)
{
    if (state() != LinkState::Open)
        return false;
    std::lock_guard<std::mutex> lock(m_sendMutex);
    if (!sendMessage(m_fd, message)) {
        close(LinkState::ClosedRemote);
        return false;
    }
    return true;
}

std::deque<LoopMessage>& LoopSession::queueOf(MsgKind kind, uint8_t channel)
{
    switch (kind) {
    case MsgKind::IoCtrl:
        return m_ioctrl[channel];
    case MsgKind::Audio:
        return m_audio[channel];
    default:
        return m_frames[channel];
    }
}

void LoopSession::receiveLoop()
{
    for (;;) {
        LoopMessage m;
        if (!receiveMessage(m_fd, m)) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_state == LinkState::Open)
                    m_state = LinkState::ClosedRemote;
                m_cv.notify_all();
            }
            // The peer has gone: our side closes too, which also ends a send that waits for a
            // window the peer will never open again.
            ::shutdown(m_fd, SHUT_RDWR);
            return;
        }
        bool overflow = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const size_t bytes = m.data.size() + m.info.size();
            const size_t limit = g_bufferLimit.load();
            // A message larger than the whole limit is let in once the queues are empty.
            const auto fits = [&] { return m_buffered == 0 || m_buffered + bytes <= limit; };
            if (m.kind != MsgKind::Hello && !fits()) {
                m_waitingForRoom = true;
                m_cv.wait_for(lock, std::chrono::milliseconds(g_readerStallMs.load()),
                              [&] { return fits() || m_state != LinkState::Open; });
                m_waitingForRoom = false;
                if (m_state != LinkState::Open)
                    return;
            }
            if (m.kind != MsgKind::Hello && !fits()) {
                overflow = true;
            } else if (m.kind == MsgKind::Stream) {
                m_streams[m.channel].insert(m_streams[m.channel].end(), m.data.begin(), m.data.end());
                m_buffered += m.data.size();
            } else if (m.kind != MsgKind::Hello) {
                queueOf(m.kind, m.channel).push_back(std::move(m));
                m_buffered += bytes;
            }
            m_cv.notify_all();
        }
        if (overflow) {
            close(LinkState::ClosedLocal);
            return;
        }
    }
}

int LoopSession::readStream(uint8_t channel, char* out, int size, int timeoutMs)
{
    if (channel >= kChannels || size <= 0)
        return 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    auto& q = m_streams[channel];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    int got = 0;
    for (;;) {
        const int take = static_cast<int>(std::min<size_t>(q.size(), static_cast<size_t>(size - got)));
        std::copy(q.begin(), q.begin() + take, out + got);
        q.erase(q.begin(), q.begin() + take);
        m_buffered -= static_cast<size_t>(take);
        got += take;
        if (take > 0 && m_waitingForRoom)
            m_cv.notify_all();
        if (got == size || m_state != LinkState::Open)
            return got;
        if (m_cv.wait_until(lock, deadline) == std::cv_status::timeout && q.empty())
            return got;
    }
}

bool LoopSession::pop(MsgKind kind, uint8_t channel, LoopMessage& out, int timeoutMs)
{
    if (channel >= kChannels)
        return false;
    std::unique_lock<std::mutex> lock(m_mutex);
    auto& q = queueOf(kind, channel);
    const auto ready = [&] { return !q.empty() || m_state != LinkState::Open; };
    if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs), ready) || q.empty())
        return false;
    out = std::move(q.front());
    q.pop_front();
    m_buffered -= out.data.size() + out.info.size();
    if (m_waitingForRoom)
        m_cv.notify_all();
    return true;
}

std::string directoryPath()
{
    return deployment::p2pDirectory();
}

bool publishUid(const std::string& uid, const std::string& host, uint16_t port)
{
    const std::string path = directoryPath();
    if (path.empty() || uid.empty() || uid.find_first_of(" \n\r\t") != std::string::npos)
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0)
        return false;
    ::flock(fd, LOCK_EX);
    const std::string line = uid + " " + host + ":" + std::to_string(port) + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::flock(fd, LOCK_UN);
    ::close(fd);
    return ok;
}

bool lookupUid(const std::string& uid, std::string& host, uint16_t& port)
{
    const std::string path = directoryPath();
    if (path.empty())
        return false;
    std::ifstream in(path);
    std::string line;
    bool found = false;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, endpoint;
        if (!(fields >> name >> endpoint) || name != uid)
            continue;
        const auto colon = endpoint.rfind(':');
        if (colon == std::string::npos)
            continue;
        const long p = std::strtol(endpoint.c_str() + colon + 1, nullptr, 10);
        if (p <= 0 || p > 65535)
            continue;
        host = endpoint.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        port = static_cast<uint16_t>(p);
        found = true;
    }
    return found;
}

LoopListener::LoopListener() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LoopListener::~LoopListener()
{
    close();
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool LoopListener::open(const std::string& uid)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(m_fd, 16) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close();
        return false;
    }
    m_port = ntohs(addr.sin_port);
    m_uid = uid;
    // A break meant for an earlier wait is not this one's.
    uint64_t stale = 0;
    if (m_wakeFd >= 0)
        (void)!::read(m_wakeFd, &stale, sizeof stale);
    if (!publishUid(uid, "127.0.0.1", m_port)) {
        close();
        return false;
    }
    return true;
}

void LoopListener::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    for (const PendingHello& pending : m_pending)
        ::close(pending.fd);
    m_pending.clear();
}

void LoopListener::breakWait()
{
    const uint64_t one = 1;
    if (m_wakeFd >= 0)
        (void)!::write(m_wakeFd, &one, sizeof one);
}

std::size_t LoopListener::pendingHellos() const
{
    std::lock_guard<std::mutex> lock(m_pendingMutex);
    return m_pending.size();
}

void LoopListener::dropPending(std::size_t index)
{
    ::close(m_pending[index].fd);
    m_pending.erase(m_pending.begin() + static_cast<std::ptrdiff_t>(index));
}

LoopListener::HelloStep LoopListener::readHello(PendingHello& pending)
{
    // The hello is read to its last byte and not beyond: what follows belongs to the session.
    std::size_t need = kHeaderBytes;
    if (pending.bytes.size() >= kHeaderBytes) {
        const auto* header = reinterpret_cast<const unsigned char*>(pending.bytes.data());
        need += std::size_t{getU32(header + 6)} + getU32(header + 10);
    }
    const std::size_t have = pending.bytes.size();
    pending.bytes.resize(need);
    const ssize_t n = ::recv(pending.fd, pending.bytes.data() + have, need - have, 0);
    if (n <= 0) {
        pending.bytes.resize(have);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? HelloStep::More
                                                                                   : HelloStep::Refused;
    }
    pending.bytes.resize(have + static_cast<std::size_t>(n));
    const auto* header = reinterpret_cast<const unsigned char*>(pending.bytes.data());
    if (have < kHeaderBytes && pending.bytes.size() >= kHeaderBytes) {
        // Only a hello naming a UID may open a session.
        if (header[0] != static_cast<unsigned char>(MsgKind::Hello) || getU32(header + 6) > 1024 ||
            getU32(header + 10) > kMaxHelloUid)
            return HelloStep::Refused;
        return readHello(pending);
    }
    if (pending.bytes.size() < kHeaderBytes || pending.bytes.size() < need)
        return HelloStep::More;
    const std::size_t uidAt = kHeaderBytes + getU32(header + 6);
    return std::string(pending.bytes.begin() + static_cast<std::ptrdiff_t>(uidAt), pending.bytes.end()) == m_uid
               ? HelloStep::Done
               : HelloStep::Refused;
}

std::shared_ptr<LoopSession> LoopListener::accept(int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const auto until =
        timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (m_fd >= 0) {
        const auto now = Clock::now();
        std::vector<pollfd> fds{{m_fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        auto wakeAt = until;
        {
            const std::chrono::milliseconds helloTime(m_helloTimeoutMs.load());
            std::lock_guard<std::mutex> lock(m_pendingMutex);
            for (std::size_t i = m_pending.size(); i-- > 0;)
                if (m_pending[i].acceptedAt + helloTime <= now)
                    dropPending(i);
            for (const PendingHello& pending : m_pending) {
                fds.push_back({pending.fd, POLLIN, 0});
                wakeAt = std::min(wakeAt, pending.acceptedAt + helloTime);
            }
        }
        if (now >= until)
            return nullptr;
        const int waitMs =
            wakeAt == Clock::time_point::max()
                ? -1
                : static_cast<int>(std::min<int64_t>(
                      INT32_MAX, std::chrono::ceil<std::chrono::milliseconds>(wakeAt - now).count()));
        const int rc = ::poll(fds.data(), fds.size(), waitMs);
        if (rc < 0 && errno != EINTR)
            return nullptr;
        if (rc <= 0)
            continue;
        if (fds[1].revents != 0) {
            // A break ends this wait only; the next accept waits again.
            uint64_t count = 0;
            (void)!::read(m_wakeFd, &count, sizeof count);
            return nullptr;
        }
        for (std::size_t k = 2; k < fds.size(); ++k) {
            if (fds[k].revents == 0)
                continue;
            int ready = -1;
            {
                std::lock_guard<std::mutex> lock(m_pendingMutex);
                const auto it = std::find_if(m_pending.begin(), m_pending.end(),
                                             [&](const PendingHello& p) { return p.fd == fds[k].fd; });
                if (it == m_pending.end())
                    continue;
                const std::size_t index = static_cast<std::size_t>(it - m_pending.begin());
                switch (readHello(*it)) {
                case HelloStep::More:
                    break;
                case HelloStep::Refused:
                    dropPending(index);
                    break;
                case HelloStep::Done:
                    ready = it->fd;
                    m_pending.erase(it);
                    break;
                }
            }
            if (ready < 0)
                continue;
            // The session reads and writes blocking from here on.
            ::fcntl(ready, F_SETFL, ::fcntl(ready, F_GETFL) & ~O_NONBLOCK);
            LoopMessage ack;
            ack.kind = MsgKind::Hello;
            ack.data.assign(m_uid.begin(), m_uid.end());
            if (!sendMessage(ready, ack)) {
                ::close(ready);
                continue;
            }
            return std::make_shared<LoopSession>(ready, m_uid, true);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd >= 0) {
                std::lock_guard<std::mutex> lock(m_pendingMutex);
                if (m_pending.size() >= kMaxPendingHellos)
                    dropPending(0);
                m_pending.push_back({fd, {}, Clock::now()});
            }
        }
    }
    return nullptr;
}

std::shared_ptr<LoopSession> connectTo(const std::string& uid, const std::atomic<bool>* breakFlag, ConnectError& error)
{
    std::string host;
    uint16_t port = 0;
    if (!lookupUid(uid, host, port)) {
        error = ConnectError::UnknownUid;
        return nullptr;
    }
    if (loopbackOnly() && !isLoopback(host)) {
        error = ConnectError::NotLoopback;
        return nullptr;
    }
    sockaddr_storage ss{};
    socklen_t len = 0;
    in_addr a4{};
    in6_addr a6{};
    if (inet_pton(AF_INET, host.c_str(), &a4) == 1) {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        a->sin_addr = a4;
        len = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, host.c_str(), &a6) == 1) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        a->sin6_addr = a6;
        len = sizeof(sockaddr_in6);
    } else {
        error = ConnectError::UnknownUid;
        return nullptr;
    }
    const int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) {
        if (fd >= 0)
            ::close(fd);
        error = ConnectError::Refused;
        return nullptr;
    }
    LoopMessage hello;
    hello.kind = MsgKind::Hello;
    hello.data.assign(uid.begin(), uid.end());
    LoopMessage ack;
    bool answered = false;
    if (sendMessage(fd, hello)) {
        for (int waited = 0; waited < 3000; waited += 50) {
            if (breakFlag != nullptr && breakFlag->load()) {
                ::close(fd);
                error = ConnectError::Broken;
                return nullptr;
            }
            if (waitReadable(fd, 50)) {
                answered = receiveMessage(fd, ack) && ack.kind == MsgKind::Hello;
                break;
            }
        }
    }
    if (!answered) {
        ::close(fd);
        error = ConnectError::Refused;
        return nullptr;
    }
    error = ConnectError::None;
    return std::make_shared<LoopSession>(fd, uid, false);
}

} // namespace vendor
