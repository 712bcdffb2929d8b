// The relay-wide limits on rooms and listeners, decided in one place whichever event loop asks.
//
// A listener takes a seat before its upgrade is answered: the seat counts it in its room and in
// the relay (--max-listeners-per-room, --max-listeners) and holds its room (--max-rooms) until
// it is given back. A room the home registry creates (a source's datagrams, the cluster, a
// listener's stand-in) is asked for here too (RoomGate), so rooms with only a source and rooms
// with only listeners on some loop count alike, and a room is counted once however many loops
// and seats hold it. Every decision is taken under one mutex: once per join, leave and room,
// never per message. Seats give themselves back once, whichever way their connection ends.
#pragma once

#include "rooms/rooms.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace orlune::relay
{

class RelayAdmission;

// Listener figures of a relay whose listeners are spread over several event loops: every
// loop's, where a loop's own registry knows only its share.
struct ListenerCensus
{
    std::size_t total = 0;
    std::map<std::string, std::size_t, std::less<>> perRoom;
};

// One listener's place in a room; gives it back when it goes.
class Seat
{
public:
    Seat() = default;
    Seat(Seat&& other) noexcept;
    Seat& operator=(Seat&& other) noexcept;
    ~Seat();
    explicit operator bool() const { return admission_ != nullptr; }
    const std::string& room() const { return room_; }
    // Gives the place back now (nothing if it has none).
    void release();

private:
    friend class RelayAdmission;
    RelayAdmission* admission_ = nullptr;
    std::string room_;
};

class RelayAdmission : public RoomGate
{
public:
    explicit RelayAdmission(const RoomLimits& limits);
    RelayAdmission(const RelayAdmission&) = delete;
    RelayAdmission& operator=(const RelayAdmission&) = delete;

    // Whether one more listener could join `room` now (nothing is taken).
    JoinResult check(std::string_view room) const;
    // Takes a place for one more listener in `room` unless a limit is reached; `seat` holds it.
    JoinResult reserve(std::string_view room, Seat& seat);

    // RoomGate: a registry creating and forgetting rooms.
    bool openRoom(std::string_view room) override;
    void closeRoom(std::string_view room) override;
    bool mayOpen(std::string_view room) const override;

    // Seats taken, relay-wide and per room.
    ListenerCensus census() const;
    // Rooms counted against --max-rooms.
    std::size_t rooms() const;

private:
    friend class Seat;
    struct Room
    {
        std::size_t seats = 0;
        bool open = false; // a registry holds it
    };
    JoinResult checkLocked(std::string_view room) const;
    void releaseSeat(std::string_view room);
    void forgetIfUnused(std::map<std::string, Room, std::less<>>::iterator it);

    const std::size_t maxRooms_;
    const std::size_t maxPerRoom_;
    const std::size_t maxTotal_;
    mutable std::mutex mutex_;
    std::map<std::string, Room, std::less<>> rooms_; // every room counted
    std::size_t seats_ = 0;
};

} // namespace orlune::relay
