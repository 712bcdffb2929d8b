// The relay's wiring: one io_context thread carrying the datagram ingest, the HTTP acceptor,
// the housekeeping sweep, signals and the orderly shutdown.
#include "server.h"

#include "cluster_link.h"
#include "core.h"
#include "datagram_ingest.h"
#include "http_session.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/error.hpp>

#include <chrono>
#include <csignal>
#include <optional>
#include <vector>

namespace orlune::relay
{

namespace
{
constexpr auto kShutdownGrace = std::chrono::seconds(2);
} // namespace

struct Relay::Impl
{
    Core core;
    std::optional<ssl::context> tls;
    net::io_context ioc{1};
    std::optional<DatagramIngest> ingest;
    std::unique_ptr<ClusterLink> cluster; // with --nats; gone before the io_context
    tcp::acceptor acceptor{ioc};
    net::steady_timer sweepTimer{ioc};
    net::steady_timer acceptRetryTimer{ioc};
    net::steady_timer graceTimer{ioc};
    std::optional<net::signal_set> signals;
    bool destroying = false;
    std::uint16_t udpPort = 0;
    std::uint16_t httpPort = 0;

    explicit Impl(Config config)
        : core(std::move(config))
    {
        core.webRoot = core.config.webRoot.empty() ? defaultWebRoot({}) : core.config.webRoot;

        if (!core.config.tlsCert.empty())
        {
            tls.emplace(ssl::context::tls_server);
            tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
            tls->use_certificate_chain_file(core.config.tlsCert);
            tls->use_private_key_file(core.config.tlsKey, ssl::context::pem);
        }

        ingest.emplace(ioc, core);
        if (!core.config.natsServers.empty())
            cluster = std::make_unique<ClusterLink>(ioc, core);

        const tcp::endpoint httpAt(net::ip::make_address(core.config.httpAddress),
                                   core.config.httpPort);
        acceptor.open(httpAt.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(httpAt);
        acceptor.listen(net::socket_base::max_listen_connections);
        udpPort = ingest->port();
        httpPort = acceptor.local_endpoint().port();

        core.onLastConnectionClosed = [this]
        {
            if (!destroying)
                finishShutdown();
        };
    }

    ~Impl()
    {
        // Sessions still owned by pending handlers die with the io_context below; they must
        // not touch the timers, which are gone by then.
        destroying = true;
    }

    void start()
    {
        ingest->start();
        if (cluster)
            cluster->start();
        acceptNext();
        scheduleSweep();
    }

    void acceptNext()
    {
        acceptor.async_accept(
            [this](beast::error_code ec, tcp::socket socket)
            {
                if (ec == net::error::operation_aborted || core.stopping)
                    return;
                if (ec)
                {
                    // Typically out of file descriptors: back off instead of spinning.
                    acceptRetryTimer.expires_after(std::chrono::milliseconds(100));
                    acceptRetryTimer.async_wait(
                        [this](beast::error_code e)
                        {
                            if (!e && !core.stopping)
                                acceptNext();
                        });
                    return;
                }
                onAccepted(std::move(socket));
                acceptNext();
            });
    }

    void onAccepted(tcp::socket socket)
    {
        if (core.metrics.connectionsOpen >= core.config.maxConnections)
        {
            core.metrics.countReject(ConnectionReject::RelayFull);
            beast::error_code ignored;
            socket.close(ignored);
            return;
        }
        ClientLease lease;
        bool overRate = false;
        if (!admitClient(socket, lease, overRate))
        {
            beast::error_code ignored;
            socket.close(ignored);
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        startHttpSession(core, std::move(socket), tls ? &*tls : nullptr, std::move(lease),
                         overRate);
    }

    // Counts a direct client's connection; false when it is to be closed unanswered. Over the
    // rate, a plain connection is answered 429; a TLS one is closed before its handshake costs
    // anything. A trusted proxy's connections are counted per client by the session.
    bool admitClient(const tcp::socket& socket, ClientLease& lease, bool& overRate)
    {
        beast::error_code ec;
        const auto peer = socket.remote_endpoint(ec);
        if (ec)
            return false;
        if (core.clients.isTrustedProxy(peer.address()))
            return true;
        switch (core.clients.admit(peer.address(), core.now(), lease))
        {
            case ClientVerdict::Admitted:
                return true;
            case ClientVerdict::TooManyOpen:
                core.metrics.countReject(ConnectionReject::ClientConnections);
                return false;
            case ClientVerdict::RateLimited:
                core.metrics.countReject(ConnectionReject::ClientRate);
                overRate = true;
                return !tls;
        }
        return false;
    }

    void scheduleSweep()
    {
        auto period = core.config.limits.sourceSilence / 8;
        if (period > std::chrono::milliseconds(250))
            period = std::chrono::milliseconds(250);
        if (period < std::chrono::milliseconds(5))
            period = std::chrono::milliseconds(5);
        sweepTimer.expires_after(period);
        sweepTimer.async_wait(
            [this](beast::error_code ec)
            {
                if (ec || core.stopping)
                    return;
                const TimePoint now = core.now();
                core.registry.sweep(now);
                core.sources.sweep(now);
                core.clients.sweep(now);
                for (SocketSession* session :
                     std::vector<SocketSession*>(core.sockets.begin(), core.sockets.end()))
                    session->tick(now);
                scheduleSweep();
            });
    }

    void beginShutdown()
    {
        if (core.stopping)
            return;
        core.stopping = true;
        beast::error_code ignored;
        acceptor.close(ignored);
        ingest->close();
        if (cluster)
            cluster->shutdown();
        sweepTimer.cancel();
        acceptRetryTimer.cancel();
        for (SocketSession* session :
             std::vector<SocketSession*>(core.sockets.begin(), core.sockets.end()))
            session->goAway();
        if (core.metrics.connectionsOpen == 0)
            return finishShutdown();
        graceTimer.expires_after(kShutdownGrace);
        graceTimer.async_wait(
            [this](beast::error_code ec)
            {
                if (!ec)
                    ioc.stop();
            });
    }

    // Every connection is gone: drop the remaining waits so run() returns.
    void finishShutdown()
    {
        graceTimer.cancel();
        if (signals)
        {
            beast::error_code ignored;
            signals->cancel(ignored);
        }
    }

    void watchSignals()
    {
        signals.emplace(ioc, SIGINT, SIGTERM);
        signals->async_wait(
            [this](beast::error_code ec, int)
            {
                if (ec)
                    return;
                // A second signal means "now".
                signals->async_wait(
                    [this](beast::error_code e, int)
                    {
                        if (!e)
                            ioc.stop();
                    });
                beginShutdown();
            });
    }
};

Relay::Relay(Config config)
    : impl_(std::make_unique<Impl>(std::move(config)))
{
    impl_->start();
}

Relay::~Relay() = default;

std::uint16_t Relay::udpPort() const
{
    return impl_->udpPort;
}
std::uint16_t Relay::httpPort() const
{
    return impl_->httpPort;
}
bool Relay::usesTls() const
{
    return impl_->tls.has_value();
}
const std::string& Relay::webRoot() const
{
    return impl_->core.webRoot;
}

void Relay::handleSignals()
{
    net::post(impl_->ioc, [impl = impl_.get()] { impl->watchSignals(); });
}

void Relay::run()
{
    impl_->ioc.run();
    if (impl_->signals)
    {
        beast::error_code ignored;
        impl_->signals->cancel(ignored);
    }
}

void Relay::stop()
{
    net::post(impl_->ioc, [impl = impl_.get()] { impl->beginShutdown(); });
}

} // namespace orlune::relay
