// State shared by every connection of one relay, and the housekeeping view of an upgraded
// connection. Everything here lives on the relay's io_context thread.
#pragma once

#include "client_guard.h"
#include "config.h"
#include "metrics.h"
#include "rooms.h"
#include "source_guard.h"

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
    virtual bool healthy() const = 0;
    virtual std::string healthText() const = 0;
    virtual std::string metricsText() const = 0; // Prometheus text, appended to /metrics
};

// State shared by every connection. Lives as long as the Relay, longer than the io_context.
struct Core
{
    Config config;
    Metrics metrics;
    SourceGuard sources;
    ClientGuard clients;
    RoomRegistry registry;
    std::string webRoot;
    ClusterView* cluster = nullptr; // not owned
    bool stopping = false;
    std::function<void()> onLastConnectionClosed;
    std::set<SocketSession*> sockets; // every upgraded connection
    // Sessions with audio queued but not yet written. Flushed before the handler that queued
    // it returns, so a session in it is always alive.
    std::vector<SocketSession*> pendingFlush;

    void flushPending()
    {
        for (SocketSession* session : pendingFlush)
            session->flush();
        pendingFlush.clear();
    }

    explicit Core(Config c)
        : config(std::move(c))
        , sources(config.sources)
        , clients(config.clients)
        , registry(config.limits, metrics, &sources)
    {
    }

    TimePoint now() const { return config.clock(); }

    void connectionOpened() { ++metrics.connectionsOpen; }
    void connectionClosed()
    {
        --metrics.connectionsOpen;
        if (stopping && metrics.connectionsOpen == 0 && onLastConnectionClosed)
            onLastConnectionClosed();
    }
};

} // namespace orlune::relay
