#include "RendezvousServer.h"

#include "BitStream.h"
#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "Packet.h"
#include "PeerUtils.h"
#include "ServerString.h"
#include "SystemAddress.h"
#include "UdpForwarder.h"
#include "UdpSocket.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace rendezvous {

using P2PNet::BitStream;
using P2PNet::P2PNetGUID;
using P2PNet::Packet;
using P2PNet::PeerTarget;
using P2PNet::SystemAddress;

namespace {

// Message ids of the session client, the punch-through client and the relay client.
constexpr uint8_t kRouteRequest = 127;
constexpr uint8_t kDeviceLookup = 129;
constexpr uint8_t kSessionControl = 135;
constexpr uint8_t kPunchRequest = 58;
constexpr uint8_t kPunchStart = 59;
// Follows each start message: the client records this server as the attempt's facilitator when
// it answers it, which it needs for a retry and to notice the facilitator going away.
constexpr uint8_t kPunchRecentPort = 60;
constexpr uint8_t kPunchTargetNotConnected = 62;
constexpr uint8_t kRelay = 92;

constexpr uint8_t kHello = 1;
constexpr uint8_t kLoginAnswer = 7;
constexpr uint8_t kSessionAccepted = 11;
constexpr uint8_t kRelayedDataOut = 12;
constexpr uint8_t kRelayedDataIn = 13;
constexpr uint8_t kRelayClosed = 14;
constexpr uint8_t kLookupFailures = 19;
constexpr uint8_t kRouteOffers = 20;

constexpr uint8_t kRegistration = 6;

constexpr uint8_t kRelayGranted = 0;
constexpr uint8_t kRelayNotice = 1;
constexpr uint8_t kRelayNoServer = 2;
constexpr uint8_t kRelayTargetAbsent = 3;
constexpr uint8_t kRelayBusy = 4;
constexpr uint8_t kRelayInProgress = 5;
constexpr uint8_t kRelayRequest = 6;

constexpr uint8_t kStatusNotOnline = 1;
constexpr uint8_t kRoleServerRelay = 3;
constexpr uint8_t kConnectionRelayed = 3;

constexpr std::size_t kMaxIdChars = 64;
constexpr unsigned kMaxLookupIds = 64;
constexpr unsigned kMaxConnections = 256;
constexpr std::size_t kMaxForwarders = 64;
constexpr unsigned kInternalAddresses = 10;
constexpr uint64_t kEarlyRegistrationMs = 5000;
constexpr std::size_t kMaxEarlyRegistrations = 64;

constexpr auto kPriorityHigh = static_cast<P2PNet::SendPriority>(1);
constexpr auto kPriorityMedium = static_cast<P2PNet::SendPriority>(2);
constexpr auto kReliableOrdered = static_cast<P2PNet::ReliabilityKind>(3);

std::string cut(std::string text) {
    if (text.size() > kMaxIdChars) text.resize(kMaxIdChars);
    return text;
}

platform::NetAddress toNet(const SystemAddress& address) {
    platform::NetAddress net;
    if (address.IsIPv4()) {
        const uint32_t host = address.GetIPv4HostOrder();
        net = platform::NetAddress::ipv4(static_cast<uint8_t>(host >> 24), static_cast<uint8_t>(host >> 16),
                                         static_cast<uint8_t>(host >> 8), static_cast<uint8_t>(host),
                                         address.GetPort());
    } else {
        net.family = platform::AddressFamily::IPv6;
        std::memcpy(net.bytes.data(), &address.address.addr6.sin6_addr, 16);
        net.port = address.GetPort();
    }
    return net;
}

// The registration and the connection come from one socket of the client, but possibly through
// different families of ours (IPv4 for the string's address, ::1 for the built-in IPv6 text).
bool sameSocket(const SystemAddress& a, const SystemAddress& b) {
    if (a == b) return true;
    return a.GetPort() == b.GetPort() && a.IsLoopback() && b.IsLoopback();
}

}  // namespace

