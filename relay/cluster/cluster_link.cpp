#include "cluster/cluster_link.h"

#include "cluster/cluster_client.h"

#include <unistd.h>

#include <algorithm>
#include <sstream>

namespace orlune::relay
{
namespace
{

constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kRefresh = std::chrono::milliseconds(500);
constexpr auto kRetryTheirs = std::chrono::milliseconds(250);
constexpr auto kRetryLocal = std::chrono::milliseconds(1000);
constexpr std::size_t kMaxHeld = 128; // 680 ms of audio while the bucket answers

std::string defaultRelayId()
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string id;
    for (const char* p = host; *p != '\0'; ++p)
    {
        const char c = (*p >= 'A' && *p <= 'Z') ? static_cast<char>(*p - 'A' + 'a') : *p;
        id += isRoomCodeChar(c) ? c : '-';
    }
    return (id.empty() ? std::string("relay") : id.substr(0, 40)) + "-" + std::to_string(getpid());
}

// The tier a cluster subject or interest message names (they are checked on arrival).
std::optional<Tier> tierNamed(std::string_view name)
{
    for (std::size_t i = 0; i < kTierCount; ++i)
        if (tierName(tierAt(i)) == name)
            return tierAt(i);
    return std::nullopt;
}

} // namespace

ClusterLink::ClusterLink(net::io_context& ioc, Core& core)
    : core_(core)
    , timer_(ioc)
    , shared_(std::make_shared<Shared>())
{
    shared_->relayId = core.config.relayId.empty() ? defaultRelayId() : core.config.relayId;
    shared_->replicas = core.config.natsReplicas;
    shared_->ioc = &ioc;
    shared_->link = this;

    const natsStatus s = shared_->connect(core.config.natsServers);
    if (s != NATS_OK)
    {
        natsConnection_Destroy(shared_->connection);
        throw std::runtime_error(std::string("cannot set up the NATS link: ") +
                                 natsStatus_GetText(s));
    }
    shared_->worker = std::thread([shared = shared_] { shared->workerLoop(); });
    core_.registry.setEvents(this);
    core_.cluster = this;
}

ClusterLink::~ClusterLink()
{
    core_.registry.setEvents(nullptr);
    core_.cluster = nullptr;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->ioc = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->jobsMutex);
        shared_->stopping = true;
        shared_->jobsReady.notify_one();
    }
    shared_->worker.join(); // finishes the releases queued by shutdown()
    for (auto& entry : subscriptions_)
        natsSubscription_Destroy(static_cast<natsSubscription*>(entry.second));
    natsSubscription_Destroy(static_cast<natsSubscription*>(interestSubscription_));
    kvStore_Destroy(shared_->bucket);
    jsCtx_Destroy(shared_->js);
    natsConnection_Destroy(shared_->connection);
    shared_->bucket = nullptr;
    shared_->js = nullptr;
    shared_->connection = nullptr;
    // The client's delivery threads may still be finishing a callback that holds the raw
    // closure; with ioc cleared it does nothing, but it must find the object alive. Kept until
    // the process exits (a few hundred bytes per link).
    static std::mutex retiredMutex;
    static std::vector<std::shared_ptr<Shared>> retired;
    std::lock_guard<std::mutex> lock(retiredMutex);
    retired.push_back(std::move(shared_));
}

void ClusterLink::start()
{
    // Every relay hears every room's interest: about one short message a second per room and
    // relay with Opus listeners, and whichever relay ingests the room acts on it.
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, shared_->connection, kInterestWildcard, &Shared::onInterest,
                                 shared_.get()) == NATS_OK)
        interestSubscription_ = sub;
    else
        ++shared_->asyncErrors;
    scheduleTick();
}

void ClusterLink::shutdown()
{
    if (stopped_)
        return;
    stopped_ = true;
    timer_.cancel();
    for (auto& [room, lease] : leases_)
        if (lease.state == Lease::Ours && !lease.busy)
        {
            lease.busy = true;
            shared_->runJob([shared = shared_, key = room, rev = lease.revision]
                            { shared->release(key, rev); });
        }
    for (auto& entry : subscriptions_)
        natsSubscription_Unsubscribe(static_cast<natsSubscription*>(entry.second));
    if (interestSubscription_ != nullptr)
        natsSubscription_Unsubscribe(static_cast<natsSubscription*>(interestSubscription_));
}

