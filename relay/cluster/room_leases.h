// Which relay of a cluster owns each room this relay's sources send to: a lease per room in a
// LeaseStore, taken when a source here starts a room this relay admits, refreshed while it
// sends, freed once it has been silent for the takeover time (a crashed owner's lease expires
// with the store's time-to-live).
//
// While the store is asked, a room's datagrams are held (parsed, at most kMaxHeld per room and
// kMaxHeldTotal in all) and handed to the registry once the answer comes: all of them if the
// room is this relay's, none if another relay owns it. A room the registry then refuses after
// all gives its lease back at once. The store's calls block: they run in order on one worker
// thread of this object, and their answers are posted back to the relay's io_context; every
// other part is touched on that thread only.
#pragma once

#include "loop/core.h"
#include "cluster/lease_store.h"

#include <boost/asio/io_context.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace orlune::relay
{

class RoomLeases
{
public:
    static constexpr std::size_t kMaxHeld = 128;       // 680 ms of audio while the store answers
    static constexpr std::size_t kMaxHeldTotal = 4096; // 8 MiB over every room
    static constexpr auto kRefresh = std::chrono::milliseconds(500);
    static constexpr auto kRetryTheirs = std::chrono::milliseconds(250);
    static constexpr auto kRetryLocal = std::chrono::milliseconds(1000);

    RoomLeases(net::io_context& ioc, Core& core, std::string relayId,
               std::shared_ptr<LeaseStore> store);
    // Finishes the store calls already queued (the releases of shutdown()).
    ~RoomLeases();
    RoomLeases(const RoomLeases&) = delete;
    RoomLeases& operator=(const RoomLeases&) = delete;

    // A datagram the registry would take. True: hand it to the registry now; false: held or
    // refused here (counted). `storeReachable`: the link to the store is up.
    bool admit(const Datagram& datagram, const Endpoint& from, bool storeReachable);
    // Refreshes, frees and forgets leases; makes sure the store is ready.
    void tick(bool storeReachable);
    // Relay stopping: frees the leases held (best effort), asks nothing more.
    void shutdown();

    bool owns(std::string_view room) const;
    bool storeReady() const { return storeReady_; }
    std::size_t held() const; // leases owned
    std::size_t tracked() const { return leases_.size(); }
    const std::string& relayId() const { return relayId_; }

    // A lease newly taken (the link starts the tiers other relays want).
    std::function<void(const std::string& room)> onGranted;

    struct Counters
    {
        std::atomic<std::uint64_t> granted{0}, denied{0}, lost{0}, unavailable{0}, heldDropped{0},
            tableFull{0}, givenBack{0};
    };
    const Counters& counters() const { return counters_; }

private:
    enum class State
    {
        None,      // nothing decided
        Pending,   // asking the store; datagrams are held
        Ours,      // this relay owns the room: forwarded and published
        LocalOnly, // the store could not be asked: served here, not published
        Theirs,    // another relay owns it: datagrams counted as foreign
    };
    struct Held
    {
        std::int64_t sequence = 0;
        std::int64_t samplePosition = 0;
        std::array<std::uint8_t, kSampleBytes> samples{};
        Endpoint from;
    };
    struct Lease
    {
        State state = State::None;
        std::uint64_t revision = 0;
        std::string owner;
        std::string source;
        TimePoint lastDatagram{};
        TimePoint lastAttempt{};
        bool busy = false; // a store call is in flight
        std::deque<Held> held;
    };

    void ask(const std::string& room, Lease& lease, bool release);
    void onAnswer(const std::string& room, const LeaseAnswer& answer);
    void hold(Lease& lease, const Datagram& datagram, const Endpoint& from);
    // Hands the held datagrams to the registry (or counts them foreign); false when the
    // registry took none of them for the room's source.
    bool giveBack(const std::string& room, Lease& lease, bool admitted);
    void runJob(std::function<void()> job);
    void workerLoop();

    net::io_context& ioc_;
    Core& core_;
    const std::string relayId_;
    const std::shared_ptr<LeaseStore> store_;
    std::map<std::string, Lease, std::less<>> leases_;
    std::size_t heldTotal_ = 0;
    bool stopped_ = false;
    std::atomic<bool> storeReady_{false};
    std::atomic<bool> readyAsked_{false};
    Counters counters_;
    std::shared_ptr<char> alive_ = std::make_shared<char>(); // answers posted after it go nowhere

    std::mutex jobsMutex_;
    std::condition_variable jobsReady_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::thread worker_;
};

} // namespace orlune::relay
