// Rooms: which source owns each room, its figures, and the listeners it fans out to.
//
// Pure bookkeeping: no sockets, no timers. Every call that depends on time takes `now`, so the
// ownership and expiry rules can be driven with any clock.
#pragma once

#include "rooms/counters.h"
#include "rooms/room_limits.h"
#include "rooms/tier_state.h"
#include "rooms/token_bucket.h"
#include "tiers/concealer.h"
#include "tiers/tier_stream.h"
#include "tiers/tiers.h"
#include "wire/clock.h"
#include "wire/datagram.h"
#include "wire/listener_audio.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

// Something that receives a room's messages: a WebSocket connection in the server, a recorder
// in tests. Audio comes in the codec of the sink's tier. A sink may leave the registry from
// inside a delivery (removeListener): the fan-out then skips it, and the listeners after it
// still get the message.
class ListenerSink
{
public:
    virtual ~ListenerSink() = default;
    // An audio message, framed once for every listener it goes to.
    virtual void deliverAudio(const SharedFrame& message) = 0;
    virtual void deliverText(const SharedBytes& message) = 0;
    // From the next message on, audio comes in `tier` (told just before its codec event).
    virtual void onTier(Tier /*tier*/) {}
    // Asked to go away (relay shutting down).
    virtual void close() {}
    // False for a stand-in that holds a room for listeners elsewhere (another event loop): the
    // room counts it, the listener figures do not.
    virtual bool isListener() const { return true; }
};

// What a cluster link hears from the rooms. Called on the relay's thread; must not call back
// into the registry.
class RoomEvents
{
public:
    virtual ~RoomEvents() = default;
    // A datagram ingested here was forwarded; `message` is what local listeners were given.
    // `streamStart` is set for the first message of a new source or of a restarted stream.
    virtual void onLocalForward(std::string_view room, const SharedFrame& message,
                                bool streamStart) = 0;
    // The room gained its first listener (true) or lost its last one (false).
    virtual void onListenersPresent(std::string_view room, bool present) = 0;
    // An Opus message this registry built from a source ingested here, as given to the tier's
    // local listeners (none of a stream received from elsewhere).
    virtual void onTierMessage(std::string_view room, Tier tier, const SharedFrame& message)
    {
        (void)room, (void)tier, (void)message;
    }
    // The tier gained its first local listener in the room (true) or lost its last (false).
    virtual void onTierListenersPresent(std::string_view room, Tier tier, bool present)
    {
        (void)room, (void)tier, (void)present;
    }
    // A message received through the cluster (onRemoteMessage) was given to local listeners;
    // `streamStart` as above, as these rooms judged it. For the relay's other event loops:
    // nothing received may be published again.
    virtual void onRemoteForward(std::string_view /*room*/, const SharedFrame& /*message*/,
                                 bool /*streamStart*/)
    {
    }
    // The same for an Opus message received through the cluster (onRemoteTierMessage).
    virtual void onRemoteTierForward(std::string_view /*room*/, Tier /*tier*/,
                                     const SharedFrame& /*message*/, bool /*streamStart*/)
    {
    }
};

struct RoomStats
{
    std::uint64_t datagrams = 0; // from the owning source, duplicates included
    std::uint64_t forwarded = 0;
    std::uint64_t lost = 0;                 // sequence numbers skipped over
    std::uint64_t holesConcealed = 0;       // holes filled before its Opus tiers (concealer.h)
    std::uint64_t duplicateOrReordered = 0; // at or behind the last forwarded sequence
    std::uint64_t restarts = 0;             // sequence restarts from the owning source
    std::uint64_t sourceChanges = 0;        // times a source took the room
    std::uint64_t foreignDropped = 0;       // datagrams from other sources while owned
    bool hasSequence = false;
    std::int64_t lastSequence = 0;
    std::int64_t lastSamplePosition = 0;
    std::optional<Endpoint> source; // the current (or last) owner, when ingested here
    std::string origin;             // the relay ingesting it, when fed through the cluster
    bool live = false;
    std::size_t listeners = 0;
    std::array<std::size_t, kTierCount> tierListeners{};
    std::array<bool, kTierCount> encoding{}; // an encoder runs for the tier here
};

// Told who holds which rooms, and asked before an address takes one more (SourceGuard).
class RoomOwnership
{
public:
    virtual ~RoomOwnership() = default;
    virtual bool mayHoldAnother(const boost::asio::ip::address& source) const = 0;
    virtual void held(const boost::asio::ip::address& source) = 0;
    virtual void released(const boost::asio::ip::address& source) = 0;
};

// Asked before a registry creates a room and told when it forgets one, when rooms are counted
// beyond one registry (RelayAdmission). False: the room would be one too many.
class RoomGate
{
public:
    virtual ~RoomGate() = default;
    virtual bool openRoom(std::string_view room) = 0;
    virtual void closeRoom(std::string_view room) = 0;
    // Whether openRoom() would succeed now (nothing is taken).
    virtual bool mayOpen(std::string_view room) const = 0;
};