bool ClusterLink::healthy() const
{
    return shared_->connected && shared_->bucketReady;
}

std::string ClusterLink::healthText() const
{
    if (!shared_->connected)
        return "nats disconnected\n";
    return shared_->bucketReady ? "ok\nnats connected\n"
                                : "nats connected, room lease bucket not ready\n";
}

void ClusterLink::scheduleTick()
{
    timer_.expires_after(kTick);
    timer_.async_wait(
        [this](boost::system::error_code ec)
        {
            if (ec || stopped_)
                return;
            tick();
            scheduleTick();
        });
}

bool ClusterLink::admit(const Datagram& datagram, const Endpoint& from, const std::uint8_t* raw,
                        std::size_t size)
{
    if (stopped_)
        return true;
    const TimePoint now = core_.now();
    auto it = leases_.find(datagram.room);
    if (it == leases_.end())
        it = leases_.emplace(std::string(datagram.room), RoomLease{}).first;
    RoomLease& lease = it->second;
    lease.lastDatagram = now;
    std::ostringstream source;
    source << from;
    lease.source = source.str();

    switch (lease.state)
    {
        case Lease::Ours:
            return true;
        case Lease::LocalOnly:
            if (shared_->connected && !lease.busy && now - lease.lastAttempt >= kRetryLocal)
                ask(it->first, lease, false);
            return true;
        case Lease::Theirs:
            core_.registry.countForeign(datagram.room, now);
            if (!lease.busy && now - lease.lastAttempt >= kRetryTheirs)
                ask(it->first, lease, false);
            return false;
        case Lease::None:
            if (!shared_->connected)
            {
                lease.state = Lease::LocalOnly;
                lease.lastAttempt = now;
                return true;
            }
            lease.state = Lease::Pending;
            ask(it->first, lease, false);
            [[fallthrough]];
        case Lease::Pending:
            if (lease.held.size() >= kMaxHeld)
            {
                lease.held.pop_front();
                ++shared_->heldDropped;
            }
            lease.held.push_back(Held{std::vector<std::uint8_t>(raw, raw + size), from});
            return false;
    }
    return true;
}

void ClusterLink::ask(const std::string& room, RoomLease& lease, bool release)
{
    lease.busy = true;
    lease.lastAttempt = core_.now();
    auto shared = shared_;
    if (release)
    {
        shared_->runJob(
            [shared, room, rev = lease.revision]
            {
                shared->post([shared, room, r = shared->release(room, rev)]
                             { shared->link->onAnswer(room, r); });
            });
        return;
    }
    const std::string value = shared_->relayId + " " + lease.source;
    const std::uint64_t rev = lease.state == Lease::Ours ? lease.revision : 0;
    shared_->runJob(
        [shared, room, value, rev]
        {
            Result r = shared->acquire(room, value, rev);
            shared->post([shared, room, r = std::move(r)] { shared->link->onAnswer(room, r); });
        });
}

void ClusterLink::onAnswer(const std::string& room, Result result)
{
    auto it = leases_.find(room);
    if (it == leases_.end())
        return;
    RoomLease& lease = it->second;
    lease.busy = false;
    if (stopped_)
        return;
    const Lease before = lease.state;
    switch (result.outcome)
    {
        case Outcome::Granted:
            if (before != Lease::Ours)
                ++shared_->leasesGranted;
            lease.state = Lease::Ours;
            lease.revision = result.revision;
            lease.owner = shared_->relayId;
            releaseHeld(lease, true);
            // Interest heard before this relay owned the room (its listeners elsewhere joined
            // first): the registry has the room now, so it can start the encoders.
            if (before != Lease::Ours)
                for (const std::string& name : interest_.wantedTiers(room))
                    if (const auto tier = tierNamed(name))
                        core_.registry.setRemoteInterest(room, *tier, true, core_.now());
            break;
        case Outcome::Denied:
            if (before == Lease::Ours)
                ++shared_->leasesLost;
            else if (before != Lease::Theirs)
                ++shared_->leasesDenied;
            lease.state = Lease::Theirs;
            lease.owner = result.owner;
            releaseHeld(lease, false);
            break;
        case Outcome::Unavailable:
            ++shared_->bucketUnavailable;
            // An owner keeps serving and publishing; anyone else serves its own listeners.
            if (before != Lease::Ours && before != Lease::Theirs)
                lease.state = Lease::LocalOnly;
            releaseHeld(lease, true);
            break;
        case Outcome::Released:
            leases_.erase(it);
            break;
    }
}

