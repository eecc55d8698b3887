#include "TcpLink.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {
namespace {

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }
};

std::string lastError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

} // namespace

std::unique_ptr<TcpLink> TcpLink::open(std::string& error)
{
    Fd listener, sender, receiver;
    listener.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener.fd < 0) {
        error = lastError("socket");
        return nullptr;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener.fd, 1) != 0 ||
        ::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        error = lastError("bind/listen");
        return nullptr;
    }
    sender.fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sender.fd < 0 || ::connect(sender.fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        error = lastError("connect");
        return nullptr;
    }
    receiver.fd = ::accept(listener.fd, nullptr, nullptr);
    if (receiver.fd < 0) {
        error = lastError("accept");
        return nullptr;
    }
    const int on = 1;
    ::setsockopt(sender.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(receiver.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int senderFd = sender.release();
    return std::unique_ptr<TcpLink>(new TcpLink(senderFd, receiver.release()));
}

TcpLink::~TcpLink()
{
    ::close(m_senderFd);
    ::close(m_receiverFd);
}

bool TcpLink::send(const uint8_t* data, std::size_t length)
{
    const uint32_t header = static_cast<uint32_t>(length);
    const auto* h = reinterpret_cast<const uint8_t*>(&header);
    m_pending.insert(m_pending.end(), h, h + sizeof header);
    m_pending.insert(m_pending.end(), data, data + length);
    return m_pending.size() < 64 * 1024 || flush();
}

void TcpLink::serviceSender(int waitMs)
{
    flush();
    if (waitMs > 0)
        waitForProgress(waitMs);
}

bool TcpLink::flush()
{
    std::size_t done = 0;
    while (done < m_pending.size()) {
        const ssize_t n = ::send(m_senderFd, m_pending.data() + done, m_pending.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            m_pending.clear();
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    m_pending.clear();
    return true;
}

void TcpLink::serviceReceiver(int waitMs, const MessageSink& sink)
{
    pollfd p{m_receiverFd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return;
    if (m_buffer.empty())
        m_buffer.resize(256 * 1024);
    if (m_end == m_buffer.size()) {
        // Full: move the unread tail to the front, and grow when one message fills the buffer.
        std::memmove(m_buffer.data(), m_buffer.data() + m_begin, m_end - m_begin);
        m_end -= m_begin;
        m_begin = 0;
        if (m_end == m_buffer.size())
            m_buffer.resize(m_buffer.size() * 2);
    }
    const ssize_t n = ::recv(m_receiverFd, m_buffer.data() + m_end, m_buffer.size() - m_end, MSG_DONTWAIT);
    if (n <= 0)
        return;
    m_end += static_cast<std::size_t>(n);
    for (;;) {
        uint32_t length = 0;
        if (m_end - m_begin < sizeof length)
            break;
        std::memcpy(&length, m_buffer.data() + m_begin, sizeof length);
        if (m_end - m_begin < sizeof length + length)
            break;
        sink(m_buffer.data() + m_begin + sizeof length, length);
        m_begin += sizeof length + length;
    }
    if (m_begin == m_end)
        m_begin = m_end = 0;
}

} // namespace bench
