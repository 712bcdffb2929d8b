// The cluster's room leases between relays, on a lease store in memory: who owns a room, how a
// lease is kept, lost, expired, taken over and freed, and what a relay does while the store is
// slow or down. Each relay is a real RoomLeases with its registry and its worker thread.
#include "cluster/memory_lease_store.h"
#include "cluster/room_leases.h"
#include "http/datagram_ingest.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

// One clock for the store and every relay, moved by the test.
struct TestClock
{
    std::atomic<std::int64_t> ns{1'000'000'000};
    TimePoint now() const { return TimePoint{} + std::chrono::nanoseconds(ns.load()); }
    void advance(Clock::duration d)
    {
        ns += std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    }
};

// A relay of the cluster as far as leases go: its registry, its leases, its event loop.
struct TestRelay
{
    TestRelay(const std::string& id, std::shared_ptr<LeaseStore> store, TestClock& clock,
              std::size_t maxRooms = 100)
        : config(configFor(clock, maxRooms))
        , clients(config.clients)
        , core(config, clients)
        , leases(ioc, core, id, std::move(store))
    {
    }

    static Config configFor(TestClock& clock, std::size_t maxRooms)
    {
        Config c;
        c.clock = [&clock] { return clock.now(); };
        c.limits.maxRooms = maxRooms;
        return c;
    }

    // A datagram of `room` from `from`, as the ingest gives it (to the registry when admitted).
    bool send(const std::string& room, std::int64_t seq, const Endpoint& from)
    {
        test::DatagramFields f;
        f.room = room;
        f.sequence = seq;
        f.samplePosition = seq * 256;
        bytes = test::buildDatagram(f);
        const ParseResult parsed = parseDatagram(bytes.data(), bytes.size());
        const bool now = leases.admit(parsed.datagram, from, reachable);
        if (now)
            core.registry.onDatagram(parsed.datagram, from, core.now());
        return now;
    }

    // Runs the loop until `done` or a second has passed.
    template <class F> bool until(F done)
    {
        for (int i = 0; i < 400; ++i)
        {
            ioc.poll();
            if (done())
                return true;
            ioc.restart();
            std::this_thread::sleep_for(2500us);
        }
        return done();
    }

    std::uint64_t forwarded(const std::string& room) const
    {
        const auto s = core.registry.stats(room);
        return s ? s->forwarded : 0;
    }

