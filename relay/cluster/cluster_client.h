// The cluster link's side that the NATS client's threads reach: the connection and the link's
// counters.
//
// The client's callbacks get it as a raw closure, so the link destroys every subscription and
// the connection before letting go of it.
// The callbacks only check and copy what they receive and post it to the relay's io_context.
#pragma once

#include "cluster/cluster_link.h"

#include <boost/asio/post.hpp>

#include <nats/nats.h>

#include <mutex>

namespace orlune::relay
{

struct ClusterLink::Shared
{
    std::string relayId;
    int replicas = 1;

    std::mutex mutex; // guards ioc and link
    net::io_context* ioc = nullptr;
    ClusterLink* link = nullptr; // used only in handlers run on ioc

    natsConnection* connection = nullptr;

    std::atomic<bool> connected{false};
    std::atomic<std::uint64_t> reconnects{0}, disconnects{0}, messagesIn{0}, bytesIn{0},
        messagesOut{0}, bytesOut{0}, publishErrors{0}, malformed{0}, asyncErrors{0}, interestIn{0},
        interestOut{0};

    template <class F> void post(F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ioc != nullptr)
            net::post(*ioc, std::forward<F>(f));
    }

    // Connects to `urls` (retrying in the background when none answers yet).
    natsStatus connect(const std::vector<std::string>& urls);

    // Client threads.
    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void onInterest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void onConnected(natsConnection*, void* closure);
    static void onReconnected(natsConnection*, void* closure);
    static void onDisconnected(natsConnection*, void* closure);
    static void onError(natsConnection*, natsSubscription*, natsStatus, void* closure);
};

} // namespace orlune::relay
