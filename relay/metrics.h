// Relay-wide counters. All relay work happens on one io_context thread, so these are plain
// integers read and written only on that thread.
#pragma once

#include "datagram.h"

#include <array>
#include <cstdint>
#include <string>

namespace orlune::relay
{

class RoomRegistry;

// Why a well-formed datagram was not forwarded.
enum class RoomDrop
{
    ForeignSource,        // the room is owned by another live source
    RoomLimit,            // a new room would exceed the configured room limit
    DuplicateOrReordered, // sequence at or behind the last one forwarded
};
inline constexpr std::size_t kRoomDropCount = 3;
std::string_view roomDropName(RoomDrop drop);

// Why a WebSocket listener was turned away.
enum class ListenerReject
{
    RoomLimit,
    RoomFull,
    RelayFull,
};
inline constexpr std::size_t kListenerRejectCount = 3;
std::string_view listenerRejectName(ListenerReject reject);

struct Metrics
{
    std::uint64_t datagramsReceived = 0;
    std::uint64_t bytesReceived = 0;
    std::uint64_t datagramsForwarded = 0; // accepted and fanned out to the room
    std::array<std::uint64_t, kParseErrorCount> malformed{};
    std::array<std::uint64_t, kRoomDropCount> roomDrops{};

    std::uint64_t audioMessagesSent = 0; // completed binary WebSocket writes
    std::uint64_t textMessagesSent = 0;
    std::uint64_t bytesSent = 0; // WebSocket payload bytes of completed writes
    std::uint64_t listenerSkips = 0;
    std::uint64_t listenerSkippedMessages = 0;
    std::uint64_t listenersAccepted = 0;
    std::array<std::uint64_t, kListenerRejectCount> listenerRejects{};

    std::uint64_t httpRequests = 0;
    std::uint64_t connectionsRejected = 0;
    std::uint64_t connectionsOpen = 0;

    void countMalformed(ParseError e) { ++malformed[static_cast<std::size_t>(e)]; }
    void countDrop(RoomDrop d) { ++roomDrops[static_cast<std::size_t>(d)]; }
    void countReject(ListenerReject r) { ++listenerRejects[static_cast<std::size_t>(r)]; }
};

// Prometheus text exposition format (version 0.0.4) of the counters and the per-room figures.
std::string renderMetrics(const Metrics& metrics, const RoomRegistry& rooms);

} // namespace orlune::relay