struct RendezvousServer::PeerRecord {
    P2PNetGUID guid;
    SystemAddress address;
    std::string id;
    uint32_t mode = 0;
    bool registered = false;
    bool accepted = false;
    uint64_t registrationOrder = 0;
    // GUIDs of the peers whose session data this server relays to and from this one.
    std::set<uint64_t> relayPartners;
};

RendezvousServer::RendezvousServer(RendezvousOptions options) : m_options(std::move(options)) {}

RendezvousServer::~RendezvousServer() { stop(); }

std::string RendezvousServer::plainListFor(const std::string& name, uint16_t port) {
    return "[" + name + ",127.0.0.1," + std::to_string(port) + ",,,,]";
}

std::string RendezvousServer::serverStringFor(const std::string& name, uint16_t port) {
    return encodeServerString(plainListFor(name, port));
}

std::string RendezvousServer::plainList() const { return plainListFor(m_options.name, m_port); }

std::string RendezvousServer::serverString() const { return serverStringFor(m_options.name, m_port); }

uint16_t RendezvousServer::findFreePortPair() {
    for (int attempt = 0; attempt < 40; ++attempt) {
        platform::UdpSocket first;
        platform::NetAddress local;
        if (first.open(platform::AddressFamily::IPv4) != platform::NetError::None ||
            first.bind(platform::NetAddress::ipv4Loopback(0)) != platform::NetError::None ||
            first.localAddress(local) != platform::NetError::None)
            return 0;
        if (local.port == 0 || local.port == 0xFFFF) continue;
        platform::UdpSocket second;
        if (second.open(platform::AddressFamily::IPv4) == platform::NetError::None &&
            second.bind(platform::NetAddress::ipv4Loopback(static_cast<uint16_t>(local.port + 1))) ==
                platform::NetError::None)
            return local.port;
    }
    return 0;
}

bool RendezvousServer::start(std::string* error) {
    if (m_running.load()) return true;
    std::string reason = "no free port pair";
    const int tries = m_options.port == 0 ? 40 : 1;
    for (int attempt = 0; attempt < tries; ++attempt) {
        const uint16_t port = m_options.port != 0 ? m_options.port : findFreePortPair();
        if (port == 0 || port == 0xFFFF) continue;

        P2PNet::SocketSpec specs[4];
        unsigned count = 0;
        for (int family = 0; family < (m_options.ipv6 ? 2 : 1); ++family) {
            for (uint16_t offset = 0; offset < 2; ++offset) {
                P2PNet::SocketSpec& spec = specs[count++];
                spec.port = static_cast<uint16_t>(port + offset);
                std::strcpy(spec.host, family == 0 ? "127.0.0.1" : "::1");
                spec.family = family == 0 ? P2PNet::kWireFamilyIPv4 : P2PNet::kWireFamilyIPv6;
            }
        }
        auto peer = std::make_unique<P2PNet::P2PPeer>();
        P2PNet::StartResult result = peer->Start(kMaxConnections, specs, count, -99999);
        if (result != P2PNet::StartResult::Started && count > 2) {
            // A host without IPv6 on loopback still gets the IPv4 server.
            peer = std::make_unique<P2PNet::P2PPeer>();
            result = peer->Start(kMaxConnections, specs, 2, -99999);
        }
        if (result != P2PNet::StartResult::Started) {
            reason = "cannot bind ports " + std::to_string(port) + " and " + std::to_string(port + 1) +
                     " (start result " + std::to_string(static_cast<int>(result)) + ")";
            continue;
        }
        m_port = port;
        m_peer = std::move(peer);
        break;
    }
    if (!m_peer) {
        if (error) *error = reason;
        return false;
    }
    m_peer->SetIncomingLimit(kMaxConnections);
    const std::string password = serverString();
    m_peer->SetJoinPassword(password.c_str(), static_cast<int>(password.size()));
    // Empty: a pong of ours is 5 bytes, which tells a client that it came from a server.
    m_peer->SetOfflineReply(nullptr, 0);

    m_running = true;
    if (!m_thread.start([this] { run(); }, 0, "rendezvous")) {
        m_running = false;
        m_peer->Stop(0);
        m_peer.reset();
        if (error) *error = "server thread could not be started";
        return false;
    }
    return true;
}

