// The requests of one device that wait for their reply: per 16-bit reply code, a queue of
// (send tick, callback) in sending order. Guarded by LumoraInstance's pending-reply lock.
//
// The wire carries no request number, so replies are matched by order: a device answers the
// requests of one code in the order they were sent. A request that timed out still owes a reply;
// its time-out tick stays in `late` so that this reply, when it comes, is dropped instead of
// being taken for the answer to the next request of that code. An owed reply not seen within
// the late window is given up. A request that times out after an owed reply was dropped in its
// place owes none itself: a device that ignored one request and answers the later ones at once
// would otherwise lose every answer to a caller that asks again after each time-out.
#pragma once

#include "LumoraTypes.h"

#include <cstdint>
#include <deque>
#include <map>

struct PendingRequest {
    uint32_t tick = 0;      // send tick (milliseconds, wrapping)
    bool timed = true;      // false: never times out (1510, 1081)
    uint64_t serial = 0;    // unique per instance: lets a request that was not sent withdraw its entry
    DeviceResultCallback callback;
    // A reply of this code was dropped as an owed one while this request waited: it may have
    // been this request's answer, so its own time-out owes nothing.
    bool maybeAnswered = false;
    // The link the request went out on (NetRWrite::requestLinkId; 0 when not known). Only what
    // that link or a later one brings answers it: the end of an earlier link, read after the
    // request was made, is no answer to it.
    int link = 0;
};

struct PendingReply {
    std::map<uint16_t, std::deque<PendingRequest>> requests;
    std::map<uint16_t, std::deque<uint32_t>> late; // time-out ticks of owed replies, oldest first
    uint64_t lateDropped = 0;                      // late replies dropped
    uint64_t unsolicited = 0;                      // replies nobody waited for, dropped
    uint64_t earlierLink = 0;                      // replies read on a link ended before the request

    bool has(uint16_t code) const
    {
        auto it = requests.find(code);
        return it != requests.end() && !it->second.empty();
    }
};
