// RoomRegistry: listeners, their tiers, and handing each room's messages to them (the float32
// messages, the Opus messages of the tiers encoded here, and those encoded elsewhere).
#include "rooms/rooms.h"

#include <algorithm>
#include <stdexcept>

namespace orlune::relay
{

void RoomRegistry::deliver(Room& room, Tier tier, const SharedBytes& message, bool text)
{
    FanOut guard(room);
    auto& list = room.tiers[tierIndex(tier)].listeners;
    // Listeners that join during the loop are past `count` and start with the next message.
    const std::size_t count = list.size();
    for (std::size_t i = 0; i < count; ++i)
    {
        ListenerSink* sink = list[i];
        if (sink == nullptr)
            continue;
        if (text)
            sink->deliverText(message);
        else
            sink->deliverAudio(message);
    }
    if (text)
        return;
    TierState& state = room.tiers[tierIndex(tier)];
    if (const auto span = messageSpan(tier, message))
    {
        state.hasDelivered = true;
        state.deliveredEnd = span->end;
        if (room.listenerCount > 0)
            state.recent.add(message, *span);
    }
}

void RoomRegistry::forgetDelivered(TierState& tier)
{
    tier.hasDelivered = false;
    tier.recent.clear();
}

void RoomRegistry::restartListeners(Room& room, Tier tier)
{
    forgetDelivered(room.tiers[tierIndex(tier)]);
    deliver(room, tier, std::make_shared<const std::string>(codecMessage(tier, "restart")), true);
}

void RoomRegistry::broadcastText(Room& room, const SharedBytes& message)
{
    for (std::size_t t = 0; t < kTierCount; ++t)
        deliver(room, tierAt(t), message, true);
}

bool RoomRegistry::fedLocally(const Room& room)
{
    return room.stats.source.has_value() && room.stats.origin.empty();
}

void RoomRegistry::emit(Room& room, Tier tier, std::vector<SharedBytes>& messages, bool local)
{
    if (messages.empty())
        return;
    // Taken out first: a sink could, in principle, make the registry encode again.
    std::vector<SharedBytes> out;
    out.swap(messages);
    metrics_.tier(tier).messagesBuilt += out.size();
    for (const SharedBytes& message : out)
    {
        deliver(room, tier, message, false);
        if (local && events_ != nullptr)
            events_->onTierMessage(room.name, tier, message);
    }
    out.clear();
    if (messages.empty())
        messages.swap(out); // keep the capacity
}

void RoomRegistry::encode(Room& room, std::int64_t position, const std::uint8_t* samples,
                          bool local)
{
    bool any = false;
    for (const TierState& tier : room.tiers)
        any = any || tier.stream != nullptr;
    if (!any)
        return;
    // Once for all the room's encoders; the float32 messages keep the samples as sent.
    const std::size_t changed = sanitiseSamples(samples, samples_.data(), samples_.size());
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierState& tier = room.tiers[t];
        if (!tier.stream)
            continue;
        TierMetrics& counters = metrics_.tiers[t];
        counters.samplesSanitised += changed;
        tier.stream->push(position, samples_.data(), counters, scratch_);
        emit(room, tierAt(t), scratch_, local);
    }
}

void RoomRegistry::restartStreams(Room& room)
{
    const bool local = fedLocally(room);
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierState& tier = room.tiers[t];
        tier.hasRemoteSequence = false;
        if (tier.stream)
        {
            tier.stream->restart(scratch_);
            emit(room, tierAt(t), scratch_, local);
        }
        forgetDelivered(tier);
        // A stream from the cluster brings its Opus tiers with it; one ingested here is encoded
        // here, for whoever wants it (a source here may have taken over from another relay's).
        if (!room.stats.origin.empty())
        {
            if (tier.stream)
                --metrics_.tiers[t].encoders;
            tier.stream.reset();
            tier.waitingSince = TimePoint{};
        }
        else
            updateEncoder(room, tierAt(t));
    }
    // Nothing to splice onto: listeners on their way to another tier move now.
    settleSwitches(room, TimePoint{}, true);
}

void RoomRegistry::announceLive(Room& room)
{
    restartStreams(room);
    broadcastText(room, sourceLive_);
}

void RoomRegistry::announceOffline(Room& room)
{
    restartStreams(room);
    broadcastText(room, sourceOffline_);
}

void RoomRegistry::updateEncoder(Room& room, Tier tier)
{
    if (!isOpus(tier))
        return;
    TierState& state = room.tiers[tierIndex(tier)];
    const bool wanted = !state.remoteFed && (wants(state) > 0 || state.remoteInterest);
    // A room fed through the cluster has its Opus tiers encoded once, at the ingest relay, which
    // hears that listeners here want them; this relay encodes one itself only if none has come
    // for a while (see sweep), so that its listeners do not hear two encoders in turn.
    if (wanted && !state.stream && !room.stats.origin.empty() && state.waitingSince == TimePoint{})
        return;
    if (wanted && !state.stream)
    {
        // Starts with the next datagram, like a restart: a fresh grid from frame 0.
        try
        {
            state.stream = std::make_unique<TierStream>(tier);
            forgetDelivered(state);
            ++metrics_.tier(tier).encodersCreated;
            ++metrics_.tier(tier).encoders;
        }
        catch (const std::runtime_error&)
        {
            // libopus refused: the tier's listeners hear nothing rather than the relay failing.
        }
    }
    else if (!wanted && state.stream)
    {
        state.stream->restart(scratch_);
        emit(room, tier, scratch_, fedLocally(room));
        state.stream.reset();
        forgetDelivered(state);
        --metrics_.tier(tier).encoders;
    }
}