void RendezvousServer::stop() {
    if (!m_running.exchange(false)) return;
    m_thread.join();
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        for (auto& forwarder : m_forwarders) forwarder->stop();
        m_forwarders.clear();
    }
    if (m_peer) {
        m_peer->Stop(100);
        m_peer.reset();
    }
    m_records.clear();
}

bool RendezvousServer::waitRegistered(const std::string& id, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_stateLock);
    return m_stateChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                   [&] { return m_registeredIds.count(id) != 0; });
}

bool RendezvousServer::isRegistered(const std::string& id) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_registeredIds.count(id) != 0;
}

unsigned RendezvousServer::forwarderCount() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return static_cast<unsigned>(m_forwarders.size());
}

uint64_t RendezvousServer::forwardedDatagrams() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    uint64_t total = 0;
    for (auto& forwarder : m_forwarders) total += forwarder->forwarded();
    return total;
}

uint64_t RendezvousServer::punchesStarted() {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_punches;
}

void RendezvousServer::logLine(const std::string& line) {
    if (m_options.log) m_options.log(line);
}

void RendezvousServer::run() {
    while (m_running.load()) {
        Packet* packet = m_peer->Receive();
        if (!packet) continue;
        if (packet->length > 0) handle(packet);
        m_peer->ReleasePacket(packet);
    }
}

void RendezvousServer::handle(Packet* packet) {
    const uint8_t id = packet->data[0];
    switch (id) {
    case P2PNet::ID_NEW_INCOMING:
        onConnected(packet);
        break;
    case P2PNet::ID_PEER_CLOSED:
    case P2PNet::ID_PEER_LOST:
        onDisconnected(packet);
        break;
    case P2PNet::ID_OUT_OF_BAND:
        if (packet->length > 1 && packet->data[1] == kRegistration) onRegistration(packet);
        break;
    case kDeviceLookup:
        onLookup(packet);
        break;
    case kRouteRequest:
        onRouteRequest(packet);
        break;
    case kPunchRequest:
        onPunchRequest(packet);
        break;
    case kRelay:
        if (packet->length > 1 && packet->data[1] == kRelayRequest) onRelayRequest(packet);
        break;
    case kSessionControl:
        if (packet->length > 1 && packet->data[1] == kRelayedDataOut) onRelayedData(packet);
        break;
    default:
        break;
    }
}

RendezvousServer::PeerRecord* RendezvousServer::find(const P2PNetGUID& guid) {
    auto it = m_records.find(guid.g);
    return it == m_records.end() ? nullptr : it->second.get();
}

RendezvousServer::PeerRecord* RendezvousServer::findDevice(const std::string& id) {
    // The newest registration of an id wins: a device that restarted has a new GUID, and its
    // old connection may linger until it times out.
    PeerRecord* newest = nullptr;
    for (auto& [guid, record] : m_records)
        if (record->registered && record->accepted && record->mode == 2 && record->id == id &&
            (!newest || record->registrationOrder > newest->registrationOrder))
            newest = record.get();
    return newest;
}

uint8_t RendezvousServer::natTypeOf(const PeerRecord& record) const {
    auto it = m_options.natTypes.find(record.id);
    return it == m_options.natTypes.end() ? m_options.natType : it->second;
}

bool RendezvousServer::relaysThroughServer(const std::string& id) const {
    return m_options.serverRelay || m_options.serverRelayIds.count(id) != 0;
}