void ClusterLink::releaseHeld(RoomLease& lease, bool admitted)
{
    std::deque<Held> held;
    held.swap(lease.held);
    const TimePoint now = core_.now();
    for (const Held& h : held)
    {
        const ParseResult parsed = parseDatagram(h.bytes.data(), h.bytes.size());
        if (!parsed.ok())
            continue;
        if (admitted)
            core_.registry.onDatagram(parsed.datagram, h.from, now);
        else
            core_.registry.countForeign(parsed.datagram.room, now);
    }
    core_.flushPending();
}

void ClusterLink::tick()
{
    if (shared_->connected && !shared_->bucketReady && !shared_->bucketAsked.exchange(true))
        shared_->runJob(
            [shared = shared_]
            {
                shared->ensureBucket();
                shared->bucketAsked = false;
            });
    applyInterest(interest_.expire(core_.now()));
    announceInterest();
    const TimePoint now = core_.now();
    const auto silence = core_.config.limits.sourceSilence;
    for (auto it = leases_.begin(); it != leases_.end();)
    {
        RoomLease& lease = it->second;
        const bool silent = now - lease.lastDatagram >= silence;
        if (lease.busy)
        {
            ++it;
            continue;
        }
        if (lease.state == Lease::Ours && silent)
            ask(it->first, lease, true); // the takeover time has passed: free the room
        else if (lease.state == Lease::Ours && now - lease.lastAttempt >= kRefresh)
            ask(it->first, lease, false);
        else if (silent && lease.state != Lease::Ours)
        {
            it = leases_.erase(it);
            continue;
        }
        ++it;
    }
}

void ClusterLink::publish(std::string_view room, std::string_view tier, bool streamStart,
                          const std::string& message)
{
    auto it = leases_.find(room);
    if (stopped_ || it == leases_.end() || it->second.state != Lease::Ours)
        return; // published only under the room's lease
    publishBuffer_ = encodeClusterMessage(shared_->relayId, streamStart, message);
    const std::string subject = clusterSubject(room, tier);
    if (natsConnection_Publish(shared_->connection, subject.c_str(), publishBuffer_.data(),
                               static_cast<int>(publishBuffer_.size())) == NATS_OK)
    {
        ++shared_->messagesOut;
        shared_->bytesOut += publishBuffer_.size();
    }
    else
        ++shared_->publishErrors;
}

void ClusterLink::onLocalForward(std::string_view room, const SharedBytes& message,
                                 bool streamStart)
{
    publish(room, kLosslessTier, streamStart, *message);
}

void ClusterLink::onTierMessage(std::string_view room, Tier tier, const SharedBytes& message)
{
    publish(room, tierName(tier), startsTierStream(message), *message);
}

void ClusterLink::subscribe(const std::string& subject, bool present)
{
    auto it = subscriptions_.find(subject);
    if (!present)
    {
        if (it == subscriptions_.end())
            return;
        auto* sub = static_cast<natsSubscription*>(it->second);
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
        subscriptions_.erase(it);
        return;
    }
    if (it != subscriptions_.end())
        return;
    natsSubscription* sub = nullptr;
    if (natsConnection_Subscribe(&sub, shared_->connection, subject.c_str(), &Shared::onMessage,
                                 shared_.get()) == NATS_OK)
        subscriptions_.emplace(subject, sub);
    else
        ++shared_->asyncErrors;
}

void ClusterLink::onListenersPresent(std::string_view room, bool present)
{
    if (!stopped_)
        subscribe(clusterSubject(room, kLosslessTier), present);
}

void ClusterLink::onTierListenersPresent(std::string_view room, Tier tier, bool present)
{
    if (stopped_ || !isOpus(tier))
        return; // lossless listeners are covered by the room's float32 subscription
    subscribe(clusterSubject(room, tierName(tier)), present);
    interest_.localTier(room, tierName(tier), present);
    announceInterest(); // at once: the ingest relay starts the encoder before the next tick
}

void ClusterLink::announceInterest()
{
    for (const auto& [room, tiers] : interest_.due(core_.now()))
    {
        const std::string subject = interestSubject(room);
        const std::string text = encodeInterest(shared_->relayId, tiers);
        if (natsConnection_Publish(shared_->connection, subject.c_str(), text.data(),
                                   static_cast<int>(text.size())) == NATS_OK)
            ++shared_->interestOut;
        else
            ++shared_->publishErrors;
    }
}

