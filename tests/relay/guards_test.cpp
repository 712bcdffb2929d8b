// The guards on their own: CIDR lists, X-Forwarded-For, per-address datagram and room budgets,
// per-client connection limits, and the rooms' takeover rule by address.
#include "app/config.h"
#include "guards/cidr.h"
#include "guards/client_guard.h"
#include "guards/source_guard.h"
#include "rooms/rooms.h"
#include "test_support.h"

#include <gtest/gtest.h>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::make_address;

const TimePoint t0 = TimePoint{} + 1000s;

CidrList list(std::string_view text)
{
    CidrList l;
    std::string error;
    EXPECT_TRUE(l.add(text, &error)) << error;
    return l;
}

TEST(Cidr, ParsesNetworksAndHostsAndMatchesByPrefix)
{
    const CidrList l = list("10.0.0.0/8, 192.0.2.7,198.51.100.0/24");
    EXPECT_EQ(l.str(), "10.0.0.0/8,192.0.2.7/32,198.51.100.0/24");
    EXPECT_TRUE(l.contains(make_address("10.255.1.2")));
    EXPECT_TRUE(l.contains(make_address("192.0.2.7")));
    EXPECT_FALSE(l.contains(make_address("192.0.2.8")));
    EXPECT_TRUE(l.contains(make_address("::ffff:198.51.100.9"))) << "IPv4-mapped counts as IPv4";
    EXPECT_FALSE(l.contains(make_address("2001:db8::1")));
    EXPECT_TRUE(list("0.0.0.0/0").contains(make_address("203.0.113.1")));
}

TEST(Cidr, RefusesAnythingButAPlainIpv4NetworkAndAddsNothingOnError)
{
    for (const char* bad :
         {"", "10.0.0.0/", "10.0.0.0/33", "10.0.0.0/-1", "10.0.0.0/008", "10.0.0.0/99999999999999",
          "10.0.0/8", "10.1.2.3/8", "2001:db8::/32", "host.example", "10.0.0.0/8/8", " /8",
          "10.0.0.0/+8", "10.0.0.0/8 junk"})
    {
        std::string error;
        EXPECT_FALSE(parseCidr(bad, &error)) << bad;
        EXPECT_NE(error.find("not an IPv4 network"), std::string::npos) << bad;
    }
    std::string error;
    EXPECT_FALSE(parseCidr("10.1.2.3/8", &error));
    EXPECT_NE(error.find("10.0.0.0/8"), std::string::npos) << "names the network meant";

    CidrList l;
    EXPECT_FALSE(l.add("10.0.0.0/8,bogus"));
    EXPECT_TRUE(l.empty()) << "the good entry before the bad one is not kept";
    EXPECT_FALSE(l.add("10.0.0.0/8,"));
}

TEST(ForwardedFor, OnlyATrustedProxyIsBelievedAndOnlyForWhatItWrote)
{
    const CidrList proxies = list("127.0.0.1,10.0.0.0/8");
    const auto proxy = make_address("127.0.0.1");
    const auto stranger = make_address("203.0.113.9");
    auto client = [&](const boost::asio::ip::address& peer, std::string_view header)
    { return clientAddress(peer, header, proxies).to_string(); };

    EXPECT_EQ(client(stranger, "198.51.100.1"), "203.0.113.9") << "an untrusted peer is the client";
    EXPECT_EQ(client(proxy, "198.51.100.1"), "198.51.100.1");
    EXPECT_EQ(client(proxy, "  198.51.100.1 "), "198.51.100.1");
    // A client may send its own header; the proxy appends the address it saw.
    EXPECT_EQ(client(proxy, "1.2.3.4, 198.51.100.1"), "198.51.100.1");
    // A chain of trusted proxies is walked through.
    EXPECT_EQ(client(proxy, "1.2.3.4, 198.51.100.1, 10.1.1.1"), "198.51.100.1");
    EXPECT_EQ(client(proxy, "garbage, 198.51.100.1,10.1.1.1"), "198.51.100.1");
    EXPECT_EQ(client(proxy, "2001:db8::7"), "2001:db8::7");
    // Nothing usable: the proxy itself (or the last trusted hop) is the client.
    EXPECT_EQ(client(proxy, ""), "127.0.0.1");
    EXPECT_EQ(client(proxy, "not-an-address"), "127.0.0.1");
    EXPECT_EQ(client(proxy, "198.51.100.1:4000"), "127.0.0.1");
    EXPECT_EQ(client(proxy, "garbage, 10.2.2.2"), "10.2.2.2");
    EXPECT_EQ(client(proxy, "10.2.2.2, 10.3.3.3"), "10.2.2.2") << "all trusted: the first";
    EXPECT_EQ(client(proxy, ",,198.51.100.1,,"), "198.51.100.1");
}

