// End-to-end tests over loopback: a relay on ephemeral ports, real UDP datagrams in, real
// WebSocket clients out.
#include "relay_fixture.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

class RelayServer : public test::RelayFixture
{
protected:
    RelayServer()
    {
        web.write("player.js", "console.log('player');");
        web.write("notes.txt", "not served");
    }

    std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq)
    {
        return test::streamDatagram(room, seq, 1);
    }
};

TEST_F(RelayServer, ServesHealthMetricsPlayerPageAndFiles)
{
    auto& r = start();
    auto reply = test::httpRequest(r.httpPort(), "/healthz");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "ok\n");

    reply = test::httpRequest(r.httpPort(), "/orlune/some-room");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "<!doctype html><title>player</title>");
    EXPECT_EQ(reply.headers["content-type"], "text/html; charset=utf-8");

    reply = test::httpRequest(r.httpPort(), "/orlune/player.js");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "console.log('player');");
    EXPECT_EQ(reply.headers["content-type"], "text/javascript; charset=utf-8");

    reply = test::httpRequest(r.httpPort(), "/orlune/player.js", "HEAD");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["content-length"], "22");

    reply = test::httpRequest(r.httpPort(), "/orlune/some-room/");
    EXPECT_EQ(reply.status, 301);
    EXPECT_EQ(reply.headers["location"], "/orlune/some-room");

    reply = test::httpRequest(r.metricsPort(), "/metrics");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["content-type"], "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(reply.body.find("orlune_relay_http_requests_total"), std::string::npos);
}

// The figures name every room, the only key to its stream, and its source's address: they are
// served on the metrics address only, which serves nothing of the listeners'.
TEST_F(RelayServer, MetricsAreServedApartFromListeners)
{
    auto& r = start();
    ASSERT_NE(r.metricsPort(), 0);
    ASSERT_NE(r.metricsPort(), r.httpPort());
    WsClient listener(r.httpPort(), "/orlune/secret-room/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender sender(r.udpPort());
    sender.send(datagram("secret-room", 0));
    ASSERT_TRUE(nextAudio(listener));

    for (const char* target : {"/metrics", "/metrics?x=1"})
    {
        const auto reply = test::httpRequest(r.httpPort(), target);
        EXPECT_EQ(reply.status, 404) << target;
        EXPECT_EQ(reply.body.find("secret-room"), std::string::npos) << target;
    }
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/healthz").status, 200);

    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at(R"(orlune_relay_room_listeners{room="secret-room"})"), 1);
    const std::string source =
        R"(orlune_relay_room_source_info{room="secret-room",source="127.0.0.1:)" +
        std::to_string(sender.localPort()) + "\"}";
    EXPECT_EQ(m.at(source), 1);
    EXPECT_EQ(test::httpRequest(r.metricsPort(), "/healthz").status, 200);
    EXPECT_EQ(test::httpRequest(r.metricsPort(), "/orlune/secret-room").status, 404);
    EXPECT_EQ(test::httpRequest(r.metricsPort(), "/orlune/player.js").status, 404);
    WsClient notHere(r.metricsPort(), "/orlune/secret-room/ws");
    EXPECT_FALSE(notHere.connected());
    EXPECT_EQ(notHere.refusedStatus(), 404);
}

TEST_F(RelayServer, MetricsListenerCanBeTurnedOff)
{
    config.metricsAddress.clear();
    auto& r = start();
    EXPECT_EQ(r.metricsPort(), 0);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/metrics").status, 404);
}

TEST_F(RelayServer, RefusesWhatItShouldNotServe)
{
    auto& r = start();
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/notes.txt").status, 404);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/missing.js").status, 404);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/../CMakeLists.txt").status, 404);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/Upper").status, 404);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/room", "POST").status, 405);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/room/ws").status, 426);
    // A request line long enough for any room code is read, not rejected as too large.
    const std::string longRoom(20000, 'x');
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/" + longRoom).status, 200);
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/healthz").status, 200) << "still serving";
}