void RendezvousServer::onConnected(const Packet* packet) {
    auto record = std::make_unique<PeerRecord>();
    record->guid = packet->guid;
    record->address = packet->systemAddress;
    logLine("joined " + packet->systemAddress.ToString() + " guid " + packet->guid.ToString());
    m_records[packet->guid.g] = std::move(record);
    auto early = m_earlyRegistrations.find(packet->guid.g);
    if (early != m_earlyRegistrations.end()) {
        EarlyRegistration registration = std::move(early->second);
        m_earlyRegistrations.erase(early);
        Packet replay;
        replay.systemAddress = registration.from;
        replay.guid = packet->guid;
        replay.data = registration.bytes.data();
        replay.length = static_cast<uint32_t>(registration.bytes.size());
        replay.bitSize = replay.length * 8;
        onRegistration(&replay);
    }
}

void RendezvousServer::onDisconnected(const Packet* packet) {
    auto it = m_records.find(packet->guid.g);
    if (it == m_records.end()) return;
    PeerRecord& gone = *it->second;
    for (uint64_t partnerGuid : gone.relayPartners) {
        PeerRecord* partner = find(P2PNetGUID(partnerGuid));
        if (!partner) continue;
        partner->relayPartners.erase(gone.guid.g);
        BitStream out;
        out.WriteU8(kSessionControl);
        out.WriteU8(kRelayClosed);
        gone.guid.Serialize(out);
        out.WriteU8(0);
        m_peer->Send(&out, kPriorityMedium, kReliableOrdered, 0, PeerTarget(partner->guid), false);
    }
    const platform::NetAddress goneAddress = toNet(gone.address);
    const std::string id = gone.id;
    const bool wasRegistered = gone.registered;
    logLine("left " + gone.address.ToString() + (id.empty() ? "" : " id " + id));
    m_records.erase(it);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        for (auto f = m_forwarders.begin(); f != m_forwarders.end();) {
            if ((*f)->touches(goneAddress)) {
                (*f)->stop();
                f = m_forwarders.erase(f);
            } else {
                ++f;
            }
        }
        if (wasRegistered) {
            bool stillThere = false;
            for (auto& [guid, record] : m_records) stillThere |= record->registered && record->id == id;
            if (!stillThere) m_registeredIds.erase(id);
        }
    }
}

void RendezvousServer::sendLoginAnswer(const PeerRecord& record, bool accepted) {
    BitStream out;
    out.WriteU8(kSessionControl);
    out.WriteU8(kLoginAnswer);
    out.WriteU8(accepted ? 1 : 0);
    out.WriteU8(natTypeOf(record));
    m_peer->Send(&out, kPriorityHigh, kReliableOrdered, 0, PeerTarget(record.guid), false);
}

void RendezvousServer::onRegistration(const Packet* packet) {
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(16);
    uint32_t mode = 0;
    std::string id;
    std::string password;
    if (!in.ReadU32(mode) || !in.ReadString(id) || !in.ReadString(password)) return;
    id = cut(id);
    // The registration names the sender's GUID in its out-of-band header; it counts only for a
    // peer connected to us from the same socket.
    if (id.empty()) return;
    PeerRecord* record = find(packet->guid);
    if (!record) {
        // The datagram can overtake our own notice of the connection (the client registers as
        // soon as it is accepted): keep it until the connection shows up, for a short while.
        const uint64_t now = P2PNet::NowMillis();
        for (auto it = m_earlyRegistrations.begin(); it != m_earlyRegistrations.end();)
            it = now - it->second.receivedMs > kEarlyRegistrationMs ? m_earlyRegistrations.erase(it) : std::next(it);
        if (m_earlyRegistrations.size() < kMaxEarlyRegistrations || m_earlyRegistrations.count(packet->guid.g))
            m_earlyRegistrations[packet->guid.g] = {std::vector<uint8_t>(packet->data, packet->data + packet->length),
                                                    packet->systemAddress, now};
        return;
    }
    if (!sameSocket(record->address, packet->systemAddress)) return;

    const bool refusedDevice = mode == 2 && m_options.refused.count(id) != 0;
    const bool first = !record->registered || record->id != id;
    if (first) record->registrationOrder = ++m_registrations;
    record->id = id;
    record->mode = mode;
    record->registered = true;
    record->accepted = !refusedDevice;
    // Recorded before the answer leaves, so that whoever has the answer finds the id registered.
    if (!refusedDevice) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_registeredIds.insert(id);
        m_stateChanged.notify_all();
    }
    sendLoginAnswer(*record, !refusedDevice);
    if (first)
        logLine(std::string(refusedDevice ? "refused " : "registered ") + id + " mode " + std::to_string(mode) +
                " nat " + std::to_string(natTypeOf(*record)));
}

