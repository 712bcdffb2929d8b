// A relay running several event loops (--threads): listeners spread over the loops hear every
// room exactly as on one loop, the limits and figures are the relay's, and it stops cleanly.
#include "app/config.h"
#include "relay_fixture.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using test::kLive;
using test::kOffline;
using test::nextAudio;
using test::WsClient;

std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq)
{
    return test::streamDatagram(room, seq, 7);
}

// Reads text messages until `wanted` comes (true) or nothing does (false).
bool waitForText(WsClient& c, const std::string& wanted, std::chrono::milliseconds limit = 5s)
{
    while (auto m = c.read(limit))
        if (m->text && m->data == wanted)
            return true;
    return false;
}

class EventLoops : public test::RelayFixture
{
protected:
    EventLoops() { config.threads = 3; }

    // Connects `count` listeners to `room` and reads their hello.
    std::vector<std::unique_ptr<WsClient>> listeners(const std::string& room, int count)
    {
        std::vector<std::unique_ptr<WsClient>> out;
        for (int i = 0; i < count; ++i)
        {
            out.push_back(std::make_unique<WsClient>(relay->httpPort(), "/orlune/" + room + "/ws"));
            EXPECT_TRUE(out.back()->connected());
            auto hello = out.back()->read();
            EXPECT_TRUE(hello && hello->text && hello->data.find("hello") != std::string::npos);
        }
        return out;
    }

    // Every loop carries at least `least` connections.
    void expectSpread(double least)
    {
        const auto m = test::scrapeMetrics(relay->metricsPort());
        for (std::size_t loop = 0; loop < config.threads; ++loop)
        {
            const std::string key =
                "orlune_relay_loop_connections{loop=\"" + std::to_string(loop) + "\"}";
            ASSERT_TRUE(m.count(key)) << key;
            EXPECT_GE(m.at(key), least) << key;
        }
    }
};

TEST_F(EventLoops, ListenersOnEveryLoopGetEveryMessageBitForBitAndInOrder)
{
    auto& r = start();
    EXPECT_EQ(r.relay().eventLoops(), 3u);
    auto band = listeners("band", 6);
    auto other = listeners("other", 2);
    expectSpread(2);

    test::UdpSender sender(r.udpPort());
    constexpr int kCount = 150;
    for (int seq = 0; seq < kCount; ++seq)
    {
        sender.send(datagram("band", seq));
        if (seq % 8 == 7)
            std::this_thread::sleep_for(2ms);
    }

    for (auto& c : band)
    {
        std::vector<std::string> texts;
        for (int seq = 0; seq < kCount; ++seq)
        {
            auto m = nextAudio(*c, &texts);
            ASSERT_TRUE(m) << seq;
            const auto sent = datagram("band", seq);
            ASSERT_EQ(m->data.size(), 2064u);
            ASSERT_EQ(test::readLe64(m->data, 0), seq);
            EXPECT_EQ(test::readLe64(m->data, 8), seq * 256);
            ASSERT_EQ(std::memcmp(m->data.data() + 16, sent.data() + 19 + 4 + 28, 2048), 0) << seq;
        }
        EXPECT_EQ(texts, std::vector<std::string>{kLive}) << "one live event, before the audio";
    }

    // The figures are the relay's, whichever loop answers.
    for (int scrape = 0; scrape < 3; ++scrape)
    {
        const auto m = test::scrapeMetrics(r.metricsPort());
        EXPECT_EQ(m.at("orlune_relay_datagrams_received_total"), kCount);
        EXPECT_EQ(m.at("orlune_relay_datagrams_forwarded_total"), kCount);
        EXPECT_EQ(m.at("orlune_relay_messages_sent_total{kind=\"audio\"}"), 6 * kCount);
        EXPECT_EQ(m.at("orlune_relay_listeners"), 8);
        EXPECT_EQ(m.at("orlune_relay_room_listeners{room=\"band\"}"), 6);
        EXPECT_EQ(m.at("orlune_relay_room_listeners{room=\"other\"}"), 2);
        EXPECT_EQ(m.at("orlune_relay_listeners_accepted_total"), 8);
        EXPECT_EQ(m.at("orlune_relay_rooms"), 2);
    }
    for (auto& c : other)
        EXPECT_FALSE(c->read(100ms)) << "another room's listeners hear nothing";
}

