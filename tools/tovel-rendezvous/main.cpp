// tovel-rendezvous: a loopback rendezvous server for libTovel clients (see RendezvousServer.h).
//
//   tovel-rendezvous --port P [options]   prints the server string naming 127.0.0.1:P as its
//                                         first line of standard output, then serves until killed
//   tovel-rendezvous --encode "[name,127.0.0.1,32100,,,,]"   prints the server string of a list
//   tovel-rendezvous --decode STRING      prints the plain list of a server string
#include "RendezvousServer.h"
#include "ServerString.h"

#include "PlatformThread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

const char kUsage[] =
    "usage: tovel-rendezvous --port P [--name NAME] [--no-ipv6] [--nat TYPE] [--nat-for ID=TYPE]...\n"
    "                        [--refuse ID=STATUS]... [--server-relay] [--server-relay-for ID]...\n"
    "                        [--relay-refuse 2|3|4] [--silent-unknown] [--punch-delay MS] [--verbose]\n"
    "       tovel-rendezvous --encode \"[name,127.0.0.1,P,,,,]\"\n"
    "       tovel-rendezvous --decode SERVER_STRING\n";

bool parseNumber(const std::string& text, unsigned long maximum, unsigned long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 10);
    return end && *end == '\0' && value <= maximum;
}

// "ID=NUMBER" with NUMBER in 0..255.
bool parseIdValue(const std::string& text, std::string& id, uint8_t& value) {
    const auto eq = text.rfind('=');
    unsigned long number = 0;
    if (eq == std::string::npos || eq == 0 || !parseNumber(text.substr(eq + 1), 255, number)) return false;
    id = text.substr(0, eq);
    value = static_cast<uint8_t>(number);
    return true;
}

int usage(const std::string& problem) {
    std::fprintf(stderr, "tovel-rendezvous: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    rendezvous::RendezvousOptions options;
    bool havePort = false;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        std::string text;
        unsigned long number = 0;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--encode") {
            if (!value(text)) return usage("--encode needs a list");
            const std::string encoded = encodeServerString(text);
            if (encoded.empty()) return usage("the list is longer than 512 bytes");
            std::printf("%s\n", encoded.c_str());
            return 0;
        } else if (arg == "--decode") {
            if (!value(text)) return usage("--decode needs a server string");
            uint8_t plain[kServerStringMaxPlain + 1] = {};
            if (decode_server_string(text.c_str(), plain) != 0) return usage("not a server string");
            const ServerList list = splitServerList(plain, kServerStringMaxPlain);
            if (!list.valid) {
                std::fprintf(stderr, "tovel-rendezvous: the string does not decode to a server list\n");
                return 1;
            }
            std::printf("%s\n", reinterpret_cast<const char*>(plain));
            return 0;
        } else if (arg == "--port") {
            if (!value(text) || !parseNumber(text, 65534, number)) return usage("--port needs 0..65534");
            options.port = static_cast<uint16_t>(number);
            havePort = true;
        } else if (arg == "--name") {
            if (!value(options.name) || options.name.find_first_of(",[]") != std::string::npos)
                return usage("--name needs a name without ',', '[' or ']'");
        } else if (arg == "--no-ipv6") {
            options.ipv6 = false;
        } else if (arg == "--nat") {
            if (!value(text) || !parseNumber(text, 255, number)) return usage("--nat needs 0..255");
            options.natType = static_cast<uint8_t>(number);
        } else if (arg == "--nat-for") {
            std::string id;
            uint8_t type = 0;
            if (!value(text) || !parseIdValue(text, id, type)) return usage("--nat-for needs ID=TYPE");
            options.natTypes[id] = type;
        } else if (arg == "--refuse") {
            std::string id;
            uint8_t status = 0;
            if (!value(text) || !parseIdValue(text, id, status)) return usage("--refuse needs ID=STATUS");
            options.refused[id] = status;
        } else if (arg == "--server-relay") {
            options.serverRelay = true;
        } else if (arg == "--server-relay-for") {
            if (!value(text)) return usage("--server-relay-for needs an id");
            options.serverRelayIds.insert(text);
        } else if (arg == "--relay-refuse") {
            if (!value(text) || !parseNumber(text, 4, number) || number < 2)
                return usage("--relay-refuse needs 2, 3 or 4");
            options.relayRefusal = static_cast<uint8_t>(number);
        } else if (arg == "--silent-unknown") {
            options.silentUnknown = true;
        } else if (arg == "--punch-delay") {
            if (!value(text) || !parseNumber(text, 10000, number)) return usage("--punch-delay needs 0..10000");
            options.punchDelayMs = static_cast<uint32_t>(number);
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            return usage("unknown argument " + arg);
        }
    }
    if (!havePort) return usage("--port is required");
    if (verbose)
        options.log = [](const std::string& line) {
            std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
        };

    // The server string goes out before the peer starts: the peer core writes its own lines to
    // standard output while it lists the host's addresses.
    if (options.port == 0) options.port = rendezvous::RendezvousServer::findFreePortPair();
    if (options.port == 0) {
        std::fprintf(stderr, "tovel-rendezvous: no free port pair on 127.0.0.1\n");
        return 1;
    }
    std::printf("%s\n", rendezvous::RendezvousServer::serverStringFor(options.name, options.port).c_str());
    std::fflush(stdout);
    rendezvous::RendezvousServer server(options);
    std::string error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "tovel-rendezvous: %s\n", error.c_str());
        return 1;
    }
    if (verbose) std::fprintf(stderr, "serving %s\n", server.plainList().c_str());
    for (;;) platform::sleepMillis(1000);
}
