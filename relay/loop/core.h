// State shared by the connections of one event loop, and the housekeeping view of an upgraded
// connection. A relay runs one loop or several (event_loops.h); each has its own Core, touched
// only on that loop's thread, except for the parts named relay-wide below.
#pragma once

#include "guards/client_guard.h"
#include "guards/listener_quota.h"
#include "guards/source_guard.h"
#include "loop/settings.h"
#include "rooms/counters.h"
#include "rooms/rooms.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

namespace orlune::relay
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

inline constexpr char kServerName[] = "orlune-relay";

using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

template <class T> struct IsTls : std::false_type
{
};
template <class T> struct IsTls<beast::ssl_stream<T>> : std::true_type
{
};

// An upgraded connection, as the relay's housekeeping sees it.
class SocketSession
{
public:
    virtual ~SocketSession() = default;
    virtual void tick(TimePoint now) = 0; // timeouts and keep-alive pings
    virtual void goAway() = 0;            // relay shutting down
    virtual void flush() = 0;             // start writing what was queued
};

// The cluster link as the rest of the relay sees it; absent on a relay without --nats.
class ClusterView
{
public:
    virtual ~ClusterView() = default;
    // Whether this relay may hand a valid datagram (`raw`, `size` bytes) to its rooms now. It
    // may keep a copy and hand it over later, once the cluster has decided who owns the room.
    virtual bool admit(const Datagram& datagram, const Endpoint& from, const std::uint8_t* raw,
                       std::size_t size) = 0;
    // Safe from any loop's thread.
    virtual bool healthy() const = 0;
    virtual std::string healthText() const = 0;
    virtual std::string metricsText() const = 0; // Prometheus text, appended to /metrics
};

// State shared by the connections of one event loop. Lives as long as the Relay, longer than
// the loop's io_context.
struct Core
{
    Config config;
    Metrics metrics; // this loop's; /metrics adds every loop's up
    SourceGuard sources;
    ClientGuard& clients; // relay-wide, thread-safe
    // Relay-wide listener limits; null on a relay of one loop, where the registry keeps them.
    ListenerQuota* quota;
    RoomRegistry registry;
    std::string webRoot;
    ClusterView* cluster = nullptr; // not owned; the home loop's link, on every loop
    bool stopping = false;
    std::function<void()> onLastConnectionClosed;
    std::set<SocketSession*> sockets; // every upgraded connection
    // Sessions with audio queued but not yet written. Flushed before the handler that queued
    // it returns, so a session in it is always alive.
    std::vector<SocketSession*> pendingFlush;
    // With several loops: renders the relay-wide /metrics text on the home loop and hands it to
    // `done` on this loop. Empty on a relay of one loop (rendered where it is asked for).
    std::function<void(std::function<void(std::string)>)> renderRelayMetrics;

    void flushPending()
    {
        for (SocketSession* session : pendingFlush)
            session->flush();
        pendingFlush.clear();
    }

    Core(Config c, ClientGuard& relayClients, ListenerQuota* relayQuota = nullptr)
        : config(std::move(c))
        , sources(config.sources)
        , clients(relayClients)
        , quota(relayQuota)
        , registry(registryLimits(config.limits, relayQuota != nullptr), metrics, &sources)
    {
    }

    TimePoint now() const { return config.clock(); }

    // Whether a listener could join `room` now, relay-wide.
    JoinResult canJoin(std::string_view room) const
    {
        if (quota != nullptr)
        {
            const JoinResult verdict = quota->check(room);
            if (verdict != JoinResult::Joined)
                return verdict;
        }
        return registry.canJoin(room);
    }

    // Adds a listener to this loop's room (and the relay-wide count); rejections are counted.
    JoinResult join(std::string_view room, ListenerSink* sink, ListenerOptions options = {})
    {
        if (quota == nullptr)
            return registry.addListener(room, sink, now(), options);
        JoinResult verdict = quota->reserve(room);
        if (verdict != JoinResult::Joined)
        {
            metrics.countReject(rejectReason(verdict));
            return verdict;
        }
        verdict = registry.addListener(room, sink, now(), options);
        if (verdict != JoinResult::Joined)
            quota->release(room);
        return verdict;
    }

    // Removes a listener that join() added.
    void leave(std::string_view room, ListenerSink* sink)
    {
        registry.removeListener(room, sink, now());
        if (quota != nullptr)
            quota->release(room);
    }

    void connectionOpened() { ++metrics.connectionsOpen; }
    void connectionClosed()
    {
        --metrics.connectionsOpen;
        if (stopping && metrics.connectionsOpen == 0 && onLastConnectionClosed)
            onLastConnectionClosed();
    }

private:
    // With a relay-wide quota the loop's registry counts only rooms: its listeners are a share.
    static RoomLimits registryLimits(RoomLimits limits, bool relayWideQuota)
    {
        if (relayWideQuota)
            limits.maxListenersPerRoom = limits.maxListenersTotal = static_cast<std::size_t>(-1);
        return limits;
    }
};

} // namespace orlune::relay
