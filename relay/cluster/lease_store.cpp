#include "cluster/lease_store.h"

namespace orlune::relay
{

namespace
{

std::string ownerOf(const std::string& value)
{
    return value.substr(0, value.find(' '));
}

} // namespace

LeaseAnswer acquireLease(LeaseStore& store, const std::string& room, const std::string& relayId,
                         const std::string& source, std::uint64_t held)
{
    using Status = LeaseStore::Status;
    LeaseAnswer unknown;
    if (!store.ready())
        return unknown;
    const std::string value = relayId + " " + source;
    if (held != 0)
    {
        const auto kept = store.update(room, value, held);
        if (kept.status == Status::Ok)
            return LeaseAnswer{LeaseOutcome::Granted, kept.revision, relayId};
    }
    for (int attempt = 0; attempt < 2; ++attempt)
    {
        const auto created = store.create(room, value);
        if (created.status == Status::Ok)
            return LeaseAnswer{LeaseOutcome::Granted, created.revision, relayId};
        const auto entry = store.get(room);
        if (entry.status == Status::NotFound)
            continue; // expired or deleted in between: create again
        if (entry.status != Status::Ok)
            return unknown;
        const std::string owner = ownerOf(entry.value);
        if (!owner.empty() && owner != relayId)
            return LeaseAnswer{LeaseOutcome::Denied, 0, owner};
        const auto taken = store.update(room, value, entry.revision);
        if (taken.status == Status::Ok)
            return LeaseAnswer{LeaseOutcome::Granted, taken.revision, relayId};
    }
    // Only another relay's name in the lease is a refusal; anything else (a store leader being
    // elected, a timeout, a race lost twice) says nothing about who owns the room.
    return unknown;
}

LeaseAnswer releaseLease(LeaseStore& store, const std::string& room, std::uint64_t revision)
{
    if (store.ready())
        store.update(room, "", revision);
    return LeaseAnswer{LeaseOutcome::Released, 0, {}};
}

} // namespace orlune::relay
