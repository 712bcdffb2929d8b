// Takes the relay's TCP connections on the home loop: those to the public HTTP port, counted
// against the relay's and each client's limits and handed to the event loops in turn, and
// those to the metrics address, served on the home loop outside those limits.
#pragma once

#include "app/event_loops.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace orlune::relay
{

class ConnectionAcceptor
{
public:
    // Binds the public port and, when the home loop's settings name one, the metrics address
    // (throws when the port cannot be had, or a metrics address given on the command line).
    // `tls`, when given, serves the public port over TLS; it and the loops outlive this.
    ConnectionAcceptor(std::vector<std::unique_ptr<EventLoop>>& loops, ClientGuard& clients,
                       ssl::context* tls);

    ConnectionAcceptor(const ConnectionAcceptor&) = delete;
    ConnectionAcceptor& operator=(const ConnectionAcceptor&) = delete;

    std::uint16_t httpPort() const { return httpPort_; }
    std::uint16_t metricsPort() const { return metricsPort_; } // 0: no metrics listener

    void start();
    // Home thread: takes no more connections.
    void close();

private:
    EventLoop& home() { return *loops_.front(); }
    void openMetricsListener(const Config& config);
    void acceptNext();
    void acceptMetricsNext();
    // After a failed accept (typically out of file descriptors): tries again later instead of
    // spinning.
    void retryLater(net::steady_timer& timer, void (ConnectionAcceptor::*again)());
    void onAccepted(EventLoop& target, tcp::socket socket);
    bool admitClient(const tcp::socket& socket, ClientLease& lease, bool& overRate);
    std::size_t relayConnections() const;

    std::vector<std::unique_ptr<EventLoop>>& loops_;
    ClientGuard& clients_;
    ssl::context* tls_;
    tcp::acceptor acceptor_;
    net::steady_timer acceptRetryTimer_;
    std::optional<tcp::acceptor> metricsAcceptor_; // with a metrics address
    std::optional<net::steady_timer> metricsRetryTimer_;
    std::size_t nextLoop_ = 0;
    std::atomic<std::size_t> handingOver_{0}; // connections posted to a loop, not yet opened there
    std::uint16_t httpPort_ = 0;
    std::uint16_t metricsPort_ = 0;
};

} // namespace orlune::relay
