// bench-link: what the device link costs on top of its transport, on loopback. Per transport (CS2
// and ThroughTek stand-ins with the device in this process; libTovel with the device in a second
// process of this program, `bench-link --tovel-device SERVER UID`, and a tovel-rendezvous process,
// since a process holds one libTovel client):
//  - reply round trip: a command sent with NetProParse::SendIOCtrl until its reply is read by
//    NetProParse::ReadIOData (polled back to back), median and p90 over a few hundred requests;
//  - media throughput on the live channel: 200 KB frames streamed by the device as fast as the
//    transport takes them and read whole with NetProParse::ReadVAData, beside the same bytes read
//    with the transport's own calls (PPCS_Read resp. avRecvFrameData2) in the same run.
// The last line is the link/raw media throughput ratio of the CS2 path.
#include "DeploymentSettings.h"
#include "AVAPIs.h"
#include "BenchDevice.h"
#include "ChildProcess.h"
#include "Orlix.h"
#include "IOTCAPIs.h"
#include "NetProParse.h"
#include "NetProtocol.h"
#include "PPCS_API.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace benchlink;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRequests = 300;
constexpr int kWarmUpRequests = 20;
constexpr int kFramesPerRun = 400;
constexpr int kRuns = 5; // link and raw alternate, so that neither gets the warmer machine
constexpr int kGetNetworkEth = 1042;

double microsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

struct Throughput {
    long long frames = 0;
    long long bytes = 0;
    double seconds = 0;
    double fps() const { return seconds > 0 ? frames / seconds : 0; }
    double mbps() const { return seconds > 0 ? bytes / seconds / 1e6 : 0; }
};

struct Figures {
    double rttMedianUs = 0;
    double rttP90Us = 0;
    Throughput link;
    Throughput raw;
};

class Client {
public:
    Client(Transport transport, const std::string& uid)
        : m_transport(transport), m_uid(uid), m_framesPerRun(kFramesPerRun),
          m_parse(uid,
                  [this](int p1, int p2, std::vector<char>&, unsigned length, std::string, int, uint64_t, int) {
                      if (p2 == 0 && length > 0) {
                          ++m_frames;
                          m_bytes += length;
                      } else {
                          m_mediaError = p1;
                      }
                  },
                  [this](int code, int result, std::vector<char>&, unsigned, std::string, int, int) {
                      if (result == 0)
                          m_lastReply = code;
                  })
    {
    }