TEST(AddressGroup, Ipv6ClientsCountPerSlash64)
{
    EXPECT_EQ(addressGroup(make_address("2001:db8:1:2:aaaa::1")),
              addressGroup(make_address("2001:db8:1:2:bbbb::2")));
    EXPECT_NE(addressGroup(make_address("2001:db8:1:3::1")),
              addressGroup(make_address("2001:db8:1:2::1")));
    EXPECT_EQ(addressGroup(make_address("::ffff:192.0.2.1")), make_address("192.0.2.1"));
}

TEST(SourceGuard, AllowListAndPerAddressDatagramBudget)
{
    SourceLimits limits;
    limits.allow = list("192.0.2.0/24");
    limits.datagramRate = 10;
    SourceGuard guard(limits);
    const auto good = make_address("192.0.2.1");
    EXPECT_EQ(guard.admit(make_address("198.51.100.1"), t0), SourceVerdict::NotAllowed);
    EXPECT_EQ(guard.admit(make_address("2001:db8::1"), t0), SourceVerdict::NotAllowed);
    EXPECT_EQ(guard.trackedSources(), 0u) << "refused addresses cost no memory";

    // Two seconds' worth at once, then the rate.
    for (int i = 0; i < 20; ++i)
        ASSERT_EQ(guard.admit(good, t0), SourceVerdict::Admitted) << i;
    EXPECT_EQ(guard.admit(good, t0), SourceVerdict::RateLimited);
    EXPECT_EQ(guard.admit(make_address("192.0.2.2"), t0), SourceVerdict::Admitted)
        << "another address has its own budget";
    EXPECT_EQ(guard.admit(good, t0 + 100ms), SourceVerdict::Admitted);
    EXPECT_EQ(guard.admit(good, t0 + 100ms), SourceVerdict::RateLimited);

    // Each room held adds a stream's worth.
    guard.held(good);
    guard.held(good);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(guard.admit(good, t0 + 200ms), SourceVerdict::Admitted) << i;

    guard.sweep(t0 + 60s);
    EXPECT_EQ(guard.trackedSources(), 1u) << "an address holding rooms is remembered";
    guard.released(good);
    guard.released(good);
    guard.released(good); // one too many is harmless
    guard.sweep(t0 + 60s);
    EXPECT_EQ(guard.trackedSources(), 0u);
}

TEST(SourceGuard, RoomsPerAddressAndABoundOnAddressesRemembered)
{
    SourceLimits limits;
    limits.maxRoomsPerSource = 2;
    limits.maxTracked = 2;
    SourceGuard guard(limits);
    const auto a = make_address("192.0.2.1");
    guard.held(a);
    EXPECT_TRUE(guard.mayHoldAnother(a));
    guard.held(a);
    EXPECT_FALSE(guard.mayHoldAnother(a));
    EXPECT_TRUE(guard.mayHoldAnother(make_address("192.0.2.2")));
    guard.released(a);
    EXPECT_TRUE(guard.mayHoldAnother(a));

    EXPECT_EQ(guard.admit(make_address("192.0.2.2"), t0), SourceVerdict::Admitted);
    EXPECT_EQ(guard.admit(make_address("192.0.2.3"), t0), SourceVerdict::RateLimited)
        << "beyond the addresses it may remember, a spoofed flood is dropped";
    EXPECT_EQ(guard.admit(a, t0), SourceVerdict::Admitted) << "known addresses still pass";
}

