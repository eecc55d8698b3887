#include "BsdSocket.h"
#include "PeerUtils.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace P2PNet {

namespace {

uint16_t readNetworkOrder(const void* field)
{
    unsigned char bytes[2];
    std::memcpy(bytes, field, 2);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

} // namespace

platform::NetAddress ToNetAddress(const SystemAddress& address)
{
    platform::NetAddress result;
    if (address.IsIPv6()) {
        result.family = platform::AddressFamily::IPv6;
        std::memcpy(result.bytes.data(), &address.address.addr6.sin6_addr, 16);
        result.port = readNetworkOrder(&address.address.addr6.sin6_port);
        result.flowInfo = address.address.addr6.sin6_flowinfo;
        result.scopeId = address.address.addr6.sin6_scope_id;
    } else {
        result.family = platform::AddressFamily::IPv4;
        std::memcpy(result.bytes.data(), &address.address.addr4.sin_addr, 4);
        result.port = readNetworkOrder(&address.address.addr4.sin_port);
    }
    return result;
}

SystemAddress FromNetAddress(const platform::NetAddress& address)
{
    if (address.family != platform::AddressFamily::IPv6)
        return SystemAddress::FromIPv4(address.bytes[0], address.bytes[1], address.bytes[2], address.bytes[3], address.port);
    SystemAddress result;
    std::memset(&result.address, 0, sizeof result.address);
    result.address.addr6.sin6_family = static_cast<decltype(result.address.addr6.sin6_family)>(LocalFamilyFromWire(kWireFamilyIPv6));
    std::memcpy(&result.address.addr6.sin6_addr, address.bytes.data(), 16);
    result.address.addr6.sin6_flowinfo = address.flowInfo;
    result.address.addr6.sin6_scope_id = address.scopeId;
    result.SetPort(address.port);
    result.systemIndex = SystemAddress::kUnknownIndex;
    return result;
}

BsdSocket::BsdSocket() = default;

BsdSocket::~BsdSocket()
{
    StopReceiving();
}

bool BsdSocket::StartReceiving()
{
    if (!m_socket.isOpen() || m_eventHandler == nullptr || m_stop.load() || m_receiveThread.running())
        return false;
    return m_receiveThread.start([this] { ReceiveLoop(); }, kReceiveThreadStackSize, "P2PNetRecv");
}

void BsdSocket::ReceiveLoop()
{
    m_receiveThreads.fetch_add(1);
    SocketEventHandler* handler = m_eventHandler;
    // Buffers lent by the handler for the next receive; a burst of datagrams is taken with one
    // system call and handed on with one call.
    RecvBuffer* lent[kReceiveBatch] = {};
    int lentCount = 0;
    platform::ReceiveSlot slots[kReceiveBatch];
    RecvBuffer* filled[kReceiveBatch];
    while (handler != nullptr && !m_stop.load(std::memory_order_acquire)) {
        while (lentCount < kReceiveBatch) {
            RecvBuffer* buffer = handler->TakeBuffer();
            if (buffer == nullptr)
                break;
            lent[lentCount++] = buffer;
        }
        if (lentCount == 0) {
            // The handler's pool is dry; give it a moment instead of spinning.
            platform::sleepMillis(1);
            continue;
        }
        for (int i = 0; i < lentCount; ++i)
            slots[i] = platform::ReceiveSlot{lent[i]->data, sizeof lent[i]->data, 0, {}, false};
        uint64_t arrival = 0;
        const int count = m_socket.receiveBatch(slots, lentCount, &arrival);
        if (count <= 0) {
            if (count == static_cast<int>(platform::NetError::Shutdown))
                break;
            if (m_nonBlocking)
                platform::sleepMillis(3);
            continue;
        }
        int handed = 0;
        for (int i = 0; i < count; ++i) {
            RecvBuffer* buffer = lent[i];
            // A datagram longer than a buffer is dropped rather than handed on cut short; an
            // empty one carries nothing.
            if (slots[i].length <= 0 || slots[i].truncated) {
                buffer->byteCount = 0;
                handler->ReturnBuffer(buffer);
                continue;
            }
            buffer->byteCount = slots[i].length;
            buffer->arrivalMicros = arrival;
            buffer->source = FromNetAddress(slots[i].source);
            buffer->socket = this;
            filled[handed++] = buffer;
        }
        if (handed > 0)
            handler->OnDatagrams(filled, handed);
        // The buffers not used stay lent for the next receive.
        for (int i = count; i < lentCount; ++i)
            lent[i - count] = lent[i];
        lentCount -= count;
    }
    for (int i = 0; i < lentCount; ++i) {
        lent[i]->byteCount = 0;
        handler->ReturnBuffer(lent[i]);
    }
    {
        std::lock_guard<std::mutex> lock(m_receiveThreadsMutex);
        m_receiveThreads.fetch_sub(1);
    }
    m_receiveThreadsLeft.notify_all();
}

void BsdSocket::StopReceiving()
{
    m_stop.store(true, std::memory_order_release);
    // Wakes a blocked receive for certain; the loop then sees the stop flag.
    m_socket.shutdownReceive();
    if (!m_receiveThread.isCurrent())
        m_receiveThread.join();
    // A loop run on someone else's thread: wait until it has left, never leave it running on a
    // socket that is about to go.
    if (!m_receiveThread.isCurrent()) {
        std::unique_lock<std::mutex> lock(m_receiveThreadsMutex);
        m_receiveThreadsLeft.wait(lock, [this] { return m_receiveThreads.load() == 0; });
    }
}

void BsdSocket::ListHostAddresses(SystemAddress* table)
{
    if (table == nullptr)
        return;
    std::vector<platform::NetAddress> addresses;
    const platform::NetError error = platform::hostAddresses(addresses);
    if (error != platform::NetError::None) {
        LogDebug("host address lookup failed with error %d", static_cast<int>(error));
        return;
    }
    LogDebug("host address lookup found %zu addresses", addresses.size());
    int filled = 0;
    for (const platform::NetAddress& address : addresses) {
        if (filled == kHostAddressTableSize)
            break;
        if (address.family == platform::AddressFamily::IPv4)
            LogDebug("host address %d: IPv4 %s", filled + 1, platform::numericHostText(address).c_str());
        else
            LogDebug("host address %d: %s", filled + 1,
                     address.family == platform::AddressFamily::IPv6 ? "IPv6" : "unspecified family");
        table[filled++] = FromNetAddress(address);
    }
    for (int i = filled; i < kHostAddressTableSize; ++i)
        table[i] = UNASSIGNED_SYSTEM_ADDRESS;
}

} // namespace P2PNet