enum class JoinResult
{
    Joined,
    RoomLimit,
    RoomFull,
    RelayFull,
};
// What a refused join is counted as (listeners_rejected_total{reason}).
ListenerReject rejectReason(JoinResult refused);

class RoomRegistry
{
public:
    // `ownership`, if given, must outlive the registry.
    RoomRegistry(RoomLimits limits, Metrics& metrics, RoomOwnership* ownership = nullptr);
    ~RoomRegistry();

    RoomRegistry(const RoomRegistry&) = delete;
    RoomRegistry& operator=(const RoomRegistry&) = delete;

    // A validated datagram from `from`. Forwards it to the room's listeners or counts why not.
    // Returns true when forwarded.
    bool onDatagram(const Datagram& datagram, const Endpoint& from, TimePoint now);
    // Whether onDatagram() would let `from` feed the datagram's room now, as far as the room
    // limit, the per-source room limit and the room's owner go (not its rate or sequence).
    // Changes nothing: asked before the cluster is asked for the room.
    bool wouldTake(const Datagram& datagram, const Endpoint& from, TimePoint now) const;

    // An audio message (kAudioMessageSize bytes) of a room ingested by the relay `origin`,
    // received through the cluster. Same ownership and ordering rules as a datagram; reported
    // to RoomEvents only as onRemoteForward, so nothing received is published again. Returns
    // true when forwarded.
    bool onRemoteMessage(std::string_view room, std::string_view origin, const SharedFrame& message,
                         bool streamStart, TimePoint now);
    // The same for a message whose header was read already (`audio` describes `message`).
    bool onRemoteAudio(std::string_view room, std::string_view origin, const AudioMessage& audio,
                       const SharedFrame& message, bool streamStart, TimePoint now);

    // A datagram the cluster gave to another relay's source: counted as foreign.
    void countForeign(std::string_view room, TimePoint now);

    // Receives forwarded-datagram and listener-presence events (null: none). Not owned.
    void setEvents(RoomEvents* events) { events_ = events; }
    RoomEvents* events() const { return events_; }
    // Decides on new rooms in place of RoomLimits::maxRooms (null: the limit here). Set before
    // the first room; must outlive the registry.
    void setRoomGate(RoomGate* gate) { gate_ = gate; }

    // Whether a listener could join `room` now.
    JoinResult canJoin(std::string_view room) const;

    // Adds a listener (creating the room if needed) and sends it the hello message.
    JoinResult addListener(std::string_view room, ListenerSink* sink, TimePoint now,
                           ListenerOptions options = {});
    void removeListener(std::string_view room, ListenerSink* sink, TimePoint now);
    // Moves a listener to `tier` and sends it a codec event naming `reason` before any message
    // of the new codec. The move waits (on the old tier) until the new tier's stream can be
    // joined without a gap (see tier_switch.h), at most kSwitchWait. False if the listener is
    // not in the room.
    bool setTier(std::string_view room, ListenerSink* sink, Tier tier, std::string_view reason,
                 TimePoint now);
    static constexpr Clock::duration kSwitchWait = std::chrono::seconds(3);

    // An Opus message (the listener format) of `tier` for a room ingested by the relay
    // `origin`, encoded there: fanned out to the tier's listeners here, with no encoder here
    // for that tier while such messages keep coming. Same ownership rules as onRemoteMessage;
    // messages at or behind the tier's last frame sequence are dropped unless `streamStart`.
    bool onRemoteTierMessage(std::string_view room, std::string_view origin, Tier tier,
                             const SharedFrame& message, bool streamStart, TimePoint now);
    // The same for a message whose header was read already (`header` describes `message`).
    bool onRemoteTierMessage(std::string_view room, std::string_view origin, Tier tier,
                             const OpusMessageHeader& header, const SharedFrame& message,
                             bool streamStart, TimePoint now);
    // Listeners elsewhere want `tier` of `room` (or no longer do): while they do, a room fed
    // here keeps that tier's encoder running without local listeners, and reports its
    // messages through RoomEvents::onTierMessage. False if the room cannot be created.
    bool setRemoteInterest(std::string_view room, Tier tier, bool wanted, TimePoint now);

    // Marks silent sources offline (telling listeners) and forgets idle rooms.
    void sweep(TimePoint now);

    std::size_t roomCount() const { return rooms_.size(); }
    std::size_t listenerCount() const { return listenerTotal_; }
    std::size_t liveRoomCount() const;
    std::optional<RoomStats> stats(std::string_view room) const;
    // Listeners on each tier, and rooms encoding it, over the relay.
    std::array<std::size_t, kTierCount> tierListeners() const;
    std::array<std::size_t, kTierCount> tierEncoders() const;
    void forEachRoom(const std::function<void(const std::string&, const RoomStats&)>& fn) const;
    void forEachListener(const std::function<void(ListenerSink*)>& fn) const;

