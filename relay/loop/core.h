// State shared by the connections of one event loop, and the housekeeping view of an upgraded
// connection. A relay runs one loop or several (event_loops.h); each has its own Core, touched
// only on that loop's thread, except for the parts named relay-wide below.
#pragma once

#include "guards/client_guard.h"
#include "guards/relay_admission.h"
#include "guards/source_guard.h"
#include "loop/settings.h"
#include "rooms/counters.h"
#include "rooms/rooms.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
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
    // Whether this relay may hand a valid datagram, of a room its own limits admit, to its
    // rooms now. It may keep a copy and hand it over later, once the cluster has decided who
    // owns the room.
    virtual bool admit(const Datagram& datagram, const Endpoint& from) = 0;
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
    // Relay-wide limits on rooms and listeners (thread-safe): the relay's, or this Core's own.
    std::unique_ptr<RelayAdmission> ownAdmission;
    RelayAdmission& admission;
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

    // A flush may queue more audio (an Auto step-down replays the new tier's recent messages),
    // which adds to `pendingFlush`: each round takes the list as it stands, so no iteration
    // sees the vector grow under it, and rounds go on until nothing is pending.
    void flushPending()
    {
        while (!pendingFlush.empty())
        {
            std::vector<SocketSession*> round;
            round.swap(pendingFlush);
            for (SocketSession* session : round)
                session->flush();
            round.clear();
            if (pendingFlush.empty())
                pendingFlush.swap(round); // keeps the capacity for the next datagram
        }
    }

    // A session ending while it waits to be flushed.
    void forgetPendingFlush(SocketSession* session)
    {
        pendingFlush.erase(std::remove(pendingFlush.begin(), pendingFlush.end(), session),
                           pendingFlush.end());
    }

    // Without `relayAdmission` the Core is a relay of its own: its registry's rooms are
    // admitted by the Core's own RelayAdmission. With one, the relay decides which registry
    // asks it about rooms (the home loop's: see EventLoop).
    Core(Config c, ClientGuard& relayClients, RelayAdmission* relayAdmission = nullptr)
        : config(std::move(c))
        , sources(config.sources)
        , clients(relayClients)
        , ownAdmission(relayAdmission == nullptr ? std::make_unique<RelayAdmission>(config.limits)
                                                 : nullptr)
        , admission(relayAdmission != nullptr ? *relayAdmission : *ownAdmission)
        , registry(registryLimits(config.limits), metrics, &sources)
    {
        if (ownAdmission)
            registry.setRoomGate(ownAdmission.get());
    }

    TimePoint now() const { return config.clock(); }

    // Takes a listener's place in `room`, relay-wide, before its upgrade is answered; a refusal
    // is counted.
    JoinResult reserve(std::string_view room, Seat& seat)
    {
        const JoinResult verdict = admission.reserve(room, seat);
        if (verdict != JoinResult::Joined)
            metrics.countReject(rejectReason(verdict));
        return verdict;
    }

    // Adds a listener to this loop's room; its place was taken by reserve().
    JoinResult join(Seat& seat, ListenerSink* sink, ListenerOptions options = {})
    {
        const JoinResult verdict = registry.addListener(seat.room(), sink, now(), options);
        if (verdict != JoinResult::Joined)
            seat.release();
        return verdict;
    }

    // Removes a listener that join() added and gives its place back.
    void leave(Seat& seat, ListenerSink* sink)
    {
        registry.removeListener(seat.room(), sink, now());
        seat.release();
    }

    void connectionOpened() { ++metrics.connectionsOpen; }
    void connectionClosed()
    {
        --metrics.connectionsOpen;
        if (stopping && metrics.connectionsOpen == 0 && onLastConnectionClosed)
            onLastConnectionClosed();
    }

private:
    // The relay's admission decides on rooms and listeners; the registry only keeps them.
    static RoomLimits registryLimits(RoomLimits limits)
    {
        limits.maxRooms = limits.maxListenersPerRoom = limits.maxListenersTotal =
            static_cast<std::size_t>(-1);
        return limits;
    }
};

} // namespace orlune::relay
