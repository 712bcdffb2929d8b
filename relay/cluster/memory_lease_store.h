// A lease store in memory, shared by the relays of one process (tests): the same revision,
// compare-and-set and time-to-live rules as the cluster's, on an injected clock, and faults on
// demand (calls that fail, calls that stall).
#pragma once

#include "cluster/lease_store.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>

namespace orlune::relay
{

class MemoryLeaseStore : public LeaseStore
{
public:
    using Clock = std::chrono::steady_clock;
    explicit MemoryLeaseStore(
        Clock::duration ttl = std::chrono::seconds(2),
        std::function<Clock::time_point()> clock = [] { return Clock::now(); });

    bool ready() override;
    Entry create(const std::string& key, const std::string& value) override;
    Entry get(const std::string& key) override;
    Entry update(const std::string& key, const std::string& value, std::uint64_t revision) override;

    // Faults: every call fails while `failing`; every call first waits `stall`.
    void setFailing(bool failing);
    void setStall(Clock::duration stall);
    // The value stored under `key` now (empty when none).
    std::string valueOf(const std::string& key);
    std::size_t calls() const;

private:
    struct Stored
    {
        std::string value;
        std::uint64_t revision = 0;
        Clock::time_point written{};
    };
    // Counts the call, waits out a stall; false when the call fails.
    bool enter();
    // The live entry under `key`, expired ones removed first. Caller holds mutex_.
    Stored* find(const std::string& key);

    const Clock::duration ttl_;
    const std::function<Clock::time_point()> clock_;
    mutable std::mutex mutex_;
    std::map<std::string, Stored> entries_;
    std::uint64_t lastRevision_ = 0;
    bool failing_ = false;
    Clock::duration stall_{};
    std::size_t calls_ = 0;
};

} // namespace orlune::relay