ListenerSink** RoomRegistry::findListener(Room& room, ListenerSink* sink, Tier& tier)
{
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        auto& list = room.tiers[t].listeners;
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
    TierState& state = room.tiers[tierIndex(tier)];
    state.listeners.push_back(sink);
    ++metrics_.tier(tier).listeners;
    if (++state.count + state.pending == 1 && events_ != nullptr)
        events_->onTierListenersPresent(room.name, tier, true);
    updateEncoder(room, tier);
}

void RoomRegistry::leaveTier(Room& room, ListenerSink** slot, Tier tier)
{
    TierState& state = room.tiers[tierIndex(tier)];
    if (room.fanOuts > 0)
    {
        *slot = nullptr;
        room.compact = true;
    }
    else
    {
        state.listeners.erase(state.listeners.begin() + (slot - state.listeners.data()));
    }
    --metrics_.tier(tier).listeners;
    if (--state.count + state.pending == 0 && events_ != nullptr)
        events_->onTierListenersPresent(room.name, tier, false);
    updateEncoder(room, tier);
}

JoinResult RoomRegistry::addListener(std::string_view name, ListenerSink* sink, TimePoint now,
                                     ListenerOptions options)
{
    const JoinResult verdict = canJoin(name);
    switch (verdict)
    {
        case JoinResult::Joined:
            break;
        case JoinResult::RoomLimit:
            metrics_.countReject(ListenerReject::RoomLimit);
            return verdict;
        case JoinResult::RoomFull:
            metrics_.countReject(ListenerReject::RoomFull);
            return verdict;
        case JoinResult::RelayFull:
            metrics_.countReject(ListenerReject::RelayFull);
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

bool RoomRegistry::onRemoteTierMessage(std::string_view name, std::string_view origin, Tier tier,
                                       const SharedBytes& message, bool streamStart, TimePoint now)
{
    if (!isOpus(tier) || !message || message->size() < kOpusMessageHeader + 2 || origin.empty())
        return false;
    Room* room = findOrCreate(name, now);
    if (room == nullptr)
    {
        metrics_.countDrop(RoomDrop::RoomLimit);
        return false;
    }
    // `streamStart` here is the tier's stream starting afresh (its encoder started or moved),
    // not the source's: that one comes with the float32 stream.
    bool restarted = false;
    if (!claim(*room, Feeder{nullptr, origin}, false, now, restarted))
        return false;
    if (restarted)
        announceLive(*room);
    TierState& state = room->tiers[tierIndex(tier)];
    if (streamStart)
    {
        state.hasRemoteSequence = false;
        forgetDelivered(state);
    }
    std::int64_t sequence = 0;
    for (int i = 7; i >= 0; --i)
        sequence = static_cast<std::int64_t>((static_cast<std::uint64_t>(sequence) << 8) |
                                             static_cast<unsigned char>((*message)[i]));
    if (state.hasRemoteSequence && sequence <= state.lastRemoteSequence)
    {
        metrics_.countDrop(RoomDrop::DuplicateOrReordered);
        return false;
    }
    state.hasRemoteSequence = true;
    state.lastRemoteSequence = sequence;
    state.remoteFedAt = now;
    state.waitingSince = TimePoint{};
    if (!state.remoteFed)
    {
        state.remoteFed = true;
        if (state.stream)
            restartListeners(*room, tier); // from this relay's encoder to the ingest relay's
        updateEncoder(*room, tier);        // no encoder here for a tier encoded elsewhere
    }
    ++metrics_.tier(tier).remoteMessages;
    deliver(*room, tier, message, false);
    if (events_ != nullptr)
        events_->onRemoteTierForward(name, tier, message, streamStart);
    settleSwitches(*room, now);
    return true;
}

bool RoomRegistry::setRemoteInterest(std::string_view name, Tier tier, bool wanted, TimePoint now)
{
    Room* room = nullptr;
    if (wanted)
        room = findOrCreate(name, now);
    else if (auto it = rooms_.find(name); it != rooms_.end())
        room = &it->second;
    if (room == nullptr)
        return !wanted;
    room->tiers[tierIndex(tier)].remoteInterest = wanted;
    room->lastActivity = now;
    updateEncoder(*room, tier);
    return true;
}

void RoomRegistry::statsOf(const Room& room, RoomStats& s) const
{
    s.listeners = room.listenerCount;
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        s.tierListeners[t] = room.tiers[t].count;
        s.encoding[t] = room.tiers[t].stream != nullptr;
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
            counts[t] += entry.second.tiers[t].count;
    return counts;
}

std::array<std::size_t, kTierCount> RoomRegistry::tierEncoders() const
{
    std::array<std::size_t, kTierCount> counts{};
    for (const auto& entry : rooms_)
        for (std::size_t t = 0; t < kTierCount; ++t)
            counts[t] += entry.second.tiers[t].stream ? 1 : 0;
    return counts;
}

void RoomRegistry::forEachListener(const std::function<void(ListenerSink*)>& fn) const
{
    // Copy first: the callback may close listeners, which removes them later.
    std::vector<ListenerSink*> all;
    all.reserve(listenerTotal_);
    for (const auto& entry : rooms_)
        for (const TierState& tier : entry.second.tiers)
            for (ListenerSink* sink : tier.listeners)
                if (sink != nullptr)
                    all.push_back(sink);
    for (ListenerSink* sink : all)
        fn(sink);
}

} // namespace orlune::relay
