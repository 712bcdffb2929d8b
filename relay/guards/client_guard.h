// How fast and how often one client may connect to the relay's HTTP port, and who the client
// is when the connection comes through a trusted reverse proxy (X-Forwarded-For).
//
// Pure bookkeeping on an injected clock, like the rooms. One guard serves every event loop of
// the relay, so its table is behind a mutex: taken once per connection (and per proxied
// request), never per message.
#pragma once

#include "guards/cidr.h"
#include "rooms/token_bucket.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace orlune::relay
{

using TimePoint = std::chrono::steady_clock::time_point;

struct ClientLimits
{
    CidrList trustedProxies; // peers whose X-Forwarded-For names the client; empty: none
    // New connections a second per client address, and how many may come at once.
    double connectionRate = 50;
    double connectionBurst = 200;
    // Connections (HTTP and WebSocket) one client address may have open at once: many
    // listeners may share one NAT.
    std::size_t maxOpenPerClient = 500;
};

// The client a request speaks for: `peer` itself unless `peer` is a trusted proxy, then the
// right-most address in `forwardedFor` (every X-Forwarded-For value, joined with commas in
// order) that is not itself a trusted proxy. Entries a proxy did not write are not trusted: the
// walk stops at the first one that is not an address, and a header with nothing usable leaves
// the request to the proxy's own address.
boost::asio::ip::address clientAddress(const boost::asio::ip::address& peer,
                                       std::string_view forwardedFor,
                                       const CidrList& trustedProxies);

enum class ClientVerdict
{
    Admitted,
    RateLimited,
    TooManyOpen,
};

class ClientGuard;

// One open connection counted against a client; releases its count when it goes.
class ClientLease
{
public:
    ClientLease() = default;
    ClientLease(ClientLease&& other) noexcept;
    ClientLease& operator=(ClientLease&& other) noexcept;
    ~ClientLease();
    explicit operator bool() const { return guard_ != nullptr; }
    const boost::asio::ip::address& client() const { return client_; }

private:
    friend class ClientGuard;
    ClientLease(ClientGuard* guard, boost::asio::ip::address client);
    ClientGuard* guard_ = nullptr;
    boost::asio::ip::address client_;
};

class ClientGuard
{
public:
    explicit ClientGuard(ClientLimits limits);
    ClientGuard(const ClientGuard&) = delete;
    ClientGuard& operator=(const ClientGuard&) = delete;

    bool isTrustedProxy(const boost::asio::ip::address& peer) const;

    // A new connection from `client`. Unless too many are open, the connection is counted
    // open (in `lease`) even when it is over the rate, so that its refusal can be answered.
    ClientVerdict admit(const boost::asio::ip::address& client, TimePoint now, ClientLease& lease);

    // Forgets clients with nothing open whose rate budget has refilled.
    void sweep(TimePoint now);

    std::size_t trackedClients() const;
    std::size_t openFor(const boost::asio::ip::address& client) const;
    const ClientLimits& limits() const { return limits_; }

private:
    friend class ClientLease;
    void release(const boost::asio::ip::address& key);

    struct Client
    {
        std::size_t open = 0;
        TokenBucket rate;
    };
    ClientLimits limits_;
    mutable std::mutex mutex_;
    std::unordered_map<boost::asio::ip::address, Client> clients_;
};

} // namespace orlune::relay
