// The relay's limits under a crowd: many clients at once, spread over every event loop, at each
// limit. Exactly as many are let in as the limit allows, the rest get the documented refusal
// and are counted, whichever loop they land on.
#include "app/config.h"
#include "relay_fixture.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

constexpr int kCrowd = 64;
constexpr int kLimit = 10;

// Runs `attempt(i)` for i in [0, count) on as many threads, released together.
void together(int count, const std::function<void(int)>& attempt)
{
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
        threads.emplace_back(
            [&, i]
            {
                ++ready;
                while (!go.load())
                    std::this_thread::yield();
                attempt(i);
            });
    while (ready.load() < count)
        std::this_thread::yield();
    go = true;
    for (auto& t : threads)
        t.join();
}

// How a crowd of listeners fared.
struct Outcome
{
    int admitted = 0; // upgraded and greeted
    int refused = 0;  // 503 before the upgrade
    int other = 0;    // anything else (upgraded then closed, no answer)
};

class LimitRace : public test::RelayFixture
{
protected:
    LimitRace()
    {
        // Two loops (loopbackConfig), or one under single_loop.
        config.clients.connectionBurst = 10 * kCrowd;
        config.clients.connectionRate = 10 * kCrowd;
    }

    // kCrowd listeners at once, to `roomOf(i)`; they stay connected until `held` is cleared.
    Outcome crowd(const std::function<std::string(int)>& roomOf)
    {
        held.clear();
        held.resize(kCrowd);
        std::vector<int> fate(kCrowd, 0);
        together(kCrowd,
                 [&](int i)
                 {
                     auto c = std::make_unique<test::WsClient>(relay->httpPort(),
                                                               "/orlune/" + roomOf(i) + "/ws");
                     if (c->connected())
                     {
                         auto hello = c->read(3s);
                         fate[i] =
                             hello && hello->text && hello->data.find("hello") != std::string::npos
                                 ? 1
                                 : 3;
                     }
                     else
                         fate[i] = c->refusedStatus() == 503 ? 2 : 3;
                     held[i] = std::move(c);
                 });
        Outcome o;
        for (int f : fate)
            (f == 1 ? o.admitted : f == 2 ? o.refused : o.other) += 1;
        return o;
    }

    double metric(const std::string& key)
    {
        const auto m = test::scrapeMetrics(relay->metricsPort());
        return m.count(key) ? m.at(key) : -1;
    }

    // Exactly `admitted` of the crowd got in; every other was refused and counted for `reason`.
    void expectAdmitted(const Outcome& o, int admitted, const std::string& reason)
    {
        EXPECT_EQ(o.admitted, admitted);
        EXPECT_EQ(o.refused, kCrowd - admitted);
        EXPECT_EQ(o.other, 0);
        EXPECT_EQ(metric("orlune_relay_listeners_rejected_total{reason=\"" + reason + "\"}"),
                  kCrowd - admitted);
    }

    std::vector<std::unique_ptr<test::WsClient>> held;
};

TEST_F(LimitRace, ListenersOfTheRelay)
{
    config.limits.maxListenersTotal = kLimit;
    start();
    expectAdmitted(crowd([](int i) { return "room" + std::to_string(i % 4); }), kLimit,
                   "relay_full");
    EXPECT_EQ(metric("orlune_relay_listeners"), kLimit);
}

TEST_F(LimitRace, ListenersOfOneRoom)
{
    config.limits.maxListenersPerRoom = kLimit;
    start();
    expectAdmitted(crowd([](int) { return std::string("crowded"); }), kLimit, "room_full");
    EXPECT_EQ(metric("orlune_relay_room_listeners{room=\"crowded\"}"), kLimit);
}

TEST_F(LimitRace, RoomsOfListenersAndSources)
{
    config.limits.maxRooms = kLimit;
    start();
    // Two rooms held by sources alone: they count like any other.
    test::UdpSender sender(relay->udpPort());
    for (const char* room : {"fed-a", "fed-b"})
    {
        test::DatagramFields f;
        f.room = room;
        sender.send(test::buildDatagram(f));
    }
    for (int i = 0; i < 200 && metric("orlune_relay_rooms") < 2; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(metric("orlune_relay_rooms"), 2);

    expectAdmitted(crowd([](int i) { return "own" + std::to_string(i); }), kLimit - 2,
                   "room_limit");

    // A source cannot make an eleventh room either.
    test::DatagramFields f;
    f.room = "fed-c";
    sender.send(test::buildDatagram(f));
    for (int i = 0;
         i < 200 && metric("orlune_relay_datagrams_dropped_total{reason=\"room_limit\"}") < 1; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(metric("orlune_relay_datagrams_dropped_total{reason=\"room_limit\"}"), 1);
    EXPECT_EQ(metric("orlune_relay_rooms"), kLimit);
}

// Opens kCrowd connections at once, each asking for /healthz and kept open; returns how many
// were answered 200 (the others are closed unanswered).
int crowdOfConnections(std::uint16_t port, std::vector<std::unique_ptr<test::RawHttpClient>>& open)
{
    open.clear();
    open.resize(kCrowd);
    std::atomic<int> served{0};
    together(kCrowd,
             [&](int i)
             {
                 auto c = std::make_unique<test::RawHttpClient>(port);
                 c->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
                 if (c->readResponse(3s).status == 200)
                     ++served;
                 open[i] = std::move(c);
             });
    return served.load();
}

// The connections counted open when they are closed: the figures can be read again.
double afterClosing(test::RunningRelay& r, std::vector<std::unique_ptr<test::RawHttpClient>>& open,
                    const std::string& key)
{
    open.clear();
    std::map<std::string, double> m;
    for (int i = 0; i < 300; ++i)
    {
        m = test::scrapeMetrics(r.metricsPort());
        if (!m.empty())
            break;
        std::this_thread::sleep_for(10ms);
    }
    return m.count(key) ? m.at(key) : -1;
}

TEST_F(LimitRace, ConnectionsOfTheRelay)
{
    config.maxConnections = kLimit;
    auto& r = start();
    std::vector<std::unique_ptr<test::RawHttpClient>> open;
    EXPECT_EQ(crowdOfConnections(r.httpPort(), open), kLimit);
    EXPECT_EQ(
        afterClosing(r, open, "orlune_relay_connections_rejected_total{reason=\"relay_full\"}"),
        kCrowd - kLimit);
}

TEST_F(LimitRace, ConnectionsOfOneClient)
{
    config.clients.maxOpenPerClient = kLimit;
    auto& r = start();
    std::vector<std::unique_ptr<test::RawHttpClient>> open;
    EXPECT_EQ(crowdOfConnections(r.httpPort(), open), kLimit);
    EXPECT_EQ(
        afterClosing(r, open,
                     "orlune_relay_connections_rejected_total{reason=\"client_connections\"}"),
        kCrowd - kLimit);
}

} // namespace
} // namespace orlune::relay