TEST_F(RelayServer, MissingIndexIsNotFoundNotACrash)
{
    std::filesystem::remove(web.path() / "index.html");
    auto& r = start();
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/orlune/room").status, 404);
}

TEST_F(RelayServer, FansOutEveryDatagramBitExactToEveryListener)
{
    auto& r = start();
    std::vector<std::unique_ptr<WsClient>> clients;
    for (int i = 0; i < 3; ++i)
    {
        clients.push_back(std::make_unique<WsClient>(r.httpPort(), "/orlune/band/ws"));
        ASSERT_TRUE(clients.back()->connected());
        auto hello = clients.back()->read();
        ASSERT_TRUE(hello && hello->text);
        EXPECT_EQ(
            hello->data,
            R"({"type":"hello","room":"band","sampleRate":48000,"channels":2,"framesPerPacket":256,"live":false})");
    }
    WsClient otherRoom(r.httpPort(), "/orlune/elsewhere/ws");
    ASSERT_TRUE(otherRoom.read());

    test::UdpSender sender(r.udpPort());
    constexpr int kCount = 40;
    for (int seq = 0; seq < kCount; ++seq)
    {
        sender.send(datagram("band", seq));
        std::this_thread::sleep_for(1ms);
    }

    for (auto& c : clients)
    {
        auto first = c->read();
        ASSERT_TRUE(first && first->text);
        EXPECT_EQ(first->data, kLive);
        for (int seq = 0; seq < kCount; ++seq)
        {
            auto m = c->read();
            ASSERT_TRUE(m) << seq;
            ASSERT_FALSE(m->text) << m->data;
            const auto sent = datagram("band", seq);
            ASSERT_EQ(m->data.size(), 2064u);
            EXPECT_EQ(test::readLe64(m->data, 0), seq);
            EXPECT_EQ(test::readLe64(m->data, 8), seq * 256);
            EXPECT_EQ(std::memcmp(m->data.data() + 16, sent.data() + 19 + 4 + 28, 2048), 0) << seq;
        }
    }

    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_received_total"), kCount);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_forwarded_total"), kCount);
    EXPECT_EQ(metrics.at("orlune_relay_messages_sent_total{kind=\"audio\"}"), 3 * kCount);
    EXPECT_EQ(metrics.at("orlune_relay_room_listeners{room=\"band\"}"), 3);
    EXPECT_EQ(metrics.at("orlune_relay_listeners"), 4);

    // Gives up on the connection after the wait, so it comes last.
    EXPECT_FALSE(otherRoom.read(200ms)) << "another room's listener hears nothing";
}

