#include "guards/relay_admission.h"

#include <utility>

namespace orlune::relay
{

Seat::Seat(Seat&& other) noexcept
    : admission_(std::exchange(other.admission_, nullptr))
    , room_(std::move(other.room_))
{
}

Seat& Seat::operator=(Seat&& other) noexcept
{
    if (this != &other)
    {
        release();
        admission_ = std::exchange(other.admission_, nullptr);
        room_ = std::move(other.room_);
    }
    return *this;
}

Seat::~Seat()
{
    release();
}

void Seat::release()
{
    if (RelayAdmission* admission = std::exchange(admission_, nullptr))
        admission->releaseSeat(room_);
}

RelayAdmission::RelayAdmission(const RoomLimits& limits)
    : maxRooms_(limits.maxRooms)
    , maxPerRoom_(limits.maxListenersPerRoom)
    , maxTotal_(limits.maxListenersTotal)
{
}

JoinResult RelayAdmission::checkLocked(std::string_view room) const
{
    if (seats_ >= maxTotal_)
        return JoinResult::RelayFull;
    auto it = rooms_.find(room);
    if (it == rooms_.end())
        return rooms_.size() >= maxRooms_ ? JoinResult::RoomLimit : JoinResult::Joined;
    return it->second.seats >= maxPerRoom_ ? JoinResult::RoomFull : JoinResult::Joined;
}

JoinResult RelayAdmission::check(std::string_view room) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return checkLocked(room);
}

JoinResult RelayAdmission::reserve(std::string_view room, Seat& seat)
{
    seat.release();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const JoinResult verdict = checkLocked(room);
        if (verdict != JoinResult::Joined)
            return verdict;
        auto it = rooms_.find(room);
        if (it == rooms_.end())
            it = rooms_.emplace(std::string(room), Room{}).first;
        ++it->second.seats;
        ++seats_;
    }
    seat.admission_ = this;
    seat.room_ = std::string(room);
    return JoinResult::Joined;
}

void RelayAdmission::releaseSeat(std::string_view room)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rooms_.find(room);
    if (it == rooms_.end() || it->second.seats == 0)
        return;
    --it->second.seats;
    --seats_;
    forgetIfUnused(it);
}

bool RelayAdmission::openRoom(std::string_view room)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rooms_.find(room);
    if (it == rooms_.end())
    {
        if (rooms_.size() >= maxRooms_)
            return false;
        it = rooms_.emplace(std::string(room), Room{}).first;
    }
    it->second.open = true;
    return true;
}

void RelayAdmission::closeRoom(std::string_view room)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = rooms_.find(room);
    if (it == rooms_.end())
        return;
    it->second.open = false;
    forgetIfUnused(it);
}

bool RelayAdmission::mayOpen(std::string_view room) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rooms_.size() < maxRooms_ || rooms_.find(room) != rooms_.end();
}

void RelayAdmission::forgetIfUnused(std::map<std::string, Room, std::less<>>::iterator it)
{
    if (it->second.seats == 0 && !it->second.open)
        rooms_.erase(it);
}

ListenerCensus RelayAdmission::census() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    ListenerCensus census;
    census.total = seats_;
    for (const auto& [room, entry] : rooms_)
        if (entry.seats > 0)
            census.perRoom.emplace(room, entry.seats);
    return census;
}

std::size_t RelayAdmission::rooms() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return rooms_.size();
}

} // namespace orlune::relay