    const RoomLimits& limits() const { return limits_; }

private:
    // A listener on its way from one tier to another.
    struct PendingSwitch
    {
        ListenerSink* sink = nullptr;
        Tier from{};
        Tier to{};
        std::string reason;
        TimePoint since{};
    };

    struct Room
    {
        std::string_view name; // the key in rooms_
        RoomStats stats;
        TimePoint lastDatagram{};
        TimePoint lastActivity{};
        std::array<TierState, kTierCount> tiers;
        std::size_t listenerCount = 0;
        std::vector<PendingSwitch> switches;
        int fanOuts = 0;      // deliveries in progress
        bool compact = false; // a listener left during one
        TokenBucket rate;     // the owner's datagrams
        // Fills short holes for the Opus tiers; made when the room first encodes one.
        std::unique_ptr<Concealer> concealer;
    };
    // Marks a room as handing out a message. A listener that leaves meanwhile (a sink that gives
    // up inside deliverText) is only blanked in its list, so the loop neither skips the listener
    // after it nor touches freed memory; the lists are compacted when the last delivery ends.
    class FanOut
    {
    public:
        explicit FanOut(Room& room)
            : room_(room)
        {
            ++room_.fanOuts;
        }
        ~FanOut()
        {
            if (--room_.fanOuts > 0 || !room_.compact)
                return;
            room_.compact = false;
            for (TierState& tier : room_.tiers)
                tier.audience.compact();
        }
        FanOut(const FanOut&) = delete;
        FanOut& operator=(const FanOut&) = delete;

    private:
        Room& room_;
    };

    // Who feeds a room: a source endpoint here, or another relay of the cluster.
    struct Feeder
    {
        const Endpoint* local = nullptr;
        std::string_view origin;
    };

    Room* findOrCreate(std::string_view room, TimePoint now);
    // findOrCreate for a stream fed from elsewhere: a refusal at the room limit is counted.
    Room* findOrCreateFed(std::string_view room, TimePoint now);
    // Applies the ownership and sequence rules; false when the message must be dropped.
    bool admit(Room& room, const Feeder& feeder, std::int64_t sequence, std::int64_t samplePosition,
               bool streamStart, TimePoint now, bool& restarted);
    // The ownership half of admit(): who may feed the room now, and whether its stream starts
    // afresh.
    bool claim(Room& room, const Feeder& feeder, bool streamStart, TimePoint now, bool& restarted);
    void announceLive(Room& room);
    void announceOffline(Room& room);
    static bool sameFeeder(const RoomStats& s, const Feeder& feeder);
    void broadcastText(Room& room, const SharedBytes& message);
    // Tells a tier's listeners that its stream starts afresh (another encoder): a codec event.
    void restartListeners(Room& room, Tier tier);
    // Hands an audio message or a text event to the tier's listeners.
    void deliver(Room& room, Tier tier, const SharedFrame& message);
    void deliverText(Room& room, Tier tier, const SharedBytes& message);
    // Runs every encoder of the room on one datagram's samples (little-endian float32).
    // `local`: the room's source is ingested here, so its tier messages are reported.
    void encode(Room& room, std::int64_t position, const std::uint8_t* samples, bool local);
    void emit(Room& room, Tier tier, std::vector<SharedFrame>& messages, bool local);
    void restartStreams(Room& room);
    // Starts or stops the tier's encoder as its listeners and interest require.
    void updateEncoder(Room& room, Tier tier);
    // The listener's slot in its tier's list, or null.
    ListenerSink** findListener(Room& room, ListenerSink* sink, Tier& tier);
    // Moves every pending listener whose new tier can now be joined without a gap, has waited
    // kSwitchWait, or (`force`) any way: the stream starts afresh.
    void settleSwitches(Room& room, TimePoint now, bool force = false);
    void switchNow(Room& room, const PendingSwitch& move, bool splice);
    void dropPendingSwitch(Room& room, ListenerSink* sink);
    // One listener more (`arriving`) or less on its way to `tier`: presence and encoder follow.
    void countOnTheWay(Room& room, Tier tier, bool arriving);
    void joinTier(Room& room, ListenerSink* sink, Tier tier);
    void leaveTier(Room& room, ListenerSink** slot, Tier tier);
    static bool fedLocally(const Room& room);
    void statsOf(const Room& room, RoomStats& s) const;
    bool sourceIsLive(const Room& room, TimePoint now) const;
    bool mayTakeOver(const Room& room, const Endpoint& from, TimePoint now) const;

    RoomLimits limits_;
    Metrics& metrics_;
    RoomOwnership* ownership_;
    std::map<std::string, Room, std::less<>> rooms_;
    std::size_t listenerTotal_ = 0;
    RoomEvents* events_ = nullptr;
    RoomGate* gate_ = nullptr;
    SharedBytes sourceLive_;
    SharedBytes sourceOffline_;
    std::vector<SharedFrame> scratch_;
    std::array<float, kSampleBytes / 4> samples_{};
};

} // namespace orlune::relay
