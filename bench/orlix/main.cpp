// bench-orlix: sessions through the Orlix_* exports of libTovel on loopback.
//  1. Connect time per path: the median of 20 connects (each a fresh Orlix_Connect after
//     Orlix_Close) to a device reached directly on the local network, through punched NATs, through
//     a UDP forwarder and through the server itself; the path is confirmed by the connection type
//     of the Orlix_Check record.
//  2. Goodput of one session per path: the device writes 100 KB blocks on channel 1 (Orlix_Write),
//     this side reads them (Orlix_Read), next to the peer core's own goodput in the same run (two
//     peers, ReliableOrdered 100 KB messages, as bench-peer measures it). Three rounds, each a
//     fresh session per path and one peer-core run; per path the median of its three runs and
//     its ratio to the peer core's median.
// The last line is the direct path's ratio (the first established path with channel data).
//
// The device is this program again (bench-orlix --device SERVER_STRING ID): a process holds one
// libTovel client. The rendezvous servers run in this process (their peers are not libTovel
// clients), with NAT types claimed per id so that each device is reached on its own path. Every
// lookup, search and session stays on loopback (LUMORA_LOOPBACK_ONLY is set for this process and
// its children).
#include "BenchHarness.h"
#include "Deployment.h"
#include "DeviceSide.h"
#include "LanForwarder.h"
#include "Orlix.h"
#include "PeerLink.h"
#include "RendezvousServer.h"

#include "ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace orlixbench;
using Clock = std::chrono::steady_clock;

constexpr int kConnects = 20;
// One connect may take this long before it is broken off (Orlix_Connect_Break).
constexpr int kConnectCapMs = 8000;
// All connects of one path together.
constexpr int kPathCapMs = 20000;
constexpr uint64_t kStreamBytes = 80'000'000;
constexpr double kStreamCapSeconds = 5.0;
constexpr int kGoodputRounds = 3;

const char kClientId[] = "bench-client";
const char kPassword[] = "bench";

struct Path {
    const char* name;
    const char* deviceId;
    int lanSearch;
    int expectedType; // byte 81 of the check record
    bool channelData;  // sessions of this path carry channels other than 0
};

// NAT types: every peer claims 4 unless named here; (4, 4) makes the client ask for a relay,
// (1, 4) for a punch. bench-server is relayed by the server itself. bench-lan logs in at a second
// server that this side does not ask (the first one leaves lookups of it unanswered): only the
// local-network search finds it, through a LanForwarder on the search port.
const Path kPaths[] = {
    {"direct (LAN)", "bench-lan", 1, 1, true},
    {"punched", "bench-punch", 0, 2, true},
    {"relayed (forwarder)", "bench-relay", 0, 3, true},
    {"relayed (server)", "bench-server", 0, 3, false},
};

double millisSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Orlix_Connect, broken off after capMs; the handle or the negative code.
int connectWithCap(const Path& path, int capMs)
{
    auto pending = std::async(std::launch::async, [&path] { return Orlix_Connect(path.deviceId, path.lanSearch, 0); });
    if (pending.wait_for(std::chrono::milliseconds(capMs)) != std::future_status::ready)
        Orlix_Connect_Break(path.deviceId);
    return pending.get();
}

int connectionTypeOf(int handle, int& type)
{
    Orlix_SessionInfo info{};
    static_assert(sizeof(Orlix_SessionInfo) >= 84);
    const int result = Orlix_Check(handle, &info);
    type = reinterpret_cast<const unsigned char*>(&info)[81];
    return result;
}

struct ConnectResult {
    std::vector<double> millis;
    int error = 0;           // the first failure, 0 when every connect succeeded
    int wrongType = 0;       // connects that reported another connection type
    int lastType = 0;
};

ConnectResult measureConnects(const Path& path)
{
    ConnectResult result;
    const auto pathStart = Clock::now();
    for (int i = 0; i < kConnects && millisSince(pathStart) < kPathCapMs; ++i) {
        const auto start = Clock::now();
        const int handle = connectWithCap(path, kConnectCapMs);
        const double ms = millisSince(start);
        if (handle < 0) {
            result.error = handle;
            break;
        }
        int type = 0;
        const int checked = connectionTypeOf(handle, type);
        Orlix_Close(handle);
        if (checked != 0) {
            result.error = checked;
            break;
        }
        result.lastType = type;
        if (type != path.expectedType) {
            ++result.wrongType;
            continue;
        }
        result.millis.push_back(ms);
    }
    return result;
}

