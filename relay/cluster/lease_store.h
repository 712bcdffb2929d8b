// Where the cluster keeps its room leases, and the rules by which a relay takes, keeps and frees
// one. The store is a key-value table with a revision per key, compare-and-set writes and a
// time-to-live (a lease not written again for that long is gone): NATS JetStream in a cluster
// (nats_lease_store.h), a table in memory in tests (memory_lease_store.h). Its calls block and
// are made on the lease worker's thread only (room_leases.h).
#pragma once

#include <cstdint>
#include <string>

namespace orlune::relay
{

class LeaseStore
{
public:
    enum class Status
    {
        Ok,
        Exists,        // create: the key has a value
        NotFound,      // get: no value (never written, or expired)
        WrongRevision, // update: written since the given revision
        Failed,        // no answer (store down, timeout): says nothing about the key
    };
    struct Entry
    {
        Status status = Status::Failed;
        std::uint64_t revision = 0;
        std::string value;
    };

    virtual ~LeaseStore() = default;
    // Makes sure the table can be used (creating it if need be); false when it cannot yet.
    virtual bool ready() = 0;
    virtual Entry create(const std::string& key, const std::string& value) = 0;
    virtual Entry get(const std::string& key) = 0;
    // Writes `value` if the key's revision is still `revision`.
    virtual Entry update(const std::string& key, const std::string& value,
                         std::uint64_t revision) = 0;
};

enum class LeaseOutcome
{
    Granted,     // this relay owns the room, at `revision`
    Denied,      // `owner` does
    Unavailable, // the store did not answer: nothing is known
    Released,
};

struct LeaseAnswer
{
    LeaseOutcome outcome = LeaseOutcome::Unavailable;
    std::uint64_t revision = 0;
    std::string owner;
};

// A lease's value is "<relay id> <source address>"; an empty value is a free lease. Takes the
// room for `relayId` (or keeps it, when `held` is the revision it last wrote) unless another
// relay's name is in it.
LeaseAnswer acquireLease(LeaseStore& store, const std::string& room, const std::string& relayId,
                         const std::string& source, std::uint64_t held);
// Frees the lease if it is still as this relay last wrote it (`revision`).
LeaseAnswer releaseLease(LeaseStore& store, const std::string& room, std::uint64_t revision);

} // namespace orlune::relay
