#include "EnetLink.h"

#include <enet/enet.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

namespace bench {
namespace {

// ENet's intercept callback has no user argument; the rate is process-wide and each host is
// serviced by one thread, so each thread draws from its own generator.
std::atomic<double> g_lossRate{0};

int dropSome(ENetHost*, ENetEvent*)
{
    thread_local std::minstd_rand random(0x5eed1234u ^ static_cast<uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())));
    const double rate = g_lossRate.load(std::memory_order_relaxed);
    if (rate <= 0)
        return 0;
    return std::uniform_real_distribution<double>(0, 1)(random) < rate ? 1 : 0;
}

bool initialiseOnce()
{
    static const bool ok = [] {
        if (enet_initialize() != 0)
            return false;
        std::atexit(enet_deinitialize);
        return true;
    }();
    return ok;
}

} // namespace

std::unique_ptr<EnetLink> EnetLink::open(double lossRate, std::string& error)
{
    if (!initialiseOnce()) {
        error = "enet_initialize failed";
        return nullptr;
    }
    g_lossRate.store(0);
    std::unique_ptr<EnetLink> link(new EnetLink);
    ENetAddress address{};
    enet_address_set_host_ip(&address, "127.0.0.1");
    address.port = 0;
    link->m_receiverHost = enet_host_create(&address, 1, 1, 0, 0);
    link->m_senderHost = enet_host_create(nullptr, 1, 1, 0, 0);
    if (!link->m_receiverHost || !link->m_senderHost) {
        error = "enet_host_create failed";
        return nullptr;
    }
    ENetAddress bound{};
    if (enet_socket_get_address(link->m_receiverHost->socket, &bound) != 0) {
        error = "enet_socket_get_address failed";
        return nullptr;
    }
    enet_address_set_host_ip(&bound, "127.0.0.1");
    link->m_toReceiver = enet_host_connect(link->m_senderHost, &bound, 1, 0);
    if (!link->m_toReceiver) {
        error = "enet_host_connect failed";
        return nullptr;
    }
    bool senderUp = false, receiverUp = false;
    const uint64_t deadline = nowNanos() + 5'000'000'000ull;
    while ((!senderUp || !receiverUp) && nowNanos() < deadline) {
        ENetEvent event;
        if (enet_host_service(link->m_senderHost, &event, 1) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
            senderUp = true;
        if (enet_host_service(link->m_receiverHost, &event, 1) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
            receiverUp = true;
    }
    if (!senderUp || !receiverUp) {
        error = "ENet hosts did not connect";
        return nullptr;
    }
    link->m_senderHost->intercept = dropSome;
    link->m_receiverHost->intercept = dropSome;
    g_lossRate.store(lossRate);
    return link;
}

EnetLink::~EnetLink()
{
    g_lossRate.store(0);
    if (m_toReceiver)
        enet_peer_reset(m_toReceiver);
    if (m_senderHost)
        enet_host_destroy(m_senderHost);
    if (m_receiverHost)
        enet_host_destroy(m_receiverHost);
}

bool EnetLink::send(const uint8_t* data, std::size_t length)
{
    ENetPacket* packet = enet_packet_create(data, length, ENET_PACKET_FLAG_RELIABLE);
    if (!packet)
        return false;
    if (enet_peer_send(m_toReceiver, 0, packet) != 0) {
        enet_packet_destroy(packet);
        return false;
    }
    return true;
}

void EnetLink::serviceSender(int waitMs)
{
    ENetEvent event;
    int got = enet_host_service(m_senderHost, &event, static_cast<enet_uint32>(waitMs));
    while (got > 0) {
        if (event.type == ENET_EVENT_TYPE_RECEIVE)
            enet_packet_destroy(event.packet);
        got = enet_host_service(m_senderHost, &event, 0);
    }
}

void EnetLink::serviceReceiver(int waitMs, const MessageSink& sink)
{
    ENetEvent event;
    int got = enet_host_service(m_receiverHost, &event, static_cast<enet_uint32>(waitMs));
    while (got > 0) {
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            sink(event.packet->data, event.packet->dataLength);
            enet_packet_destroy(event.packet);
        }
        got = enet_host_service(m_receiverHost, &event, 0);
    }
}

} // namespace bench
