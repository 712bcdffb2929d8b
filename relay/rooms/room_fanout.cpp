// RoomRegistry: handing a room's messages and events to the listeners of a tier.
#include "rooms/rooms.h"

namespace orlune::relay
{

void RoomRegistry::deliver(Room& room, Tier tier, const SharedFrame& message)
{
    FanOut guard(room);
    auto& list = room.tiers[tierIndex(tier)].audience.listeners;
    // Listeners that join during the loop are past `count` and start with the next message.
    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i)
        if (ListenerSink* sink = list[i])
            sink->deliverAudio(message);
    room.tiers[tierIndex(tier)].splice.delivered(tier, message, room.listenerCount > 0);
}

void RoomRegistry::deliverText(Room& room, Tier tier, const SharedBytes& message)
{
    FanOut guard(room);
    auto& list = room.tiers[tierIndex(tier)].audience.listeners;
    const std::size_t count = list.size(); // as above
    for (std::size_t i = 0; i < count; ++i)
        if (ListenerSink* sink = list[i])
            sink->deliverText(message);
}

void RoomRegistry::restartListeners(Room& room, Tier tier)
{
    room.tiers[tierIndex(tier)].splice.forget();
    deliverText(room, tier, std::make_shared<const std::string>(codecMessage(tier, "restart")));
}

void RoomRegistry::broadcastText(Room& room, const SharedBytes& message)
{
    for (std::size_t t = 0; t < kTierCount; ++t)
        deliverText(room, tierAt(t), message);
}

void RoomRegistry::forEachListener(const std::function<void(ListenerSink*)>& fn) const
{
    // Copy first: the callback may close listeners, which removes them later.
    std::vector<ListenerSink*> all;
    all.reserve(listenerTotal_);
    for (const auto& entry : rooms_)
        for (const TierState& tier : entry.second.tiers)
            for (ListenerSink* sink : tier.audience.listeners)
                if (sink != nullptr)
                    all.push_back(sink);
    for (ListenerSink* sink : all)
        fn(sink);
}

} // namespace orlune::relay
