// A rendezvous server for libTovel clients, on the same UDP peer core: what a client expects of
// the servers its server string names. Test and development stand-in for the deployment's
// servers; it listens on loopback only.
//
//  - Join: clients connect to port P with the server string as connection data (the peer's join
//    password); its offline ping reply is empty, so that its pongs are 5 bytes long.
//  - Registration: the out-of-band datagram [13 header][6][u32 mode][string id][string password]
//    [address] arrives at port P + 1 and is answered over the connection with the login answer
//    135/7 [u8 accepted][u8 NAT type].
//  - Lookup 129: answered with route offers 135/20 for registered devices and lookup failures
//    135/19 for the others (status 1, or the status a refused id was given); with server relay
//    on, a registered device is answered with 135/11 (role 3) instead, and the device is sent a
//    session hello 135/1 on the caller's behalf; 135/12 is then forwarded as 135/13.
//  - Route request 127 and punch request 58: both sides get the timed start message
//    [27][u64 time][59][u16 session][target external][u8 n][n internal][u64 target GUID][bit]
//    (the caller as sender); a target that is not connected gives the caller 62.
//  - Relay request 92/6: a UDP forwarder between the two sides is opened on 127.0.0.1 and
//    granted with 92/0 to the caller and 92/1 to the target; a repeated request for the same
//    pair gets 92/5 with the same forwarder; a target that is not connected gives 92/3.
//
// NAT types are claimed, not measured: every peer gets the default claim or the one given for
// its id. A client asks for a relay when the pair (device, own) is (4, 4), (3, 4) or (4, 3) and
// for a punch otherwise.
//
// Threads: start() and stop() belong to the owner; the server runs one thread that takes the
// peer's packets and answers them, plus one thread per forwarder. The queries are safe on any
// thread.
#pragma once

#include "PlatformThread.h"
#include "SystemAddress.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace P2PNet {
class P2PPeer;
struct Packet;
}  // namespace P2PNet

namespace rendezvous {

class UdpForwarder;

struct RendezvousOptions {
    // Port P (P + 1 takes registrations). 0: the server picks a free pair.
    uint16_t port = 0;
    // Also listen on ::1 (ports P and P + 1).
    bool ipv6 = true;
    // First token of the server string.
    std::string name = "tovel";
    // NAT type claimed for every peer, and per registered id.
    uint8_t natType = 1;
    std::map<std::string, uint8_t> natTypes;
    // Ids refused with a status: their lookups fail with it (2 gives the client -4, any other
    // value -6) and their device registrations are answered with "not accepted".
    std::map<std::string, uint8_t> refused;
    // Relay session data through this server (role 3) for every device, or for these ids.
    bool serverRelay = false;
    std::set<std::string> serverRelayIds;
    // 0: relay requests are granted; 2, 3 or 4: every relay request fails with that answer.
    uint8_t relayRefusal = 0;
    // Lookups of ids nobody registered get no answer (the client asks again every 4 s) instead
    // of a failure with status 1.
    bool silentUnknown = false;
    // The punch starts this long after the start messages leave.
    uint32_t punchDelayMs = 100;
    // A link of the test's own between two peers (a lossy one, say): asked on the server thread,
    // with the caller's and the target's addresses as this server sees them, before a punch start
    // or a relay grant. A port other than 0 is a port on 127.0.0.1 that stands for each side to the
    // other: the punch start names it as the other side's only address, and a relay is granted at
    // it instead of at a forwarder of this server's. 0 (or no function): the usual addresses.
    std::function<uint16_t(const P2PNet::SystemAddress& caller, const P2PNet::SystemAddress& target)> interpose;
    // Event lines ("registered DEV1 mode 2", ...); called on the server thread.
    std::function<void(const std::string&)> log;
};

class RendezvousServer {
public:
    explicit RendezvousServer(RendezvousOptions options);
    ~RendezvousServer();
    RendezvousServer(const RendezvousServer&) = delete;
    RendezvousServer& operator=(const RendezvousServer&) = delete;

    // Binds the ports and starts the server thread. False, with a reason, when the ports cannot
    // be bound.
    bool start(std::string* error = nullptr);
    // Stops the thread, the forwarders and the peer. Idempotent; the destructor calls it.
    void stop();

    uint16_t port() const { return m_port; }
    // A port P such that P and P + 1 are free on 127.0.0.1 right now (0 when none was found).
    static uint16_t findFreePortPair();
    // The plain list and the server string that name a server of that name at 127.0.0.1:port.
    static std::string plainListFor(const std::string& name, uint16_t port);
    static std::string serverStringFor(const std::string& name, uint16_t port);
    // "[name,127.0.0.1,P,,,,]" and its enciphered form, which names this server.
    std::string plainList() const;
    std::string serverString() const;

    // Waits until a peer has registered under id (any mode); false on time-out.
    bool waitRegistered(const std::string& id, int timeoutMs);
    bool isRegistered(const std::string& id);
    // Counters, for tests and logs.
    unsigned forwarderCount();
    uint64_t forwardedDatagrams();
    uint64_t punchesStarted();

private:
    struct PeerRecord;

    void run();
    void handle(P2PNet::Packet* packet);
    void onConnected(const P2PNet::Packet* packet);
    void onDisconnected(const P2PNet::Packet* packet);
    void onRegistration(const P2PNet::Packet* packet);
    void onLookup(const P2PNet::Packet* packet);
    void onRouteRequest(const P2PNet::Packet* packet);
    void onPunchRequest(const P2PNet::Packet* packet);
    void onRelayRequest(const P2PNet::Packet* packet);
    void onRelayedData(const P2PNet::Packet* packet);
    void startPunch(PeerRecord& caller, const P2PNet::P2PNetGUID& targetGuid);

    PeerRecord* find(const P2PNet::P2PNetGUID& guid);
    PeerRecord* findDevice(const std::string& id);
    uint8_t natTypeOf(const PeerRecord& record) const;
    bool relaysThroughServer(const std::string& id) const;
    void sendLoginAnswer(const PeerRecord& record, bool accepted);
    void logLine(const std::string& line);

    RendezvousOptions m_options;
    uint16_t m_port = 0;
    std::unique_ptr<P2PNet::P2PPeer> m_peer;

    std::atomic<bool> m_running{false};
    platform::Thread m_thread;

    // Server thread only, except where noted.
    std::map<uint64_t, std::unique_ptr<PeerRecord>> m_records;
    // Registrations that arrived before the sender's connection was reported, by GUID.
    struct EarlyRegistration {
        std::vector<uint8_t> bytes;
        P2PNet::SystemAddress from;
        uint64_t receivedMs = 0;
    };
    std::map<uint64_t, EarlyRegistration> m_earlyRegistrations;
    uint16_t m_nextPunchSession = 1;
    uint64_t m_registrations = 0;
    std::vector<std::unique_ptr<UdpForwarder>> m_forwarders;  // also read under m_stateLock

    // Shared with the query functions.
    std::mutex m_stateLock;
    std::condition_variable m_stateChanged;
    std::set<std::string> m_registeredIds;
    uint64_t m_punches = 0;
};

}  // namespace rendezvous
