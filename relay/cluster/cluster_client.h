// The cluster link's side that the NATS client's threads and the lease worker reach: the
// connection, the room lease bucket and the link's counters.
//
// Kept alive by shared_ptr copies in the worker; the client's callbacks get it as a raw
// closure, so the link destroys every subscription and the connection before letting go of it.
// The callbacks only check and copy what they receive and post it to the relay's io_context.
#pragma once

#include "cluster/cluster_link.h"

#include <boost/asio/post.hpp>

#include <nats/nats.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

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
    jsCtx* js = nullptr;         // worker thread only
    kvStore* bucket = nullptr;   // worker thread only
    std::string lastBucketError; // worker thread only

    std::atomic<bool> connected{false};
    std::atomic<bool> bucketReady{false};
    std::atomic<bool> bucketAsked{false};
    std::atomic<std::uint64_t> reconnects{0}, disconnects{0}, messagesIn{0}, bytesIn{0},
        messagesOut{0}, bytesOut{0}, publishErrors{0}, malformed{0}, asyncErrors{0}, heldDropped{0},
        leasesGranted{0}, leasesDenied{0}, leasesLost{0}, bucketUnavailable{0}, interestIn{0},
        interestOut{0};

    // The worker: one thread for the blocking key-value calls, in order.
    std::mutex jobsMutex;
    std::condition_variable jobsReady;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::thread worker;

    template <class F> void post(F&& f)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (ioc != nullptr)
            net::post(*ioc, std::forward<F>(f));
    }

    void runJob(std::function<void()> job);
    void workerLoop();

    // Connects to `urls` (retrying in the background when none answers yet).
    natsStatus connect(const std::vector<std::string>& urls);

    bool ensureBucket();
    // Blocking: takes or keeps the room's lease for this relay.
    Result acquire(const std::string& key, const std::string& value, std::uint64_t revision);
    Result release(const std::string& key, std::uint64_t revision);

    // Client threads.
    static void onMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void onInterest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
    static void onConnected(natsConnection*, void* closure);
    static void onReconnected(natsConnection*, void* closure);
    static void onDisconnected(natsConnection*, void* closure);
    static void onError(natsConnection*, natsSubscription*, natsStatus, void* closure);
};

} // namespace orlune::relay
