// Faults that strike once in the life of the lab instead of on every link: one
// answer lost on its way out, one answer damaged on the wire, and a module that
// drops off mid-conversation and comes back later (or never). Counting over the
// whole run is what lets a test show that a second attempt gets through.
//
// All of it runs on the lab's single event-loop thread.
#pragma once
#include "sim/module/events.h"
#include "sim/module/packet.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace vmsim {

class SimModule;

struct OnceFaults {
    unsigned drop_reply = 0;     // the N-th answer (of drop_reply_cmd) is never sent (0: off)
    int drop_reply_cmd = -1;     // -1: every answer counts
    unsigned corrupt_reply = 0;  // the N-th answer (of corrupt_reply_cmd) goes out with bit 0 of its address set
    int corrupt_reply_cmd = -1;
    unsigned vanish = 0;         // the N-th upgrade-entity request makes the module drop off (0: off)
    int vanish_ms = -1;          // ... for this long; -1: it never comes back
};

namespace faults {

// A module-line key of the faults above: parses it into f and returns true; false
// for any other key. Throws std::runtime_error on a malformed value.
bool parse_key(const std::string& key, const std::string& value, OnceFaults& f);

// An answer from `from` is about to be queued. False: swallow it. It may come back
// damaged (on the wire its address byte is odd, which breaks the packet rules).
bool on_answer(const SimModule& from, Packet& answer, EventLog& log);

// A request for `m` arrived. True when it is the one that makes the module drop
// off now: the caller ends the link (a direct module) or leaves it unanswered.
bool vanishes_on(const SimModule& m, const Packet& request, std::chrono::steady_clock::time_point now,
                 EventLog& log);

// While true the module is gone: its links end at once, discovery does not see it,
// and packets for it (behind a router) go unanswered.
bool away(const SimModule& m, std::chrono::steady_clock::time_point now);

} // namespace faults
} // namespace vmsim
