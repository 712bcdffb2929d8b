// RoomRegistry: Opus tiers encoded elsewhere (another relay, or the home loop), and the tiers
// listeners elsewhere want encoded here.
#include "rooms/rooms.h"

namespace orlune::relay
{

bool RoomRegistry::onRemoteTierMessage(std::string_view name, std::string_view origin, Tier tier,
                                       const SharedFrame& message, bool streamStart, TimePoint now)
{
    if (!message || message.payloadSize() < kOpusHeaderSize + 2)
        return false;
    return onRemoteTierMessage(name, origin, tier, *decodeOpusHeader(message.payload()), message,
                               streamStart, now);
}

bool RoomRegistry::onRemoteTierMessage(std::string_view name, std::string_view origin, Tier tier,
                                       const OpusMessageHeader& header, const SharedFrame& message,
                                       bool streamStart, TimePoint now)
{
    if (!isOpus(tier) || origin.empty())
        return false;
    Room* room = findOrCreateFed(name, now);
    if (room == nullptr)
        return false;
    // `streamStart` here is the tier's stream starting afresh (its encoder started or moved),
    // not the source's: that one comes with the float32 stream.
    bool restarted = false;
    if (!claim(*room, Feeder{nullptr, origin}, false, now, restarted))
        return false;
    if (restarted)
        announceLive(*room);
    TierState& state = room->tiers[tierIndex(tier)];
    if (streamStart)
        state.splice.forget();
    if (!state.cluster.take(header.sequence, streamStart, now))
    {
        metrics_.countDrop(RoomDrop::DuplicateOrReordered);
        return false;
    }
    state.fallback.stop();
    if (state.cluster.markFed())
    {
        if (state.encoder)
            restartListeners(*room, tier); // from this relay's encoder to the ingest relay's
        updateEncoder(*room, tier);        // no encoder here for a tier encoded elsewhere
    }
    ++metrics_.tier(tier).remoteMessages;
    deliver(*room, tier, message);
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
    room->tiers[tierIndex(tier)].cluster.wantedElsewhere = wanted;
    room->lastActivity = now;
    updateEncoder(*room, tier);
    return true;
}

} // namespace orlune::relay
