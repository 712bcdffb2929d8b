#include "cluster_link.h"

#include <boost/asio/post.hpp>

#include <nats/nats.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

namespace orlune::relay
{
namespace
{

constexpr char kBucket[] = "orlune_rooms";
constexpr auto kTick = std::chrono::milliseconds(100);
constexpr auto kRefresh = std::chrono::milliseconds(500);
constexpr auto kRetryTheirs = std::chrono::milliseconds(250);
constexpr auto kRetryLocal = std::chrono::milliseconds(1000);
constexpr std::size_t kMaxHeld = 128; // 680 ms of audio while the bucket answers
constexpr std::int64_t kKvWaitMs = 500;

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

} // namespace

// Everything the client's threads and the worker may reach. Kept alive by shared_ptr copies
// in the worker; the callbacks get it as a raw closure, so the link destroys every subscription
// and the connection before letting go of it.
struct ClusterLink::Shared
{
    std::string relayId;
    int replicas = 1;

    std::mutex mutex; // guards ioc and link
    net::io_context* ioc = nullptr;
    ClusterLink* link = nullptr; // used only in handlers run on ioc

    natsConnection* connection = nullptr;
    jsCtx* js = nullptr;       // worker thread only
    kvStore* bucket = nullptr; // worker thread only

    std::atomic<bool> connected{false};
    std::atomic<bool> bucketReady{false};
    std::atomic<bool> bucketAsked{false};
    std::atomic<std::uint64_t> reconnects{0}, disconnects{0}, messagesIn{0}, bytesIn{0},
        messagesOut{0}, bytesOut{0}, publishErrors{0}, malformed{0}, asyncErrors{0}, heldDropped{0},
        leasesGranted{0}, leasesDenied{0}, leasesLost{0}, bucketUnavailable{0};

    // The worker: one thread for the blocking key-value calls, in order.
    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread worker;

    template <class F> void post(F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ioc != nullptr)
            net::post(*ioc, std::forward<F>(f));
    }

    void runJob(std::function<void()> job)
    {
        std::lock_guard<std::mutex> lock(jobsMutex);
        jobs.push_back(std::move(job));
        jobsReady.notify_one();
    }

    void workerLoop()
    {
        for (;;)
        {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(jobsMutex);
                jobsReady.wait(lock, [&] { return stopping || !jobs.empty(); });
                if (jobs.empty())
                    return;
                job = std::move(jobs.front());
                jobs.pop_front();
            }
            job();
        }
    }

    bool ensureBucket()
    {
        if (bucket != nullptr)
            return true;
        if (!connected)
            return false;
        if (js == nullptr)
        {
            jsOptions options;
            jsOptions_Init(&options);
            options.Wait = kKvWaitMs;
            if (natsConnection_JetStream(&js, connection, &options) != NATS_OK)
                return false;
        }
        kvConfig config;
        kvConfig_Init(&config);
        config.Bucket = kBucket;
        config.History = 1;
        // A crashed owner's lease ends 2 s after its last refresh, like a silent source's room.
        // Nanoseconds; this client version refuses (as a negative duplicate window) anything
        // above about 2.1 s.
        config.TTL = 2'000'000'000;
        config.StorageType = js_MemoryStorage;
        config.Replicas = replicas;
        natsStatus s = js_CreateKeyValue(&bucket, js, &config);
        if (s != NATS_OK)
        {
            bucket = nullptr;
            s = js_KeyValue(&bucket, js, kBucket); // made by another relay
        }
        if (s == NATS_OK)
        {
            bucketReady = true;
            return true;
        }
        bucket = nullptr;
        // Said once per kind of failure, so a relay without JetStream does not flood its log.
        const std::string error = nats_GetLastError(nullptr) ? nats_GetLastError(nullptr) : "";
        if (error != lastBucketError)
        {
            lastBucketError = error;
            std::fprintf(stderr, "orlune-relay: no room lease bucket on NATS (%s): %s\n",
                         natsStatus_GetText(s), error.c_str());
        }
        return false;
    }
    std::string lastBucketError; // worker thread only

    // The lease value is "<relay id> <source address>"; an empty value is a free lease.
    static std::string ownerOf(kvEntry* entry)
    {
        const char* v = static_cast<const char*>(kvEntry_Value(entry));
        const int n = kvEntry_ValueLen(entry);
        const std::string value(v != nullptr && n > 0 ? v : "",
                                n > 0 ? static_cast<std::size_t>(n) : 0);
        return value.substr(0, value.find(' '));
    }

    // Blocking: takes or keeps the room's lease for this relay.
    Result acquire(const std::string& key, const std::string& value, std::uint64_t revision)
    {
        Result r;
        if (!ensureBucket())
            return r;
        const int len = static_cast<int>(value.size());
        std::uint64_t rev = 0;
        if (revision != 0 &&
            kvStore_Update(&rev, bucket, key.c_str(), value.data(), len, revision) == NATS_OK)
            return Result{Outcome::Granted, rev, relayId};
        for (int attempt = 0; attempt < 2; ++attempt)
        {
            if (kvStore_Create(&rev, bucket, key.c_str(), value.data(), len) == NATS_OK)
                return Result{Outcome::Granted, rev, relayId};
            kvEntry* entry = nullptr;
            const natsStatus s = kvStore_Get(&entry, bucket, key.c_str());
            if (s == NATS_NOT_FOUND)
                continue; // expired or deleted in between: create again
            if (s != NATS_OK)
                return r;
            const std::string owner = ownerOf(entry);
            const std::uint64_t last = kvEntry_Revision(entry);
            kvEntry_Destroy(entry);
            if (!owner.empty() && owner != relayId)
                return Result{Outcome::Denied, 0, owner};
            if (kvStore_Update(&rev, bucket, key.c_str(), value.data(), len, last) == NATS_OK)
                return Result{Outcome::Granted, rev, relayId};
        }
        // Only another relay's name in the lease is a refusal; anything else (a JetStream
        // leader being elected, a timeout) says nothing about who owns the room.
        return r;
    }

    // Client threads: copy, check, hand to the relay's thread.
    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
    {
        auto* shared = static_cast<Shared*>(closure);
        const std::string room = roomOfSubject(natsMsg_GetSubject(msg));
        const int size = natsMsg_GetDataLength(msg);
        ClusterMessage decoded = decodeClusterMessage(
            natsMsg_GetData(msg), size > 0 ? static_cast<std::size_t>(size) : 0);
        natsMsg_Destroy(msg);
        ++shared->messagesIn;
        shared->bytesIn += static_cast<std::uint64_t>(size > 0 ? size : 0);
        if (room.empty() || !decoded.ok)
        {
            ++shared->malformed;
            return;
        }
        shared->post([shared, room, decoded = std::move(decoded)]
                     { shared->link->onRemote(room, decoded); });
    }

    static void onConnected(natsConnection*, void* closure)
    {
        static_cast<Shared*>(closure)->connected = true;
    }
    static void onReconnected(natsConnection*, void* closure)
    {
        auto* shared = static_cast<Shared*>(closure);
        ++shared->reconnects;
        shared->connected = true;
    }
    static void onDisconnected(natsConnection*, void* closure)
    {
        auto* shared = static_cast<Shared*>(closure);
        ++shared->disconnects;
        shared->connected = false;
    }
    static void onError(natsConnection*, natsSubscription*, natsStatus, void* closure)
    {
        ++static_cast<Shared*>(closure)->asyncErrors; // slow consumer, mostly
    }

    Result release(const std::string& key, std::uint64_t revision)
    {
        if (ensureBucket())
        {
            std::uint64_t rev = 0;
            kvStore_Update(&rev, bucket, key.c_str(), "", 0, revision);
        }
        return Result{Outcome::Released, 0, {}};
    }
};

