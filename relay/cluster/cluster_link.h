// The relay's link to the other relays of a cluster, through NATS.
//
// Every room this relay ingests is published, one subject per room and tier
// (orlune.room.<code>.<tier>): the float32 messages once per datagram, and each Opus tier that
// listeners anywhere in the cluster want, encoded here once. A relay subscribes to a room's
// float32 subject while it has listeners in the room (it carries the room's sequence, so its
// liveness and ownership) and to an Opus tier's subject while it has listeners on that tier; it
// tells the cluster which Opus tiers it wants (ClusterInterest), and feeds what it receives
// into its own rooms. Which relay owns a room is decided by a lease (room_leases.h) in a
// JetStream key-value bucket (nats_lease_store.h), asked for only once this relay's own limits
// have admitted the room's source.
//
// The NATS client runs its own threads. Its callbacks only copy what they received and post it
// to the relay's io_context; the blocking key-value calls run on the leases' worker thread and
// post their outcome back. Relay state is touched on the io_context thread only.
//
// The link is wired to the rooms by the relay (app/server.cpp): it hears them as RoomEvents
// (directly, or through the loops' hand-over) and is reached as the Core's ClusterView.
#pragma once

#include "cluster/cluster_interest.h"
#include "cluster/cluster_wire.h"
#include "cluster/room_leases.h"
#include "loop/core.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orlune::relay
{

class ClusterLink : public ClusterView, public RoomEvents
{
public:
    // Starts connecting (in the background: the relay serves its own rooms meanwhile).
    // Throws on options the client refuses. Touches neither the registry's events nor the
    // Core's cluster pointer: the relay sets both.
    ClusterLink(net::io_context& ioc, Core& core);
    ~ClusterLink() override;

    ClusterLink(const ClusterLink&) = delete;
    ClusterLink& operator=(const ClusterLink&) = delete;

    void start();
    // Relay stopping: frees the leases it holds (best effort), stops subscribing.
    void shutdown();

    bool admit(const Datagram& datagram, const Endpoint& from) override;
    bool healthy() const override;
    std::string healthText() const override;
    std::string metricsText() const override;

    void onLocalForward(std::string_view room, const SharedFrame& message,
                        bool streamStart) override;
    void onListenersPresent(std::string_view room, bool present) override;
    void onTierMessage(std::string_view room, Tier tier, const SharedFrame& message) override;
    void onTierListenersPresent(std::string_view room, Tier tier, bool present) override;

    struct Shared; // what the client's threads may reach

private:
    void tick();
    void scheduleTick();
    void onRemote(const std::string& room, const std::string& tier, const ClusterMessage& message);
    void onInterest(const std::string& room, const Interest& interest);
    void applyInterest(const std::vector<ClusterInterest::Change>& changes);
    void announceInterest();
    void publish(std::string_view room, std::string_view tier, bool streamStart,
                 std::string_view message);
    void subscribe(const std::string& subject, bool present);

    Core& core_;
    net::steady_timer timer_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<RoomLeases> leases_;
    std::map<std::string, void*, std::less<>> subscriptions_; // by subject; natsSubscription*
    void* interestSubscription_ = nullptr;                    // natsSubscription*
    ClusterInterest interest_;
    std::string publishBuffer_;
    bool stopped_ = false;
};

} // namespace orlune::relay
