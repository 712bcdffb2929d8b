// The room leases in a JetStream key-value bucket: one key per room, the bucket's history of one
// and its time-to-live giving the revisions and the expiry the lease rules rely on.
#pragma once

#include "cluster/lease_store.h"

#include <nats/nats.h>

#include <string>

namespace orlune::relay
{

class NatsLeaseStore : public LeaseStore
{
public:
    // `connection` is not owned and must outlive the store; `replicas`: of the bucket, when this
    // relay is the one to create it.
    NatsLeaseStore(natsConnection* connection, int replicas);
    ~NatsLeaseStore() override;
    NatsLeaseStore(const NatsLeaseStore&) = delete;
    NatsLeaseStore& operator=(const NatsLeaseStore&) = delete;

    bool ready() override;
    Entry create(const std::string& key, const std::string& value) override;
    Entry get(const std::string& key) override;
    Entry update(const std::string& key, const std::string& value, std::uint64_t revision) override;

private:
    natsConnection* const connection_;
    const int replicas_;
    jsCtx* js_ = nullptr;
    kvStore* bucket_ = nullptr;
    std::string lastError_;
};

} // namespace orlune::relay
