// The counters of one event loop, written by every part of the relay that runs on it (rooms,
// guards, sessions, the cluster link). Each loop has its own set, written only by its thread;
// app/metrics.h adds them up and renders them.
#pragma once

#include "tiers/tier_metrics.h"
#include "tiers/tiers.h"
#include "wire/datagram.h"

#include <array>
#include <cstddef>

namespace orlune::relay
{

// Why a well-formed datagram was not forwarded.
enum class RoomDrop
{
    ForeignSource,        // the room is owned by another live source
    RoomLimit,            // a new room would exceed the configured room limit
    DuplicateOrReordered, // sequence at or behind the last one forwarded
    SourceRoomLimit,      // the sending address already holds as many rooms as it may
    StreamRate,           // the room's stream is over its datagram rate
};
inline constexpr std::size_t kRoomDropCount = 5;

// Why a WebSocket listener was turned away.
enum class ListenerReject
{
    RoomLimit,
    RoomFull,
    RelayFull,
};
inline constexpr std::size_t kListenerRejectCount = 3;

// Why a datagram was dropped before it was looked at (SourceGuard).
enum class SourceDrop
{
    NotAllowed, // the address is outside --allow-source
    RateLimit,  // the address is over its datagram rate
};
inline constexpr std::size_t kSourceDropCount = 2;

// Why a TCP connection (or, behind a proxy, a client's request) was turned away.
enum class ConnectionReject
{
    RelayFull,         // --max-connections reached
    ClientRate,        // the client opened connections too fast
    ClientConnections, // the client has as many connections open as it may
};
inline constexpr std::size_t kConnectionRejectCount = 3;

// Why an HTTP request was refused for its form rather than its target.
enum class RequestReject
{
    MethodNotAllowed, // 405: anything but GET and HEAD
    BodyNotAllowed,   // 400: a GET or HEAD with a body
    BodyTooLarge,     // 413
};
inline constexpr std::size_t kRequestRejectCount = 3;

struct Metrics
{
    Counter datagramsReceived;
    Counter bytesReceived;
    Counter datagramsForwarded; // accepted and fanned out to the room
    std::array<Counter, kParseErrorCount> malformed{};
    std::array<Counter, kRoomDropCount> roomDrops{};

    Counter audioMessagesSent; // completed binary WebSocket writes
    Counter textMessagesSent;
    Counter bytesSent; // WebSocket payload bytes of completed writes
    Counter listenerSkips;
    Counter listenerSkippedMessages;
    Counter listenersAccepted;
    std::array<Counter, kListenerRejectCount> listenerRejects{};

    Counter httpRequests;
    Counter connectionsOpen;
    std::array<Counter, kSourceDropCount> sourceDrops{};
    std::array<Counter, kConnectionRejectCount> connectionRejects{};
    std::array<Counter, kRequestRejectCount> requestRejects{};
    std::array<TierMetrics, kTierCount> tiers{};
    Counter badQualityRequests;   // quality messages naming no tier
    Counter loopHandOversDropped; // messages for another event loop whose inbox was full

    TierMetrics& tier(Tier t) { return tiers[tierIndex(t)]; }

    void countMalformed(ParseError e) { ++malformed[static_cast<std::size_t>(e)]; }
    void countDrop(RoomDrop d) { ++roomDrops[static_cast<std::size_t>(d)]; }
    void countReject(ListenerReject r) { ++listenerRejects[static_cast<std::size_t>(r)]; }
    void countDrop(SourceDrop d) { ++sourceDrops[static_cast<std::size_t>(d)]; }
    void countReject(ConnectionReject r) { ++connectionRejects[static_cast<std::size_t>(r)]; }
    void countReject(RequestReject r) { ++requestRejects[static_cast<std::size_t>(r)]; }
};

} // namespace orlune::relay
