// Which Opus tiers of which rooms are wanted where, for the cluster link.
//
// Only the relay that ingests a room encodes it, and it encodes a tier only while someone
// listens to it. Listeners on other relays make that known by interest messages: every relay
// with listeners on a room's Opus tiers names them once when they change and again every
// kAnnounceEvery; the ingest relay keeps a tier wanted while any relay's interest in it is
// younger than kInterestLifetime. A relay that crashes or loses its link simply stops
// announcing, and its interest runs out.
//
// Pure bookkeeping: no NATS, no timers; every call takes `now`.
#pragma once

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

class ClusterInterest
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kAnnounceEvery = std::chrono::milliseconds(1000);
    static constexpr auto kInterestLifetime = std::chrono::milliseconds(3500);

    struct Change
    {
        std::string room;
        std::string tier;
        bool wanted = false;
    };

    // What this relay's listeners want.
    void localTier(std::string_view room, std::string_view tier, bool present);
    // Rooms whose interest should be said now, with their tiers; marks them said. A room whose
    // last tier went away is said once with no tiers, so the ingest relay can stop at once.
    std::vector<std::pair<std::string, std::vector<std::string>>> due(Clock::time_point now);

    // What another relay said. Returns the tiers that became wanted, and those of `relay` it no
    // longer names that nobody else wants.
    std::vector<Change> heard(std::string_view room, std::string_view relay,
                              const std::vector<std::string>& tiers, Clock::time_point now);
    // Interest nobody renewed in time; returns the tiers nobody wants any more.
    std::vector<Change> expire(Clock::time_point now);

    bool wanted(std::string_view room, std::string_view tier) const;
    // The tiers of `room` other relays want now (for a relay that has just become its owner).
    std::vector<std::string> wantedTiers(std::string_view room) const;
    std::size_t remoteCount() const; // (room, tier, relay) entries alive
    std::size_t localRoomCount() const { return local_.size(); }

private:
    struct Local
    {
        std::set<std::string, std::less<>> tiers;
        bool changed = true;
        Clock::time_point said{};
    };
    // room -> tier -> relay -> last heard
    using Relays = std::map<std::string, Clock::time_point, std::less<>>;
    using Tiers = std::map<std::string, Relays, std::less<>>;

    std::map<std::string, Local, std::less<>> local_;
    std::map<std::string, Tiers, std::less<>> remote_;
};

} // namespace orlune::relay
