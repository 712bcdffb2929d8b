#include "cluster/cluster_interest.h"

#include <algorithm>

namespace orlune::relay
{

void ClusterInterest::localTier(std::string_view room, std::string_view tier, bool present)
{
    auto it = local_.find(room);
    if (it == local_.end())
    {
        if (!present)
            return;
        it = local_.emplace(std::string(room), Local{}).first;
    }
    Local& l = it->second;
    const bool had = l.tiers.find(tier) != l.tiers.end();
    if (present == had)
        return;
    if (present)
        l.tiers.emplace(tier);
    else
        l.tiers.erase(l.tiers.find(tier));
    l.changed = true;
}

std::vector<std::pair<std::string, std::vector<std::string>>>
ClusterInterest::due(Clock::time_point now)
{
    std::vector<std::pair<std::string, std::vector<std::string>>> out;
    for (auto it = local_.begin(); it != local_.end();)
    {
        Local& l = it->second;
        if (!l.changed && now - l.said < kAnnounceEvery)
        {
            ++it;
            continue;
        }
        out.emplace_back(it->first, std::vector<std::string>(l.tiers.begin(), l.tiers.end()));
        l.changed = false;
        l.said = now;
        if (l.tiers.empty())
            it = local_.erase(it);
        else
            ++it;
    }
    return out;
}

std::vector<ClusterInterest::Change> ClusterInterest::heard(std::string_view room,
                                                            std::string_view relay,
                                                            const std::vector<std::string>& tiers,
                                                            Clock::time_point now)
{
    std::vector<Change> changes;
    auto roomIt = remote_.find(room);
    if (roomIt == remote_.end())
    {
        if (tiers.empty())
            return changes;
        roomIt = remote_.emplace(std::string(room), Tiers{}).first;
    }
    Tiers& byTier = roomIt->second;
    // Tiers this relay no longer names.
    for (auto tierIt = byTier.begin(); tierIt != byTier.end();)
    {
        Relays& relays = tierIt->second;
        const bool named = std::find(tiers.begin(), tiers.end(), tierIt->first) != tiers.end();
        auto mine = relays.find(relay);
        if (!named && mine != relays.end())
        {
            relays.erase(mine);
            if (relays.empty())
            {
                changes.push_back({roomIt->first, tierIt->first, false});
                tierIt = byTier.erase(tierIt);
                continue;
            }
        }
        ++tierIt;
    }
    for (const std::string& tier : tiers)
    {
        Relays& relays = byTier[tier];
        if (relays.empty())
            changes.push_back({roomIt->first, tier, true});
        relays[std::string(relay)] = now;
    }
    if (byTier.empty())
        remote_.erase(roomIt);
    return changes;
}

std::vector<ClusterInterest::Change> ClusterInterest::expire(Clock::time_point now)
{
    std::vector<Change> changes;
    for (auto roomIt = remote_.begin(); roomIt != remote_.end();)
    {
        Tiers& byTier = roomIt->second;
        for (auto tierIt = byTier.begin(); tierIt != byTier.end();)
        {
            Relays& relays = tierIt->second;
            for (auto r = relays.begin(); r != relays.end();)
                r = now - r->second > kInterestLifetime ? relays.erase(r) : std::next(r);
            if (relays.empty())
            {
                changes.push_back({roomIt->first, tierIt->first, false});
                tierIt = byTier.erase(tierIt);
            }
            else
                ++tierIt;
        }
        roomIt = byTier.empty() ? remote_.erase(roomIt) : std::next(roomIt);
    }
    return changes;
}

bool ClusterInterest::wanted(std::string_view room, std::string_view tier) const
{
    const auto roomIt = remote_.find(room);
    return roomIt != remote_.end() && roomIt->second.find(tier) != roomIt->second.end();
}

std::vector<std::string> ClusterInterest::wantedTiers(std::string_view room) const
{
    std::vector<std::string> tiers;
    if (const auto it = remote_.find(room); it != remote_.end())
        for (const auto& tier : it->second)
            tiers.push_back(tier.first);
    return tiers;
}

std::size_t ClusterInterest::remoteCount() const
{
    std::size_t n = 0;
    for (const auto& room : remote_)
        for (const auto& tier : room.second)
            n += tier.second.size();
    return n;
}

} // namespace orlune::relay
