// RoomRegistry: moving a listener from one tier to another without a gap in what it hears.
#include "rooms/rooms.h"

#include <algorithm>

namespace orlune::relay
{

bool RoomRegistry::setTier(std::string_view name, ListenerSink* sink, Tier tier,
                           std::string_view reason, TimePoint now)
{
    auto it = rooms_.find(name);
    if (it == rooms_.end())
        return false;
    Room& room = it->second;
    Tier current{};
    if (findListener(room, sink, current) == nullptr)
        return false;
    // A newer request replaces one still on its way.
    dropPendingSwitch(room, sink);
    if (current == tier)
    {
        sink->onTier(tier);
        sink->deliverText(std::make_shared<const std::string>(codecMessage(tier, reason)));
        return true;
    }
    room.switches.push_back(PendingSwitch{sink, current, tier, std::string(reason), now});
    countOnTheWay(room, tier, true);
    settleSwitches(room, now);
    return true;
}

void RoomRegistry::countOnTheWay(Room& room, Tier tier, bool arriving)
{
    TierState& target = room.tiers[tierIndex(tier)];
    TierAudience& audience = target.audience;
    const std::size_t pending = arriving ? ++audience.pending : --audience.pending;
    if (pending + audience.count == (arriving ? 1u : 0u) && events_ != nullptr)
        events_->onTierListenersPresent(room.name, tier, arriving);
    updateEncoder(room, tier);
}

void RoomRegistry::dropPendingSwitch(Room& room, ListenerSink* sink)
{
    auto found = std::find_if(room.switches.begin(), room.switches.end(),
                              [sink](const PendingSwitch& p) { return p.sink == sink; });
    if (found == room.switches.end())
        return;
    const Tier to = found->to;
    room.switches.erase(found);
    countOnTheWay(room, to, false);
}

void RoomRegistry::settleSwitches(Room& room, TimePoint now, bool force)
{
    if (room.switches.empty())
        return;
    // Taken out of the list first: a move delivers, and a sink may leave from inside that.
    std::vector<PendingSwitch> due;
    std::vector<bool> splice;
    for (auto it = room.switches.begin(); it != room.switches.end();)
    {
        const TierState& from = room.tiers[tierIndex(it->from)];
        const TierState& to = room.tiers[tierIndex(it->to)];
        const bool joinable = !force && to.splice.canTakeFrom(from.splice);
        // Nothing received yet on the old tier: nothing to splice onto.
        if (joinable || force || !from.splice.hasDelivered() || now - it->since >= kSwitchWait)
        {
            due.push_back(std::move(*it));
            splice.push_back(joinable);
            it = room.switches.erase(it);
        }
        else
            ++it;
    }
    for (std::size_t i = 0; i < due.size(); ++i)
        switchNow(room, due[i], splice[i]);
}

void RoomRegistry::switchNow(Room& room, const PendingSwitch& move, bool splice)
{
    Tier current{};
    if (findListener(room, move.sink, current) == nullptr || current != move.from)
    {
        // Left or moved meanwhile: only the count of those on their way is undone.
        countOnTheWay(room, move.to, false);
        return;
    }
    TierState& target = room.tiers[tierIndex(move.to)];
    // What the listener is to get of the new tier, taken before the old tier's encoder may go
    // (and flush to nobody).
    const std::vector<SharedFrame> replay =
        splice ? target.splice.replayFor(room.tiers[tierIndex(move.from)].splice)
               : std::vector<SharedFrame>{};
    ++(splice ? metrics_.tier(move.to).switchesSpliced : metrics_.tier(move.to).switchesCut);
    // Joined before it stops being on its way, so that the tier never seems unwanted.
    joinTier(room, move.sink, move.to);
    --target.audience.pending;
    auto& old = room.tiers[tierIndex(move.from)].audience.listeners;
    if (auto left = std::find(old.begin(), old.end(), move.sink); left != old.end())
        leaveTier(room, &*left, move.from);

    FanOut guard(room);
    const auto stillThere = [&]
    {
        const auto& list = room.tiers[tierIndex(move.to)].audience.listeners;
        return std::find(list.begin(), list.end(), move.sink) != list.end();
    };
    move.sink->onTier(move.to);
    move.sink->deliverText(std::make_shared<const std::string>(codecMessage(move.to, move.reason)));
    for (const SharedFrame& message : replay)
    {
        if (!stillThere())
            return;
        move.sink->deliverAudio(message);
    }
}

} // namespace orlune::relay
