// RoomRegistry: the figures of its rooms and tiers.
#include "rooms/rooms.h"

namespace orlune::relay
{

void RoomRegistry::statsOf(const Room& room, RoomStats& s) const
{
    s.listeners = room.listenerCount;
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        s.tierListeners[t] = room.tiers[t].audience.count;
        s.encoding[t] = room.tiers[t].encoder != nullptr;
    }
}

std::optional<RoomStats> RoomRegistry::stats(std::string_view name) const
{
    auto it = rooms_.find(name);
    if (it == rooms_.end())
        return std::nullopt;
    RoomStats s = it->second.stats;
    statsOf(it->second, s);
    return s;
}

void RoomRegistry::forEachRoom(
    const std::function<void(const std::string&, const RoomStats&)>& fn) const
{
    for (const auto& [name, room] : rooms_)
    {
        RoomStats s = room.stats;
        statsOf(room, s);
        fn(name, s);
    }
}

std::array<std::size_t, kTierCount> RoomRegistry::tierListeners() const
{
    std::array<std::size_t, kTierCount> counts{};
    for (const auto& entry : rooms_)
        for (std::size_t t = 0; t < kTierCount; ++t)
            counts[t] += entry.second.tiers[t].audience.count;
    return counts;
}

std::array<std::size_t, kTierCount> RoomRegistry::tierEncoders() const
{
    std::array<std::size_t, kTierCount> counts{};
    for (const auto& entry : rooms_)
        for (std::size_t t = 0; t < kTierCount; ++t)
            counts[t] += entry.second.tiers[t].encoder ? 1 : 0;
    return counts;
}

std::size_t RoomRegistry::liveRoomCount() const
{
    std::size_t count = 0;
    for (const auto& entry : rooms_)
        if (entry.second.stats.live)
            ++count;
    return count;
}

} // namespace orlune::relay