TEST(ClientGuard, ConnectionRateAndOpenConnectionsPerClient)
{
    ClientLimits limits;
    limits.connectionRate = 1;
    limits.connectionBurst = 2;
    limits.maxOpenPerClient = 3;
    ClientGuard guard(limits);
    const auto a = make_address("192.0.2.1");
    std::vector<ClientLease> leases(5);
    EXPECT_EQ(guard.admit(a, t0, leases[0]), ClientVerdict::Admitted);
    EXPECT_EQ(guard.admit(a, t0, leases[1]), ClientVerdict::Admitted);
    EXPECT_EQ(guard.admit(a, t0, leases[2]), ClientVerdict::RateLimited);
    EXPECT_TRUE(leases[2]) << "a connection over the rate is still open, to be answered 429";
    EXPECT_EQ(guard.admit(a, t0 + 5s, leases[3]), ClientVerdict::TooManyOpen);
    EXPECT_FALSE(leases[3]);
    EXPECT_EQ(guard.openFor(a), 3u);
    EXPECT_EQ(guard.admit(make_address("192.0.2.2"), t0, leases[4]), ClientVerdict::Admitted);

    leases[0] = ClientLease{};
    ClientLease moved = std::move(leases[1]);
    EXPECT_EQ(guard.openFor(a), 2u) << "moving a lease does not count it twice";
    EXPECT_EQ(guard.admit(a, t0 + 5s, leases[0]), ClientVerdict::Admitted);
    leases.clear();
    moved = ClientLease{};
    guard.sweep(t0 + 60s);
    EXPECT_EQ(guard.trackedClients(), 0u);
}

// The takeover rule, through a registry with a source guard holding the room counts.
class Takeover : public ::testing::Test
{
protected:
    Takeover() { sourceLimits.maxRoomsPerSource = 2; }

    RoomRegistry& registry()
    {
        if (!registry_)
        {
            guard_ = std::make_unique<SourceGuard>(sourceLimits);
            registry_ = std::make_unique<RoomRegistry>(limits, metrics, guard_.get());
        }
        return *registry_;
    }

    bool feed(const std::string& room, std::int64_t seq, const Endpoint& from, TimePoint at)
    {
        static const std::vector<float> silence(512);
        return test::offerDatagram(registry(), room, seq, 0, silence.data(), from, at);
    }

    std::size_t drops(RoomDrop d) const { return metrics.roomDrops[static_cast<std::size_t>(d)]; }

    RoomLimits limits;
    SourceLimits sourceLimits;
    Metrics metrics;
    std::unique_ptr<SourceGuard> guard_;
    std::unique_ptr<RoomRegistry> registry_;
    const Endpoint owner{make_address("192.0.2.1"), 40000};
    const Endpoint ownerRestarted{make_address("192.0.2.1"), 40001};
    const Endpoint stranger{make_address("198.51.100.1"), 40000};
};

TEST_F(Takeover, SameAddressAfterTwoSecondsOtherAddressOnlyAfterTheLongSilence)
{
    ASSERT_TRUE(feed("jam", 0, owner, t0));
    EXPECT_FALSE(feed("jam", 0, ownerRestarted, t0 + 1999ms));
    EXPECT_FALSE(feed("jam", 0, stranger, t0 + 2s)) << "a short pause keeps strangers out";
    EXPECT_TRUE(feed("jam", 0, ownerRestarted, t0 + 2s)) << "the plug-in's own restart";
    EXPECT_EQ(registry().stats("jam")->source, ownerRestarted);

    EXPECT_FALSE(feed("jam", 1, stranger, t0 + 2s + 29999ms));
    EXPECT_TRUE(feed("jam", 1, stranger, t0 + 32s));
    EXPECT_EQ(registry().stats("jam")->source, stranger);
    EXPECT_EQ(drops(RoomDrop::ForeignSource), 3u);
    EXPECT_EQ(guard_->roomsHeldBy(owner.address()), 0u) << "the room changed hands";
    EXPECT_EQ(guard_->roomsHeldBy(stranger.address()), 1u);
}