void RendezvousServer::onLookup(const Packet* packet) {
    PeerRecord* caller = find(packet->guid);
    if (!caller) return;
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    std::string callerId;
    uint8_t kind = 0;
    uint16_t count = 0;
    if (!in.ReadString(callerId) || !in.ReadU8(kind) || !in.ReadU16(count)) return;
    if (caller->id.empty()) caller->id = cut(callerId);

    std::vector<std::pair<std::string, uint8_t>> failures;
    std::vector<PeerRecord*> offers;
    std::vector<std::string> offerIds;
    for (unsigned i = 0; i < count && i < kMaxLookupIds; ++i) {
        std::string id;
        if (!in.ReadString(id)) break;
        id = cut(id);
        auto refused = m_options.refused.find(id);
        if (refused != m_options.refused.end()) {
            failures.emplace_back(id, refused->second);
            logLine("lookup " + id + " refused with status " + std::to_string(refused->second));
            continue;
        }
        PeerRecord* device = findDevice(id);
        if (!device || device == caller) {
            if (!m_options.silentUnknown) failures.emplace_back(id, kStatusNotOnline);
            logLine("lookup " + id + " not online");
            continue;
        }
        if (relaysThroughServer(id)) {
            // Session accepted through this server: the caller sends 135/12 here, the device
            // gets the caller's hello from us and its data as 135/13.
            BitStream accepted;
            accepted.WriteU8(kSessionControl);
            accepted.WriteU8(kSessionAccepted);
            accepted.WriteString(id);
            accepted.WriteU8(0);
            device->guid.Serialize(accepted);
            device->address.Serialize(accepted);
            accepted.WriteU8(kRoleServerRelay);
            m_peer->Send(&accepted, kPriorityHigh, kReliableOrdered, 0, PeerTarget(caller->guid), false);

            BitStream hello;
            hello.WriteU8(kSessionControl);
            hello.WriteU8(kHello);
            hello.WriteString(id);
            hello.WriteU32(caller->mode == 0 ? 1 : caller->mode);
            hello.WriteString(caller->id);
            caller->address.Serialize(hello);
            caller->guid.Serialize(hello);
            hello.WriteU8(natTypeOf(*caller));
            hello.WriteU8(kConnectionRelayed);
            m_peer->Send(&hello, kPriorityHigh, kReliableOrdered, 0, PeerTarget(device->guid), false);

            caller->relayPartners.insert(device->guid.g);
            device->relayPartners.insert(caller->guid.g);
            logLine("lookup " + id + " relayed by the server");
            continue;
        }
        offers.push_back(device);
        offerIds.push_back(id);
        logLine("lookup " + id + " offered " + device->address.ToString());
    }
    if (!failures.empty()) {
        BitStream out;
        out.WriteU8(kSessionControl);
        out.WriteU8(kLookupFailures);
        out.WriteU8(static_cast<uint8_t>(failures.size()));
        for (auto& [id, status] : failures) {
            out.WriteString(id);
            out.WriteU8(status);
        }
        m_peer->Send(&out, kPriorityHigh, kReliableOrdered, 0, PeerTarget(caller->guid), false);
    }
    if (!offers.empty()) {
        BitStream out;
        out.WriteU8(kSessionControl);
        out.WriteU8(kRouteOffers);
        out.WriteU8(static_cast<uint8_t>(offers.size()));
        for (std::size_t i = 0; i < offers.size(); ++i) {
            out.WriteString(offerIds[i]);
            out.WriteU8(0);
            offers[i]->guid.Serialize(out);
            offers[i]->address.Serialize(out);
            out.WriteU8(natTypeOf(*offers[i]));
        }
        m_peer->Send(&out, kPriorityHigh, kReliableOrdered, 0, PeerTarget(caller->guid), false);
    }
}