void ClusterLink::onInterest(const std::string& room, const Interest& interest)
{
    if (stopped_ || interest.relay == shared_->relayId)
        return;
    applyInterest(interest_.heard(room, interest.relay, interest.tiers, core_.now()));
}

void ClusterLink::applyInterest(const std::vector<ClusterInterest::Change>& changes)
{
    for (const auto& change : changes)
        if (const auto tier = tierNamed(change.tier))
            core_.registry.setRemoteInterest(change.room, *tier, change.wanted, core_.now());
}

void ClusterLink::onRemote(const std::string& room, const std::string& tier,
                           const ClusterMessage& message)
{
    if (stopped_)
        return;
    const TimePoint now = core_.now();
    if (tier == kLosslessTier)
        core_.registry.onRemoteMessage(room, message.origin, message.message, message.streamStart,
                                       now);
    else if (const auto t = tierNamed(tier))
        core_.registry.onRemoteTierMessage(room, message.origin, *t, message.message,
                                           message.streamStart, now);
    core_.flushPending();
}

std::string ClusterLink::metricsText() const
{
    std::ostringstream out;
    auto metric = [&](const char* name, const char* type, const char* help, auto value)
    {
        out << "# HELP orlune_relay_" << name << ' ' << help << "\n# TYPE orlune_relay_" << name
            << ' ' << type << "\norlune_relay_" << name << ' ' << value << '\n';
    };
    const Shared& s = *shared_;
    std::size_t held = 0;
    for (const auto& entry : leases_)
        held += entry.second.state == Lease::Ours ? 1 : 0;
    metric("nats_connected", "gauge", "1 while the link to NATS is up.", s.connected ? 1 : 0);
    metric("cluster_bucket_ready", "gauge", "1 once the room lease bucket answers.",
           s.bucketReady ? 1 : 0);
    metric("nats_reconnects_total", "counter", "Times the NATS link came back.",
           s.reconnects.load());
    metric("nats_disconnects_total", "counter", "Times the NATS link was lost.",
           s.disconnects.load());
    metric("nats_messages_in_total", "counter", "Room messages received from NATS.",
           s.messagesIn.load());
    metric("nats_bytes_in_total", "counter", "Bytes of room messages received from NATS.",
           s.bytesIn.load());
    metric("nats_messages_out_total", "counter", "Room messages published to NATS.",
           s.messagesOut.load());
    metric("nats_bytes_out_total", "counter", "Bytes of room messages published to NATS.",
           s.bytesOut.load());
    metric("nats_publish_errors_total", "counter", "Publications the client refused.",
           s.publishErrors.load());
    metric("nats_malformed_total", "counter",
           "Messages from NATS dropped for a bad subject, header or size.", s.malformed.load());
    metric("nats_async_errors_total", "counter",
           "Errors the client reported (slow consumer, failed subscribe).", s.asyncErrors.load());
    metric("cluster_held_dropped_total", "counter",
           "Datagrams dropped while the lease bucket was slow to answer.", s.heldDropped.load());
    metric("nats_subscriptions", "gauge",
           "Room and tier subjects subscribed to for local listeners.", subscriptions_.size());
    metric("cluster_interest_in_total", "counter",
           "Interest messages heard from other relays (Opus tiers their listeners want).",
           s.interestIn.load());
    metric("cluster_interest_out_total", "counter",
           "Interest messages sent for this relay's Opus listeners.", s.interestOut.load());
    metric("cluster_remote_tier_interest", "gauge",
           "Room, tier and relay triples of live interest from other relays.",
           interest_.remoteCount());
    metric("cluster_leases_held", "gauge", "Rooms this relay owns in the cluster.", held);
    metric("cluster_leases_granted_total", "counter", "Room leases taken.", s.leasesGranted.load());
    metric("cluster_leases_denied_total", "counter",
           "Rooms found owned by another relay when a source here started.", s.leasesDenied.load());
    metric("cluster_leases_lost_total", "counter",
           "Leases found taken by another relay while this one owned the room.",
           s.leasesLost.load());
    metric("cluster_bucket_unavailable_total", "counter",
           "Lease calls that got no answer (NATS or JetStream down).", s.bucketUnavailable.load());
    return out.str();
}

} // namespace orlune::relay
