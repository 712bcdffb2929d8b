// One tier of a room, in parts with one job each: who its messages go to (TierAudience), what
// they were last given and the recent messages a move to the tier is spliced from (TierSplice,
// tier_switch.h), its Opus encoder here, the tier as another relay feeds it (TierClusterFeed),
// and the wait before this relay encodes a tier the ingest relay does not send
// (EncoderFallback). Pure state: every call that depends on time takes `now`.
#pragma once

#include "rooms/tier_switch.h"
#include "tiers/tier_stream.h"
#include "wire/clock.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace orlune::relay
{

class ListenerSink;

// The listeners a tier's messages are handed to, and those on their way to it.
struct TierAudience
{
    // Null entries are listeners that left during a fan-out; compact() removes them once it
    // has ended.
    std::vector<ListenerSink*> listeners;
    std::size_t count = 0;   // listeners on the tier
    std::size_t pending = 0; // listeners waiting to move here

    // Listeners on the tier and on their way to it.
    std::size_t wants() const { return count + pending; }
    void compact()
    {
        listeners.erase(std::remove(listeners.begin(), listeners.end(), nullptr), listeners.end());
    }
};

// An Opus tier of a room as the cluster feeds it: whether listeners elsewhere want it encoded
// here, and whether another relay (or the home loop) sends it encoded, with the frame
// sequence of its last message.
class TierClusterFeed
{
public:
    bool wantedElsewhere = false;

    // A message of the tier encoded elsewhere: false (to be dropped) for one at or behind the
    // last taken, unless its stream starts afresh (`streamStart`). Taking one ends any wait for
    // the tier (the caller's EncoderFallback).
    bool take(std::int64_t sequence, bool streamStart, TimePoint now)
    {
        if (streamStart)
            hasSequence_ = false;
        if (hasSequence_ && sequence <= lastSequence_)
            return false;
        hasSequence_ = true;
        lastSequence_ = sequence;
        lastTaken_ = now;
        return true;
    }
    // Whether the tier is encoded elsewhere: true from the first message taken until one is
    // missing for a while (lapse()). markFed() returns whether it was not before.
    bool fedElsewhere() const { return fed_; }
    bool markFed() { return !std::exchange(fed_, true); }
    // Ends a feed that has sent nothing for `silence`; true when it did.
    bool lapse(TimePoint now, Clock::duration silence)
    {
        if (!fed_ || now - lastTaken_ < silence)
            return false;
        fed_ = false;
        hasSequence_ = false;
        return true;
    }
    // The room's stream starts afresh: any sequence goes.
    void forgetSequence() { hasSequence_ = false; }

private:
    bool fed_ = false;
    TimePoint lastTaken_{};
    bool hasSequence_ = false;
    std::int64_t lastSequence_ = 0;
};

// A room fed through the cluster has its Opus tiers encoded once, at the ingest relay. When a
// tier has listeners here and none of it comes for a while, this relay encodes it after all:
// this is the wait (since when it has lasted; none while nothing is waited for).
class EncoderFallback
{
public:
    bool waiting() const { return since_ != TimePoint{}; }
    void startAt(TimePoint now) { since_ = now; }
    void stop() { since_ = TimePoint{}; }
    // The sweep's look: `starved` (listeners here, no stream of the tier) starts the wait or
    // keeps it, anything else ends it. True once it has lasted `limit`.
    bool due(bool starved, TimePoint now, Clock::duration limit)
    {
        if (!starved)
            stop();
        else if (!waiting())
            startAt(now);
        else
            return now - since_ >= limit;
        return false;
    }

private:
    TimePoint since_{};
};

struct TierState
{
    TierAudience audience;
    TierSplice splice;
    std::unique_ptr<TierStream> encoder; // Opus tiers: encoding here
    TierClusterFeed cluster;
    EncoderFallback fallback;
};

} // namespace orlune::relay
