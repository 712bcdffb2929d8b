#include "rooms/tier_switch.h"

namespace orlune::relay
{
namespace
{

std::uint64_t readLe(const std::string& bytes, std::size_t at, int count)
{
    std::uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    return value;
}

constexpr std::int64_t kDatagramFrames = 256;

} // namespace

std::optional<MessageSpan> messageSpan(Tier tier, const SharedBytes& message)
{
    if (!message)
        return std::nullopt;
    const std::string& m = *message;
    if (!isOpus(tier))
    {
        if (m.size() < 16)
            return std::nullopt;
        const auto start = static_cast<std::int64_t>(readLe(m, 8, 8));
        return MessageSpan{start, start + kDatagramFrames};
    }
    if (m.size() < kOpusMessageHeader)
        return std::nullopt;
    const auto start = static_cast<std::int64_t>(readLe(m, 8, 8));
    const auto frameSamples = static_cast<std::int64_t>(readLe(m, 16, 2));
    const auto frames = static_cast<std::int64_t>(readLe(m, 18, 1));
    return MessageSpan{start, start + frameSamples * frames};
}

std::size_t RecentMessages::joinIndex(std::int64_t end) const
{
    const std::int64_t join = end - kSwitchOverlap;
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

std::vector<SharedBytes> RecentMessages::replayFrom(std::int64_t end) const
{
    std::vector<SharedBytes> out;
    for (std::size_t i = joinIndex(end); i < count_; ++i)
        out.push_back(at(i).message);
    return out;
}

void RecentMessages::clear()
{
    for (Entry& e : ring_)
        e.message.reset();
    count_ = 0;
}

void RecentMessages::add(const SharedBytes& message, MessageSpan span)
{
    ring_[next_] = Entry{message, span};
    next_ = (next_ + 1) % kCapacity;
    if (count_ < kCapacity)
        ++count_;
}

} // namespace orlune::relay
