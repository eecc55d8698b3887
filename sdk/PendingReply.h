// The requests of one device that wait for their reply: per 16-bit reply code, a queue of
// (send tick, callback) in sending order. Guarded by LumoraInstance's pending-reply lock.
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
};

struct PendingReply {
    std::map<uint16_t, std::deque<PendingRequest>> requests;

    bool has(uint16_t code) const
    {
        auto it = requests.find(code);
        return it != requests.end() && !it->second.empty();
    }
};
