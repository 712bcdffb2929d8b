// The hand-over between the home loop and the shards of a relay running several event loops.
//
// It is the seam a cluster link uses between relays, inside one process: the home registry's
// RoomEvents (onLocalForward for datagrams ingested here, onRemoteForward for rooms heard
// through the cluster) reach the HomeLink, which hands each message, once, to every shard whose
// listeners are in the room; the shard feeds it into its own registry (onRemoteMessage), which
// fans it out to its listeners. A shard's registry tells its ShardLink when a room gains its
// first or loses its last listener there, and the home loop learns it. The message itself is
// the SharedFrame the home registry built: shared, never copied or framed again per loop or per
// listener.
//
// Every hand-over crosses threads in one of two ways: posted to the other loop's io_context
// (presence), or through a shard's inbox (messages: a short mutex-guarded queue, drained by one
// posted handler however many messages wait, so a shard that fell behind catches up in one
// gathered write per listener). Per room, messages reach a shard in the order the home loop
// forwarded them.
//
// A room's Opus tiers travel the same way, tier by tier: a shard whose listeners want a tier
// says so (the home registry then keeps that tier's encoder running, or the cluster link asks
// the ingest relay for it), and the home loop hands each of the tier's messages, once, to the
// shards that want it; the shard's registry fans them out (onRemoteTierMessage) with no encoder
// of its own.
#pragma once

#include "app/event_loops.h"

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

// The origin under which a shard's rooms are fed. Everything comes from the home loop, which has
// already decided ownership and order; a new source or a restart reaches a shard as a stream
// start.
inline constexpr char kHomeLoopOrigin[] = "home-loop";

class ShardLink;

// On the home loop's registry: passes every event on to `next` (the cluster link, if any) and
// forwards the rooms' messages to the shards that want them. Home thread only.
class HomeLink : public RoomEvents
{
public:
    HomeLink(EventLoop& home, std::size_t loops, RoomEvents* next);

    void addShard(ShardLink& shard);

    // Shard `loop` gained its first (true) or lost its last listener in `room`.
    void shardPresence(const std::string& room, std::size_t loop, bool present);
    // The same for the listeners of one Opus tier of the room.
    void shardTierPresence(const std::string& room, Tier tier, std::size_t loop, bool present);
    // Retries rooms the home registry could not take yet (--max-rooms reached).
    void sweep(TimePoint now);
    // The /metrics page for the whole relay: every loop's counters added up, the home loop's
    // rooms, the relay-wide listener figures.
    std::string relayMetricsText(const std::vector<EventLoop*>& loops,
                                 const RelayAdmission& admission);

    void onLocalForward(std::string_view room, const SharedFrame& message,
                        bool streamStart) override;
    void onListenersPresent(std::string_view room, bool present) override;
    void onRemoteForward(std::string_view room, const SharedFrame& message,
                         bool streamStart) override;
    void onTierMessage(std::string_view room, Tier tier, const SharedFrame& message) override;
    void onRemoteTierForward(std::string_view room, Tier tier, const SharedFrame& message,
                             bool streamStart) override;
    void onTierListenersPresent(std::string_view room, Tier tier, bool present) override;

private:
    // The home registry's stand-in for a room's listeners on other loops: it keeps the room
    // known (counted against --max-rooms, kept while they listen, subscribed in the cluster).
    // What the registry gives it is dropped; the shards are fed through fanOut().
    struct StandIn : ListenerSink
    {
        void deliverAudio(const SharedFrame&) override {}
        void deliverText(const SharedBytes&) override {}
        bool isListener() const override { return false; } // the shard counts the real ones
    };
    struct Interest
    {
        std::shared_ptr<const std::string> room; // shared by every message handed over
        std::vector<char> wanted;                // by loop index
        std::vector<char> startNext;             // the next message starts a stream there
        std::size_t shards = 0;
        bool standingIn = false;
        // The same by Opus tier.
        std::array<std::vector<char>, kTierCount> tierWanted;
        std::array<std::vector<char>, kTierCount> tierStartNext;
        std::array<std::size_t, kTierCount> tierShards{};
    };

    Interest& interestIn(const std::string& room);
    void fanOut(std::string_view room, const SharedFrame& message, bool streamStart);
    void fanOutTier(std::string_view room, Tier tier, const SharedFrame& message, bool streamStart);
    // Loops (this one included) with listeners on a tier of a room: the cluster hears the
    // relay-wide presence.
    void tierPresence(std::string_view room, Tier tier, bool present);
    bool standIn(const std::string& room, TimePoint now);

    EventLoop& home_;
    const std::size_t loops_;
    RoomEvents* next_;
    std::vector<ShardLink*> shards_; // by loop index; [0] is the home loop's own
    std::map<std::string, Interest, std::less<>> interest_;
    std::map<std::string, std::array<std::size_t, kTierCount>, std::less<>> tierLoops_;
    StandIn standIn_;
};

// On a shard's registry: tells the home loop which rooms its listeners are in, and feeds it
// what the home loop hands over.
class ShardLink : public RoomEvents
{
public:
    ShardLink(EventLoop& shard, EventLoop& home, HomeLink& homeLink);

    std::size_t index() const { return shard_.index(); }

    // Messages waiting for a shard whose thread has not drained them; beyond this (a stalled
    // loop: about 0.2 s of a thousand live rooms, minutes of one) new ones are dropped and
    // counted, so a loop that stops cannot take the relay's memory with it.
    static constexpr std::size_t kInboxLimit = 32768;

    // Home thread: one message of `room` for this shard, of the float32 stream or (`tier`) of
    // an Opus tier. Dropped (and counted in the home loop's metrics) when the inbox is full:
    // false.
    bool handOver(const std::shared_ptr<const std::string>& room, const SharedFrame& message,
                  const AudioMessage& audio, bool streamStart);
    bool handOver(const std::shared_ptr<const std::string>& room, Tier tier,
                  const SharedFrame& message, const OpusMessageHeader& header, bool streamStart);

    void onLocalForward(std::string_view, const SharedFrame&, bool) override {} // no ingest here
    void onListenersPresent(std::string_view room, bool present) override;
    void onTierListenersPresent(std::string_view room, Tier tier, bool present) override;

private:
    enum class Kind
    {
        Audio,   // the lossless stream: RoomRegistry::onRemoteMessage
        OpusTier // an Opus tier's message: RoomRegistry::onRemoteTierMessage
    };
    struct Item
    {
        Kind kind = Kind::Audio;
        Tier tier = Tier::Lossless;
        std::shared_ptr<const std::string> room;
        SharedFrame message;
        bool streamStart = false;
        // What the message's header says, read once on the home loop: the shard does not read
        // the bytes again.
        AudioMessage audio{};
        OpusMessageHeader opus{};
    };

    bool push(Item item); // home thread; false when dropped
    void drain();         // shard thread
    void deliver(const Item& item, TimePoint now);

    EventLoop& shard_;
    EventLoop& home_;
    HomeLink& homeLink_;
    std::mutex inboxMutex_;
    std::vector<Item> inbox_;    // guarded by inboxMutex_
    std::vector<Item> draining_; // shard thread only
};

} // namespace orlune::relay
