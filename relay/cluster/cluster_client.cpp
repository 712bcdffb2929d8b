#include "cluster/cluster_client.h"

#include "cluster/cluster_wire.h"

#include <cstdio>

namespace orlune::relay
{
namespace
{

constexpr char kBucket[] = "orlune_rooms";
constexpr std::int64_t kKvWaitMs = 500;

// The lease value is "<relay id> <source address>"; an empty value is a free lease.
std::string ownerOf(kvEntry* entry)
{
    const char* v = static_cast<const char*>(kvEntry_Value(entry));
    const int n = kvEntry_ValueLen(entry);
    const std::string value(v != nullptr && n > 0 ? v : "",
                            n > 0 ? static_cast<std::size_t>(n) : 0);
    return value.substr(0, value.find(' '));
}

} // namespace

void ClusterLink::Shared::runJob(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(jobsMutex);
    jobs.push_back(std::move(job));
    jobsReady.notify_one();
}

void ClusterLink::Shared::workerLoop()
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

natsStatus ClusterLink::Shared::connect(const std::vector<std::string>& servers)
{
    std::vector<const char*> urls;
    for (const auto& url : servers)
        urls.push_back(url.c_str());
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK)
        s = natsOptions_SetServers(options, urls.data(), static_cast<int>(urls.size()));
    if (s == NATS_OK)
        s = natsOptions_SetName(options, relayId.c_str());
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
        s = natsOptions_SetRetryOnFailedConnect(options, true, &Shared::onConnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectedCB(options, &Shared::onReconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetDisconnectedCB(options, &Shared::onDisconnected, this);
    if (s == NATS_OK)
        s = natsOptions_SetErrorHandler(options, &Shared::onError, this);
    if (s == NATS_OK)
    {
        s = natsConnection_Connect(&connection, options);
        if (s == NATS_OK)
            connected = true;
        else if (s == NATS_NOT_YET_CONNECTED)
            s = NATS_OK; // retried in the background
    }
    natsOptions_Destroy(options);
    return s;
}

bool ClusterLink::Shared::ensureBucket()
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

ClusterLink::Result ClusterLink::Shared::acquire(const std::string& key, const std::string& value,
                                                 std::uint64_t revision)
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
    // Only another relay's name in the lease is a refusal; anything else (a JetStream leader
    // being elected, a timeout) says nothing about who owns the room.
    return r;
}

ClusterLink::Result ClusterLink::Shared::release(const std::string& key, std::uint64_t revision)
{
    if (ensureBucket())
    {
        std::uint64_t rev = 0;
        kvStore_Update(&rev, bucket, key.c_str(), "", 0, revision);
    }
    return Result{Outcome::Released, 0, {}};
}

void ClusterLink::Shared::onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    const auto subject = parseSubject(natsMsg_GetSubject(msg));
    const int size = natsMsg_GetDataLength(msg);
    ClusterMessage decoded =
        subject ? decodeClusterMessage(natsMsg_GetData(msg),
                                       size > 0 ? static_cast<std::size_t>(size) : 0, subject->tier)
                : ClusterMessage{};
    natsMsg_Destroy(msg);
    ++shared->messagesIn;
    shared->bytesIn += static_cast<std::uint64_t>(size > 0 ? size : 0);
    if (!decoded.ok)
    {
        ++shared->malformed;
        return;
    }
    shared->post([shared, parts = std::move(*subject), decoded = std::move(decoded)]
                 { shared->link->onRemote(parts.room, parts.tier, decoded); });
}

void ClusterLink::Shared::onInterest(natsConnection*, natsSubscription*, natsMsg* msg,
                                     void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    std::string room = roomOfInterestSubject(natsMsg_GetSubject(msg));
    const int size = natsMsg_GetDataLength(msg);
    Interest interest =
        decodeInterest(natsMsg_GetData(msg), size > 0 ? static_cast<std::size_t>(size) : 0);
    natsMsg_Destroy(msg);
    ++shared->interestIn;
    if (room.empty() || !interest.ok)
    {
        ++shared->malformed;
        return;
    }
    shared->post([shared, room = std::move(room), interest = std::move(interest)]
                 { shared->link->onInterest(room, interest); });
}

void ClusterLink::Shared::onConnected(natsConnection*, void* closure)
{
    static_cast<Shared*>(closure)->connected = true;
}

void ClusterLink::Shared::onReconnected(natsConnection*, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    ++shared->reconnects;
    shared->connected = true;
}

void ClusterLink::Shared::onDisconnected(natsConnection*, void* closure)
{
    auto* shared = static_cast<Shared*>(closure);
    ++shared->disconnects;
    shared->connected = false;
}

void ClusterLink::Shared::onError(natsConnection*, natsSubscription*, natsStatus, void* closure)
{
    ++static_cast<Shared*>(closure)->asyncErrors; // slow consumer, mostly
}

} // namespace orlune::relay
