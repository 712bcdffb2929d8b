// Relay counters. Each event loop has its own set, written only by its thread; /metrics adds
// them up on whichever thread renders the page.
#pragma once

#include "wire/datagram.h"
#include "tiers/tiers.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
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

// A count with one writing thread that any thread may read. Relaxed load and store, no
// read-modify-write: on the writer it costs what a plain integer costs, and a reader on another
// thread sees a recent value without a data race.
class Counter
{
public:
    Counter() = default;
    Counter(const Counter& other)
        : value_(other.get())
    {
    }
    Counter& operator=(const Counter& other)
    {
        set(other.get());
        return *this;
    }
    Counter& operator=(std::uint64_t v)
    {
        set(v);
        return *this;
    }
    Counter& operator++()
    {
        set(get() + 1);
        return *this;
    }
    Counter& operator--()
    {
        set(get() - 1);
        return *this;
    }
    Counter& operator+=(std::uint64_t n)
    {
        set(get() + n);
        return *this;
    }
    operator std::uint64_t() const { return get(); }
    std::uint64_t get() const { return value_.load(std::memory_order_relaxed); }

private:
    void set(std::uint64_t v) { value_.store(v, std::memory_order_relaxed); }
    std::atomic<std::uint64_t> value_{0};
};

// Figures of one quality tier, over all rooms. Encoder figures count once per room, not per
// listener; the sent figures count what reached listeners.
struct TierMetrics
{
    Counter listeners; // gauge: listeners on the tier now
    Counter encoders;  // gauge: rooms encoding the tier here now
    Counter encodersCreated;
    Counter framesEncoded;
    Counter framesMissing;  // sent with length 0: source loss, for the player to conceal
    Counter encodedBytes;   // Opus packet bytes
    Counter messagesBuilt;  // binary messages made here (once per room)
    Counter remoteMessages; // already-encoded messages received from elsewhere
    Counter encodeNanoseconds;
    Counter samplesSanitised; // non-finite or beyond full scale, changed before encoding
    Counter messagesSent;     // completed binary writes to listeners
    Counter bytesSent;        // their WebSocket payload bytes
    Counter stepDowns;        // listeners the relay moved down from this tier
    Counter switchRequests;   // listeners' requests for this tier
    Counter switchesSpliced;  // listeners moved here with no gap
    Counter switchesCut;      // moved here with nothing to splice onto, or after the wait
};

struct Metrics
{
    Counter datagramsReceived;
    Counter bytesReceived;
    Counter datagramsForwarded; // accepted and fanned out to the room
    // Holes in rooms' streams filled before Opus encoding, and the frames (per channel) of
    // audio made up for them; what is not filled reaches the tiers as missing frames.
    Counter holesConcealed;
    Counter framesConcealed;
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

// Listener figures of a relay whose listeners are spread over several event loops: every
// loop's, where a loop's own registry knows only its share.
struct ListenerCensus
{
    std::size_t total = 0;
    std::map<std::string, std::size_t, std::less<>> perRoom;
};

// Prometheus text exposition format (version 0.0.4) of the counters and the per-room figures.
// With `census`, the listener figures are taken from it instead of from `rooms`.
std::string renderMetrics(const Metrics& metrics, const RoomRegistry& rooms,
                          const ListenerCensus* census = nullptr);

} // namespace orlune::relay
