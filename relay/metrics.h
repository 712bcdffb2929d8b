// Relay-wide counters. All relay work happens on one io_context thread, so these are plain
// integers read and written only on that thread.
#pragma once

#include "datagram.h"
#include "tiers.h"

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
    SourceRoomLimit,      // the sending address already holds as many rooms as it may
    StreamRate,           // the room's stream is over its datagram rate
};
inline constexpr std::size_t kRoomDropCount = 5;
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

// Why a datagram was dropped before it was looked at (SourceGuard).
enum class SourceDrop
{
    NotAllowed, // the address is outside --allow-source
    RateLimit,  // the address is over its datagram rate
};
inline constexpr std::size_t kSourceDropCount = 2;
std::string_view sourceDropName(SourceDrop drop);

// Why a TCP connection (or, behind a proxy, a client's request) was turned away.
enum class ConnectionReject
{
    RelayFull,         // --max-connections reached
    ClientRate,        // the client opened connections too fast
    ClientConnections, // the client has as many connections open as it may
};
inline constexpr std::size_t kConnectionRejectCount = 3;
std::string_view connectionRejectName(ConnectionReject reject);

// Why an HTTP request was refused for its form rather than its target.
enum class RequestReject
{
    MethodNotAllowed, // 405: anything but GET and HEAD
    BodyNotAllowed,   // 400: a GET or HEAD with a body
    BodyTooLarge,     // 413
};
inline constexpr std::size_t kRequestRejectCount = 3;
std::string_view requestRejectName(RequestReject reject);

// Figures of one quality tier, over all rooms. Encoder figures count once per room, not per
// listener; the sent figures count what reached listeners.
struct TierMetrics
{
    std::uint64_t encodersCreated = 0;
    std::uint64_t framesEncoded = 0;
    std::uint64_t framesMissing = 0;  // sent with length 0: source loss, for the player to conceal
    std::uint64_t encodedBytes = 0;   // Opus packet bytes
    std::uint64_t messagesBuilt = 0;  // binary messages made here (once per room)
    std::uint64_t remoteMessages = 0; // already-encoded messages received from elsewhere
    std::uint64_t encodeNanoseconds = 0;
    std::uint64_t samplesSanitised = 0; // non-finite or beyond full scale, changed before encoding
    std::uint64_t messagesSent = 0;     // completed binary writes to listeners
    std::uint64_t bytesSent = 0;        // their WebSocket payload bytes
    std::uint64_t stepDowns = 0;        // listeners the relay moved down from this tier
    std::uint64_t switchRequests = 0;   // listeners' requests for this tier
};

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
    std::uint64_t connectionsOpen = 0;
    std::array<std::uint64_t, kSourceDropCount> sourceDrops{};
    std::array<std::uint64_t, kConnectionRejectCount> connectionRejects{};
    std::array<std::uint64_t, kRequestRejectCount> requestRejects{};
    std::array<TierMetrics, kTierCount> tiers{};
    std::uint64_t badQualityRequests = 0; // quality messages naming no tier

    TierMetrics& tier(Tier t) { return tiers[tierIndex(t)]; }

    void countMalformed(ParseError e) { ++malformed[static_cast<std::size_t>(e)]; }
    void countDrop(RoomDrop d) { ++roomDrops[static_cast<std::size_t>(d)]; }
    void countReject(ListenerReject r) { ++listenerRejects[static_cast<std::size_t>(r)]; }
    void countDrop(SourceDrop d) { ++sourceDrops[static_cast<std::size_t>(d)]; }
    void countReject(ConnectionReject r) { ++connectionRejects[static_cast<std::size_t>(r)]; }
    void countReject(RequestReject r) { ++requestRejects[static_cast<std::size_t>(r)]; }
};

// Prometheus text exposition format (version 0.0.4) of the counters and the per-room figures.
std::string renderMetrics(const Metrics& metrics, const RoomRegistry& rooms);

} // namespace orlune::relay