struct StreamResult {
    int error = 0;
    uint64_t bytes = 0;
    uint64_t damaged = 0;
    double seconds = 0;
    bool complete = false;
    double mbps() const { return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0; }
};

// One fresh session: asks the device for kStreamBytes on the stream channel and reads them.
StreamResult measureStream(const Path& path)
{
    StreamResult result;
    const int handle = connectWithCap(path, kConnectCapMs);
    if (handle < 0) {
        result.error = handle;
        return result;
    }
    const std::string request = "stream " + std::to_string(kStreamBytes);
    const auto start = Clock::now();
    const int written = Orlix_Write(handle, kControlChannel, request.data(), static_cast<int>(request.size()));
    if (written != static_cast<int>(request.size())) {
        result.error = written < 0 ? written : -5;
        Orlix_Close(handle);
        return result;
    }
    static_assert(ORLIX_MAX_TRANSFER <= kStreamPatternSpan);
    std::vector<char> buffer(ORLIX_MAX_TRANSFER);
    auto last = start;
    while (result.bytes < kStreamBytes) {
        if (std::chrono::duration<double>(Clock::now() - start).count() > kStreamCapSeconds)
            break;
        int length = static_cast<int>(buffer.size());
        const int read = Orlix_Read(handle, kStreamChannel, buffer.data(), &length, 5);
        if (read == ORLIX_ERROR_TIMEOUT)
            continue;
        if (read != 0) {
            result.error = read;
            break;
        }
        const uint8_t* expected = streamPattern(static_cast<std::size_t>(length)) + result.bytes % 251;
        if (std::memcmp(buffer.data(), expected, static_cast<std::size_t>(length)) != 0)
            for (int i = 0; i < length; ++i)
                if (static_cast<uint8_t>(buffer[static_cast<std::size_t>(i)]) != expected[i])
                    ++result.damaged;
        result.bytes += static_cast<uint64_t>(length);
        last = Clock::now();
    }
    result.seconds = std::chrono::duration<double>(last - start).count();
    result.complete = result.bytes == kStreamBytes;
    Orlix_Close(handle);
    return result;
}

bool startDevice(platform::ChildProcess& child, const std::string& self, const std::string& serverString,
                 const char* id, std::string& error)
{
    if (!child.start(self, {"--device", serverString, id})) {
        error = "could not start " + self;
        return false;
    }
    std::string line;
    const auto start = Clock::now();
    // The peer core writes text of its own (without line breaks) while it starts: look for ours
    // anywhere in a line.
    while (millisSince(start) < 15000) {
        if (!child.readLine(line, 500))
            continue;
        if (line.find("device started") != std::string::npos)
            return true;
        const std::size_t at = line.find("device error");
        if (at != std::string::npos) {
            error = line.substr(at);
            return false;
        }
    }
    error = "no start line from the device";
    return false;
}

void stopDevice(platform::ChildProcess& child)
{
    if (!child.running())
        return;
    child.writeLine("quit");
    std::string line;
    const auto start = Clock::now();
    while (millisSince(start) < 3000 && child.readLine(line, 500)) {
    }
    child.stop(2000);
}