TEST_F(EventLoops, SourceLiveAndOfflineReachTheListenersOfEveryLoop)
{
    config.limits.sourceSilence = 300ms;
    auto& r = start();
    auto band = listeners("band", 4);
    expectSpread(1);

    test::UdpSender first(r.udpPort());
    for (int seq = 0; seq < 5; ++seq)
        first.send(datagram("band", seq));
    for (auto& c : band)
    {
        std::vector<std::string> texts;
        ASSERT_TRUE(nextAudio(*c, &texts));
        EXPECT_EQ(texts, std::vector<std::string>{kLive});
    }
    // Silent: every listener hears it went offline.
    for (auto& c : band)
        EXPECT_TRUE(waitForText(*c, kOffline, 3s));

    // A new source (another port of the same address) takes the room; its counters start low.
    test::UdpSender second(r.udpPort());
    for (int seq = 0; seq < 3; ++seq)
        second.send(datagram("band", seq));
    for (auto& c : band)
    {
        std::vector<std::string> texts;
        auto m = nextAudio(*c, &texts);
        ASSERT_TRUE(m);
        EXPECT_EQ(test::readLe64(m->data, 0), 0);
        EXPECT_EQ(texts, std::vector<std::string>{kLive});
    }

    // A listener joining a live room on any loop is told so, then hears the stream go on.
    auto late = listeners("band", 3);
    for (int seq = 3; seq < 6; ++seq)
        second.send(datagram("band", seq));
    for (auto& c : late)
    {
        auto m = nextAudio(*c);
        ASSERT_TRUE(m);
        EXPECT_GE(test::readLe64(m->data, 0), 3);
    }
}

TEST_F(EventLoops, ALoopThatComesBackToARoomFollowsARestartItMissed)
{
    config.threads = 2;
    auto& r = start();
    test::UdpSender sender(r.udpPort());
    auto send = [&](int from, int to)
    {
        for (int seq = from; seq <= to; ++seq)
        {
            sender.send(datagram("band", seq));
            if (seq % 8 == 7)
                std::this_thread::sleep_for(2ms);
        }
    };
    auto first = listeners("band", 2); // one on each loop
    send(0, 99);
    for (auto& c : first)
    {
        for (int seq = 0; seq <= 99; ++seq)
        {
            auto m = nextAudio(*c);
            ASSERT_TRUE(m);
            ASSERT_EQ(test::readLe64(m->data, 0), seq);
        }
    }
    first.pop_back(); // one loop is left with nobody in the room, remembering sequence 99
    for (int i = 0; i < 200; ++i)
    {
        if (test::scrapeMetrics(r.metricsPort()).at("orlune_relay_room_listeners{room=\"band\"}") ==
            1)
            break;
        std::this_thread::sleep_for(10ms);
    }
    // The source restarts its counters meanwhile.
    send(0, 50);
    for (int seq = 0; seq <= 50; ++seq)
    {
        auto m = nextAudio(*first.front());
        ASSERT_TRUE(m);
        ASSERT_EQ(test::readLe64(m->data, 0), seq);
    }
    // Newcomers on both loops hear the stream go on from 51, not "behind 99".
    auto again = listeners("band", 2);
    send(51, 60);
    for (auto& c : again)
    {
        for (int seq = 51; seq <= 60; ++seq)
        {
            auto m = nextAudio(*c);
            ASSERT_TRUE(m) << seq;
            ASSERT_EQ(test::readLe64(m->data, 0), seq);
        }
    }
}

