// RoomRegistry: who feeds each room (a source here or a relay of the cluster), the sequence
// rules its messages pass, and forgetting rooms nobody uses.
#include "rooms/rooms.h"

#include "wire/listener_events.h"

#include <algorithm>

namespace orlune::relay
{

RoomRegistry::RoomRegistry(RoomLimits limits, Metrics& metrics, RoomOwnership* ownership)
    : limits_(limits)
    , metrics_(metrics)
    , ownership_(ownership)
    , sourceLive_(std::make_shared<const std::string>(sourceMessage(true)))
    , sourceOffline_(std::make_shared<const std::string>(sourceMessage(false)))
{
}

RoomRegistry::~RoomRegistry()
{
    if (gate_ != nullptr)
        for (const auto& entry : rooms_)
            gate_->closeRoom(entry.first);
}

bool RoomRegistry::sourceIsLive(const Room& room, TimePoint now) const
{
    return room.stats.live && now - room.lastDatagram < limits_.sourceSilence;
}

// Another source may take an owned room once the owner has been silent long enough: briefly
// for a new port of the owner's address, much longer for anyone else.
bool RoomRegistry::mayTakeOver(const Room& room, const Endpoint& from, TimePoint now) const
{
    const auto silence = now - room.lastDatagram;
    if (room.stats.source->address() == from.address())
        return silence >= limits_.sourceSilence;
    return silence >= std::max(limits_.sourceSilence, limits_.takeoverSilence);
}

RoomRegistry::Room* RoomRegistry::findOrCreateFed(std::string_view name, TimePoint now)
{
    Room* room = findOrCreate(name, now);
    if (room == nullptr)
        metrics_.countDrop(RoomDrop::RoomLimit);
    return room;
}

RoomRegistry::Room* RoomRegistry::findOrCreate(std::string_view name, TimePoint now)
{
    auto it = rooms_.find(name);
    if (it != rooms_.end())
        return &it->second;
    if (gate_ != nullptr ? !gate_->openRoom(name) : rooms_.size() >= limits_.maxRooms)
        return nullptr;
    auto entry = rooms_.emplace(std::string(name), Room{}).first;
    Room& room = entry->second;
    room.name = entry->first;
    room.lastActivity = now;
    return &room;
}

bool RoomRegistry::sameFeeder(const RoomStats& s, const Feeder& feeder)
{
    if (feeder.local != nullptr)
        return s.origin.empty() && s.source && *s.source == *feeder.local;
    return !s.source && s.origin == feeder.origin;
}

bool RoomRegistry::claim(Room& room, const Feeder& feeder, bool streamStart, TimePoint now,
                         bool& restarted)
{
    RoomStats& s = room.stats;
    restarted = false;

    if (sourceIsLive(room, now) && !sameFeeder(s, feeder))
    {
        // Two senders must never interleave: the live owner keeps the room.
        ++s.foreignDropped;
        metrics_.countDrop(RoomDrop::ForeignSource);
        return false;
    }

    if (!sourceIsLive(room, now))
    {
        // Silent long enough but not yet swept: listeners hear it went away before the new one.
        if (s.live)
            announceOffline(room);
        // A new source, or the old one back after falling silent: either way a fresh stream.
        if (ownership_ != nullptr)
        {
            const bool sameAddress = feeder.local != nullptr && s.source &&
                                     s.source->address() == feeder.local->address();
            if (!sameAddress)
            {
                if (s.source)
                    ownership_->released(s.source->address());
                if (feeder.local != nullptr)
                    ownership_->held(feeder.local->address());
            }
        }
        room.rate.reset();
        if (feeder.local != nullptr)
        {
            s.source = *feeder.local;
            s.origin.clear();
        }
        else
        {
            s.source.reset();
            s.origin = std::string(feeder.origin);
        }
        s.live = true;
        s.hasSequence = false;
        ++s.sourceChanges;
        restarted = true;
    }
    else if (streamStart)
    {
        // The ingesting relay saw a new source or a restart: start afresh here too.
        s.hasSequence = false;
        ++s.restarts;
        restarted = true;
    }

    if (feeder.local != nullptr && !room.rate.take(now, limits_.streamRate, 2 * limits_.streamRate))
    {
        metrics_.countDrop(RoomDrop::StreamRate);
        return false;
    }

    room.lastDatagram = now;
    room.lastActivity = now;
    return true;
}

bool RoomRegistry::admit(Room& room, const Feeder& feeder, std::int64_t sequence,
                         std::int64_t samplePosition, bool streamStart, TimePoint now,
                         bool& restarted)
{
    if (!claim(room, feeder, streamStart, now, restarted))
        return false;
    RoomStats& s = room.stats;
    ++s.datagrams;

    if (s.hasSequence)
    {
        const auto seq = static_cast<std::uint64_t>(sequence);
        const auto last = static_cast<std::uint64_t>(s.lastSequence);
        if (sequence > s.lastSequence)
        {
            const std::uint64_t gap = seq - last - 1; // exact even across the int64 range
            if (gap > limits_.maxForwardGap)
            {
                ++s.restarts;
                restarted = true;
            }
            else
            {
                s.lost += gap;
            }
        }
        else
        {
            const std::uint64_t back = last - seq;
            const bool restartAtZero = sequence == 0 && s.lastSequence != 0;
            if (restartAtZero || back > limits_.maxBackwardStep)
            {
                // The sender restarted its counters on the same socket.
                ++s.restarts;
                restarted = true;
            }
            else
            {
                ++s.duplicateOrReordered;
                metrics_.countDrop(RoomDrop::DuplicateOrReordered);
                return false;
            }
        }
    }

    if (restarted)
        announceLive(room);

    s.hasSequence = true;
    s.lastSequence = sequence;
    s.lastSamplePosition = samplePosition;
    ++s.forwarded;
    ++metrics_.datagramsForwarded;
    return true;
}

bool RoomRegistry::onDatagram(const Datagram& datagram, const Endpoint& from, TimePoint now)
{
    auto found = rooms_.find(datagram.room);
    if (found != rooms_.end())
    {
        Room& owned = found->second;
        if (owned.stats.source && *owned.stats.source != from && !mayTakeOver(owned, from, now))
        {
            // Two senders must never interleave: the owner keeps the room.
            ++owned.stats.foreignDropped;
            metrics_.countDrop(RoomDrop::ForeignSource);
            return false;
        }
    }
    const bool newHolder = found == rooms_.end() || !found->second.stats.source ||
                           found->second.stats.source->address() != from.address();
    if (newHolder && ownership_ && !ownership_->mayHoldAnother(from.address()))
    {
        metrics_.countDrop(RoomDrop::SourceRoomLimit);
        return false;
    }
    Room* room = found != rooms_.end() ? &found->second : findOrCreate(datagram.room, now);
    if (room == nullptr)
    {
        metrics_.countDrop(RoomDrop::RoomLimit);
        return false;
    }
    bool restarted = false;
    if (!admit(*room, Feeder{&from, {}}, datagram.sequence, datagram.samplePosition, false, now,
               restarted))
        return false;

    if (room->tiers[tierIndex(Tier::Lossless)].audience.wants() > 0 || events_ != nullptr)
    {
        const SharedFrame message = encodeAudioMessage(datagram);
        deliver(*room, Tier::Lossless, message);
        if (events_ != nullptr)
            events_->onLocalForward(datagram.room, message, restarted);
    }
    encode(*room, datagram.samplePosition, datagram.samples, true);
    settleSwitches(*room, now);
    return true;
}

bool RoomRegistry::wouldTake(const Datagram& datagram, const Endpoint& from, TimePoint now) const
{
    auto found = rooms_.find(datagram.room);
    if (found != rooms_.end())
    {
        const Room& room = found->second;
        if (room.stats.source && *room.stats.source != from && !mayTakeOver(room, from, now))
            return false;
        if (sourceIsLive(room, now) && !sameFeeder(room.stats, Feeder{&from, {}}))
            return false;
    }
    const bool newHolder = found == rooms_.end() || !found->second.stats.source ||
                           found->second.stats.source->address() != from.address();
    if (newHolder && ownership_ && !ownership_->mayHoldAnother(from.address()))
        return false;
    if (found == rooms_.end())
        return gate_ != nullptr ? gate_->mayOpen(datagram.room) : rooms_.size() < limits_.maxRooms;
    return true;
}

bool RoomRegistry::onRemoteMessage(std::string_view name, std::string_view origin,
                                   const SharedFrame& message, bool streamStart, TimePoint now)
{
    const auto audio = message ? decodeAudioMessage(message.payload()) : std::nullopt;
    return audio && onRemoteAudio(name, origin, *audio, message, streamStart, now);
}

bool RoomRegistry::onRemoteAudio(std::string_view name, std::string_view origin,
                                 const AudioMessage& audio, const SharedFrame& message,
                                 bool streamStart, TimePoint now)
{
    if (origin.empty())
        return false;
    Room* room = findOrCreateFed(name, now);
    if (room == nullptr)
        return false;
    bool restarted = false;
    if (!admit(*room, Feeder{nullptr, origin}, audio.sequence, audio.position, streamStart, now,
               restarted))
        return false;
    deliver(*room, Tier::Lossless, message);
    encode(*room, audio.position, audio.samples, false);
    if (events_ != nullptr)
        events_->onRemoteForward(name, message, restarted);
    settleSwitches(*room, now);
    return true;
}

void RoomRegistry::countForeign(std::string_view name, TimePoint now)
{
    metrics_.countDrop(RoomDrop::ForeignSource);
    if (Room* room = findOrCreate(name, now))
        ++room->stats.foreignDropped;
}

void RoomRegistry::sweep(TimePoint now)
{
    for (auto it = rooms_.begin(); it != rooms_.end();)
    {
        Room& room = it->second;
        if (room.stats.live && now - room.lastDatagram >= limits_.sourceSilence)
        {
            room.stats.live = false;
            announceOffline(room);
        }
        bool interest = false;
        for (std::size_t t = 0; t < kTierCount; ++t)
        {
            TierState& tier = room.tiers[t];
            interest = interest || tier.cluster.wantedElsewhere;
            // Encoded elsewhere no more: encode here again if anyone listens.
            if (tier.cluster.lapse(now, limits_.sourceSilence))
                tier.fallback.startAt(now);
            const bool starved = isOpus(tierAt(t)) && !tier.cluster.fedElsewhere() &&
                                 !tier.encoder && tier.audience.wants() > 0 &&
                                 !room.stats.origin.empty();
            if (tier.fallback.due(starved, now, limits_.sourceSilence))
            {
                // The ingest relay sends none of this tier: encode it here after all.
                updateEncoder(room, tierAt(t));
                if (tier.encoder)
                    restartListeners(room, tierAt(t));
            }
        }
        settleSwitches(room, now);
        if (!room.stats.live && room.listenerCount == 0 && !interest &&
            now - room.lastActivity >= limits_.roomIdle)
        {
            if (ownership_ && room.stats.source)
                ownership_->released(room.stats.source->address());
            if (gate_ != nullptr)
                gate_->closeRoom(it->first);
            it = rooms_.erase(it);
        }
        else
            ++it;
    }
}

} // namespace orlune::relay
