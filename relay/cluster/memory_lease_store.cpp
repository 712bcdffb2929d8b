#include "cluster/memory_lease_store.h"

#include <thread>

namespace orlune::relay
{

MemoryLeaseStore::MemoryLeaseStore(Clock::duration ttl, std::function<Clock::time_point()> clock)
    : ttl_(ttl)
    , clock_(std::move(clock))
{
}

bool MemoryLeaseStore::enter()
{
    Clock::duration stall{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++calls_;
        stall = stall_;
    }
    if (stall > Clock::duration::zero())
        std::this_thread::sleep_for(stall);
    std::lock_guard<std::mutex> lock(mutex_);
    return !failing_;
}

MemoryLeaseStore::Stored* MemoryLeaseStore::find(const std::string& key)
{
    auto it = entries_.find(key);
    if (it == entries_.end())
        return nullptr;
    if (clock_() - it->second.written >= ttl_)
    {
        entries_.erase(it);
        return nullptr;
    }
    return &it->second;
}

bool MemoryLeaseStore::ready()
{
    return enter();
}

LeaseStore::Entry MemoryLeaseStore::create(const std::string& key, const std::string& value)
{
    if (!enter())
        return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (Stored* s = find(key))
        return Entry{Status::Exists, s->revision, s->value};
    Stored& s = entries_[key];
    s = Stored{value, ++lastRevision_, clock_()};
    return Entry{Status::Ok, s.revision, s.value};
}

LeaseStore::Entry MemoryLeaseStore::get(const std::string& key)
{
    if (!enter())
        return {};
    std::lock_guard<std::mutex> lock(mutex_);
    if (Stored* s = find(key))
        return Entry{Status::Ok, s->revision, s->value};
    return Entry{Status::NotFound, 0, {}};
}

LeaseStore::Entry MemoryLeaseStore::update(const std::string& key, const std::string& value,
                                           std::uint64_t revision)
{
    if (!enter())
        return {};
    std::lock_guard<std::mutex> lock(mutex_);
    Stored* s = find(key);
    if (s == nullptr || s->revision != revision)
        return Entry{Status::WrongRevision, s != nullptr ? s->revision : 0, {}};
    *s = Stored{value, ++lastRevision_, clock_()};
    return Entry{Status::Ok, s->revision, s->value};
}

void MemoryLeaseStore::setFailing(bool failing)
{
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = failing;
}

void MemoryLeaseStore::setStall(Clock::duration stall)
{
    std::lock_guard<std::mutex> lock(mutex_);
    stall_ = stall;
}

std::string MemoryLeaseStore::valueOf(const std::string& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const Stored* s = find(key);
    return s != nullptr ? s->value : std::string();
}

std::size_t MemoryLeaseStore::calls() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

} // namespace orlune::relay
