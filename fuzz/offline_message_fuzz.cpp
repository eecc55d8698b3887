// Feeds arbitrary datagrams to the peer's offline-message classifier and to the whole receive
// path of a peer that is not started (no sockets: answers go nowhere, packets stay queued).
// Checks that the classifier's verdict agrees with what the handlers may read.
#include "MessageIdentifiers.h"
#include "P2PPeer.h"
#include "P2PPeerTestHooks.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace P2PNet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A socket never hands over more than one datagram of at most 1472 bytes.
    if (size > 1472)
        return 0;
    const unsigned length = static_cast<unsigned>(size);
    const OfflineClass verdict = ClassifyOfflineMessage(size == 0 ? nullptr : data, length);

    // Invariants of the classification.
    if (length > 2 && verdict == OfflineClass::TooShort)
        std::abort();
    if (length > 0 && (data[0] == ID_PROBE || data[0] == ID_PROBE_REPLY) && verdict != OfflineClass::NotOffline)
        std::abort();
    if (verdict == OfflineClass::Offline && length < 25)
        std::abort();
    if (verdict == OfflineClass::Offline && data[0] != ID_OPEN_REQUEST && data[0] != ID_PROTOCOL_MISMATCH) {
        // Every other offline message holds the whole marker.
        bool found = false;
        for (unsigned offset : {1u, 9u, 17u})
            if (offset + 16 <= length && std::memcmp(data + offset, kOfflineMarker, 16) == 0)
                found = true;
        if (!found)
            std::abort();
    }

    // The MTU helpers take any attempt count.
    for (unsigned attempts = 0; attempts < 4; ++attempts) {
        const unsigned mtu = MtuForRequest(length % 16, attempts);
        if (mtu != 1472 && mtu != 1200 && mtu != 576)
            std::abort();
    }
    const unsigned clamped = ClampRemoteMtu(length * 64u);
    if (clamped < 576 || clamped > 1472)
        std::abort();

    P2PPeer peer;
    SystemAddress sender = SystemAddress::FromIPv4(127, 0, 0, 1, 40000);
    P2PPeerTestHooks::ProcessDatagram(peer, size == 0 ? nullptr : data, length, sender);
    return 0;
}