    Config config;
    ClientGuard clients;
    Core core;
    net::io_context ioc;
    RoomLeases leases;
    bool reachable = true;
    std::vector<std::uint8_t> bytes;
};

// Returns once the store has been called (its worker is in the call).
void waitForCall(const MemoryLeaseStore& store)
{
    for (int i = 0; i < 1000 && store.calls() == 0; ++i)
        std::this_thread::sleep_for(1ms);
}

const Endpoint kSourceA(net::ip::make_address("127.0.0.1"), 4000);
const Endpoint kSourceB(net::ip::make_address("127.0.0.2"), 4000);

class Leases : public ::testing::Test
{
protected:
    TestClock clock;
    std::shared_ptr<MemoryLeaseStore> store =
        std::make_shared<MemoryLeaseStore>(2s, [this] { return clock.now(); });
};

TEST_F(Leases, TheFirstRelayOwnsTheRoomAndItsHeldDatagramsReachTheRegistryInOrder)
{
    TestRelay a("relay-a", store, clock);
    TestRelay b("relay-b", store, clock);
    for (std::int64_t seq = 0; seq < 5; ++seq)
        EXPECT_FALSE(a.send("jam", seq, kSourceA)) << "held while the store answers";
    ASSERT_TRUE(a.until([&] { return a.leases.owns("jam"); }));
    EXPECT_EQ(a.forwarded("jam"), 5u);
    EXPECT_EQ(a.core.registry.stats("jam")->lastSequence, 4);
    EXPECT_TRUE(a.send("jam", 5, kSourceA)) << "owned: straight through";
    EXPECT_EQ(store->valueOf("jam"), "relay-a 127.0.0.1:4000");

    // Another relay's source for the same room: refused cluster-wide, counted foreign.
    EXPECT_FALSE(b.send("jam", 0, kSourceB));
    ASSERT_TRUE(b.until([&] { return b.leases.counters().denied == 1; }));
    EXPECT_FALSE(b.leases.owns("jam"));
    EXPECT_EQ(b.forwarded("jam"), 0u);
    EXPECT_EQ(b.core.registry.stats("jam")->foreignDropped, 1u);
    EXPECT_FALSE(b.send("jam", 1, kSourceB));
    EXPECT_EQ(b.core.registry.stats("jam")->foreignDropped, 2u);
}

TEST_F(Leases, AnOwnerRefreshesItsLeaseAndACrashedOwnersLeaseExpiresToTheNext)
{
    auto a = std::make_unique<TestRelay>("relay-a", store, clock);
    TestRelay b("relay-b", store, clock);
    a->send("jam", 0, kSourceA);
    ASSERT_TRUE(a->until([&] { return a->leases.owns("jam"); }));
    // Three refreshes, each within the time-to-live: the lease outlives it.
    for (int i = 1; i <= 3; ++i)
    {
        clock.advance(600ms);
        a->send("jam", i, kSourceA);
        const std::size_t calls = store->calls();
        // Ticks until the refresh is asked (not while the last answer is still on its way).
        ASSERT_TRUE(a->until(
            [&]
            {
                a->leases.tick(true);
                return store->calls() > calls;
            }));
    }
    EXPECT_EQ(store->valueOf("jam"), "relay-a 127.0.0.1:4000") << "1.8 s: kept by refreshes";
    b.send("jam", 0, kSourceB);
    ASSERT_TRUE(b.until([&] { return b.leases.counters().denied == 1; }));

    // The owner dies without a word: its lease ends with the time-to-live, and the next relay
    // to ask takes the room.
    a.reset();
    clock.advance(2100ms);
    b.send("jam", 1, kSourceB);
    b.leases.tick(true);
    clock.advance(300ms); // past the retry wait for a room owned elsewhere
    b.send("jam", 2, kSourceB);
    ASSERT_TRUE(b.until([&] { return b.leases.owns("jam"); }));
    EXPECT_EQ(store->valueOf("jam"), "relay-b 127.0.0.2:4000");
}

TEST_F(Leases, ASilentOwnerFreesItsLeaseOnlyIfItIsStillItsOwn)
{
    TestRelay a("relay-a", store, clock);
    TestRelay b("relay-b", store, clock);
    a.send("jam", 0, kSourceA);
    ASSERT_TRUE(a.until([&] { return a.leases.owns("jam"); }));
    clock.advance(a.config.limits.sourceSilence);
    a.leases.tick(true);
    ASSERT_TRUE(a.until([&] { return !a.leases.owns("jam") && a.leases.tracked() == 0; }));
    EXPECT_EQ(store->valueOf("jam"), "") << "freed";
    b.send("jam", 0, kSourceB);
    ASSERT_TRUE(b.until([&] { return b.leases.owns("jam"); }));

    // The owner's lease expired while it was away and another relay took the room: its late
    // release must not free the new owner's lease.
    TestRelay c("relay-c", store, clock);
    c.send("solo", 0, kSourceA);
    ASSERT_TRUE(c.until([&] { return c.leases.owns("solo"); }));
    clock.advance(2100ms);
    TestRelay d("relay-d", store, clock);
    d.send("solo", 0, kSourceB);
    ASSERT_TRUE(d.until([&] { return d.leases.owns("solo"); }));
    c.leases.tick(true); // silent: frees what it believes is its lease
    ASSERT_TRUE(c.until([&] { return c.leases.tracked() == 0; }));
    EXPECT_EQ(store->valueOf("solo"), "relay-d 127.0.0.2:4000");
}

TEST_F(Leases, AStoreThatFailsLeavesTheRoomServedHereButNotPublished)
{
    TestRelay a("relay-a", store, clock);
    store->setFailing(true);
    for (std::int64_t seq = 0; seq < 3; ++seq)
        a.send("jam", seq, kSourceA);
    ASSERT_TRUE(a.until([&] { return a.leases.counters().unavailable == 1; }));
    EXPECT_EQ(a.forwarded("jam"), 3u) << "the held datagrams are served here";
    EXPECT_FALSE(a.leases.owns("jam")) << "nothing is published without the lease";
    EXPECT_TRUE(a.send("jam", 3, kSourceA));

    // The store comes back: the next try, a second later, takes the lease.
    store->setFailing(false);
    clock.advance(RoomLeases::kRetryLocal);
    EXPECT_TRUE(a.send("jam", 4, kSourceA));
    ASSERT_TRUE(a.until([&] { return a.leases.owns("jam"); }));

    // Unreachable from the start: served here at once, no store call made.
    TestRelay b("relay-b", store, clock);
    b.reachable = false;
    const std::size_t calls = store->calls();
    EXPECT_TRUE(b.send("late", 0, kSourceB));
    EXPECT_EQ(store->calls(), calls);
}

TEST_F(Leases, AStallingStoreHoldsABoundedNumberOfTheNewestDatagrams)
{
    TestRelay a("relay-a", store, clock);
    store->setStall(300ms);
    const std::int64_t sent = RoomLeases::kMaxHeld + 40;
    EXPECT_FALSE(a.send("jam", 0, kSourceA));
    waitForCall(*store); // the store is stalling in its first call
    for (std::int64_t seq = 1; seq < sent; ++seq)
        EXPECT_FALSE(a.send("jam", seq, kSourceA));
    EXPECT_EQ(a.leases.counters().heldDropped, 40u);
    store->setStall(0ms);
    ASSERT_TRUE(a.until([&] { return a.leases.owns("jam"); }));
    EXPECT_EQ(a.forwarded("jam"), RoomLeases::kMaxHeld);
    EXPECT_EQ(a.core.registry.stats("jam")->lastSequence, sent - 1) << "the newest are kept";
}

TEST_F(Leases, ARoomTheRegistryRefusesAfterAllGivesItsLeaseBack)
{
    TestRelay a("relay-a", store, clock, 1);
    store->setStall(100ms);
    a.send("jam", 0, kSourceA); // held: the store is slow
    waitForCall(*store);
    // Meanwhile the relay's only room is taken by another (a listener's, say).
    a.core.registry.onDatagram(
        parseDatagram(test::buildDatagram({"other"}).data(), 2095 + 5).datagram, kSourceB,
        a.core.now());
    store->setStall(0ms);
    ASSERT_TRUE(a.until([&] { return a.leases.counters().givenBack == 1; }));
    ASSERT_TRUE(a.until([&] { return a.leases.tracked() == 0; }));
    EXPECT_EQ(store->valueOf("jam"), "") << "free for a relay that can take the room";
    EXPECT_EQ(a.forwarded("jam"), 0u);
}

TEST_F(Leases, TheRoomsAskedForAreBoundedByTheRoomLimit)
{
    TestRelay a("relay-a", store, clock, 2);
    a.send("one", 0, kSourceA);
    a.send("two", 0, kSourceA);
    EXPECT_FALSE(a.send("three", 0, kSourceA));
    EXPECT_EQ(a.leases.counters().tableFull, 1u);
    EXPECT_EQ(a.leases.tracked(), 2u);
}

TEST_F(Leases, TwoRelaysRacingForTheSameRoomsGetOneOwnerEach)
{
    TestRelay a("relay-a", store, clock);
    TestRelay b("relay-b", store, clock);
    constexpr int kRooms = 20;
    auto race = [&](TestRelay& r, const Endpoint& from)
    {
        for (int i = 0; i < kRooms; ++i)
            r.send("room" + std::to_string(i), 0, from);
        r.until([&] { return r.leases.counters().granted + r.leases.counters().denied == kRooms; });
    };
    std::thread ta([&] { race(a, kSourceA); });
    std::thread tb([&] { race(b, kSourceB); });
    ta.join();
    tb.join();
    EXPECT_EQ(a.leases.counters().granted + b.leases.counters().granted, std::uint64_t(kRooms));
    for (int i = 0; i < kRooms; ++i)
    {
        const std::string room = "room" + std::to_string(i);
        EXPECT_NE(a.leases.owns(room), b.leases.owns(room)) << room;
        EXPECT_EQ(store->valueOf(room).substr(0, 7), a.leases.owns(room) ? "relay-a" : "relay-b");
    }
}

// Stands for the cluster link at the ingest: records the rooms it is asked about.
struct AskedCluster : ClusterView
{
    std::vector<std::string> asked;
    bool admit(const Datagram& datagram, const Endpoint&) override
    {
        asked.emplace_back(datagram.room);
        return true;
    }
    bool healthy() const override { return true; }
    std::string healthText() const override { return {}; }
    std::string metricsText() const override { return {}; }
};

// The cluster is asked about a room (a lease taken, datagrams held, the lease's silence timer
// refreshed) only once this relay's own limits would let the source have it.
TEST(LeaseAfterAdmission, TheClusterIsAskedOnlyForRoomsThisRelayTakes)
{
    Config config;
    config.limits.maxRooms = 2;
    config.sources.maxRoomsPerSource = 1;
    ClientGuard clients(config.clients);
    Core core(config, clients);
    AskedCluster cluster;
    core.cluster = &cluster;
    const TimePoint t0 = Clock::now();
    auto ingest = [&](const std::string& room, const Endpoint& from, TimePoint at)
    {
        test::DatagramFields f;
        f.room = room;
        const auto bytes = test::buildDatagram(f);
        ingestDatagram(core, parseDatagram(bytes.data(), bytes.size()).datagram, from, at);
    };
    ingest("mine", kSourceA, t0);
    ingest("second", kSourceA, t0) /* the source holds its one room */;
    ingest("yours", kSourceB, t0);
    ingest("third", Endpoint(net::ip::make_address("127.0.0.3"), 1), t0) /* two rooms: full */;
    ingest("mine", kSourceB, t0) /* owned by a live source */;
    EXPECT_EQ(cluster.asked, (std::vector<std::string>{"mine", "yours"}));
    EXPECT_EQ(core.metrics.roomDrops[static_cast<std::size_t>(RoomDrop::SourceRoomLimit)], 1u);
    EXPECT_EQ(core.metrics.roomDrops[static_cast<std::size_t>(RoomDrop::RoomLimit)], 1u);
    EXPECT_EQ(core.metrics.roomDrops[static_cast<std::size_t>(RoomDrop::ForeignSource)], 1u);
    // Silent long enough, the room is anyone's: then the cluster is asked.
    ingest("mine", Endpoint(net::ip::make_address("127.0.0.4"), 1),
           t0 + config.limits.takeoverSilence);
    EXPECT_EQ(cluster.asked.back(), "mine");
    core.cluster = nullptr;
}

} // namespace
} // namespace orlune::relay
