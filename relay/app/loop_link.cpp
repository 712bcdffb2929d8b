#include "app/loop_link.h"

#include "loop/metrics.h"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <string>
#include <utility>

namespace orlune::relay
{

HomeLink::HomeLink(EventLoop& home, std::size_t loops, RoomEvents* next)
    : home_(home)
    , loops_(loops)
    , next_(next)
    , shards_(loops, nullptr)
{
}

void HomeLink::addShard(ShardLink& shard)
{
    shards_.at(shard.index()) = &shard;
}

void HomeLink::onLocalForward(std::string_view room, const SharedFrame& message, bool streamStart)
{
    if (next_ != nullptr)
        next_->onLocalForward(room, message, streamStart);
    fanOut(room, message, streamStart);
}

void HomeLink::onRemoteForward(std::string_view room, const SharedFrame& message, bool streamStart)
{
    if (next_ != nullptr)
        next_->onRemoteForward(room, message, streamStart);
    fanOut(room, message, streamStart);
}

void HomeLink::onTierMessage(std::string_view room, Tier tier, const SharedFrame& message)
{
    if (next_ != nullptr)
        next_->onTierMessage(room, tier, message);
    fanOutTier(room, tier, message, startsTierStream(message.payload()));
}

void HomeLink::onRemoteTierForward(std::string_view room, Tier tier, const SharedFrame& message,
                                   bool streamStart)
{
    if (next_ != nullptr)
        next_->onRemoteTierForward(room, tier, message, streamStart);
    fanOutTier(room, tier, message, streamStart);
}

void HomeLink::onTierListenersPresent(std::string_view room, Tier tier, bool present)
{
    if (isOpus(tier)) // lossless listeners are the room's presence, stand-ins included
        tierPresence(room, tier, present); // the home loop's own listeners
}

void HomeLink::tierPresence(std::string_view room, Tier tier, bool present)
{
    auto it = tierLoops_.find(room);
    if (it == tierLoops_.end())
    {
        if (!present)
            return;
        it = tierLoops_.emplace(std::string(room), std::array<std::size_t, kTierCount>{}).first;
    }
    std::size_t& loops = it->second[tierIndex(tier)];
    if (!present && loops == 0)
        return;
    loops += present ? 1 : std::size_t(-1);
    const bool edge = present ? loops == 1 : loops == 0;
    const std::string name = it->first;
    if (std::all_of(it->second.begin(), it->second.end(), [](std::size_t n) { return n == 0; }))
        tierLoops_.erase(it);
    if (edge && next_ != nullptr)
        next_->onTierListenersPresent(name, tier, present);
}

void HomeLink::onListenersPresent(std::string_view room, bool present)
{
    // The stand-ins make this the relay-wide presence: a room's first listener on any loop.
    if (next_ != nullptr)
        next_->onListenersPresent(room, present);
}

void HomeLink::fanOut(std::string_view room, const SharedFrame& message, bool streamStart)
{
    auto it = interest_.find(room);
    if (it == interest_.end() || !message)
        return;
    const auto audio = decodeAudioMessage(message.payload()); // once, for every shard
    if (!audio)
        return;
    Interest& in = it->second;
    for (std::size_t loop = 1; loop < loops_; ++loop)
    {
        if (!in.wanted[loop])
            continue;
        // A shard that has just come to want the room may hold stale state of it from an
        // earlier visit: its first message starts the stream afresh.
        // The start stays due until a message carrying it is handed over: a dropped one would
        // leave the shard judging the new stream by the old one's sequence.
        const bool start = streamStart || in.startNext[loop];
        in.startNext[loop] = shards_[loop]->handOver(in.room, message, *audio, start) ? 0 : start;
    }
}

void HomeLink::fanOutTier(std::string_view room, Tier tier, const SharedFrame& message,
                          bool streamStart)
{
    auto it = interest_.find(room);
    if (it == interest_.end())
        return;
    Interest& in = it->second;
    const std::size_t t = tierIndex(tier);
    if (in.tierShards[t] == 0 || !message)
        return;
    const auto header = decodeOpusHeader(message.payload()); // once, for every shard
    if (!header)
        return;
    for (std::size_t loop = 1; loop < loops_; ++loop)
    {
        if (!in.tierWanted[t][loop])
            continue;
        const bool start = streamStart || in.tierStartNext[t][loop];
        in.tierStartNext[t][loop] =
            shards_[loop]->handOver(in.room, tier, message, *header, start) ? 0 : start;
    }
}

HomeLink::Interest& HomeLink::interestIn(const std::string& room)
{
    auto it = interest_.find(room);
    if (it == interest_.end())
    {
        Interest in;
        in.room = std::make_shared<const std::string>(room);
        in.wanted.assign(loops_, 0);
        in.startNext.assign(loops_, 0);
        for (std::size_t t = 0; t < kTierCount; ++t)
        {
            in.tierWanted[t].assign(loops_, 0);
            in.tierStartNext[t].assign(loops_, 0);
        }
        it = interest_.emplace(room, std::move(in)).first;
    }
    return it->second;
}

void HomeLink::shardTierPresence(const std::string& room, Tier tier, std::size_t loop, bool present)
{
    if (loop == 0 || loop >= loops_ || !isOpus(tier))
        return;
    const std::size_t t = tierIndex(tier);
    auto it = interest_.find(room);
    if (!present && (it == interest_.end() || !it->second.tierWanted[t][loop]))
        return;
    Interest& in = present ? interestIn(room) : it->second;
    if (present == static_cast<bool>(in.tierWanted[t][loop]))
        return;
    in.tierWanted[t][loop] = present ? 1 : 0;
    in.tierStartNext[t][loop] = present ? 1 : 0;
    in.tierShards[t] += present ? 1 : std::size_t(-1);
    // The home registry encodes the tier while any loop wants it (a room ingested here), or the
    // cluster brings it (a room ingested elsewhere).
    home_.core().registry.setRemoteInterest(room, tier, in.tierShards[t] > 0, home_.core().now());
    tierPresence(room, tier, present);
}

bool HomeLink::standIn(const std::string& room, TimePoint now)
{
    RoomRegistry& registry = home_.core().registry;
    if (registry.canJoin(room) != JoinResult::Joined)
        return false; // the room limit: tried again at the next sweep
    // The room is held by the shard listener's seat, so the relay's room limit lets it in
    // unless that listener has left meanwhile.
    if (registry.addListener(room, &standIn_, now) != JoinResult::Joined)
        return false;
    return true;
}

void HomeLink::shardPresence(const std::string& room, std::size_t loop, bool present)
{
    if (loop == 0 || loop >= loops_)
        return;
    const TimePoint now = home_.core().now();
    auto it = interest_.find(room);
    if (present)
    {
        Interest& in = interestIn(room);
        if (in.wanted[loop])
            return;
        in.wanted[loop] = 1;
        in.startNext[loop] = 1;
        ++in.shards;
        if (!in.standingIn)
            in.standingIn = standIn(room, now);
        return;
    }
    if (it == interest_.end() || !it->second.wanted[loop])
        return;
    Interest& in = it->second;
    in.wanted[loop] = 0;
    if (--in.shards > 0)
        return;
    if (in.standingIn)
        home_.core().registry.removeListener(room, &standIn_, now);
    in.standingIn = false;
    if (std::all_of(in.tierShards.begin(), in.tierShards.end(),
                    [](std::size_t n) { return n == 0; }))
        interest_.erase(it);
}

void HomeLink::sweep(TimePoint now)
{
    for (auto& [room, in] : interest_)
        if (!in.standingIn)
            in.standingIn = standIn(room, now);
}

std::string HomeLink::relayMetricsText(const std::vector<EventLoop*>& loops,
                                       const RelayAdmission& admission)
{
    const Core& home = home_.core();
    Metrics sum = home.metrics;
    for (const EventLoop* loop : loops)
        if (loop != &home_)
            addMetrics(sum, loop->core().metrics);
    // A shard's registry counts what it forwards to its own listeners; the relay forwarded
    // each datagram once, at home.
    sum.datagramsForwarded = home.metrics.datagramsForwarded;
    const ListenerCensus census = admission.census();
    std::string text = renderMetrics(sum, home.registry, &census);
    text += "# HELP orlune_relay_loop_connections Open HTTP and WebSocket connections per event "
            "loop.\n# TYPE orlune_relay_loop_connections gauge\n";
    for (const EventLoop* loop : loops)
        text += "orlune_relay_loop_connections{loop=\"" + std::to_string(loop->index()) + "\"} " +
                std::to_string(loop->core().metrics.connectionsOpen.get()) + "\n";
    if (home.cluster != nullptr)
        text += home.cluster->metricsText();
    return text;
}

ShardLink::ShardLink(EventLoop& shard, EventLoop& home, HomeLink& homeLink)
    : shard_(shard)
    , home_(home)
    , homeLink_(homeLink)
{
}

void ShardLink::onListenersPresent(std::string_view room, bool present)
{
    net::post(home_.ioc(), [link = &homeLink_, room = std::string(room), loop = index(), present]
              { link->shardPresence(room, loop, present); });
}

void ShardLink::onTierListenersPresent(std::string_view room, Tier tier, bool present)
{
    net::post(home_.ioc(), [link = &homeLink_, room = std::string(room), tier, loop = index(),
                            present] { link->shardTierPresence(room, tier, loop, present); });
}

bool ShardLink::handOver(const std::shared_ptr<const std::string>& room, const SharedFrame& message,
                         const AudioMessage& audio, bool streamStart)
{
    Item item{Kind::Audio, Tier::Lossless, room, message, streamStart};
    item.audio = audio;
    return push(std::move(item));
}

bool ShardLink::handOver(const std::shared_ptr<const std::string>& room, Tier tier,
                         const SharedFrame& message, const OpusMessageHeader& header,
                         bool streamStart)
{
    Item item{Kind::OpusTier, tier, room, message, streamStart};
    item.opus = header;
    return push(std::move(item));
}

bool ShardLink::push(Item item)
{
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        if (inbox_.size() >= kInboxLimit)
        {
            ++home_.core().metrics.loopHandOversDropped;
            return false;
        }
        first = inbox_.empty();
        inbox_.push_back(std::move(item));
    }
    // One handler drains whatever has come by the time it runs.
    if (first)
        net::post(shard_.ioc(), [this] { drain(); });
    return true;
}

void ShardLink::drain()
{
    {
        std::lock_guard<std::mutex> lock(inboxMutex_);
        draining_.swap(inbox_);
    }
    Core& core = shard_.core();
    const TimePoint now = core.now();
    for (const Item& item : draining_)
        deliver(item, now);
    draining_.clear();
    core.flushPending();
}

void ShardLink::deliver(const Item& item, TimePoint now)
{
    switch (item.kind)
    {
        case Kind::Audio:
            shard_.core().registry.onRemoteAudio(*item.room, kHomeLoopOrigin, item.audio,
                                                 item.message, item.streamStart, now);
            break;
        case Kind::OpusTier:
            shard_.core().registry.onRemoteTierMessage(*item.room, kHomeLoopOrigin, item.tier,
                                                       item.opus, item.message, item.streamStart,
                                                       now);
            break;
    }
}

} // namespace orlune::relay
