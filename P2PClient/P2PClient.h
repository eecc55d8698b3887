// The session client behind the Orlix_* functions: owns the UDP peer with its three plug-ins, the
// three rendezvous server records, the session list and the threads that drive them (receive,
// housekeeping, one registration thread per server).
//
// An ordinary class: the exported functions reach the process's one instance through a pointer
// (OrlixApi.cpp), and tests may create instances of their own. Every public operation may be called
// from any thread; operations on sessions count in at the ApiGate.
#pragma once

#include "AddressTools.h"
#include "ApiGate.h"
#include "ClientWire.h"
#include "P2PConnection.h"
#include "PlatformThread.h"
#include "ServerRecord.h"
#include "SessionInfo.h"
#include "SystemAddress.h"
#include "Wakeup.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace P2PNet {
class P2PPeerInterface;
class PeerPlugin;
class RelayClient;
class PunchDebugSink;
} // namespace P2PNet

class RelayResultAdapter;

// A message as the dispatcher sees it: the bytes (first the message id), the sender's address and
// GUID, and whether the peer or one of its plug-ins made it itself.
struct IncomingMessage {
    const uint8_t* data = nullptr;
    std::size_t length = 0;
    P2PNet::SystemAddress address = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    P2PNet::P2PNetGUID guid = P2PNet::UNASSIGNED_P2PNET_GUID;
    bool local = false;
};

// What the client hands the peer to send; reported to a send tap (tests) before it goes out.
struct OutgoingMessage {
    enum class Kind { ToGuid, ToAddress, Raw, Ping, Connect };
    Kind kind = Kind::ToGuid;
    std::vector<uint8_t> bytes;
    P2PNet::SystemAddress address = P2PNet::UNASSIGNED_SYSTEM_ADDRESS;
    P2PNet::P2PNetGUID guid = P2PNet::UNASSIGNED_P2PNET_GUID;
    int priority = 0;
    int reliability = 0;
    int orderingChannel = 0;
    uint32_t receipt = 0; // ToGuid: the receipt number the send asks for
    std::string host;     // Ping, Connect by text: the host text
    uint16_t port = 0;
};

// Time limits of the session client that tests shorten; the defaults are the protocol's. The link
// time-out has its own setter, SetLinkTimeout.
struct ClientTimings {
    uint32_t housekeepingMs = 500;    // between two housekeeping passes
    uint32_t sessionSweepMs = 3000;   // a device removes its ended sessions this often
    uint32_t registrationMs = 1000;   // between two registrations with a server
    uint32_t connectWaitMs = 4000;    // one of the kConnectWaits waits of a connect
};

class P2PClient {
public:
    static constexpr int kModeConnecting = 1;
    static constexpr int kModeDevice = 2;
    static constexpr int32_t kLoginStatus = 3;
    static constexpr int kServerCount = 3;
    static constexpr uint16_t kLanSearchPort = 19886;
    static constexpr int kMaxTransfer = 1048576;
    static constexpr int kConnectWaits = 31;

    P2PClient();
    // Shuts down (if not yet done) and frees everything.
    ~P2PClient();
    P2PClient(const P2PClient&) = delete;
    P2PClient& operator=(const P2PClient&) = delete;

    // Reads the servers from the server string and the three IPv6 texts (each may be null), starts
    // the peer (once) and the threads (once). 0, or -21 when no socket could be opened. A second
    // call re-reads the servers and restarts only the registration threads.
    int Initialize(const char* serverString, const char* ipv6Server1, const char* ipv6Server2,
                   const char* ipv6Server3);
    // Wakes every waiter (connects return -19, reads return, listens return), stops and joins every
    // thread, then frees sessions, plug-ins and the peer. Idempotent. Must not run on a thread of
    // this client.
    void Shutdown();
    // The first half of Shutdown, safe while calls are inside: from now on connects return -19,
    // waiting connects, reads and listens return at once, nothing new starts. Idempotent.
    void WakeAll();