void RendezvousServer::startPunch(PeerRecord& caller, const P2PNetGUID& targetGuid) {
    PeerRecord* target = find(targetGuid);
    if (!target || target == &caller) {
        BitStream out;
        out.WriteU8(kPunchTargetNotConnected);
        targetGuid.Serialize(out);
        m_peer->Send(&out, kPriorityHigh, kReliableOrdered, 0, PeerTarget(caller.guid), false);
        logLine("punch to " + targetGuid.ToString() + ": target not connected");
        return;
    }
    const uint16_t session = m_nextPunchSession++;
    if (m_nextPunchSession == 0) m_nextPunchSession = 1;
    const uint64_t startTime = P2PNet::NowMillis() + m_options.punchDelayMs;
    const uint16_t standIn = m_options.interpose ? m_options.interpose(caller.address, target->address) : 0;
    auto startMessage = [&](const PeerRecord& to, const PeerRecord& other, bool weAreSender) {
        BitStream out;
        out.WriteU8(P2PNet::ID_TIME_PREFIX);
        out.WriteU64(startTime);
        out.WriteU8(kPunchStart);
        out.WriteU16(session);
        std::vector<SystemAddress> internals;
        if (standIn != 0) {
            const SystemAddress link = SystemAddress::FromIPv4(127, 0, 0, 1, standIn);
            link.Serialize(out);
            internals.push_back(link);
        } else {
            other.address.Serialize(out);
            for (unsigned i = 0; i < kInternalAddresses; ++i) {
                const SystemAddress internal = m_peer->GetInternalAddress(other.address, i);
                if (internal.IsUnassigned()) break;
                internals.push_back(internal);
            }
        }
        out.WriteU8(static_cast<uint8_t>(internals.size()));
        for (const SystemAddress& internal : internals) internal.Serialize(out);
        other.guid.Serialize(out);
        out.WriteBit(weAreSender);
        m_peer->Send(&out, kPriorityHigh, kReliableOrdered, 0, PeerTarget(to.guid), false);
        BitStream ask;
        ask.WriteU8(kPunchRecentPort);
        ask.WriteU16(session);
        m_peer->Send(&ask, kPriorityHigh, kReliableOrdered, 0, PeerTarget(to.guid), false);
    };
    startMessage(caller, *target, true);
    startMessage(*target, caller, false);
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        ++m_punches;
    }
    logLine("punch " + std::to_string(session) + " " + caller.address.ToString() + " -> " +
            target->address.ToString());
}

void RendezvousServer::onRouteRequest(const Packet* packet) {
    PeerRecord* caller = find(packet->guid);
    if (!caller) return;
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    SystemAddress deviceAddress;
    P2PNetGUID deviceGuid;
    if (!deviceAddress.Deserialize(in) || !deviceGuid.Deserialize(in)) return;
    startPunch(*caller, deviceGuid);
}

void RendezvousServer::onPunchRequest(const Packet* packet) {
    PeerRecord* caller = find(packet->guid);
    if (!caller) return;
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(8);
    P2PNetGUID targetGuid;
    if (!targetGuid.Deserialize(in)) return;
    startPunch(*caller, targetGuid);
}

