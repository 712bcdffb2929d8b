// What a listener's change of tier is spliced from: the span of 48 kHz positions each audio
// message covers, and the last few messages of each tier of a room.
//
// A listener that changes tier stays on its old tier until the new one has a message that
// starts at least one Opus frame before the end of what it has already received. It then
// gets that message and the ones after it: the player drops what it already has, and the
// Opus frame before the join has set its decoder to the new stream, so the listener hears
// neither a gap nor a decoder's fresh start.
#pragma once

#include "tier_stream.h"
#include "tiers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace orlune::relay
{

struct MessageSpan
{
    std::int64_t start = 0; // position of the first sample
    std::int64_t end = 0;   // one past the last
};

// The span of an audio message of `tier` (a float32 message or an Opus message), or nothing
// for a message too short to carry one.
std::optional<MessageSpan> messageSpan(Tier tier, const SharedBytes& message);

// How much of the new tier comes before the join: one Opus frame.
inline constexpr std::int64_t kSwitchOverlap = kOpusFrameSamples;

class RecentMessages
{
public:
    static constexpr std::size_t kCapacity = 16; // 85 ms of float32; 320 ms and more of Opus

    void add(const SharedBytes& message, MessageSpan span);
    void clear();
    std::size_t size() const { return count_; }

    // The messages to hand a listener that has received up to `end`: the newest one holding
    // the position kSwitchOverlap before `end`, and all after it. Calls `fn` with each, oldest
    // first; false (and no calls) when no message holds that position yet.
    template <typename Fn> bool replayFrom(std::int64_t end, Fn&& fn) const
    {
        const std::int64_t join = end - kSwitchOverlap;
        for (std::size_t back = 0; back < count_; ++back)
        {
            const Entry& e = at(count_ - 1 - back);
            if (e.span.start > join)
                continue;
            if (e.span.end <= join)
                return false; // the newest message before the join ends before it
            for (std::size_t i = count_ - 1 - back; i < count_; ++i)
                fn(at(i).message);
            return true;
        }
        return false;
    }

private:
    struct Entry
    {
        SharedBytes message;
        MessageSpan span;
    };
    // Oldest first.
    const Entry& at(std::size_t i) const
    {
        return ring_[(next_ + kCapacity - count_ + i) % kCapacity];
    }

    std::array<Entry, kCapacity> ring_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

} // namespace orlune::relay
