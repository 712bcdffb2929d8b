// Relay-wide listener limits when the listeners are spread over several event loops: every
// loop's joins and leaves pass through one table, so --max-listeners, --max-listeners-per-room
// and the rooms with listeners hold for the whole relay. Behind a mutex, taken once per join
// and leave, never per message.
#pragma once

#include "rooms/rooms.h"

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace orlune::relay
{

// Listener figures of a relay whose listeners are spread over several event loops: every
// loop's, where a loop's own registry knows only its share.
struct ListenerCensus
{
    std::size_t total = 0;
    std::map<std::string, std::size_t, std::less<>> perRoom;
};

class ListenerQuota
{
public:
    explicit ListenerQuota(const RoomLimits& limits);

    // Whether one more listener could join `room` now.
    JoinResult check(std::string_view room) const;
    // Counts one more listener in `room` unless a limit is reached.
    JoinResult reserve(std::string_view room);
    // One listener counted by reserve() has gone.
    void release(std::string_view room);

    ListenerCensus census() const;

private:
    JoinResult checkLocked(std::string_view room) const;

    const std::size_t maxRooms_;
    const std::size_t maxPerRoom_;
    const std::size_t maxTotal_;
    mutable std::mutex mutex_;
    std::map<std::string, std::size_t, std::less<>> rooms_; // rooms with listeners
    std::size_t total_ = 0;
};

} // namespace orlune::relay