TEST_F(EventLoops, JoinAndLeaveStormsAcrossLoopsLeaveTheCountsRightAndTheStreamWhole)
{
    auto& r = start();
    std::atomic<bool> sending{true};
    std::atomic<std::int64_t> sent{0};
    std::thread source(
        [&]
        {
            test::UdpSender sender(r.udpPort());
            // Bounded: at most 8 s of audio at the plug-in's pace.
            for (std::int64_t seq = 0; sending && seq < 1500; ++seq)
            {
                sender.send(datagram("storm", seq));
                sent = seq + 1;
                std::this_thread::sleep_for(5ms);
            }
        });

    auto steady = listeners("storm", 3);
    for (int round = 0; round < 12; ++round)
    {
        std::vector<std::unique_ptr<WsClient>> burst;
        for (int i = 0; i < 5; ++i)
            burst.push_back(std::make_unique<WsClient>(r.httpPort(), i % 2 ? "/orlune/storm/ws"
                                                                           : "/orlune/calm/ws"));
        if (round % 3 == 0)
        {
            for (auto& c : burst)
                EXPECT_TRUE(c->read()); // some read their hello, some leave at once
        }
    }

    // The steady listeners heard an unbroken stream throughout.
    for (auto& c : steady)
    {
        auto m = nextAudio(*c);
        ASSERT_TRUE(m);
        std::int64_t last = test::readLe64(m->data, 0);
        for (int i = 0; i < 100; ++i)
        {
            auto next = nextAudio(*c);
            ASSERT_TRUE(next);
            const std::int64_t seq = test::readLe64(next->data, 0);
            ASSERT_EQ(seq, last + 1) << "nothing lost or reordered";
            last = seq;
        }
    }
    sending = false;
    source.join();

    std::map<std::string, double> m;
    for (int i = 0; i < 200; ++i)
    {
        m = test::scrapeMetrics(r.metricsPort());
        if (m.at("orlune_relay_listeners") == 3)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(m.at("orlune_relay_listeners"), 3);
    EXPECT_EQ(m.at("orlune_relay_room_listeners{room=\"storm\"}"), 3);
    const std::string calm = "orlune_relay_room_listeners{room=\"calm\"}";
    EXPECT_EQ(m.count(calm) ? m.at(calm) : 0.0, 0.0);
    EXPECT_EQ(m.at("orlune_relay_listeners_accepted_total"), 3 + 12 * 5);
}

TEST_F(EventLoops, ListenerAndConnectionLimitsHoldForTheWholeRelay)
{
    config.limits.maxListenersPerRoom = 2;
    config.limits.maxListenersTotal = 5;
    config.limits.maxRooms = 3;
    auto& r = start();
    auto one = listeners("one", 2); // on two loops
    WsClient third(r.httpPort(), "/orlune/one/ws");
    EXPECT_EQ(third.refusedStatus(), 503) << "the room is full whichever loop is asked";
    auto two = listeners("two", 1);
    auto three = listeners("three", 1);
    WsClient fourthRoom(r.httpPort(), "/orlune/four/ws");
    EXPECT_EQ(fourthRoom.refusedStatus(), 503) << "three rooms on three loops are the limit";
    auto fifth = listeners("two", 1);
    WsClient full(r.httpPort(), "/orlune/three/ws");
    EXPECT_EQ(full.refusedStatus(), 503) << "five listeners on three loops fill the relay";

    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at("orlune_relay_listeners"), 5);
    EXPECT_EQ(m.at("orlune_relay_listeners_rejected_total{reason=\"room_full\"}"), 1);
    EXPECT_EQ(m.at("orlune_relay_listeners_rejected_total{reason=\"room_limit\"}"), 1);
    EXPECT_EQ(m.at("orlune_relay_listeners_rejected_total{reason=\"relay_full\"}"), 1);

    // A place freed on one loop can be taken through another.
    one.pop_back();
    bool joined = false;
    for (int i = 0; i < 100 && !joined; ++i)
    {
        WsClient again(r.httpPort(), "/orlune/one/ws");
        joined = again.connected();
        if (!joined)
            std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(joined);
}

TEST_F(EventLoops, ConnectionLimitCountsEveryLoop)
{
    config.maxConnections = 4;
    auto& r = start();
    std::vector<std::unique_ptr<test::RawHttpClient>> open;
    for (int i = 0; i < 4; ++i)
    {
        open.push_back(std::make_unique<test::RawHttpClient>(r.httpPort()));
        open.back()->send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(open.back()->readResponse().status, 200) << i;
    }
    test::RawHttpClient over(r.httpPort());
    EXPECT_TRUE(over.closedCleanly(2s) || !over.connected()) << "the fifth is closed at once";
}

TEST_F(EventLoops, StopClosesTheListenersOfEveryLoopWithGoingAway)
{
    auto& r = start();
    auto band = listeners("band", 6);
    expectSpread(2);
    std::vector<std::thread> readers;
    std::vector<std::optional<test::WsMessage>> after(band.size());
    for (std::size_t i = 0; i < band.size(); ++i)
        readers.emplace_back([&, i] { after[i] = band[i]->read(3s); });
    const auto before = std::chrono::steady_clock::now();
    r.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    for (auto& t : readers)
        t.join();
    EXPECT_LT(took, 1500ms) << "no grace time to wait once every listener has closed";
    for (std::size_t i = 0; i < band.size(); ++i)
    {
        EXPECT_FALSE(after[i]);
        EXPECT_EQ(band[i]->closeCode().value_or(0), 1001) << i;
    }
}

TEST_F(EventLoops, OneThreadIsTheSingleLoopRelay)
{
    config.threads = 1;
    auto& r = start();
    EXPECT_EQ(r.relay().eventLoops(), 1u);
    auto band = listeners("band", 2);
    test::UdpSender sender(r.udpPort());
    sender.send(datagram("band", 0));
    for (auto& c : band)
        EXPECT_TRUE(nextAudio(*c));
    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.count("orlune_relay_loop_connections{loop=\"0\"}"), 0u)
        << "the single loop's page is the one it always was";
    EXPECT_EQ(m.at("orlune_relay_listeners"), 2);
}

TEST(ThreadOptions, CommandLine)
{
    auto parsed = parseArgs({"--threads", "4"});
    ASSERT_TRUE(parsed.config);
    EXPECT_EQ(parsed.config->threads, 4u);
    EXPECT_EQ(eventLoopCount(*parsed.config), 4u);
    parsed = parseArgs({});
    ASSERT_TRUE(parsed.config);
    EXPECT_GE(eventLoopCount(*parsed.config), 1u) << "default: the hardware threads";
    for (const char* bad : {"0", "257", "-1", "two", ""})
    {
        parsed = parseArgs({"--threads", bad});
        EXPECT_FALSE(parsed.config) << bad;
        EXPECT_NE(parsed.error.find("--threads"), std::string::npos) << bad;
    }
}

} // namespace
} // namespace orlune::relay
