#include "cluster/cluster_link.h"

#include "cluster/cluster_client.h"
#include "cluster/nats_lease_store.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <sstream>

namespace orlune::relay
{
namespace
{

constexpr auto kTick = std::chrono::milliseconds(100);

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
    leases_ = std::make_unique<RoomLeases>(
        ioc, core_, shared_->relayId,
        std::make_shared<NatsLeaseStore>(shared_->connection, shared_->replicas));
    // Interest heard before this relay owned the room (its listeners elsewhere joined first):
    // the registry has the room now, so it can start the encoders.
    leases_->onGranted = [this](const std::string& room)
    {
        for (const std::string& name : interest_.wantedTiers(room))
            if (const auto tier = tierNamed(name))
                core_.registry.setRemoteInterest(room, *tier, true, core_.now());
    };
}

ClusterLink::~ClusterLink()
{
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->ioc = nullptr;
    }
    leases_.reset(); // finishes the releases queued by shutdown()
    for (auto& entry : subscriptions_)
        natsSubscription_Destroy(static_cast<natsSubscription*>(entry.second));
    natsSubscription_Destroy(static_cast<natsSubscription*>(interestSubscription_));
    natsConnection_Destroy(shared_->connection);
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
    leases_->shutdown();
    for (auto& entry : subscriptions_)
        natsSubscription_Unsubscribe(static_cast<natsSubscription*>(entry.second));
    if (interestSubscription_ != nullptr)
        natsSubscription_Unsubscribe(static_cast<natsSubscription*>(interestSubscription_));
}

bool ClusterLink::healthy() const
{
    return shared_->connected && leases_->storeReady();
}

std::string ClusterLink::healthText() const
{
    if (!shared_->connected)
        return "nats disconnected\n";
    return leases_->storeReady() ? "ok\nnats connected\n"
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

bool ClusterLink::admit(const Datagram& datagram, const Endpoint& from)
{
    return stopped_ || leases_->admit(datagram, from, shared_->connected);
}

void ClusterLink::tick()
{
    applyInterest(interest_.expire(core_.now()));
    announceInterest();
    leases_->tick(shared_->connected);
}

void ClusterLink::publish(std::string_view room, std::string_view tier, bool streamStart,
                          std::string_view message)
{
    if (stopped_ || !leases_->owns(room))
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

void ClusterLink::onLocalForward(std::string_view room, const SharedFrame& message,
                                 bool streamStart)
{
    publish(room, kLosslessTier, streamStart, message.payload());
}

void ClusterLink::onTierMessage(std::string_view room, Tier tier, const SharedFrame& message)
{
    publish(room, tierName(tier), startsTierStream(message.payload()), message.payload());
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
    struct Counted
    {
        const char* name;
        const char* help;
        const std::atomic<std::uint64_t>& value;
    };
    const Shared& s = *shared_;
    const RoomLeases::Counters& leases = leases_->counters();
    const auto counters = [&](std::initializer_list<Counted> list)
    {
        for (const Counted& c : list)
            metric(c.name, "counter", c.help, c.value.load());
    };
    metric("nats_connected", "gauge", "1 while the link to NATS is up.", s.connected ? 1 : 0);
    metric("cluster_bucket_ready", "gauge", "1 once the room lease bucket answers.",
           leases_->storeReady() ? 1 : 0);
    counters({
        {"nats_reconnects_total", "Times the NATS link came back.", s.reconnects},
        {"nats_disconnects_total", "Times the NATS link was lost.", s.disconnects},
        {"nats_messages_in_total", "Room messages received from NATS.", s.messagesIn},
        {"nats_bytes_in_total", "Bytes of room messages received from NATS.", s.bytesIn},
        {"nats_messages_out_total", "Room messages published to NATS.", s.messagesOut},
        {"nats_bytes_out_total", "Bytes of room messages published to NATS.", s.bytesOut},
        {"nats_publish_errors_total", "Publications the client refused.", s.publishErrors},
        {"nats_malformed_total", "Messages from NATS dropped for a bad subject, header or size.",
         s.malformed},
        {"nats_async_errors_total", "Errors the client reported (slow consumer, failed subscribe).",
         s.asyncErrors},
        {"cluster_held_dropped_total",
         "Datagrams dropped while the lease bucket was slow to answer.", leases.heldDropped},
    });
    metric("nats_subscriptions", "gauge",
           "Room and tier subjects subscribed to for local listeners.", subscriptions_.size());
    counters({
        {"cluster_interest_in_total",
         "Interest messages heard from other relays (Opus tiers their listeners want).",
         s.interestIn},
        {"cluster_interest_out_total", "Interest messages sent for this relay's Opus listeners.",
         s.interestOut},
    });
    metric("cluster_remote_tier_interest", "gauge",
           "Room, tier and relay triples of live interest from other relays.",
           interest_.remoteCount());
    metric("cluster_leases_held", "gauge", "Rooms this relay owns in the cluster.",
           leases_->held());
    counters({
        {"cluster_leases_granted_total", "Room leases taken.", leases.granted},
        {"cluster_leases_denied_total",
         "Rooms found owned by another relay when a source here started.", leases.denied},
        {"cluster_leases_lost_total",
         "Leases found taken by another relay while this one owned the room.", leases.lost},
        {"cluster_leases_given_back_total",
         "Leases freed at once because this relay's limits refused the room after all.",
         leases.givenBack},
        {"cluster_lease_rooms_refused_total",
         "Datagrams of a room not asked for: as many rooms as --max-rooms are being decided.",
         leases.tableFull},
        {"cluster_bucket_unavailable_total",
         "Lease calls that got no answer (NATS or JetStream down).", leases.unavailable},
    });
    return out.str();
}

} // namespace orlune::relay
