// The relay's link to the other relays of a cluster, through NATS.
//
// Every room this relay ingests is published, one subject per room and tier
// (orlune.room.<code>.<tier>): the float32 messages once per datagram, and each Opus tier that
// listeners anywhere in the cluster want, encoded here once. A relay subscribes to a room's
// float32 subject while it has listeners in the room (it carries the room's sequence, so its
// liveness and ownership) and to an Opus tier's subject while it has listeners on that tier; it
// tells the cluster which Opus tiers it wants (ClusterInterest), and feeds what it receives
// into its own rooms. Which relay owns a room
// is decided by a lease in a JetStream key-value bucket: the first relay to create the room's
// key owns it and refreshes it while its source sends; it writes the lease free once its source
// has been silent for the takeover time, and a crashed owner's lease expires with the bucket's
// time-to-live.
//
// The NATS client runs its own threads. Its callbacks only copy what they received and post it
// to the relay's io_context; the blocking key-value calls run on one worker thread of this link
// and post their outcome back. Relay state is touched on the io_context thread only.
#pragma once

#include "cluster/cluster_interest.h"
#include "cluster/cluster_wire.h"
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
    // Throws on options the client refuses.
    ClusterLink(net::io_context& ioc, Core& core);
    ~ClusterLink() override;

    ClusterLink(const ClusterLink&) = delete;
    ClusterLink& operator=(const ClusterLink&) = delete;

    void start();
    // Relay stopping: frees the leases it holds (best effort), stops subscribing.
    void shutdown();

    bool admit(const Datagram& datagram, const Endpoint& from, const std::uint8_t* raw,
               std::size_t size) override;
    bool healthy() const override;
    std::string healthText() const override;
    std::string metricsText() const override;

    void onLocalForward(std::string_view room, const SharedBytes& message,
                        bool streamStart) override;
    void onListenersPresent(std::string_view room, bool present) override;
    void onTierMessage(std::string_view room, Tier tier, const SharedBytes& message) override;
    void onTierListenersPresent(std::string_view room, Tier tier, bool present) override;

    struct Shared; // what the client's threads may reach

private:
    enum class Lease
    {
        None,      // nothing decided
        Pending,   // asking the bucket; datagrams are held
        Ours,      // this relay owns the room: forwarded and published
        LocalOnly, // the bucket could not be asked: served here, not published
        Theirs,    // another relay owns it: datagrams counted as foreign
    };
    struct Held
    {
        std::vector<std::uint8_t> bytes;
        Endpoint from;
    };
    struct RoomLease
    {
        Lease state = Lease::None;
        std::uint64_t revision = 0;
        std::string owner;
        std::string source;
        TimePoint lastDatagram{};
        TimePoint lastAttempt{};
        bool busy = false; // a bucket call is in flight
        std::deque<Held> held;
    };
    enum class Outcome
    {
        Granted,
        Denied,
        Unavailable,
        Released,
    };
    struct Result
    {
        Outcome outcome = Outcome::Unavailable;
        std::uint64_t revision = 0;
        std::string owner;
    };

    void ask(const std::string& room, RoomLease& lease, bool release);
    void onAnswer(const std::string& room, Result result);
    void releaseHeld(RoomLease& lease, bool admitted);
    void tick();
    void scheduleTick();
    void onRemote(const std::string& room, const std::string& tier, const ClusterMessage& message);
    void onInterest(const std::string& room, const Interest& interest);
    void applyInterest(const std::vector<ClusterInterest::Change>& changes);
    void announceInterest();
    void publish(std::string_view room, std::string_view tier, bool streamStart,
                 const std::string& message);
    void subscribe(const std::string& subject, bool present);

    Core& core_;
    net::steady_timer timer_;
    std::shared_ptr<Shared> shared_;
    std::map<std::string, RoomLease, std::less<>> leases_;
    std::map<std::string, void*, std::less<>> subscriptions_; // by subject; natsSubscription*
    void* interestSubscription_ = nullptr;                    // natsSubscription*
    ClusterInterest interest_;
    std::string publishBuffer_;
    bool stopped_ = false;
};

} // namespace orlune::relay
