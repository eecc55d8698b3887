// bench-peer: moves ReliableOrdered messages one way between two UDP peers of the peer core over
// 127.0.0.1 and prints goodput, one-way latency and CPU time per MB moved, next to ENet (reliable
// packets on one channel) and a TCP connection as the ceiling, clean and with 2% of the datagrams
// of each direction dropped.
// The closing lines are the peer's goodput over ENet's: 100 B messages without loss, 1 MiB
// messages with 2% loss, and last 1 MiB messages without loss; each the median of three runs per
// side, the sides alternating, after one warm-up run of each.
#include "BenchHarness.h"
#include "EnetLink.h"
#include "TcpLink.h"
#include "PeerLink.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench::CaseResult;
using bench::CaseSpec;
using bench::Link;

using LinkFactory = std::function<std::unique_ptr<Link>(double lossRate, std::string& error)>;

struct Transport {
    const char* name;
    LinkFactory open;
    bool lossCapable;
};

struct SizeCase {
    const char* label;
    CaseSpec spec;
};

const SizeCase kSizes[] = {
    {"100 B", {100, 20'000'000, 256 * 1024, 1.5, 3.0, 2000, 1.0}},
    {"1 MiB", {1 << 20, 48ull << 20, 4 << 20, 2.5, 3.0, 20, 2.0}},
};

const double kLossRates[] = {0.0, 0.02};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// CPU time of the whole process (both ends of a link live in it), seconds.
double processCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct Measured {
    CaseResult result;
    double cpuMsPerMB = 0;  // process CPU time per 10^6 payload bytes delivered
    bool connected = false;
    std::string error;
};

Measured measure(const Transport& t, double loss, const CaseSpec& spec)
{
    Measured m;
    std::unique_ptr<Link> link = t.open(loss, m.error);
    if (!link)
        return m;
    m.connected = true;
    const double cpuStart = processCpuSeconds();
    m.result = bench::runCase(*link, spec);
    const double cpu = processCpuSeconds() - cpuStart;
    link.reset();
    // Payload delivered in both phases: goodput messages and latency samples.
    const double mb = static_cast<double>(m.result.goodputMessages + m.result.latencySamples) *
                      static_cast<double>(spec.messageBytes) / 1e6;
    m.cpuMsPerMB = mb > 0 ? cpu * 1000.0 / mb : 0;
    return m;
}

void printRow(const char* transport, double loss, const char* size, const Measured& m)
{
    const CaseResult& r = m.result;
    std::printf("%-6s %4.0f%%  %-6s %10.2f %9.1f %9.1f %9.1f %9.2f  %s\n", transport, loss * 100, size, r.goodputMBps,
                r.p50us, r.p90us, r.p99us, m.cpuMsPerMB, r.note.c_str());
    std::fflush(stdout);
}

struct RatioCase {
    const char* label;     // of the closing line: "peer/enet <label> ratio: R"
    const char* workload;  // in words, for the runs line
    CaseSpec spec;
    double loss;
    bool withLatency;      // also run the latency phase and print its median p50
};

// One warm-up run of each side, then three runs of each, alternating; the median goodput of the
// peer over ENet's. Prints the runs, the CPU time per MB of each side and, when asked, the latency.
double alternatingRatio(const Transport& enet, const Transport& peer, const RatioCase& c)
{
    CaseSpec spec = c.spec;
    if (!c.withLatency)
        spec.latencySamples = 0;
    std::vector<double> goodput[2], cpu[2], latency[2];
    const Transport* sides[2] = {&enet, &peer};
    for (int run = 0; run < 4; ++run) {
        for (int side = 0; side < 2; ++side) {
            const Measured m = measure(*sides[side], c.loss, spec);
            if (run == 0 || !m.connected)
                continue;
            goodput[side].push_back(m.result.goodputMBps);
            cpu[side].push_back(m.cpuMsPerMB);
            if (m.result.latencySamples > 0)
                latency[side].push_back(m.result.p50us);
        }
    }
    std::printf("%s, runs in MB/s: enet", c.workload);
    for (double g : goodput[0])
        std::printf(" %.2f", g);
    std::printf("; peer");
    for (double g : goodput[1])
        std::printf(" %.2f", g);
    std::printf("; CPU ms/MB (median): enet %.2f, peer %.2f\n", median(cpu[0]), median(cpu[1]));
    if (c.withLatency)
        std::printf("%s, one message in flight, one-way latency p50 in us (median of runs): enet %.1f, peer %.1f\n",
                    c.workload, median(latency[0]), median(latency[1]));
    std::fflush(stdout);
    const double enetMedian = median(goodput[0]);
    return enetMedian > 0 ? median(goodput[1]) / enetMedian : 0;
}

} // namespace

