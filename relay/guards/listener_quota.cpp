#include "guards/listener_quota.h"

namespace orlune::relay
{

ListenerQuota::ListenerQuota(const RoomLimits& limits)
    : maxRooms_(limits.maxRooms)
    , maxPerRoom_(limits.maxListenersPerRoom)
    , maxTotal_(limits.maxListenersTotal)
{
}

JoinResult ListenerQuota::checkLocked(std::string_view room) const
{
    if (total_ >= maxTotal_)
        return JoinResult::RelayFull;
    auto it = rooms_.find(room);
    if (it == rooms_.end())
        return rooms_.size() >= maxRooms_ ? JoinResult::RoomLimit : JoinResult::Joined;
    return it->second >= maxPerRoom_ ? JoinResult::RoomFull : JoinResult::Joined;
}

JoinResult ListenerQuota::check(std::string_view room) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return checkLocked(room);
}

JoinResult ListenerQuota::reserve(std::string_view room)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const JoinResult verdict = checkLocked(room);
    if (verdict != JoinResult::Joined)
        return verdict;
    auto it = rooms_.find(room);
    if (it == rooms_.end())
        it = rooms_.emplace(std::string(room), 0).first;
    ++it->second;
    ++total_;
    return JoinResult::Joined;
}

void ListenerQuota::release(std::string_view room)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rooms_.find(room);
    if (it == rooms_.end())
        return;
    --total_;
    if (--it->second == 0)
        rooms_.erase(it);
}

ListenerCensus ListenerQuota::census() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ListenerCensus census;
    census.total = total_;
    for (const auto& [room, count] : rooms_)
        census.perRoom.emplace(room, count);
    return census;
}

} // namespace orlune::relay