    int SetLoginInfo(const char* ownId, const char* password, int mode);
    int LoginStatus() const { return kLoginStatus; }
    // Waits about a second; the record (260 bytes) is zeroed.
    int NetworkDetect(void* info);
    int Listen(const char* ownId, int timeout, const char* password);
    int ListenBreak();
    int Connect(const char* deviceId, int lanSearch);
    int ConnectBreak(const char* deviceId);
    int Check(int handle, SessionInfo* info);
    int CheckBuffer(int handle, int channel, uint32_t* pending, uint32_t* readable);
    int Read(int handle, int channel, char* buffer, int* length, int timeout);
    int Write(int handle, int channel, const char* data, int length);
    int Close(int handle);

    // The packet dispatcher (receive thread). Callable without a network: messages that the client
    // answers go to the send tap and to the peer when it runs.
    void OnMessage(const IncomingMessage& message);

    // Relay coordinator results (called by the relay client on the receive thread).
    void OnRelayReady(const char* proxyText, uint16_t proxyPort, const P2PNet::P2PNetGUID& target);
    void OnRelayNotice(const char* proxyText, uint16_t proxyPort, const P2PNet::P2PNetGUID& target);
    void OnRelayFailed(const P2PNet::P2PNetGUID& target);
    // Asks the session's coordinator for a relay towards target.
    void RequestRelay(const P2PNet::P2PNetGUID& target);

    // Where local-network search pings go: by default every local subnet's broadcast address and
    // 255.255.255.255 at port 19886 and at the own port. With a host set, only that host and port.
    void SetLanSearchTarget(const std::string& host, uint16_t port);
    // Milliseconds without acknowledgement after which a peer link counts as dead (6000 by
    // default); applies to links opened from now on. Tests lengthen it so that a close that
    // leans on the time-out shows.
    void SetLinkTimeout(uint32_t timeoutMs);
    // Bytes a channel's receive queue holds at most (DataList::kDefaultLimit by default); applies
    // to queues made from now on. Tests lower it so that a slow reader soon meets it.
    void SetReceiveQueueLimit(std::size_t bytes) { m_receiveQueueLimit.store(bytes); }
    std::size_t ReceiveQueueLimit() const { return m_receiveQueueLimit.load(); }

    // Takes effect at once.
    void SetTimings(const ClientTimings& timings);
    ClientTimings Timings() const;

    // Test and diagnostics access.
    using SendTap = std::function<void(const OutgoingMessage&)>;
    void SetSendTap(SendTap tap);
    std::string OwnId() const;
    std::string Password() const;
    int Mode() const { return m_mode.load(); }
    int NatType() const { return m_natType.load(); }
    void SetNatType(int natType) { m_natType.store(natType); }
    P2PNet::P2PNetGUID OwnGuid() const;
    P2PNet::SystemAddress BoundAddress() const;
    int ServerState(int index) const { return m_servers[static_cast<std::size_t>(index)].state.load(); }
    void SetServerState(int index, int32_t state) { m_servers[static_cast<std::size_t>(index)].state.store(state); }
    P2PNet::SystemAddress ServerAddress(int index, int version) const;
    void SetServerAddresses(int index, const P2PNet::SystemAddress& ipv4, const P2PNet::SystemAddress& ipv6);
    std::size_t SessionCount() const;
    int SessionState(int handle) const;
    int SessionError(int handle) const;
    std::shared_ptr<P2PConnection> SessionByHandle(int handle) const;
    bool PeerRunning() const;
    std::size_t PendingDirectCount() const;

    // Starts a connect for deviceId without waiting for it: the session (new, or the one of that
    // id) is put in state 1 and its handle returned; -24 without memory, -19 after shut-down.
    // For tools and tests that drive the dispatcher themselves.
    int BeginConnect(const char* deviceId, int lanSearch);
    // One step of a server's registration state machine (its thread runs them); the interval the
    // thread would then wait.
    int ServerStep(int index);
    // One housekeeping pass at nowMs (the thread runs it every 500 ms).
    void HousekeepingPass(uint64_t nowMs);
    // Local-network search (housekeeping thread).
    void LanSearch();
    // Builds and sends 129 for every connecting session whose lookup is due; the ids sent.
    int SendLookupRequest(uint64_t nowMs);

private:
    friend class RelayResultAdapter;
    friend class P2PConnection;

