// RoomRegistry: the Opus encoders of a room's tiers: started with a tier's first listener (or
// listeners elsewhere), fed once per datagram, flushed and ended with the last.
#include "rooms/rooms.h"

#include <stdexcept>

namespace orlune::relay
{

bool RoomRegistry::fedLocally(const Room& room)
{
    return room.stats.source.has_value() && room.stats.origin.empty();
}

void RoomRegistry::emit(Room& room, Tier tier, std::vector<SharedFrame>& messages, bool local)
{
    if (messages.empty())
        return;
    // Taken out first: a sink could, in principle, make the registry encode again.
    std::vector<SharedFrame> out;
    out.swap(messages);
    metrics_.tier(tier).messagesBuilt += out.size();
    for (const SharedFrame& message : out)
    {
        deliver(room, tier, message);
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
        any = any || tier.encoder != nullptr;
    if (!any)
    {
        if (room.concealer)
            room.concealer->reset(); // what it holds will not be followed on
        return;
    }
    if (!room.concealer)
        room.concealer = std::make_unique<Concealer>();
    // Once for all the room's encoders; the float32 messages keep the samples as sent.
    const std::size_t changed = sanitiseSamples(samples, samples_.data(), samples_.size());
    const int filled = room.concealer->accept(position, samples_.data(), kFramesPerPacket);
    if (filled > 0)
    {
        ++room.stats.holesConcealed;
        ++metrics_.holesConcealed;
        metrics_.framesConcealed += static_cast<std::uint64_t>(filled);
    }
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierState& tier = room.tiers[t];
        if (!tier.encoder)
            continue;
        TierMetrics& counters = metrics_.tiers[t];
        counters.samplesSanitised += changed;
        if (filled > 0)
            tier.encoder->push(position - filled, room.concealer->fill(), filled, counters,
                               scratch_);
        tier.encoder->push(position, samples_.data(), counters, scratch_);
        emit(room, tierAt(t), scratch_, local);
    }
}

void RoomRegistry::restartStreams(Room& room)
{
    const bool local = fedLocally(room);
    if (room.concealer)
        room.concealer->reset(); // no hole is filled across a restart
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierState& tier = room.tiers[t];
        tier.cluster.forgetSequence();
        if (tier.encoder)
        {
            tier.encoder->restart(scratch_);
            emit(room, tierAt(t), scratch_, local);
        }
        tier.splice.forget();
        // A stream from the cluster brings its Opus tiers with it; one ingested here is encoded
        // here, for whoever wants it (a source here may have taken over from another relay's).
        if (!room.stats.origin.empty())
        {
            if (tier.encoder)
                --metrics_.tiers[t].encoders;
            tier.encoder.reset();
            tier.fallback.stop();
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
    const bool wanted = !state.cluster.fedElsewhere() &&
                        (state.audience.wants() > 0 || state.cluster.wantedElsewhere);
    // A room fed through the cluster has its Opus tiers encoded once, at the ingest relay, which
    // hears that listeners here want them; this relay encodes one itself only if none has come
    // for a while (see sweep), so that its listeners do not hear two encoders in turn.
    if (wanted && !state.encoder && !room.stats.origin.empty() && !state.fallback.waiting())
        return;
    if (wanted && !state.encoder)
    {
        // Starts with the next datagram, like a restart: a fresh grid from frame 0.
        try
        {
            state.encoder = std::make_unique<TierStream>(tier);
            state.splice.forget();
            ++metrics_.tier(tier).encodersCreated;
            ++metrics_.tier(tier).encoders;
        }
        catch (const std::runtime_error&)
        {
            // libopus refused: the tier's listeners hear nothing rather than the relay failing.
        }
    }
    else if (!wanted && state.encoder)
    {
        state.encoder->restart(scratch_);
        emit(room, tier, scratch_, fedLocally(room));
        state.encoder.reset();
        state.splice.forget();
        --metrics_.tier(tier).encoders;
    }
}

} // namespace orlune::relay