    bool connect()
    {
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        int type = 0;
        while (Clock::now() < deadline) {
            if (m_parse.Connect(m_uid, type) >= 0 && m_parse.LinkUp())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // Sends a command and polls until its reply (code + 1) has been read; false on time-out.
    bool request(uint16_t command, const std::string& body)
    {
        m_lastReply = 0;
        if (m_parse.SendIOCtrl(command, body) < 0)
            return false;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while (m_lastReply != command + 1) {
            if (Clock::now() > deadline || !m_parse.LinkUp())
                return false;
            m_parse.ReadIOData(0, 0);
        }
        return true;
    }

    bool roundTrips(Figures& out)
    {
        std::vector<double> samples;
        for (int i = 0; i < kWarmUpRequests + kRequests; ++i) {
            const auto start = Clock::now();
            if (!request(kGetNetworkEth, "{\"Ch\":0}"))
                return false;
            if (i >= kWarmUpRequests)
                samples.push_back(microsSince(start));
        }
        std::sort(samples.begin(), samples.end());
        out.rttMedianUs = samples[samples.size() / 2];
        out.rttP90Us = samples[samples.size() * 9 / 10];
        return true;
    }

    bool linkStream(Throughput& out)
    {
        m_frames = 0;
        m_bytes = 0;
        const auto start = Clock::now();
        if (!request(kStartLinkStream, std::to_string(m_framesPerRun)))
            return false;
        const auto deadline = start + std::chrono::seconds(20);
        while (m_frames < m_framesPerRun) {
            if (Clock::now() > deadline || m_parse.ReadVAData(0, 1, 0, nullptr) < 0)
                return false;
        }
        out.seconds += microsSince(start) / 1e6;
        out.frames += m_frames;
        out.bytes += m_bytes;
        return true;
    }

    bool rawStream(Throughput& out)
    {
        const auto start = Clock::now();
        if (!request(kStartRawStream, std::to_string(m_framesPerRun)))
            return false;
        const auto deadline = start + std::chrono::seconds(20);
        const int h = m_parse.link()->handle();
        if (m_transport != Transport::Tutk) {
            const long long total = static_cast<long long>(m_framesPerRun) *
                                    static_cast<long long>(BenchDevice::chunkedFrame(0, std::vector<char>(kFrameSize)).size());
            std::vector<char> buffer(256 * 1024);
            long long got = 0;
            while (got < total) {
                int n = static_cast<int>(std::min<long long>(buffer.size(), total - got));
                const int rc = readRaw(h, buffer.data(), n);
                got += std::max(n, 0);
                if ((rc != 0 && rc != PPCS_ERR_TIME_OUT) || Clock::now() > deadline)
                    return false;
            }
        } else {
            if (m_rawAv < 0) {
                unsigned int serverType = 0;
                int resend = 0;
                m_rawAv = avClientStart2(h, "", "", 5, &serverType, kRawChannel, &resend);
                if (m_rawAv < 0)
                    return false;
            }
            std::vector<char> buffer(524288);
            char info[1024];
            for (int frames = 0; frames < m_framesPerRun;) {
                int actual = 0, expected = 0, infoSize = 0;
                unsigned int index = 0;
                const int rc = avRecvFrameData2(m_rawAv, buffer.data(), static_cast<int>(buffer.size()), &actual, &expected,
                                                info, sizeof info, &infoSize, &index);
                if (rc == kFrameSize)
                    ++frames;
                else if (rc != AV_ER_DATA_NOREADY || Clock::now() > deadline)
                    return false;
            }
        }
        out.seconds += microsSince(start) / 1e6;
        out.frames += m_framesPerRun;
        out.bytes += static_cast<long long>(m_framesPerRun) * kFrameSize;
        return true;
    }

    void close() { m_parse.CloseLink(); }
    int framesPerRun() const { return m_framesPerRun; }

private:
    int readRaw(int h, char* buffer, int& n)
    {
        if (m_transport == Transport::Tovel) {
            const int rc = Orlix_Read(h, kRawChannel, buffer, &n, 1);
            return rc == ORLIX_ERROR_TIMEOUT ? PPCS_ERR_TIME_OUT : rc;
        }
        return PPCS_Read(h, kRawChannel, buffer, &n, 50);
    }

    Transport m_transport;
    std::string m_uid;
    int m_framesPerRun;
    NetProParse m_parse;
    int m_lastReply = 0;
    long long m_frames = 0;
    long long m_bytes = 0;
    int m_mediaError = 0;
    int m_rawAv = -1;
};

bool measureWith(Transport transport, const char* name, const std::string& uid, BenchDevice& device, Figures& out)
{
    if (!device.start()) {
        std::printf("[%s] device could not publish %s\n", name, uid.c_str());
        return false;
    }
    Client client(transport, uid);
    bool ok = client.connect();
    if (!ok)
        std::printf("[%s] no connection to the device\n", name);
    ok = ok && client.roundTrips(out);
    for (int run = 0; ok && run < kRuns; ++run)
        ok = client.linkStream(out.link) && client.rawStream(out.raw);
    if (!ok)
        std::printf("[%s] a measurement failed\n", name);
    client.close();
    device.stop();
    return ok;
}

bool measure(Transport transport, const char* name, Figures& out)
{
    const std::string stem = std::to_string(::getpid() % 100000);
    std::string uid = transport == Transport::Cs2 ? "HOWBENCH" + stem : "TBENCH" + stem;
    if (transport == Transport::Tutk)
        uid.resize(20, 'Q');
    BenchDevice device(transport, uid);
    return measureWith(transport, name, uid, device, out);
}


// The libTovel device: this program again, in its own process.
int runTovelDevice(const char* serverString, const char* uid)
{
    ::setenv("LUMORA_LOOPBACK_ONLY", "1", 1);
    if (Orlix_Initialize(serverString) < 0 || Orlix_SetLoginInfo(uid, "bench", 2) < 0) {
        std::printf("device error\n");
        std::fflush(stdout);
        return 1;
    }
    StreamDeviceOps ops;
    const std::string id = uid;
    ops.accept = [id] { return Orlix_Listen(id.c_str(), 10, 0, 0, "bench"); };
    ops.read = [](int h, int channel, char* buffer, int* length) { return Orlix_Read(h, channel, buffer, length, 1); };
    ops.write = [](int h, int channel, const char* data, int length) { return Orlix_Write(h, channel, data, length); };
    ops.pending = [](int h, int channel) {
        unsigned int pending = 0;
        Orlix_Check_Buffer(h, channel, &pending, nullptr);
        return static_cast<uint32_t>(pending);
    };
    ops.close = [](int h) { Orlix_Close(h); };
    ops.wake = [] { Orlix_Listen_Break(); };
    {
        BenchDevice device(Transport::Tovel, uid, ops);
        if (!device.start()) {
            std::printf("device error\n");
            std::fflush(stdout);
            return 1;
        }
        std::printf("device started\n");
        std::fflush(stdout);
        // The parent writes "quit" (or closes our standard input) when it is done.
        char line[64];
        while (std::fgets(line, sizeof line, stdin) && std::strncmp(line, "quit", 4) != 0) {
        }
        device.stop();
    }
    Orlix_DeInitialize();
    return 0;
}

bool measureTovel(const std::string& self, Figures& out, std::string& why)
{
    const std::string rendezvousBinary = std::string(LUMORA_BINARY_DIR) + "/tools/tovel-rendezvous/tovel-rendezvous";
    platform::ChildProcess rendezvous;
    std::string server;
    if (!rendezvous.start(rendezvousBinary, {"--port", "0"}) || !rendezvous.readLine(server, 10000) || server.empty()) {
        why = "tovel-rendezvous did not start (" + rendezvousBinary + ")";
        return false;
    }
    const std::string uid = "TOVELBENCH" + std::to_string(::getpid() % 100000);
    platform::ChildProcess device;
    bool started = device.start(self, {"--tovel-device", server, uid});
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    bool ready = false;
    while (started && !ready && Clock::now() < deadline && device.readLine(line, 500))
        ready = line.find("device started") != std::string::npos;
    if (!ready) {
        why = "the libTovel device did not start";
        device.stop(2000);
        rendezvous.stop();
        return false;
    }
    bool ok = Orlix_Initialize(server.c_str()) == 0;
    if (ok) {
        Client client(Transport::Tovel, uid);
        ok = client.connect();
        if (!ok)
            why = "no connection to the device";
        ok = ok && client.roundTrips(out);
        for (int run = 0; ok && run < kRuns; ++run)
            ok = client.linkStream(out.link) && client.rawStream(out.raw);
        if (!ok && why.empty())
            why = "a measurement failed";
        client.close();
        Orlix_DeInitialize();
    } else {
        why = "Orlix_Initialize failed";
    }
    device.writeLine("quit");
    device.stop(3000);
    rendezvous.stop();
    return ok;
}

void print(const char* name, const char* rawCalls, const Figures& f)
{
    std::printf("[%s] reply round trip: median %.1f us, p90 %.1f us (%d requests)\n", name, f.rttMedianUs, f.rttP90Us, kRequests);
    std::printf("[%s] media via %-17s %7.1f frames/s, %8.1f MB/s\n", name, "ReadVAData:", f.link.fps(), f.link.mbps());
    std::printf("[%s] media via %-17s %7.1f frames/s, %8.1f MB/s\n", name, rawCalls, f.raw.fps(), f.raw.mbps());
    std::printf("[%s] link/raw: %.3f\n", name, f.raw.mbps() > 0 ? f.link.mbps() / f.raw.mbps() : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--tovel-device") == 0)
        return runTovelDevice(argv[2], argv[3]);
    if (argc != 1 || std::strchr(argv[0], '/') == nullptr) {
        std::fprintf(stderr, "usage: path/to/bench-link (started with a path, so that it can start its libTovel device)\n");
        return 2;
    }
    const auto directory = std::filesystem::temp_directory_path() / ("lumora-bench-link-" + std::to_string(::getpid()));
    std::filesystem::remove(directory);
    deployment::setP2PDirectory(directory.string());
    char init[] = "BENCH";
    PPCS_Initialize(init);
    IOTC_Initialize2(0);
    avInitialize(40);

    std::printf("bench-link: device link vs raw transport on loopback, device in process\n");
    std::printf("frames of %d bytes (MB = 10^6 bytes of frame data), %d frames x %d runs per path\n", kFrameSize,
                kFramesPerRun, kRuns);
    Figures cs2;
    Figures tutk;
    const bool cs2Ok = measure(Transport::Cs2, "cs2", cs2);
    if (cs2Ok)
        print("cs2", "PPCS_Read (raw):", cs2);
    if (measure(Transport::Tutk, "tutk", tutk))
        print("tutk", "avRecvFrameData2:", tutk);
    Figures tovel;
    std::string why;
    if (measureTovel(argv[0], tovel, why))
        print("tovel", "Orlix_Read (raw):", tovel);
    else
        std::printf("[tovel] not measured: %s\n", why.c_str());

    avDeInitialize();
    IOTC_DeInitialize();
    PPCS_DeInitialize();
    std::filesystem::remove(directory);
    std::printf("ratio below: CS2 path, ReadVAData MB/s over PPCS_Read MB/s\n");
    std::printf("link/raw media throughput ratio: %.3f\n", cs2Ok && cs2.raw.mbps() > 0 ? cs2.link.mbps() / cs2.raw.mbps() : 0.0);
    return cs2Ok ? 0 : 1;
}