void RendezvousServer::onRelayRequest(const Packet* packet) {
    PeerRecord* caller = find(packet->guid);
    if (!caller) return;
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(16);
    SystemAddress source;
    bool flag = false;
    P2PNetGUID targetGuid;
    uint32_t timeoutMs = 0;
    if (!source.Deserialize(in) || !in.ReadBit(flag) || !targetGuid.Deserialize(in) || !in.ReadU32(timeoutMs)) return;
    PeerRecord* target = find(targetGuid);

    auto answer = [&](const PeerRecord& to, uint8_t sub, const SystemAddress& self, const SystemAddress& other,
                      const P2PNetGUID& otherGuid, uint16_t proxyPort) {
        BitStream out;
        out.WriteU8(kRelay);
        out.WriteU8(sub);
        self.Serialize(out);
        other.Serialize(out);
        otherGuid.Serialize(out);
        if (sub == kRelayGranted || sub == kRelayNotice || sub == kRelayInProgress) {
            out.WriteString("127.0.0.1");
            out.WriteU16(proxyPort);
        }
        m_peer->Send(&out, kPriorityMedium, kReliableOrdered, 0, PeerTarget(to.guid), false);
    };
    const SystemAddress targetAddress = target ? target->address : P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    if (m_options.relayRefusal >= kRelayNoServer && m_options.relayRefusal <= kRelayBusy) {
        answer(*caller, m_options.relayRefusal, caller->address, targetAddress, targetGuid, 0);
        logLine("relay refused with " + std::to_string(m_options.relayRefusal));
        return;
    }
    if (!target || target == caller) {
        answer(*caller, kRelayTargetAbsent, caller->address, targetAddress, targetGuid, 0);
        logLine("relay to " + targetGuid.ToString() + ": target not connected");
        return;
    }
    if (const uint16_t standIn = m_options.interpose ? m_options.interpose(caller->address, target->address) : 0) {
        answer(*caller, kRelayGranted, caller->address, target->address, target->guid, standIn);
        answer(*target, kRelayNotice, target->address, caller->address, caller->guid, standIn);
        logLine("relay through the test's link 127.0.0.1|" + std::to_string(standIn));
        return;
    }
    const platform::NetAddress a = toNet(caller->address);
    const platform::NetAddress b = toNet(target->address);
    UdpForwarder* forwarder = nullptr;
    bool existing = false;
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        for (auto& f : m_forwarders)
            if (f->joins(a, b)) {
                forwarder = f.get();
                existing = true;
            }
        if (!forwarder && m_forwarders.size() >= kMaxForwarders) {
            answer(*caller, kRelayBusy, caller->address, target->address, targetGuid, 0);
            return;
        }
        if (!forwarder) {
            auto made = std::make_unique<UdpForwarder>(a, b);
            std::string error;
            if (!made->start(&error)) {
                logLine("relay: " + error);
                answer(*caller, kRelayNoServer, caller->address, target->address, targetGuid, 0);
                return;
            }
            forwarder = made.get();
            m_forwarders.push_back(std::move(made));
        }
    }
    if (existing) {
        answer(*caller, kRelayInProgress, caller->address, target->address, target->guid, forwarder->port());
        return;
    }
    answer(*caller, kRelayGranted, caller->address, target->address, target->guid, forwarder->port());
    answer(*target, kRelayNotice, target->address, caller->address, caller->guid, forwarder->port());
    logLine("relay 127.0.0.1|" + std::to_string(forwarder->port()) + " " + caller->address.ToString() + " <-> " +
            target->address.ToString());
}

void RendezvousServer::onRelayedData(const Packet* packet) {
    PeerRecord* sender = find(packet->guid);
    if (!sender || sender->relayPartners.empty()) return;
    BitStream in(packet->data, packet->length, false);
    in.IgnoreBits(16);
    SystemAddress remote;
    if (!remote.Deserialize(in)) return;
    in.AlignRead();
    const uint32_t offset = in.GetReadPosition() / 8;
    PeerRecord* partner = nullptr;
    for (uint64_t guid : sender->relayPartners) {
        PeerRecord* candidate = find(P2PNetGUID(guid));
        if (!candidate) continue;
        if (sameSocket(candidate->address, remote) || sender->relayPartners.size() == 1) partner = candidate;
    }
    if (!partner) return;
    BitStream out;
    out.WriteU8(kSessionControl);
    out.WriteU8(kRelayedDataIn);
    sender->guid.Serialize(out);
    if (packet->length > offset) out.WriteBytes(packet->data + offset, packet->length - offset);
    m_peer->Send(&out, kPriorityMedium, kReliableOrdered, 0, PeerTarget(partner->guid), false);
}

}  // namespace rendezvous