ClusterLink::ClusterLink(net::io_context& ioc, Core& core)
    : core_(core)
    , timer_(ioc)
    , shared_(std::make_shared<Shared>())
{
    shared_->relayId = core.config.relayId.empty() ? defaultRelayId() : core.config.relayId;
    shared_->replicas = core.config.natsReplicas;
    shared_->ioc = &ioc;
    shared_->link = this;

    std::vector<const char*> urls;
    for (const auto& url : core.config.natsServers)
        urls.push_back(url.c_str());
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    Shared* raw = shared_.get();
    if (s == NATS_OK)
        s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK)
        s = natsOptions_SetName(options, shared_->relayId.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetNoEcho(options, true); // never hear our own publications
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(options, true); // the first server listed is the nearest
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(options, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(options, 250);
    if (s == NATS_OK)
        s = natsOptions_SetTimeout(options, 1000);
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(options, 1000);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(options, 2);
    if (s == NATS_OK)
        s = natsOptions_SetRetryOnFailedConnect(options, true, &Shared::onConnected, raw);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(options, &Shared::onReconnected, raw);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(options, &Shared::onDisconnected, raw);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(options, &Shared::onError, raw);
    if (s == NATS_OK)
    {
        s = natsConnection_Connect(&shared_->connection, options);
        if (s == NATS_OK)
            shared_->connected = true;
        else if (s == NATS_NOT_YET_CONNECTED)
            s = NATS_OK; // retried in the background
    }
    natsOptions_Destroy(options);
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

void ClusterLink::onLocalForward(std::string_view room, const SharedBytes& message,
                                 bool streamStart)
{
    auto it = leases_.find(room);
    if (stopped_ || it == leases_.end() || it->second.state != Lease::Ours)
        return; // published only under the room's lease
    publishBuffer_ = encodeClusterMessage(shared_->relayId, streamStart, *message);
    const std::string subject = clusterSubject(room, kClusterTier);
    if (natsConnection_Publish(shared_->connection, subject.c_str(), publishBuffer_.data(),
                               static_cast<int>(publishBuffer_.size())) == NATS_OK)
    {
        ++shared_->messagesOut;
        shared_->bytesOut += publishBuffer_.size();
    }
    else
        ++shared_->publishErrors;
}

void ClusterLink::onListenersPresent(std::string_view room, bool present)
{
    if (stopped_)
        return;
    auto it = subscriptions_.find(room);
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
    const std::string subject = clusterSubject(room, kClusterTier);
    if (natsConnection_Subscribe(&sub, shared_->connection, subject.c_str(), &Shared::onMessage,
                                 shared_.get()) == NATS_OK)
        subscriptions_.emplace(std::string(room), sub);
    else
        ++shared_->asyncErrors;
}

void ClusterLink::onRemote(const std::string& room, const ClusterMessage& message)
{
    if (stopped_)
        return;
    core_.registry.onRemoteMessage(room, message.origin, message.message, message.streamStart,
                                   core_.now());
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
    metric("nats_subscriptions", "gauge", "Rooms subscribed to for local listeners.",
           subscriptions_.size());
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
