// RoomRegistry: listeners joining and leaving a room, and the tier lists they sit in.
#include "rooms/rooms.h"

#include "wire/listener_events.h"

#include <algorithm>

namespace orlune::relay
{

ListenerReject rejectReason(JoinResult refused)
{
    switch (refused)
    {
        case JoinResult::RoomLimit:
            return ListenerReject::RoomLimit;
        case JoinResult::RoomFull:
            return ListenerReject::RoomFull;
        case JoinResult::RelayFull:
        case JoinResult::Joined:
            break;
    }
    return ListenerReject::RelayFull;
}

JoinResult RoomRegistry::canJoin(std::string_view name) const
{
    if (listenerTotal_ >= limits_.maxListenersTotal)
        return JoinResult::RelayFull;
    auto it = rooms_.find(name);
    if (it == rooms_.end())
        return gate_ == nullptr && rooms_.size() >= limits_.maxRooms ? JoinResult::RoomLimit
                                                                     : JoinResult::Joined;
    if (it->second.listenerCount >= limits_.maxListenersPerRoom)
        return JoinResult::RoomFull;
    return JoinResult::Joined;
}

ListenerSink** RoomRegistry::findListener(Room& room, ListenerSink* sink, Tier& tier)
{
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        auto& list = room.tiers[t].audience.listeners;
        auto pos = std::find(list.begin(), list.end(), sink);
        if (pos != list.end())
        {
            tier = tierAt(t);
            return &*pos;
        }
    }
    return nullptr;
}

void RoomRegistry::joinTier(Room& room, ListenerSink* sink, Tier tier)
{
    TierAudience& audience = room.tiers[tierIndex(tier)].audience;
    audience.listeners.push_back(sink);
    if (sink->isListener())
        ++metrics_.tier(tier).listeners;
    if (++audience.count + audience.pending == 1 && events_ != nullptr)
        events_->onTierListenersPresent(room.name, tier, true);
    updateEncoder(room, tier);
}

void RoomRegistry::leaveTier(Room& room, ListenerSink** slot, Tier tier)
{
    TierAudience& audience = room.tiers[tierIndex(tier)].audience;
    if ((*slot)->isListener())
        --metrics_.tier(tier).listeners;
    if (room.fanOuts > 0)
    {
        *slot = nullptr;
        room.compact = true;
    }
    else
    {
        audience.listeners.erase(audience.listeners.begin() + (slot - audience.listeners.data()));
    }
    if (--audience.count + audience.pending == 0 && events_ != nullptr)
        events_->onTierListenersPresent(room.name, tier, false);
    updateEncoder(room, tier);
}

JoinResult RoomRegistry::addListener(std::string_view name, ListenerSink* sink, TimePoint now,
                                     ListenerOptions options)
{
    const JoinResult verdict = canJoin(name);
    if (verdict != JoinResult::Joined)
    {
        metrics_.countReject(rejectReason(verdict));
        return verdict;
    }

    Room* room = findOrCreate(name, now);
    if (room == nullptr) // the gate refused it: the rooms elsewhere fill the relay
    {
        metrics_.countReject(ListenerReject::RoomLimit);
        return JoinResult::RoomLimit;
    }
    if (++room->listenerCount == 1 && events_ != nullptr)
        events_->onListenersPresent(name, true);
    joinTier(*room, sink, options.tier);
    room->lastActivity = now;
    ++listenerTotal_;
    if (sink->isListener())
        ++metrics_.listenersAccepted;
    const bool live = sourceIsLive(*room, now);
    sink->deliverText(std::make_shared<const std::string>(
        options.announceTier ? tierHelloMessage(name, live, options.tier)
                             : helloMessage(name, live)));
    return JoinResult::Joined;
}

void RoomRegistry::removeListener(std::string_view name, ListenerSink* sink, TimePoint now)
{
    auto it = rooms_.find(name);
    if (it == rooms_.end())
        return;
    Room& room = it->second;
    Tier tier{};
    ListenerSink** slot = findListener(room, sink, tier);
    if (slot == nullptr)
        return;
    // Undoing a move on its way can run an encoder's last delivery, which may compact the
    // lists: the slot is looked up again.
    dropPendingSwitch(room, sink);
    slot = findListener(room, sink, tier);
    if (slot == nullptr)
        return;
    leaveTier(room, slot, tier);
    --listenerTotal_;
    if (--room.listenerCount == 0 && events_ != nullptr)
        events_->onListenersPresent(name, false);
    room.lastActivity = now;
}

} // namespace orlune::relay
