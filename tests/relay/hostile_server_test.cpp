// The relay under hostile traffic, end to end over loopback: strangers' datagrams, floods of
// datagrams and connections from one address, forwarded-for headers, and requests with bodies.
// "Other addresses" are other 127.x.y.z loopback addresses.
#include "relay_fixture.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using test::RawHttpClient;
using test::WsClient;

class HostileTraffic : public test::RelayFixture
{
protected:
    static std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq)
    {
        return test::streamDatagram(room, seq);
    }

    // The sequence numbers of the audio messages that arrive until `count` have or nothing
    // comes for a while.
    static std::vector<std::int64_t> audioSequences(WsClient& c, std::size_t count)
    {
        std::vector<std::int64_t> seqs;
        while (seqs.size() < count)
        {
            auto m = c.read(2s);
            if (!m)
                break;
            if (!m->text)
                seqs.push_back(test::readLe64(m->data, 0));
        }
        return seqs;
    }

    double metric(const std::string& name)
    {
        return test::scrapeMetrics(relay->metricsPort())[name];
    }
};

TEST_F(HostileTraffic, OnlyAllowedSourcesReachARoom)
{
    ASSERT_TRUE(config.sources.allow.add("127.0.0.2/32,10.0.0.0/8"));
    auto& r = start();
    WsClient listener(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender outsider(r.udpPort(), "127.0.0.1");
    test::UdpSender allowed(r.udpPort(), "127.0.0.2");
    for (int seq = 0; seq < 5; ++seq)
        outsider.send(datagram("band", seq));
    for (int seq = 100; seq < 103; ++seq)
        allowed.send(datagram("band", seq));
    EXPECT_EQ(audioSequences(listener, 3), (std::vector<std::int64_t>{100, 101, 102}));
    EXPECT_EQ(metric("orlune_relay_datagrams_dropped_total{reason=\"source_not_allowed\"}"), 5);
    EXPECT_EQ(metric("orlune_relay_datagrams_received_total"), 8);
}

TEST_F(HostileTraffic, AStrangerTakesASilentRoomOnlyAfterTheLongerSilence)
{
    config.limits.sourceSilence = 200ms;
    config.limits.takeoverSilence = 1500ms;
    auto& r = start();
    WsClient listener(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender owner(r.udpPort(), "127.0.0.1");
    test::UdpSender restarted(r.udpPort(), "127.0.0.1");
    test::UdpSender stranger(r.udpPort(), "127.0.0.3");

    owner.send(datagram("band", 10));
    ASSERT_EQ(audioSequences(listener, 1), std::vector<std::int64_t>{10});
    std::this_thread::sleep_for(400ms);
    stranger.send(datagram("band", 500)); // the owner paused: not the stranger's yet
    restarted.send(datagram("band", 0));  // the plug-in's restart from a new port is
    EXPECT_EQ(audioSequences(listener, 1), std::vector<std::int64_t>{0});

    std::this_thread::sleep_for(1600ms);
    stranger.send(datagram("band", 501));
    std::vector<std::string> texts;
    std::optional<test::WsMessage> m;
    while ((m = listener.read(2s)) && m->text)
        texts.push_back(m->data);
    ASSERT_TRUE(m);
    EXPECT_EQ(test::readLe64(m->data, 0), 501);
    EXPECT_EQ(texts.back(), R"({"type":"source","live":true})") << "listeners are told";
    EXPECT_EQ(metric("orlune_relay_datagrams_dropped_total{reason=\"foreign_source\"}"), 1);
}

TEST_F(HostileTraffic, AFloodFromOneAddressLeavesAWellBehavedRoomComplete)
{
    config.sources.maxRoomsPerSource = 4;
    auto& r = start();
    WsClient listener(r.httpPort(), "/orlune/good/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender good(r.udpPort(), "127.0.0.1");
    test::UdpSender flood(r.udpPort(), "127.0.0.5");

    // 10000 datagrams into 200 rooms at tens of thousands a second, in bursts small enough
    // for the socket's receive buffer, with the well-behaved stream in between.
    constexpr int kGood = 100;
    std::vector<std::vector<std::uint8_t>> floodDatagrams;
    for (int room = 0; room < 200; ++room)
        floodDatagrams.push_back(datagram("flood" + std::to_string(room), room));
    for (int i = 0; i < kGood; ++i)
    {
        for (int j = 0; j < 100; ++j)
            flood.send(floodDatagrams[static_cast<std::size_t>((i * 100 + j) % 200)]);
        good.send(datagram("good", i));
        std::this_thread::sleep_for(2ms);
    }

    std::vector<std::int64_t> expected(kGood);
    for (int i = 0; i < kGood; ++i)
        expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(audioSequences(listener, kGood), expected);

    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at("orlune_relay_room_lost_total{room=\"good\"}"), 0);
    EXPECT_LE(m.at("orlune_relay_rooms"), 5) << "the flood holds only its own few rooms";
    EXPECT_GT(m.at("orlune_relay_datagrams_dropped_total{reason=\"source_room_limit\"}"), 0);
    EXPECT_GT(m.at("orlune_relay_datagrams_dropped_total{reason=\"source_rate_limit\"}"), 4000);
    EXPECT_EQ(m.at("orlune_relay_datagrams_received_total"), kGood * 101);
}

TEST_F(HostileTraffic, AConnectionFloodFromOneClientLeavesOthersListening)
{
    config.clients.maxOpenPerClient = 20;
    config.clients.connectionRate = 5;
    config.clients.connectionBurst = 10;
    auto& r = start();

    std::vector<std::unique_ptr<RawHttpClient>> flood;
    for (int i = 0; i < 40; ++i)
        flood.push_back(std::make_unique<RawHttpClient>(r.httpPort(), "127.0.0.6"));
    // Over the rate, a WebSocket upgrade is answered 429 before any upgrade.
    RawHttpClient upgrade(r.httpPort(), "127.0.0.6");
    upgrade.send("GET /orlune/band/ws HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n");
    const auto refused = upgrade.readResponse();
    EXPECT_TRUE(refused.status == 429 || refused.status == 0) << refused.status;

    WsClient listener(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(listener.connected()) << "another client still gets in";
    ASSERT_TRUE(listener.read());
    test::UdpSender sender(r.udpPort());
    sender.send(datagram("band", 7));
    EXPECT_EQ(audioSequences(listener, 1), std::vector<std::int64_t>{7});

    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_GT(m.at("orlune_relay_connections_rejected_total{reason=\"client_connections\"}"), 0);
    EXPECT_GT(m.at("orlune_relay_connections_rejected_total{reason=\"client_rate\"}"), 0);
    EXPECT_LE(m.at("orlune_relay_connections"), 20 + 2) << "the flood holds at most its share";
}

TEST_F(HostileTraffic, ForwardedForCountsOnlyBehindATrustedProxy)
{
    ASSERT_TRUE(config.clients.trustedProxies.add("127.0.0.7"));
    config.clients.maxOpenPerClient = 2;
    auto& r = start();
    auto get = [&](const std::string& from, const std::string& client)
    {
        auto c = std::make_unique<RawHttpClient>(r.httpPort(), from);
        c->send("GET /healthz HTTP/1.1\r\nHost: x\r\nX-Forwarded-For: " + client + "\r\n\r\n");
        const int status = c->readResponse(2s).status;
        return std::make_pair(std::move(c), status);
    };

    // Through the trusted proxy, each forwarded client has its own allowance.
    auto a1 = get("127.0.0.7", "198.51.100.1");
    auto a2 = get("127.0.0.7", "203.0.113.5, 198.51.100.1");
    auto a3 = get("127.0.0.7", "198.51.100.1");
    auto b1 = get("127.0.0.7", "198.51.100.2");
    EXPECT_EQ(a1.second, 200);
    EXPECT_EQ(a2.second, 200) << "what the client wrote itself is not believed";
    EXPECT_EQ(a3.second, 429);
    EXPECT_EQ(b1.second, 200);

    // From anywhere else the header is ignored: the peer is the client.
    auto c1 = get("127.0.0.8", "192.0.2.1");
    auto c2 = get("127.0.0.8", "192.0.2.2");
    auto c3 = get("127.0.0.8", "192.0.2.3");
    EXPECT_EQ(c1.second, 200);
    EXPECT_EQ(c2.second, 200);
    EXPECT_EQ(c3.second, 0) << "closed at once";
    EXPECT_EQ(metric("orlune_relay_connections_rejected_total{reason=\"client_connections\"}"), 2);
}

TEST_F(HostileTraffic, RequestsWithBodiesAreAnsweredAndTheConnectionSurvives)
{
    auto& r = start();
    RawHttpClient c(r.httpPort());
    for (const char* method : {"POST", "PUT", "PATCH"})
    {
        c.send(std::string(method) +
               " /orlune/band HTTP/1.1\r\nHost: x\r\nContent-Length: 11\r\n\r\nhello world");
        const auto reply = c.readResponse();
        EXPECT_EQ(reply.status, 405) << method;
        EXPECT_EQ(reply.headers.at("allow"), "GET, HEAD") << method;
    }
    c.send("POST /metrics HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
           "5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(c.readResponse().status, 405);
    c.send("GET /healthz HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(c.readResponse().status, 400);
    c.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    const auto after = c.readResponse();
    EXPECT_EQ(after.status, 200) << "the connection is still usable";
    EXPECT_EQ(after.body, "ok\n");

    // Too large, or announced and not sent: answered, then closed cleanly.
    RawHttpClient big(r.httpPort());
    big.send("POST /orlune/band HTTP/1.1\r\nHost: x\r\nContent-Length: 10000000\r\n\r\n" +
             std::string(100000, 'x'));
    const auto tooLarge = big.readResponse();
    EXPECT_EQ(tooLarge.status, 413);
    EXPECT_EQ(tooLarge.headers.at("connection"), "close");
    EXPECT_TRUE(big.closedCleanly());

    RawHttpClient chunked(r.httpPort());
    std::string body = "POST / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 20; ++i)
        body += "1000\r\n" + std::string(4096, 'y') + "\r\n";
    chunked.send(body);
    EXPECT_EQ(chunked.readResponse().status, 413);
    EXPECT_TRUE(chunked.closedCleanly());

    RawHttpClient waiting(r.httpPort());
    waiting.send("PUT /x HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n");
    EXPECT_EQ(waiting.readResponse().status, 405);
    EXPECT_TRUE(waiting.closedCleanly());

    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at("orlune_relay_http_requests_rejected_total{reason=\"method_not_allowed\"}"), 5);
    EXPECT_EQ(m.at("orlune_relay_http_requests_rejected_total{reason=\"body_not_allowed\"}"), 1);
    EXPECT_EQ(m.at("orlune_relay_http_requests_rejected_total{reason=\"body_too_large\"}"), 2);
}

} // namespace
} // namespace orlune::relay