double peerGoodput(std::string& note)
{
    std::string error;
    std::unique_ptr<bench::PeerLink> link = bench::PeerLink::open(0.0, error);
    if (!link) {
        note = "peer core could not connect: " + error;
        return 0;
    }
    const bench::CaseSpec spec{kStreamWriteBytes, kStreamBytes, 4u << 20, kStreamCapSeconds, 3.0, 0, 0.0};
    const bench::CaseResult r = bench::runCase(*link, spec);
    link.reset();
    note = r.note;
    return r.goodputMBps;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--device") == 0)
        return runDevice(argv[2], argv[3]);
    if (argc != 1) {
        std::fprintf(stderr, "usage: bench-orlix\n");
        return 2;
    }
    const std::string self = argv[0];
    if (self.find('/') == std::string::npos) {
        std::fprintf(stderr, "bench-orlix: start it with a path (./bench-orlix) so that it can start its device\n");
        return 2;
    }
    // Every lookup, search and session of this run stays on loopback.
    setenv("LUMORA_LOOPBACK_ONLY", "1", 1);

    std::printf("bench-orlix: Orlix_* sessions on loopback; connect = Orlix_Connect until it returns a handle,\n"
                "median of %d fresh connects (each after Orlix_Close); path confirmed by byte 81 of the\n"
                "Orlix_Check record (1 direct, 2 punched, 3 relayed); MB = 10^6 bytes of payload\n",
                kConnects);
    std::fflush(stdout);

    rendezvous::RendezvousOptions options;
    options.natType = 4;
    options.natTypes["bench-punch"] = 1;
    options.serverRelayIds.insert("bench-server");
    options.silentUnknown = true;
    rendezvous::RendezvousServer server(options);
    std::string error;
    bool serving = server.start(&error);
    if (!serving) {
        std::printf("rendezvous server did not start: %s\n", error.c_str());
        std::printf("orlix/peer goodput ratio: 0.000\n");
        return 1;
    }
    const std::string serverString = server.serverString();
    // The device found only by the local-network search logs in at a server that is not there.
    // Its server tells us the port the device joined from, which the forwarder needs.
    std::mutex joinedLock;
    std::vector<std::string> joined;
    rendezvous::RendezvousOptions lanOptions;
    lanOptions.name = "lan";
    lanOptions.ipv6 = false;
    lanOptions.log = [&](const std::string& line) {
        if (line.rfind("joined ", 0) == 0) {
            std::lock_guard<std::mutex> lock(joinedLock);
            joined.push_back(line.substr(7, line.find(' ', 7) - 7));
        }
    };
    rendezvous::RendezvousServer lanServer(lanOptions);
    serving = lanServer.start(&error);
    const std::string lanServerString = serving ? lanServer.serverString() : std::string();
    LanForwarder lanForwarder;

    // Starts the device of one path and waits for it to log in; "" or the reason it is not there.
    auto bringUp = [&](const Path& path, platform::ChildProcess& child) -> std::string {
        const bool lanOnly = path.lanSearch != 0;
        if (lanOnly && lanServerString.empty())
            return "its server did not start: " + error;
        std::string reason;
        if (!startDevice(child, self, lanOnly ? lanServerString : serverString, path.deviceId, reason))
            return reason;
        if (!(lanOnly ? lanServer : server).waitRegistered(path.deviceId, 15000))
            return "did not register at its server";
        if (!lanOnly)
            return {};
        std::string address;
        {
            std::lock_guard<std::mutex> lock(joinedLock);
            address = joined.empty() ? std::string() : joined.back();
        }
        const std::size_t cut = address.find_last_of("|:");
        const unsigned long port = cut == std::string::npos ? 0 : std::strtoul(address.c_str() + cut + 1, nullptr, 10);
        if (port == 0 || port > 65535)
            return "no port known for it (joined as \"" + address + "\")";
        lanForwarder.start(deployment::kLanSearchPort, static_cast<uint16_t>(port), reason);
        return reason;
    };
    std::vector<std::unique_ptr<platform::ChildProcess>> devices;
    std::vector<std::string> deviceErrors;
    for (const Path& path : kPaths) {
        devices.push_back(std::make_unique<platform::ChildProcess>());
        deviceErrors.push_back(bringUp(path, *devices.back()));
    }

    int initialized = Orlix_Initialize(serverString.c_str());
    if (initialized == 0)
        initialized = Orlix_SetLoginInfo(kClientId, kPassword, 1);
    if (initialized != 0) {
        std::printf("Orlix_Initialize failed: %d\n", initialized);
        std::printf("orlix/peer goodput ratio: 0.000\n");
        return 1;
    }

    std::printf("\n%-20s %10s %10s %10s %10s %5s  %s\n", "path", "median ms", "first ms", "min ms", "max ms", "type",
                "note");
    std::vector<bool> established(std::size(kPaths), false);
    for (std::size_t p = 0; p < std::size(kPaths); ++p) {
        const Path& path = kPaths[p];
        if (!deviceErrors[p].empty()) {
            std::printf("%-20s not measured: device %s: %s\n", path.name, path.deviceId, deviceErrors[p].c_str());
            continue;
        }
        const ConnectResult r = measureConnects(path);
        std::string note;
        if (r.error != 0)
            note += "Orlix_Connect (or Orlix_Check) returned " + std::to_string(r.error) + " on connect " +
                    std::to_string(r.millis.size() + static_cast<std::size_t>(r.wrongType) + 1) + "; ";
        if (r.wrongType)
            note += std::to_string(r.wrongType) + " connects came up as type " + std::to_string(r.lastType) + ", not " +
                    std::to_string(path.expectedType) + "; ";
        if (r.millis.empty()) {
            std::printf("%-20s NOT ESTABLISHED  %s\n", path.name, note.c_str());
        } else {
            established[p] = true;
            const auto [lo, hi] = std::minmax_element(r.millis.begin(), r.millis.end());
            if (r.millis.size() < static_cast<std::size_t>(kConnects) && r.error == 0 && !r.wrongType)
                note += "stopped at the path's " + std::to_string(kPathCapMs / 1000) + " s cap; ";
            std::printf("%-20s %10.2f %10.2f %10.2f %10.2f %5d  n=%zu %s\n", path.name, median(r.millis),
                        r.millis.front(), *lo, *hi, path.expectedType, r.millis.size(), note.c_str());
        }
        std::fflush(stdout);
    }

    std::printf("(first = the first connect of the path, which follows no Orlix_Close; the others follow the\n"
                " close of the previous session to the same device at once;\n"
                " the direct path runs through a forwarder on 127.0.0.1:%u, one extra loopback hop each way;\n"
                " a connect that has no handle after %d s is broken off with Orlix_Connect_Break, giving -19)\n",
                static_cast<unsigned>(deployment::kLanSearchPort), kConnectCapMs / 1000);

    // Goodput per path that carries channel data, three rounds; the peer core's own goodput in
    // each round too, between the paths' runs.
    std::printf("\ngoodput: %d B writes on channel %d (device Orlix_Write -> this side Orlix_Read), up to %.0f MB or %.0f s,\n"
                "%d rounds of one fresh session per path and one peer-core run; median and range per path\n",
                kStreamWriteBytes, kStreamChannel, kStreamBytes / 1e6, kStreamCapSeconds, kGoodputRounds);
    std::vector<std::vector<double>> pathRuns(std::size(kPaths));
    std::vector<std::string> pathNotes(std::size(kPaths));
    std::vector<double> peerRuns;
    std::string peerNote;
    for (int round = 0; round < kGoodputRounds; ++round) {
        for (std::size_t p = 0; p < std::size(kPaths); ++p) {
            const Path& path = kPaths[p];
            if (!path.channelData || !established[p])
                continue;
            const StreamResult s = measureStream(path);
            if (s.error != 0 && s.bytes == 0) {
                pathNotes[p] = "failed with " + std::to_string(s.error);
                continue;
            }
            if (!s.complete)
                pathNotes[p] = "incomplete";
            if (s.error)
                pathNotes[p] += " (ended with " + std::to_string(s.error) + ")";
            if (s.damaged) {
                pathNotes[p] += " " + std::to_string(s.damaged) + " bytes damaged";
                continue;
            }
            pathRuns[p].push_back(s.mbps());
        }
        peerRuns.push_back(peerGoodput(peerNote));
    }
    const double peerMBps = median(peerRuns);
    std::printf("peer     %-20s %8.2f MB/s  runs", "loopback", peerMBps);
    for (double r : peerRuns)
        std::printf(" %.2f", r);
    std::printf("  (two P2PPeer, ReliableOrdered %d B messages, 4 MiB in flight) %s\n", kStreamWriteBytes, peerNote.c_str());
    double sessionRatio = 0;
    bool firstPath = true;
    for (std::size_t p = 0; p < std::size(kPaths); ++p) {
        const Path& path = kPaths[p];
        if (!path.channelData || !established[p])
            continue;
        if (pathRuns[p].empty()) {
            std::printf("session  %-20s no run completed: %s\n", path.name, pathNotes[p].c_str());
            continue;
        }
        const double m = median(pathRuns[p]);
        const double ratio = peerMBps > 0 ? m / peerMBps : 0;
        std::printf("session  %-20s %8.2f MB/s  runs", path.name, m);
        for (double r : pathRuns[p])
            std::printf(" %.2f", r);
        std::printf("  %s\n", pathNotes[p].c_str());
        std::printf("orlix/peer %s goodput ratio: %.3f\n", path.name, ratio);
        if (firstPath)
            sessionRatio = ratio;
        firstPath = false;
    }
    std::fflush(stdout);
    if (std::none_of(established.begin(), established.end(), [](bool b) { return b; }))
        std::printf("session  no path established: no session goodput\n");

    Orlix_DeInitialize();
    for (auto& device : devices)
        stopDevice(*device);
    lanForwarder.stop();
    server.stop();
    lanServer.stop();

    std::printf("ratio below: session goodput of the first established path with channel data (median of its runs) /\n"
                "peer core goodput (median of its runs)\n");
    std::printf("orlix/peer goodput ratio: %.3f\n", sessionRatio);
    return 0;
}
