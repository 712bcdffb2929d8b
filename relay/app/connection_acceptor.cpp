#include "app/connection_acceptor.h"

#include "http/http_session.h"

#include <boost/asio/post.hpp>
#include <boost/beast/core/error.hpp>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace orlune::relay
{

ConnectionAcceptor::ConnectionAcceptor(std::vector<std::unique_ptr<EventLoop>>& loops,
                                       ClientGuard& clients, ssl::context* tls)
    : loops_(loops)
    , clients_(clients)
    , tls_(tls)
    , acceptor_(loops.front()->ioc())
    , acceptRetryTimer_(loops.front()->ioc())
{
    const Config& config = home().core().config;
    const tcp::endpoint httpAt(net::ip::make_address(config.httpAddress), config.httpPort);
    acceptor_.open(httpAt.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(httpAt);
    acceptor_.listen(net::socket_base::max_listen_connections);
    httpPort_ = acceptor_.local_endpoint().port();
    openMetricsListener(config);
}

void ConnectionAcceptor::openMetricsListener(const Config& config)
{
    if (config.metricsAddress.empty())
        return;
    const tcp::endpoint at(net::ip::make_address(config.metricsAddress), config.metricsPort);
    try
    {
        metricsAcceptor_.emplace(home().ioc());
        metricsAcceptor_->open(at.protocol());
        metricsAcceptor_->set_option(net::socket_base::reuse_address(true));
        metricsAcceptor_->bind(at);
        metricsAcceptor_->listen(16);
        metricsPort_ = metricsAcceptor_->local_endpoint().port();
        metricsRetryTimer_.emplace(home().ioc());
    }
    catch (const std::exception& e)
    {
        metricsAcceptor_.reset();
        if (config.metricsAddressGiven)
            throw std::runtime_error("cannot serve metrics on " + config.metricsAddress + ":" +
                                     std::to_string(config.metricsPort) + ": " + e.what());
        std::fprintf(stderr,
                     "orlune-relay: no metrics listener: %s:%u is taken (%s); choose "
                     "another with --metrics-address\n",
                     config.metricsAddress.c_str(), unsigned(config.metricsPort), e.what());
    }
}

void ConnectionAcceptor::start()
{
    acceptNext();
    acceptMetricsNext();
}

void ConnectionAcceptor::close()
{
    beast::error_code ignored;
    acceptor_.close(ignored);
    acceptRetryTimer_.cancel();
    if (metricsAcceptor_)
    {
        metricsAcceptor_->close(ignored);
        metricsRetryTimer_->cancel();
    }
}

void ConnectionAcceptor::retryLater(net::steady_timer& timer, void (ConnectionAcceptor::*again)())
{
    timer.expires_after(std::chrono::milliseconds(100));
    timer.async_wait(
        [this, again](beast::error_code e)
        {
            if (!e && !home().core().stopping)
                (this->*again)();
        });
}

void ConnectionAcceptor::acceptNext()
{
    EventLoop& target = *loops_[nextLoop_];
    nextLoop_ = (nextLoop_ + 1) % loops_.size();
    acceptor_.async_accept(target.ioc(),
                           [this, &target](beast::error_code ec, tcp::socket socket)
                           {
                               if (ec == net::error::operation_aborted || home().core().stopping)
                                   return;
                               if (ec)
                                   return retryLater(acceptRetryTimer_,
                                                     &ConnectionAcceptor::acceptNext);
                               onAccepted(target, std::move(socket));
                               acceptNext();
                           });
}

// The figures are wanted most when the relay is full: monitoring connections are not counted.
void ConnectionAcceptor::acceptMetricsNext()
{
    if (!metricsAcceptor_)
        return;
    metricsAcceptor_->async_accept(
        home().ioc(),
        [this](beast::error_code ec, tcp::socket socket)
        {
            if (ec == net::error::operation_aborted || home().core().stopping)
                return;
            if (ec)
                return retryLater(*metricsRetryTimer_, &ConnectionAcceptor::acceptMetricsNext);
            startMonitoringSession(home().core(), std::move(socket));
            acceptMetricsNext();
        });
}

// Open connections on every loop, and those on their way to one.
std::size_t ConnectionAcceptor::relayConnections() const
{
    std::size_t open = handingOver_.load();
    for (const auto& loop : loops_)
        open += loop->core().metrics.connectionsOpen;
    return open;
}

void ConnectionAcceptor::onAccepted(EventLoop& target, tcp::socket socket)
{
    Core& core = home().core();
    beast::error_code ignored;
    if (relayConnections() >= core.config.maxConnections)
    {
        core.metrics.countReject(ConnectionReject::RelayFull);
        socket.close(ignored);
        return;
    }
    ClientLease lease;
    bool overRate = false;
    if (!admitClient(socket, lease, overRate))
    {
        socket.close(ignored);
        return;
    }
    socket.set_option(tcp::no_delay(true), ignored);
    if (target.isHome())
        return startHttpSession(core, std::move(socket), tls_, std::move(lease), overRate);
    ++handingOver_;
    net::post(
        target.ioc(),
        [this, &target, socket = std::move(socket), lease = std::move(lease), overRate]() mutable
        {
            startHttpSession(target.core(), std::move(socket), tls_, std::move(lease), overRate);
            --handingOver_;
        });
}

// Counts a direct client's connection; false when it is to be closed unanswered. Over the
// rate, a plain connection is answered 429; a TLS one is closed before its handshake costs
// anything. A trusted proxy's connections are counted per client by the session.
bool ConnectionAcceptor::admitClient(const tcp::socket& socket, ClientLease& lease, bool& overRate)
{
    Core& core = home().core();
    beast::error_code ec;
    const auto peer = socket.remote_endpoint(ec);
    if (ec)
        return false;
    if (clients_.isTrustedProxy(peer.address()))
        return true;
    switch (clients_.admit(peer.address(), core.now(), lease))
    {
        case ClientVerdict::Admitted:
            return true;
        case ClientVerdict::TooManyOpen:
            core.metrics.countReject(ConnectionReject::ClientConnections);
            return false;
        case ClientVerdict::RateLimited:
            core.metrics.countReject(ConnectionReject::ClientRate);
            overRate = true;
            return tls_ == nullptr;
    }
    return false;
}

} // namespace orlune::relay
