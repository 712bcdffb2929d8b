#include "cluster/nats_lease_store.h"

#include <cstdio>

namespace orlune::relay
{
namespace
{

constexpr char kBucket[] = "orlune_rooms";
constexpr std::int64_t kKvWaitMs = 500;

} // namespace

NatsLeaseStore::NatsLeaseStore(natsConnection* connection, int replicas)
    : connection_(connection)
    , replicas_(replicas)
{
}

NatsLeaseStore::~NatsLeaseStore()
{
    kvStore_Destroy(bucket_);
    jsCtx_Destroy(js_);
}

bool NatsLeaseStore::ready()
{
    if (bucket_ != nullptr)
        return true;
    if (natsConnection_Status(connection_) != NATS_CONN_STATUS_CONNECTED)
        return false;
    if (js_ == nullptr)
    {
        jsOptions options;
        jsOptions_Init(&options);
        options.Wait = kKvWaitMs;
        if (natsConnection_JetStream(&js_, connection_, &options) != NATS_OK)
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
    config.Replicas = replicas_;
    natsStatus s = js_CreateKeyValue(&bucket_, js_, &config);
    if (s != NATS_OK)
    {
        bucket_ = nullptr;
        s = js_KeyValue(&bucket_, js_, kBucket); // made by another relay
    }
    if (s == NATS_OK)
        return true;
    bucket_ = nullptr;
    // Said once per kind of failure, so a relay without JetStream does not flood its log.
    const std::string error = nats_GetLastError(nullptr) ? nats_GetLastError(nullptr) : "";
    if (error != lastError_)
    {
        lastError_ = error;
        std::fprintf(stderr, "orlune-relay: no room lease bucket on NATS (%s): %s\n",
                     natsStatus_GetText(s), error.c_str());
    }
    return false;
}

LeaseStore::Entry NatsLeaseStore::create(const std::string& key, const std::string& value)
{
    std::uint64_t rev = 0;
    if (kvStore_Create(&rev, bucket_, key.c_str(), value.data(), static_cast<int>(value.size())) ==
        NATS_OK)
        return Entry{Status::Ok, rev, value};
    // Refused for a key that exists, or not answered: get() tells which.
    return Entry{Status::Exists, 0, {}};
}

LeaseStore::Entry NatsLeaseStore::get(const std::string& key)
{
    kvEntry* entry = nullptr;
    const natsStatus s = kvStore_Get(&entry, bucket_, key.c_str());
    if (s == NATS_NOT_FOUND)
        return Entry{Status::NotFound, 0, {}};
    if (s != NATS_OK)
        return Entry{};
    const char* v = static_cast<const char*>(kvEntry_Value(entry));
    const int n = kvEntry_ValueLen(entry);
    Entry out{Status::Ok, kvEntry_Revision(entry),
              std::string(v != nullptr && n > 0 ? v : "", n > 0 ? static_cast<std::size_t>(n) : 0)};
    kvEntry_Destroy(entry);
    return out;
}

LeaseStore::Entry NatsLeaseStore::update(const std::string& key, const std::string& value,
                                         std::uint64_t revision)
{
    std::uint64_t rev = 0;
    if (kvStore_Update(&rev, bucket_, key.c_str(), value.data(), static_cast<int>(value.size()),
                       revision) == NATS_OK)
        return Entry{Status::Ok, rev, value};
    return Entry{Status::WrongRevision, 0, {}};
}

} // namespace orlune::relay
