// The relay's wiring: the event loops (event_loops.h; one by default per hardware thread), and
// on the home loop the datagram ingest, the connection acceptor handing connections to the
// loops in turn, the cluster link, signals and the orderly shutdown.
#include "app/server.h"

#include "app/connection_acceptor.h"
#include "app/event_loops.h"
#include "app/loop_link.h"
#include "cluster/cluster_link.h"
#include "http/datagram_ingest.h"
#include "loop/core.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/error.hpp>

#include <csignal>
#include <optional>
#include <vector>

namespace orlune::relay
{

struct Relay::Impl
{
    ClientGuard clients;
    RelayAdmission admission;                      // before the loops: they use it
    std::vector<std::unique_ptr<EventLoop>> loops; // [0]: the home loop
    std::unique_ptr<HomeLink> homeLink;            // with several loops
    std::vector<std::unique_ptr<ShardLink>> shardLinks;
    std::optional<ssl::context> tls;
    std::optional<DatagramIngest> ingest;
    std::unique_ptr<ClusterLink> cluster; // with --nats; gone before the io_contexts
    std::optional<ConnectionAcceptor> acceptor;
    std::optional<net::signal_set> signals;

    explicit Impl(Config config)
        : clients(config.clients)
        , admission(config.limits)
    {
        if (config.webRoot.empty())
            config.webRoot = defaultWebRoot({});
        const std::size_t count = eventLoopCount(config);
        for (std::size_t i = 0; i < count; ++i)
        {
            loops.push_back(std::make_unique<EventLoop>(i, config, clients, admission));
            loops.back()->core().webRoot = config.webRoot;
        }
        EventLoop& home = *loops.front();
        Core& core = home.core();

        if (!core.config.tlsCert.empty())
        {
            tls.emplace(ssl::context::tls_server);
            tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
            tls->use_certificate_chain_file(core.config.tlsCert);
            tls->use_private_key_file(core.config.tlsKey, ssl::context::pem);
        }

        ingest.emplace(home.ioc(), core);
        if (!core.config.natsServers.empty())
            cluster = std::make_unique<ClusterLink>(home.ioc(), core);
        wireRooms();

        acceptor.emplace(loops, clients, tls ? &*tls : nullptr);
    }

    // Every registry's events and every loop's view of the cluster, set here only. The home
    // registry's events go to the cluster link, or with several loops through the HomeLink (and
    // on to the cluster link); each shard's registry reports to its ShardLink; every loop asks
    // the one cluster link and renders /metrics at home.
    void wireRooms()
    {
        EventLoop& home = *loops.front();
        for (auto& loop : loops)
            loop->core().cluster = cluster.get();
        if (loops.size() == 1)
        {
            home.core().registry.setEvents(cluster.get());
            return;
        }
        homeLink = std::make_unique<HomeLink>(home, loops.size(), cluster.get());
        home.core().registry.setEvents(homeLink.get());
        for (std::size_t i = 1; i < loops.size(); ++i)
        {
            EventLoop& shard = *loops[i];
            shardLinks.push_back(std::make_unique<ShardLink>(shard, home, *homeLink));
            homeLink->addShard(*shardLinks.back());
            shard.core().registry.setEvents(shardLinks.back().get());
        }
        for (auto& loop : loops)
        {
            EventLoop* at = loop.get();
            at->core().renderRelayMetrics = [this, at](std::function<void(std::string)> done)
            {
                net::post(loops.front()->ioc(),
                          [this, at, done = std::move(done)]() mutable
                          {
                              std::vector<EventLoop*> all;
                              for (auto& l : loops)
                                  all.push_back(l.get());
                              net::post(at->ioc(),
                                        [done = std::move(done), text = homeLink->relayMetricsText(
                                                                     all, admission)]() mutable
                                        { done(std::move(text)); });
                          });
            };
        }
    }

    ~Impl()
    {
        // Sessions still owned by pending handlers die with the io_contexts below: they must
        // reach neither the links nor the cluster. The home loop goes first: a /metrics request
        // of a shard may wait in its queue, holding a session of that shard, which must find
        // its loop still there.
        for (auto& loop : loops)
        {
            loop->core().registry.setEvents(nullptr);
            loop->core().cluster = nullptr;
        }
        signals.reset();
        acceptor.reset();
        ingest.reset();
        cluster.reset();
        for (auto& loop : loops)
            loop.reset();
    }

    EventLoop& home() { return *loops.front(); }

    void start()
    {
        ingest->start();
        if (cluster)
            cluster->start();
        acceptor->start();
        home().startSweep(
            [this](TimePoint now)
            {
                home().core().sources.sweep(now);
                clients.sweep(now);
                if (homeLink)
                    homeLink->sweep(now);
            });
        for (std::size_t i = 1; i < loops.size(); ++i)
            loops[i]->startSweep();
    }

    // Home thread: stops taking datagrams and connections, then every loop closes its listeners.
    void beginShutdown()
    {
        if (home().core().stopping)
            return;
        acceptor->close();
        ingest->close();
        if (cluster)
            cluster->shutdown();
        for (std::size_t i = 1; i < loops.size(); ++i)
            net::post(loops[i]->ioc(), [shard = loops[i].get()] { shard->beginShutdown(); });
        home().beginShutdown(
            [this]
            {
                if (signals)
                {
                    beast::error_code e;
                    signals->cancel(e);
                }
            });
    }

    void stopNow()
    {
        for (auto& loop : loops)
            loop->ioc().stop();
    }

    void watchSignals()
    {
        signals.emplace(home().ioc(), SIGINT, SIGTERM);
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
                            stopNow();
                    });
                beginShutdown();
            });
    }

    void run()
    {
        for (std::size_t i = 1; i < loops.size(); ++i)
            loops[i]->startThread();
        home().ioc().run();
        if (signals)
        {
            beast::error_code ignored;
            signals->cancel(ignored);
        }
        for (std::size_t i = 1; i < loops.size(); ++i)
            loops[i]->joinThread();
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
    return impl_->ingest->port();
}
std::uint16_t Relay::httpPort() const
{
    return impl_->acceptor->httpPort();
}
std::uint16_t Relay::metricsPort() const
{
    return impl_->acceptor->metricsPort();
}
bool Relay::usesTls() const
{
    return impl_->tls.has_value();
}
const std::string& Relay::webRoot() const
{
    return impl_->home().core().webRoot;
}
std::size_t Relay::eventLoops() const
{
    return impl_->loops.size();
}

void Relay::handleSignals()
{
    net::post(impl_->home().ioc(), [impl = impl_.get()] { impl->watchSignals(); });
}

void Relay::run()
{
    impl_->run();
}

void Relay::stop()
{
    net::post(impl_->home().ioc(), [impl = impl_.get()] { impl->beginShutdown(); });
}

} // namespace orlune::relay