    struct PendingDirect {
        uint64_t deadline = 0;
        std::string deviceId;
        P2PNet::SystemAddress address;
        P2PNet::P2PNetGUID guid;
    };

    // Lifecycle.
    // A new UDP peer, not started (P2PClientPeerFactory.cpp).
    static std::unique_ptr<P2PNet::P2PPeerInterface> makePeer();
    int startPeer();
    void stopPeer();
    void startThreads();
    void stopServerThreads();
    void parseServers(const char* serverString, const char* const ipv6[3]);
    void setOfflineReply();
    void receiveLoop();
    void serverLoop(ServerRecord& server);
    void housekeepingLoop();
    void serverStep(ServerRecord& server, int& intervalMs);
    void sendRegistration(ServerRecord& server);

    // Sessions.
    std::shared_ptr<P2PConnection> findByHandle(int handle) const;
    std::shared_ptr<P2PConnection> findById(const std::string& deviceId) const;
    std::shared_ptr<P2PConnection> findByGuid(const P2PNet::P2PNetGUID& guid) const;
    std::vector<std::shared_ptr<P2PConnection>> sessions() const;
    std::shared_ptr<P2PConnection> newSession(const std::string& deviceId);
    bool appendSession(const std::shared_ptr<P2PConnection>& session);
    // Resets the session's routes and queues and puts it in state 1.
    void prepareConnect(P2PConnection& session, bool lanSearch);
    // The connect wait of a prepared session: up to 31 waits of 4 s (ClientTimings::connectWaitMs).
    int waitConnected(P2PConnection& session);
    // Session operation state check: true to go on (2 becomes 4); else false with the stored
    // error, which the operation returns (whatever it is, 0 included).
    static bool useSession(P2PConnection& session, int& error);
    void closeSession(P2PConnection& session);
    // Drops the peer link a failure of the session left behind, unless another session now uses
    // it (a device's session replaced by a repeated hello over the same link).
    void dropFailedLink(P2PConnection& session);
    int sendOnSession(P2PConnection& session, int channel, const uint8_t* data, int length);
    void sendSessionHello(P2PConnection& session);
    int connectionTypeOf(P2PConnection& session);

    // Dispatcher parts.
    void onSessionControl(const IncomingMessage& message);
    void onSessionData(const IncomingMessage& message);
    void onNewConnection(const IncomingMessage& message);
    void onAlreadyJoined(const IncomingMessage& message);
    void onNewIncoming(const IncomingMessage& message);
    // A new attempt towards address after an "already joined" refusal, unless the session's
    // back-off holds it (then it is left for housekeeping).
    void rejoin(P2PConnection& session, const P2PNet::SystemAddress& address, uint64_t now);
    void retryRejoins(uint64_t now);
    void onConnectionLost(const IncomingMessage& message);
    void onPong(const IncomingMessage& message);
    void onReceiptAcked(const IncomingMessage& message);
    void onPunchFailed(const IncomingMessage& message);
    void onPunchSucceeded(const IncomingMessage& message);
    void onHello(ByteReader& reader, const IncomingMessage& message);
    void onRouteOffers(ByteReader& reader, const IncomingMessage& message);
    void onLookupFailures(ByteReader& reader, const IncomingMessage& message);

    // Servers.
    ServerRecord* findServer(const P2PNet::SystemAddress& address, int* version = nullptr);
    ServerRecord* pickServer(P2PConnection& session, P2PNet::SystemAddress& address);
    P2PNet::SystemAddress serverAddressForSending(ServerRecord& server);