TEST_F(RelayServer, MalformedDatagramsAreCountedByReasonAndNotForwarded)
{
    auto& r = start();
    WsClient listener(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender sender(r.udpPort());

    auto good = datagram("band", 0);
    const std::vector<std::uint8_t> truncated(good.begin(), good.end() - 1);
    auto oversized = good;
    oversized.push_back(0);
    auto badRate = good;
    badRate[19 + 4 + 16] = 0x44; // 48000 -> something else
    sender.send(truncated);
    sender.send(oversized);
    sender.send(badRate);
    const std::vector<std::uint8_t> hi(2, 'h');
    const std::vector<std::uint8_t> empty;
    sender.send(hi);
    sender.send(empty);
    sender.send(good);

    auto m = nextAudio(listener);
    ASSERT_TRUE(m);
    EXPECT_EQ(test::readLe64(m->data, 0), 0);

    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_received_total"), 6);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_dropped_total{reason=\"truncated\"}"), 2);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_dropped_total{reason=\"oversized\"}"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_dropped_total{reason=\"bad_sample_rate\"}"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_dropped_total{reason=\"bad_magic\"}"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_forwarded_total"), 1);
}

TEST_F(RelayServer, SecondSenderIsIgnoredUntilTheFirstFallsSilent)
{
    config.limits.sourceSilence = 300ms;
    auto& r = start();
    WsClient listener(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(listener.read());
    test::UdpSender first(r.udpPort());
    test::UdpSender second(r.udpPort());

    first.send(datagram("band", 50));
    std::this_thread::sleep_for(20ms);
    second.send(datagram("band", 0));
    std::vector<std::string> texts;
    auto m = nextAudio(listener, &texts);
    ASSERT_TRUE(m);
    EXPECT_EQ(test::readLe64(m->data, 0), 50);

    // After the silence the listener is told the source went away, then the new one arrives.
    auto offline = listener.read(2s);
    ASSERT_TRUE(offline);
    EXPECT_EQ(offline->data, kOffline);
    second.send(datagram("band", 0));
    texts.clear();
    m = nextAudio(listener, &texts);
    ASSERT_TRUE(m);
    EXPECT_EQ(test::readLe64(m->data, 0), 0);
    EXPECT_EQ(texts, std::vector<std::string>{kLive});

    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at("orlune_relay_datagrams_dropped_total{reason=\"foreign_source\"}"), 1);
    const std::string info = "orlune_relay_room_source_info{room=\"band\",source=\"127.0.0.1:" +
                             std::to_string(second.localPort()) + "\"}";
    EXPECT_EQ(metrics.count(info), 1u) << info;
}

TEST_F(RelayServer, SlowListenerIsSkippedAheadWithoutHoldingUpOthers)
{
    config.listenerQueue = 8;
    auto& r = start();
    WsClient fast(r.httpPort(), "/orlune/band/ws");
    WsClient slow(r.httpPort(), "/orlune/band/ws", 4096);
    ASSERT_TRUE(fast.read());
    ASSERT_TRUE(slow.read());
    test::UdpSender sender(r.udpPort());

    // The slow listener reads nothing while 1500 datagrams (about 3 MB) go by.
    constexpr int kCount = 1500;
    int next = 0;
    for (int batch = 0; batch < kCount / 50; ++batch)
    {
        for (int i = 0; i < 50; ++i)
            sender.send(datagram("band", batch * 50 + i));
        for (int i = 0; i < 50; ++i, ++next)
        {
            auto m = nextAudio(fast);
            ASSERT_TRUE(m) << "fast listener stalled at " << next;
            ASSERT_EQ(test::readLe64(m->data, 0), next);
        }
    }

    // Now the slow one catches up: it was told what it missed and ends on the newest audio.
    bool sawSkip = false;
    std::int64_t lastSeq = -1;
    std::int64_t skipped = 0;
    while (auto m = slow.read(500ms))
    {
        if (m->text)
        {
            if (m->data.rfind(R"({"type":"skip","dropped":)", 0) == 0)
            {
                sawSkip = true;
                skipped += std::atoll(m->data.c_str() + 25);
            }
            continue;
        }
        const auto seq = test::readLe64(m->data, 0);
        EXPECT_GT(seq, lastSeq) << "audio stays in order across skips";
        lastSeq = seq;
    }
    EXPECT_TRUE(sawSkip);
    EXPECT_EQ(lastSeq, kCount - 1);
    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_GE(metrics.at("orlune_relay_listener_skips_total"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_listener_skipped_messages_total"), skipped);
}

TEST_F(RelayServer, ListenerThatCatchesUpGetsEveryMessageIntact)
{
    // Messages that pile up for a listener leave in gathered writes of many frames.
    config.listenerQueue = 1000;
    auto& r = start();
    WsClient late(r.httpPort(), "/orlune/band/ws", 4096);
    ASSERT_TRUE(late.read());
    test::UdpSender sender(r.udpPort());
    constexpr int kCount = 300;
    for (int seq = 0; seq < kCount; ++seq)
    {
        sender.send(datagram("band", seq));
        if (seq % 20 == 19)
            std::this_thread::sleep_for(2ms);
    }
    std::vector<std::string> texts;
    for (int seq = 0; seq < kCount; ++seq)
    {
        auto m = nextAudio(late, &texts);
        ASSERT_TRUE(m) << seq;
        const auto sent = datagram("band", seq);
        ASSERT_EQ(test::readLe64(m->data, 0), seq);
        ASSERT_EQ(std::memcmp(m->data.data() + 16, sent.data() + 51, 2048), 0) << seq;
    }
    EXPECT_EQ(texts, std::vector<std::string>{kLive}) << "no skips with room in the queue";
}

TEST_F(RelayServer, FramesAreUnmaskedSingleFramesAndPingsGetPongs)
{
    auto& r = start();
    test::RawWsClient c(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(c.upgraded());
    auto hello = c.readFrame();
    ASSERT_TRUE(hello);
    EXPECT_TRUE(hello->fin);
    EXPECT_EQ(hello->opcode, 0x1);

    test::UdpSender sender(r.udpPort());
    sender.send(datagram("band", 0));
    auto live = c.readFrame();
    ASSERT_TRUE(live);
    EXPECT_EQ(live->payload, kLive);
    auto audio = c.readFrame();
    ASSERT_TRUE(audio);
    EXPECT_EQ(audio->opcode, 0x2);
    EXPECT_TRUE(audio->fin);
    EXPECT_EQ(audio->payload.size(), 2064u);

    c.sendFrame(0x89, "are you there");
    auto pong = c.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "are you there");

    // Whatever a listener says is read and ignored.
    c.sendFrame(0x81, std::string(4000, 'x'));
    c.sendFrame(0x82, "bin");
    sender.send(datagram("band", 1));
    audio = c.readFrame();
    ASSERT_TRUE(audio);
    EXPECT_EQ(test::readLe64(audio->payload, 0), 1);
}

TEST_F(RelayServer, ListenerCloseIsEchoedAndTheListenerLeaves)
{
    auto& r = start();
    test::RawWsClient c(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(c.readFrame());
    c.sendFrame(0x88, std::string("\x03\xe8", 2)); // 1000, normal closure
    auto reply = c.readFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->opcode, 0x8);
    EXPECT_EQ(reply->payload, std::string("\x03\xe8", 2));
    EXPECT_FALSE(c.readFrame(2s));
    EXPECT_TRUE(c.closedByPeer());
    EXPECT_EQ(test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners"), 0);
}

TEST_F(RelayServer, ProtocolViolationsDropOnlyThatListener)
{
    auto& r = start();
    WsClient bystander(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(bystander.read());

    test::RawWsClient unmasked(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(unmasked.readFrame());
    unmasked.sendFrame(0x81, "hello", false);
    EXPECT_FALSE(unmasked.readFrame(2s));
    EXPECT_TRUE(unmasked.closedByPeer());

    test::RawWsClient huge(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(huge.readFrame());
    huge.sendFrame(0x82, std::string(100000, 'z'));
    const auto tooBig = huge.readFrame(2s);
    ASSERT_TRUE(tooBig);
    EXPECT_EQ(tooBig->opcode, 0x8);
    EXPECT_EQ(tooBig->payload, wsClosePayload(ws_close::kMessageTooBig));
    EXPECT_FALSE(huge.readFrame(2s));
    EXPECT_TRUE(huge.closedByPeer());

    test::UdpSender sender(r.udpPort());
    sender.send(datagram("band", 0));
    EXPECT_TRUE(nextAudio(bystander));
    EXPECT_EQ(test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners"), 1);
}

TEST_F(RelayServer, SilentListenerIsPingedThenDropped)
{
    config.websocketIdle = 200ms;
    config.limits.sourceSilence = 400ms; // sweeps every 50 ms
    auto& r = start();
    test::RawWsClient c(r.httpPort(), "/orlune/band/ws");
    ASSERT_TRUE(c.readFrame());
    auto ping = c.readFrame(2s);
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->opcode, 0x9);
    // No pong and nothing else from the listener: it is dropped.
    EXPECT_FALSE(c.readFrame(3s));
    EXPECT_TRUE(c.closedByPeer());
}

TEST_F(RelayServer, ListenerLimitsAnswer503)
{
    config.limits.maxListenersPerRoom = 2;
    config.limits.maxListenersTotal = 3;
    auto& r = start();
    // A listener counts once its session has joined the room, just after the handshake; on
    // several event loops that may be a moment after the client saw the upgrade. (One that races
    // past the HTTP check is still turned away at the join, with a close instead of a 503.)
    const auto joined = [&](double n)
    {
        for (int i = 0; i < 200; ++i)
        {
            if (test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners") == n)
                return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    };
    WsClient a(r.httpPort(), "/orlune/one/ws");
    WsClient b(r.httpPort(), "/orlune/one/ws");
    ASSERT_TRUE(a.connected() && b.connected());
    ASSERT_TRUE(joined(2));
    WsClient c(r.httpPort(), "/orlune/one/ws");
    EXPECT_FALSE(c.connected());
    EXPECT_EQ(c.refusedStatus(), 503);
    WsClient d(r.httpPort(), "/orlune/two/ws");
    EXPECT_TRUE(d.connected());
    ASSERT_TRUE(joined(3));
    WsClient e(r.httpPort(), "/orlune/three/ws");
    EXPECT_EQ(e.refusedStatus(), 503);

    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at("orlune_relay_listeners_rejected_total{reason=\"room_full\"}"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_listeners_rejected_total{reason=\"relay_full\"}"), 1);
    EXPECT_EQ(metrics.at("orlune_relay_listeners"), 3);
}

TEST_F(RelayServer, DepartedListenersAreRemovedFromTheRoom)
{
    auto& r = start();
    {
        WsClient a(r.httpPort(), "/orlune/one/ws");
        ASSERT_TRUE(a.read());
    }
    test::UdpSender sender(r.udpPort());
    sender.send(datagram("one", 0)); // fan-out to a closed connection must be harmless
    for (int i = 0; i < 100; ++i)
    {
        if (test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners") == 0)
            break;
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners"), 0);
}

TEST_F(RelayServer, StopClosesListenersWithGoingAway)
{
    auto& r = start();
    WsClient a(r.httpPort(), "/orlune/one/ws");
    ASSERT_TRUE(a.read());
    std::optional<test::WsMessage> after;
    std::thread reader([&] { after = a.read(3s); });
    const auto before = std::chrono::steady_clock::now();
    r.stop();
    const auto took = std::chrono::steady_clock::now() - before;
    reader.join();
    EXPECT_LT(took, 1500ms) << "once every listener has closed there is no grace time to wait";
    EXPECT_FALSE(after);
    EXPECT_EQ(a.closeCode().value_or(0), 1001);
}

#ifdef ORLUNE_RELAY_OPENSSL_PROGRAM
TEST_F(RelayServer, ServesHttpsWithTheGivenKeyPair)
{
    const auto cert = web.path() / "cert.pem";
    const auto key = web.path() / "key.pem";
    const std::string command = std::string(ORLUNE_RELAY_OPENSSL_PROGRAM) +
                                " req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost"
                                " -keyout " +
                                key.string() + " -out " + cert.string() + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    config.tlsCert = cert.string();
    config.tlsKey = key.string();
    auto& r = start();
    EXPECT_TRUE(r.relay().usesTls());

    // A plain-text request gets no HTTP answer on the TLS port.
    EXPECT_EQ(test::httpRequest(r.httpPort(), "/healthz").status, 0);
    EXPECT_EQ(test::httpsGetStatus(r.httpPort(), "/healthz", cert.string()), 200);
    EXPECT_EQ(test::httpsGetStatus(r.httpPort(), "/metrics", cert.string()), 404);
    EXPECT_EQ(test::httpRequest(r.metricsPort(), "/metrics").status, 200) << "plain HTTP there";
}
TEST_F(RelayServer, RefusesToStartWithAMissingKeyPair)
{
    config.tlsCert = (web.path() / "none.pem").string();
    config.tlsKey = (web.path() / "none.key").string();
    EXPECT_ANY_THROW(start());
}
#endif

} // namespace
} // namespace orlune::relay
