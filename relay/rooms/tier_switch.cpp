#include "rooms/tier_switch.h"

#include "wire/listener_audio.h"
#include "wire/listener_opus.h"

namespace orlune::relay
{
namespace
{
// Sample positions are the source's int64 counters, which may wrap: add as they do.
std::int64_t wrappingAdd(std::int64_t a, std::int64_t b)
{
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
} // namespace

std::optional<MessageSpan> messageSpan(Tier tier, const SharedFrame& message)
{
    if (!message)
        return std::nullopt;
    if (!isOpus(tier))
    {
        const auto audio = decodeAudioMessage(message.payload());
        if (!audio)
            return std::nullopt;
        return MessageSpan{audio->position, wrappingAdd(audio->position, kFramesPerPacket)};
    }
    const auto header = decodeOpusHeader(message.payload());
    if (!header)
        return std::nullopt;
    return MessageSpan{
        header->position,
        wrappingAdd(header->position, std::int64_t{header->frameSamples} * header->frames)};
}

std::size_t RecentMessages::joinIndex(std::int64_t end, std::int64_t overlap) const
{
    const std::int64_t join = wrappingAdd(end, -overlap);
    for (std::size_t i = count_; i-- > 0;)
    {
        const MessageSpan& span = at(i).span;
        if (span.start > join)
            continue;
        // The newest message before the join must reach it, or there is a hole at the join.
        return span.end > join ? i : count_;
    }
    return count_;
}

std::vector<SharedFrame> RecentMessages::replayFrom(std::int64_t end, std::int64_t overlap) const
{
    std::vector<SharedFrame> out;
    for (std::size_t i = joinIndex(end, overlap); i < count_; ++i)
        out.push_back(at(i).message);
    return out;
}

void RecentMessages::clear()
{
    for (Entry& e : ring_)
        e.message = SharedFrame();
    count_ = 0;
}

void RecentMessages::add(const SharedFrame& message, MessageSpan span)
{
    ring_[next_] = Entry{message, span};
    next_ = (next_ + 1) % kCapacity;
    if (count_ < kCapacity)
        ++count_;
}

void TierSplice::delivered(Tier tier, const SharedFrame& message, bool keep)
{
    const auto span = messageSpan(tier, message);
    if (!span)
        return;
    tier_ = tier;
    hasDelivered_ = true;
    deliveredEnd_ = span->end;
    if (keep)
        recent_.add(message, *span);
}

void TierSplice::forget()
{
    hasDelivered_ = false;
    recent_.clear();
}

} // namespace orlune::relay