    // Peer access. Each reports to the send tap and does nothing more while there is no running
    // peer.
    // Session data: the two header bytes and the caller's bytes go to the peer as parts, copied
    // once into the peer's queue.
    uint32_t sendDataToGuid(const uint8_t header[2], const uint8_t* data, int length, int priority,
                            int orderingChannel, const P2PNet::P2PNetGUID& guid, uint32_t receipt);
    uint32_t sendToGuid(const ByteWriter& message, int priority, int reliability, int orderingChannel,
                        const P2PNet::P2PNetGUID& guid, uint32_t receipt = 0);
    uint32_t sendToAddress(const ByteWriter& message, int priority, int reliability, int orderingChannel,
                           const P2PNet::SystemAddress& address);
    void sendRaw(const ByteWriter& message, const P2PNet::SystemAddress& address);
    void pingHost(const std::string& host, uint16_t port, bool onlyIfAccepting);
    void connectTo(const P2PNet::SystemAddress& address, bool withServerString);
    void connectToHost(const std::string& host, uint16_t port);
    uint32_t takeReceiptNumber();
    void loadLocalAddresses();
    std::vector<std::string> localAddressTexts();
    void dropConnection(const P2PNet::P2PNetGUID& guid);
    // Holds back or lets in again the data of a link (a session's queue is full, or no longer).
    void holdLink(const P2PNet::PeerTarget& link, bool hold);
    int linkState(const P2PNet::SystemAddress& address, const P2PNet::P2PNetGUID& guid);
    P2PNet::SystemAddress externalAddressFor(const P2PNet::SystemAddress& address);
    P2PNet::SystemAddress addressOfGuid(const P2PNet::P2PNetGUID& guid);
    P2PNet::SystemAddress fitToSocket(const P2PNet::SystemAddress& address) const;
    bool socketIsIpv6() const;
    void report(const OutgoingMessage& message);
    uint64_t nowMs() const;

    // Peer and plug-ins: created by Initialize, freed by Shutdown. Receive and the update thread
    // run only while the threads do; the peer is never replaced while they run.
    std::unique_ptr<P2PNet::P2PPeerInterface> m_peer;
    std::unique_ptr<RelayResultAdapter> m_relayAdapter;
    std::shared_ptr<void> m_punchDebug; // the punch-through client's debug-text sink
    // Attached in this order: relay client, NAT punch-through client, NAT type detection client.
    std::vector<std::unique_ptr<P2PNet::PeerPlugin>> m_plugins;
    P2PNet::RelayClient* m_relayClient = nullptr; // one of m_plugins
    std::atomic<bool> m_peerRunning{false};
    std::atomic<uint32_t> m_linkTimeoutMs{6000};
    std::atomic<std::size_t> m_receiveQueueLimit{DataList::kDefaultLimit};

    mutable std::mutex m_loginMutex; // guards the texts below
    std::string m_serverString;
    std::string m_clientName;
    std::string m_ownId;
    std::string m_password;
    std::atomic<int> m_mode{kModeConnecting};

    mutable std::mutex m_addressMutex; // guards the two addresses
    P2PNet::SystemAddress m_localAddress;
    P2PNet::SystemAddress m_wanAddress;

    mutable std::mutex m_serverMutex; // guards the addresses and GUIDs of the records
    std::array<ServerRecord, kServerCount> m_servers;

    platform::AutoResetEvent m_housekeepingWakeup;
    std::atomic<int> m_natType{5};

    mutable std::mutex m_pendingMutex;
    std::vector<PendingDirect> m_pendingDirect;
    std::atomic<bool> m_lanSearchRan{false};
    std::atomic<bool> m_lanSearchWanted{false}; // a connect with local search began since the last pass
    std::atomic<uint64_t> m_lastPeriod{0};

    mutable std::mutex m_sessionsMutex; // held only while the list is changed, searched or walked
    std::vector<std::shared_ptr<P2PConnection>> m_sessions;
    std::atomic<int32_t> m_nextHandle{0};
    mutable ApiGate m_gate;

    std::atomic<bool> m_receiveRunning{false};
    std::atomic<bool> m_housekeepingRunning{false};
    std::atomic<bool> m_shuttingDown{false};
    platform::Thread m_receiveThread;
    platform::Thread m_housekeepingThread;
    Wakeup m_listenWakeup;
    platform::ManualResetEvent m_stopEvent; // set by Shutdown; ends the waits of NetworkDetect

    mutable std::mutex m_lanMutex;
    std::string m_lanSearchHost;
    uint16_t m_lanSearchPort = kLanSearchPort;

    mutable std::mutex m_tapMutex;
    SendTap m_sendTap;
    // Set while a tap is installed, so that sends without one build no report.
    std::atomic<bool> m_tapSet{false};

    mutable std::mutex m_timingsMutex;
    ClientTimings m_timings;

    std::mutex m_lifecycleMutex; // serialises Initialize and Shutdown
};
