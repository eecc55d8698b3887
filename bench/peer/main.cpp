// bench-peer: moves ReliableOrdered messages one way between two UDP peers of the peer core over
// 127.0.0.1 and prints goodput and one-way latency, next to ENet (reliable packets on one channel)
// and a TCP connection as the ceiling, clean and with 2% of the datagrams of each direction dropped.
// The last line is the peer's goodput over ENet's for 1 MiB messages without loss (medians of three
// alternating runs each).
#include "BenchHarness.h"
#include "EnetLink.h"
#include "QuietStdout.h"
#include "TcpLink.h"
#include "PeerLink.h"

#include <algorithm>
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

void printRow(const char* transport, double loss, const char* size, const CaseResult& r)
{
    std::printf("%-6s %4.0f%%  %-6s %10.2f %9.1f %9.1f %9.1f  %s\n", transport, loss * 100, size, r.goodputMBps, r.p50us,
                r.p90us, r.p99us, r.note.c_str());
    std::fflush(stdout);
}

} // namespace

int main()
{
    std::vector<Transport> transports = {
        {"tcp", [](double, std::string& e) -> std::unique_ptr<Link> { return bench::TcpLink::open(e); }, false},
        {"enet", [](double loss, std::string& e) -> std::unique_ptr<Link> { return bench::EnetLink::open(loss, e); }, true},
        {"peer", [](double loss, std::string& e) -> std::unique_ptr<Link> { return bench::PeerLink::open(loss, e); }, true},
    };

    std::printf("bench-peer: one-way reliable ordered stream over 127.0.0.1; MB = 10^6 bytes of payload;\n"
                "goodput with at most 256 KiB (100 B) or 4 MiB (1 MiB) in flight; latency = send call to\n"
                "delivery of the whole message, one message in flight; loss = share of datagrams dropped\n"
                "in each direction (enet: on receipt, peer: on sending, tcp: never); the peer sends with\n"
                "priority Immediate\n");
    std::printf("%-6s %5s  %-6s %10s %9s %9s %9s\n", "link", "loss", "size", "MB/s", "p50 us", "p90 us", "p99 us");

    double peerGoodput = 0, enetGoodput = 0;
    bool peerBuilt = false;
    for (const Transport& t : transports) {
        for (double loss : kLossRates) {
            if (loss > 0 && !t.lossCapable)
                continue;
            for (const SizeCase& size : kSizes) {
                std::string error;
                std::unique_ptr<Link> link;
                {
                    QuietStdout quiet;
                    link = t.open(loss, error);
                }
                if (!link) {
                    std::printf("%-6s %4.0f%%  %-6s  could not connect: %s\n", t.name, loss * 100, size.label, error.c_str());
                    continue;
                }
                const CaseResult r = bench::runCase(*link, size.spec);
                {
                    QuietStdout quiet;
                    link.reset();
                }
                printRow(t.name, loss, size.label, r);
                if (loss == 0 && size.spec.messageBytes == (1u << 20)) {
                    if (std::string(t.name) == "peer") {
                        peerGoodput = r.goodputMBps;
                        peerBuilt = true;
                    } else if (std::string(t.name) == "enet") {
                        enetGoodput = r.goodputMBps;
                    }
                }
            }
        }
    }
    // The ratio: 1 MiB messages without loss, ENet and peer alternating, three runs each, median
    // of each side, so that one disturbed run on a shared machine does not decide it.
    double ratio = 0;
    if (peerBuilt && enetGoodput > 0) {
        const Transport* enet = nullptr;
        const Transport* peer = nullptr;
        for (const Transport& t : transports) {
            if (std::string(t.name) == "enet")
                enet = &t;
            else if (std::string(t.name) == "peer")
                peer = &t;
        }
        CaseSpec spec = kSizes[1].spec;
        spec.latencySamples = 0;
        std::vector<double> enetRuns = {enetGoodput}, peerRuns = {peerGoodput};
        for (int run = 0; run < 2; ++run) {
            for (const Transport* t : {enet, peer}) {
                std::string error;
                std::unique_ptr<Link> link;
                {
                    QuietStdout quiet;
                    link = t->open(0, error);
                }
                if (!link)
                    continue;
                const double goodput = bench::runCase(*link, spec).goodputMBps;
                {
                    QuietStdout quiet;
                    link.reset();
                }
                (t == enet ? enetRuns : peerRuns).push_back(goodput);
            }
        }
        std::printf("1 MiB without loss, runs in MB/s: enet");
        for (double g : enetRuns)
            std::printf(" %.2f", g);
        std::printf("; peer");
        for (double g : peerRuns)
            std::printf(" %.2f", g);
        std::printf("\n");
        const double enetMedian = median(enetRuns);
        if (enetMedian > 0)
            ratio = median(peerRuns) / enetMedian;
    } else if (!peerBuilt) {
        std::printf("peer: not measured (the peer core is not part of this build)\n");
    }
    std::printf("ratio below: median peer goodput / median ENet goodput, 1 MiB messages, no loss\n");
    std::printf("peer/enet goodput ratio: %.3f\n", ratio);
    return 0;
}
