// How much a relay's rooms may hold, and the times and steps their ownership rules turn on.
#pragma once

#include "wire/clock.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace orlune::relay
{

struct RoomLimits
{
    std::size_t maxRooms = 1000;
    std::size_t maxListenersPerRoom = 2000;
    std::size_t maxListenersTotal = 5000;
    // A source silent this long loses the room to a new port of the same address (the
    // plug-in restarted)...
    Clock::duration sourceSilence = std::chrono::seconds(2);
    // ...and silent this long (at least sourceSilence) to a source at any other address.
    Clock::duration takeoverSilence = std::chrono::seconds(30);
    // Datagrams a second a room's stream may carry (the plug-in sends 187.5, and at most about
    // 500 while it catches up); up to two seconds' worth may come at once. Excess is dropped.
    double streamRate = 1000;
    // A room with no live source and no listener for this long is forgotten.
    Clock::duration roomIdle = std::chrono::seconds(30);
    // Sequence steps beyond these are a restarted stream, not loss or reordering.
    std::uint64_t maxForwardGap = 1000;
    std::uint64_t maxBackwardStep = 64;
};

} // namespace orlune::relay
