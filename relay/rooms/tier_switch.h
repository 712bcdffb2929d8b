// What a listener's change of tier is spliced from: the span of 48 kHz positions each audio
// message covers, and the last few messages of each tier of a room.
//
// A listener that changes tier stays on its old tier until the new one has a message that
// starts far enough before the end of what it has already received (switchOverlap). It then
// gets that message and the ones after it: the player drops what it already has. On an Opus
// tier the frames before the join set the listener's decoder to the new stream: a decoder
// that meets a stream in its middle (fresh, or still holding another tier's stream) plays
// the first 80-100 ms too soft or too loud while its predicted band energies converge on
// the encoder's, so that much comes before the join and the listener hears neither a gap
// nor a decoder's fresh start.
#pragma once

#include "tiers/tier_stream.h"
#include "tiers/tiers.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace orlune::relay
{

struct MessageSpan
{
    std::int64_t start = 0; // position of the first sample
    std::int64_t end = 0;   // one past the last
};

// The span of an audio message of `tier` (a float32 message or an Opus message), or nothing
// for a message too short to carry one.
std::optional<MessageSpan> messageSpan(Tier tier, const SharedFrame& message);

// How much of the new tier comes before the join: one Opus frame where the new tier is
// Lossless, and 120 ms where it is Opus (its decoder settles on the new stream meanwhile).
inline constexpr std::int64_t kSwitchOverlap = kOpusFrameSamples;
inline constexpr std::int64_t kOpusSwitchPreroll = 12 * kOpusFrameSamples;
inline std::int64_t switchOverlap(Tier to)
{
    return isOpus(to) ? kOpusSwitchPreroll : kSwitchOverlap;
}

class RecentMessages
{
public:
    static constexpr std::size_t kCapacity = 16; // 85 ms of float32; 320 ms and more of Opus

    void add(const SharedFrame& message, MessageSpan span);
    void clear();
    std::size_t size() const { return count_; }

    // Whether a listener that has received up to `end` can join: a message holds the position
    // `overlap` before `end`.
    bool canJoinAt(std::int64_t end, std::int64_t overlap) const
    {
        return joinIndex(end, overlap) < count_;
    }

    // The messages to hand such a listener: the newest one holding that position, and all
    // after it, oldest first (none when it cannot join yet).
    std::vector<SharedFrame> replayFrom(std::int64_t end, std::int64_t overlap) const;

private:
    struct Entry
    {
        SharedFrame message;
        MessageSpan span;
    };
    // Index (oldest first) of the newest message holding the join position, or count_.
    std::size_t joinIndex(std::int64_t end, std::int64_t overlap) const;
    // Oldest first.
    const Entry& at(std::size_t i) const
    {
        return ring_[(next_ + kCapacity - count_ + i) % kCapacity];
    }

    std::array<Entry, kCapacity> ring_{};
    std::size_t next_ = 0;
    std::size_t count_ = 0;
};

// What a tier's listeners were last given, and the recent messages a move to the tier is
// spliced from.
class TierSplice
{
public:
    // A message of `tier` was handed to the tier's listeners; kept for moves here when `keep`
    // (while the room has listeners).
    void delivered(Tier tier, const SharedFrame& message, bool keep);
    // The tier's stream starts afresh: nothing before this is spliced onto.
    void forget();

    bool hasDelivered() const { return hasDelivered_; }
    // Whether a listener given up to the end of what `from` delivered can move to this tier
    // now without a gap, and what it is then to be given of this tier.
    bool canTakeFrom(const TierSplice& from) const
    {
        return from.hasDelivered_ && recent_.canJoinAt(from.deliveredEnd_, switchOverlap(tier_));
    }
    std::vector<SharedFrame> replayFor(const TierSplice& from) const
    {
        return recent_.replayFrom(from.deliveredEnd_, switchOverlap(tier_));
    }

private:
    Tier tier_ = Tier::Lossless; // of the messages delivered, which sets the overlap a move needs
    bool hasDelivered_ = false;
    std::int64_t deliveredEnd_ = 0;
    RecentMessages recent_;
};

} // namespace orlune::relay