TEST_F(Takeover, LongerSilenceIsNeverShorterThanTheSourceSilence)
{
    limits.takeoverSilence = 0s;
    ASSERT_TRUE(feed("jam", 0, owner, t0));
    EXPECT_FALSE(feed("jam", 0, stranger, t0 + 1s));
    EXPECT_TRUE(feed("jam", 0, stranger, t0 + 2s));
}

TEST_F(Takeover, AnAddressHoldsOnlySoManyRoomsUntilOneIsForgotten)
{
    ASSERT_TRUE(feed("r1", 0, owner, t0));
    ASSERT_TRUE(feed("r2", 0, ownerRestarted, t0)) << "rooms count per address, not per port";
    EXPECT_FALSE(feed("r3", 0, owner, t0));
    EXPECT_EQ(registry().roomCount(), 2u) << "a refused room is not created";
    EXPECT_EQ(drops(RoomDrop::SourceRoomLimit), 1u);
    EXPECT_TRUE(feed("r3", 0, stranger, t0));
    EXPECT_TRUE(feed("r1", 1, ownerRestarted, t0 + 3s)) << "its own rooms stay its own";

    registry().sweep(t0 + 40s); // r2, r3 forgotten; r1 last heard at t0+3s
    registry().sweep(t0 + 3s + 40s);
    EXPECT_EQ(registry().roomCount(), 0u);
    EXPECT_TRUE(feed("r4", 0, owner, t0 + 50s));
    EXPECT_TRUE(feed("r5", 0, owner, t0 + 50s));
}

TEST_F(Takeover, AStreamOverItsRateIsCutToIt)
{
    limits.streamRate = 100;
    for (int seq = 0; seq < 200; ++seq)
        ASSERT_TRUE(feed("jam", seq, owner, t0)) << seq;
    EXPECT_FALSE(feed("jam", 200, owner, t0));
    EXPECT_EQ(drops(RoomDrop::StreamRate), 1u);
    EXPECT_TRUE(feed("jam", 201, owner, t0 + 10ms));
    EXPECT_EQ(registry().stats("jam")->lastSequence, 201);
}

} // namespace
} // namespace orlune::relay

namespace orlune::relay
{
namespace
{

TEST(GuardOptions, DefaultsLetEverythingInAndEveryOptionIsRead)
{
    ParsedArgs p = parseArgs({});
    ASSERT_TRUE(p.config);
    EXPECT_TRUE(p.config->sources.allow.empty());
    EXPECT_TRUE(p.config->clients.trustedProxies.empty());
    EXPECT_EQ(p.config->limits.takeoverSilence, std::chrono::seconds(30));

    p = parseArgs({"--allow-source", "10.0.0.0/8", "--allow-source=192.0.2.1,198.51.100.0/24",
                   "--trusted-proxy", "127.0.0.1", "--takeover-seconds", "60", "--source-rooms",
                   "4", "--source-rate", "500", "--client-rate", "3", "--client-burst", "9",
                   "--client-connections", "7"});
    ASSERT_TRUE(p.config) << p.error;
    const Config& c = *p.config;
    EXPECT_EQ(c.sources.allow.str(), "10.0.0.0/8,192.0.2.1/32,198.51.100.0/24");
    EXPECT_EQ(c.clients.trustedProxies.str(), "127.0.0.1/32");
    EXPECT_EQ(c.limits.takeoverSilence, std::chrono::seconds(60));
    EXPECT_EQ(c.sources.maxRoomsPerSource, 4u);
    EXPECT_EQ(c.sources.datagramRate, 500);
    EXPECT_EQ(c.limits.streamRate, 500);
    EXPECT_EQ(c.clients.connectionRate, 3);
    EXPECT_EQ(c.clients.connectionBurst, 9);
    EXPECT_EQ(c.clients.maxOpenPerClient, 7u);

    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--allow-source", "10.1.0.0/8"},
                                               {"--trusted-proxy", "proxy.local"},
                                               {"--source-rate", "100"},
                                               {"--client-connections", "0"}})
    {
        p = parseArgs(bad);
        EXPECT_FALSE(p.config) << bad[0];
        EXPECT_NE(p.error.find(bad[0]), std::string::npos) << p.error;
    }
}

} // namespace
} // namespace orlune::relay