int main(int argc, char** argv)
{
    // bench-peer --case TRANSPORT SIZE LOSS: one row of the table only (for profiling), e.g.
    // bench-peer --case peer "100 B" 0
    const bool oneCase = argc == 5 && std::string(argv[1]) == "--case";
    if (argc != 1 && !oneCase) {
        std::fprintf(stderr, "usage: bench-peer [--case TRANSPORT SIZE LOSS]\n");
        return 2;
    }
    std::vector<Transport> transports = {
        {"tcp", [](double, std::string& e) -> std::unique_ptr<Link> { return bench::TcpLink::open(e); }, false},
        {"enet", [](double loss, std::string& e) -> std::unique_ptr<Link> { return bench::EnetLink::open(loss, e); }, true},
        {"peer", [](double loss, std::string& e) -> std::unique_ptr<Link> { return bench::PeerLink::open(loss, e); }, true},
    };

    std::printf("bench-peer: one-way reliable ordered stream over 127.0.0.1; MB = 10^6 bytes of payload;\n"
                "goodput with at most 256 KiB (100 B) or 4 MiB (1 MiB) in flight; latency = send call to\n"
                "delivery of the whole message, one message in flight; loss = share of datagrams dropped\n"
                "in each direction (enet: on receipt, peer: on sending, tcp: never); CPU = process CPU time\n"
                "(sender and receiver) per MB delivered; the peer sends with priority Immediate\n");
    std::printf("%-6s %5s  %-6s %10s %9s %9s %9s %9s\n", "link", "loss", "size", "MB/s", "p50 us", "p90 us", "p99 us",
                "CPU ms/MB");

    for (const Transport& t : transports) {
        for (double loss : kLossRates) {
            if (loss > 0 && !t.lossCapable)
                continue;
            for (const SizeCase& size : kSizes) {
                if (oneCase && (std::string(argv[2]) != t.name || std::string(argv[3]) != size.label ||
                                std::atof(argv[4]) != loss))
                    continue;
                const Measured m = measure(t, loss, size.spec);
                if (!m.connected) {
                    std::printf("%-6s %4.0f%%  %-6s  could not connect: %s\n", t.name, loss * 100, size.label, m.error.c_str());
                    continue;
                }
                printRow(t.name, loss, size.label, m);
            }
        }
    }

    if (oneCase)
        return 0;
    const Transport& enet = transports[1];
    const Transport& peer = transports[2];
    const RatioCase ratios[] = {
        {"small-message", "100 B without loss", kSizes[0].spec, 0.0, true},
        {"loss", "1 MiB with 2% loss", kSizes[1].spec, 0.02, false},
        {"goodput", "1 MiB without loss", kSizes[1].spec, 0.0, false},
    };
    double results[std::size(ratios)] = {};
    for (std::size_t i = 0; i < std::size(ratios); ++i)
        results[i] = alternatingRatio(enet, peer, ratios[i]);
    std::printf("ratios below: median peer goodput / median ENet goodput, three alternating runs after a warm-up\n");
    for (std::size_t i = 0; i < std::size(ratios); ++i)
        std::printf("peer/enet %s ratio: %.3f\n", ratios[i].label, results[i]);
    return 0;
}
