#include "guards/source_guard.h"

#include <algorithm>

namespace orlune::relay
{

SourceGuard::SourceGuard(SourceLimits limits)
    : limits_(std::move(limits))
{
}

double SourceGuard::rateFor(const Source& s) const
{
    return limits_.datagramRate * static_cast<double>(std::max<std::size_t>(s.rooms, 1));
}

SourceVerdict SourceGuard::admit(const boost::asio::ip::address& from, TimePoint now)
{
    if (!limits_.allow.empty() && !limits_.allow.contains(from))
        return SourceVerdict::NotAllowed;
    const auto key = addressGroup(from);
    auto it = sources_.find(key);
    if (it == sources_.end())
    {
        if (sources_.size() >= limits_.maxTracked)
            return SourceVerdict::RateLimited;
        it = sources_.emplace(key, Source{}).first;
    }
    const double rate = rateFor(it->second);
    return it->second.budget.take(now, rate, 2 * rate) ? SourceVerdict::Admitted
                                                       : SourceVerdict::RateLimited;
}

bool SourceGuard::mayHoldAnother(const boost::asio::ip::address& source) const
{
    auto it = sources_.find(addressGroup(source));
    const std::size_t rooms = it == sources_.end() ? 0 : it->second.rooms;
    return rooms < limits_.maxRoomsPerSource;
}

void SourceGuard::held(const boost::asio::ip::address& source)
{
    ++sources_[addressGroup(source)].rooms;
}

void SourceGuard::released(const boost::asio::ip::address& source)
{
    auto it = sources_.find(addressGroup(source));
    if (it != sources_.end() && it->second.rooms > 0)
        --it->second.rooms;
}

void SourceGuard::sweep(TimePoint now)
{
    for (auto it = sources_.begin(); it != sources_.end();)
    {
        const double rate = rateFor(it->second);
        if (it->second.rooms == 0 && it->second.budget.full(now, rate, 2 * rate))
            it = sources_.erase(it);
        else
            ++it;
    }
}

std::size_t SourceGuard::roomsHeldBy(const boost::asio::ip::address& source) const
{
    auto it = sources_.find(addressGroup(source));
    return it == sources_.end() ? 0 : it->second.rooms;
}

} // namespace orlune::relay
