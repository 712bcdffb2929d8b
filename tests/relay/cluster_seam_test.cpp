// The cluster's side of the rooms: what other relays' messages do to a room, what the rooms
// tell the cluster link, and the wire format between relays. No NATS needed.
#include "app/config.h"
#include "cluster/cluster_link.h"
#include "rooms/rooms.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

const std::string kLive = R"({"type":"source","live":true})";
const std::string kOffline = R"({"type":"source","live":false})";

struct Sink : ListenerSink
{
    std::vector<std::string> all;
    void deliverAudio(const SharedFrame& m) override
    {
        all.push_back("audio:" + std::to_string(test::readLe64(m.payload(), 0)));
    }
    void deliverText(const SharedBytes& m) override
    {
        if (m->find("hello") == std::string::npos)
            all.push_back(*m);
    }
};

struct Events : RoomEvents
{
    std::vector<std::string> seen;
    void onLocalForward(std::string_view room, const SharedFrame& message,
                        bool streamStart) override
    {
        seen.push_back(std::string(room) + " " +
                       std::to_string(test::readLe64(message.payload(), 0)) +
                       (streamStart ? " start" : ""));
    }
    void onListenersPresent(std::string_view room, bool present) override
    {
        seen.push_back(std::string(room) + (present ? " present" : " empty"));
    }
};

SharedFrame message(std::int64_t seq)
{
    static const std::vector<std::uint8_t> silence(kSampleBytes);
    return encodeAudioMessage(seq, seq * 256, silence.data());
}

class ClusterSeam : public ::testing::Test
{
protected:
    bool local(std::int64_t seq, TimePoint at, std::uint16_t port = 40001)
    {
        static const std::vector<float> silence(512);
        return test::offerDatagram(rooms, "jam", seq, 0, silence.data(),
                                   Endpoint(boost::asio::ip::make_address("127.0.0.1"), port), at);
    }

    Metrics metrics;
    RoomRegistry rooms{RoomLimits{}, metrics};
    const TimePoint t0 = TimePoint{} + 1000s;
};

TEST_F(ClusterSeam, RemoteStreamFollowsTheSameOrderingAndOwnershipRules)
{
    Sink sink;
    rooms.addListener("jam", &sink, t0);
    EXPECT_TRUE(rooms.onRemoteMessage("jam", "relay-a", message(10), true, t0));
    EXPECT_TRUE(rooms.onRemoteMessage("jam", "relay-a", message(12), false, t0 + 5ms));
    EXPECT_FALSE(rooms.onRemoteMessage("jam", "relay-a", message(11), false, t0 + 6ms)) << "late";
    EXPECT_FALSE(rooms.onRemoteMessage("jam", "relay-b", message(13), false, t0 + 7ms))
        << "another relay while relay-a is live";
    EXPECT_FALSE(local(0, t0 + 8ms)) << "a local source while relay-a is live";
    // The ingesting relay announces a new source even when its sequence looks like a late one.
    EXPECT_TRUE(rooms.onRemoteMessage("jam", "relay-a", message(5), true, t0 + 9ms));
    rooms.sweep(t0 + 3s);
    EXPECT_TRUE(local(0, t0 + 3s)) << "the room is free once relay-a fell silent";

    EXPECT_EQ(sink.all, (std::vector<std::string>{kLive, "audio:10", "audio:12", kLive, "audio:5",
                                                  kOffline, kLive, "audio:0"}));
    const RoomStats s = *rooms.stats("jam");
    EXPECT_EQ(s.lost, 1u);
    EXPECT_EQ(s.duplicateOrReordered, 1u);
    EXPECT_EQ(s.foreignDropped, 2u);
    EXPECT_TRUE(s.origin.empty());
    ASSERT_TRUE(s.source);
    EXPECT_EQ(s.source->port(), 40001);
    EXPECT_FALSE(
        rooms.onRemoteMessage("jam", "relay-a", SharedFrame(WsOpcode::Binary, "x"), false, t0 + 3s))
        << "a message of the wrong size is refused";
}

TEST_F(ClusterSeam, OnlyLocalDatagramsAreReportedForPublishingAndListenerPresenceIsEdgeTriggered)
{
    Events events;
    rooms.setEvents(&events);
    Sink one, two;
    rooms.addListener("jam", &one, t0);
    rooms.addListener("jam", &two, t0);
    local(0, t0);
    local(1, t0 + 5ms);
    rooms.onRemoteMessage("other", "relay-b", message(0), true, t0);
    rooms.countForeign("jam", t0 + 6ms);
    rooms.removeListener("jam", &one, t0 + 10ms);
    rooms.removeListener("jam", &two, t0 + 10ms);
    EXPECT_EQ(events.seen,
              (std::vector<std::string>{"jam present", "jam 0 start", "jam 1", "jam empty"}));
    EXPECT_EQ(rooms.stats("jam")->foreignDropped, 1u);
    EXPECT_EQ(metrics.roomDrops[static_cast<std::size_t>(RoomDrop::ForeignSource)], 1u);
    rooms.setEvents(nullptr);
}

// An Opus message of the listener format, frame sequence `seq`, one 3-byte packet.
SharedFrame opusMessage(std::int64_t seq)
{
    std::string m(20, '\0');
    for (int i = 0; i < 8; ++i)
        m[static_cast<std::size_t>(i)] = static_cast<char>((seq >> (8 * i)) & 0xff);
    m[16] = static_cast<char>(480 & 0xff);
    m[17] = static_cast<char>(480 >> 8);
    m[18] = 1;
    m += std::string{'\x03', '\0', 'a', 'b', 'c'};
    return SharedFrame(WsOpcode::Binary, m);
}

TEST_F(ClusterSeam, ARoomFedThroughTheClusterTakesItsOpusTiersFromTheIngestRelay)
{
    Sink sink;
    ASSERT_EQ(rooms.addListener("jam", &sink, t0, ListenerOptions{Tier::Standard, true}),
              JoinResult::Joined);
    const auto standard = tierIndex(Tier::Standard);
    TimePoint at = t0;
    std::int64_t seq = 0;
    auto feed = [&](int count)
    {
        for (int i = 0; i < count; ++i, ++seq, at += 5ms)
            rooms.onRemoteMessage("jam", "relay-a", message(seq), seq == 0, at);
    };
    // Float32 from the cluster, no Opus yet: nothing is encoded here.
    feed(50);
    EXPECT_EQ(rooms.tierEncoders()[standard], 0u);
    EXPECT_TRUE(
        rooms.onRemoteTierMessage("jam", "relay-a", Tier::Standard, opusMessage(0), true, at));
    EXPECT_TRUE(
        rooms.onRemoteTierMessage("jam", "relay-a", Tier::Standard, opusMessage(1), false, at));
    EXPECT_FALSE(
        rooms.onRemoteTierMessage("jam", "relay-a", Tier::Standard, opusMessage(1), false, at))
        << "a repeated frame sequence";
    EXPECT_FALSE(
        rooms.onRemoteTierMessage("jam", "relay-b", Tier::Standard, opusMessage(2), false, at))
        << "another relay's tier while relay-a feeds the room";

    // The ingest relay stops sending the tier (it does not encode for others, say): after 2 s
    // without it this relay encodes the tier itself, and says so before its first message.
    for (int step = 0; step < 20; ++step)
    {
        feed(50);
        rooms.sweep(at);
    }
    EXPECT_EQ(rooms.tierEncoders()[standard], 1u);
    const auto restart = std::count_if(sink.all.begin(), sink.all.end(),
                                       [](const std::string& m)
                                       { return m.find(R"("reason":"restart")") != m.npos; });
    EXPECT_EQ(restart, 1);
    // And once the ingest relay's tier comes back, it takes over again, with one more restart.
    EXPECT_TRUE(
        rooms.onRemoteTierMessage("jam", "relay-a", Tier::Standard, opusMessage(0), true, at));
    EXPECT_EQ(rooms.tierEncoders()[standard], 0u);
    EXPECT_EQ(std::count_if(sink.all.begin(), sink.all.end(),
                            [](const std::string& m)
                            { return m.find(R"("reason":"restart")") != m.npos; }),
              2);
    rooms.removeListener("jam", &sink, at);
}

TEST(ClusterWire, MessagesRoundTripAndAnythingElseIsRefused)
{
    const SharedFrame audio = message(77);
    const std::string wire = encodeClusterMessage("relay-a", true, audio.payload());
    const ClusterMessage m = decodeClusterMessage(wire.data(), wire.size(), "lossless");
    ASSERT_TRUE(m.ok);
    EXPECT_TRUE(m.streamStart);
    EXPECT_EQ(m.origin, "relay-a");
    EXPECT_EQ(m.message.payload(), audio.payload());

    for (std::size_t cut : {std::size_t(0), std::size_t(4), wire.size() - 1})
        EXPECT_FALSE(decodeClusterMessage(wire.data(), cut, "lossless").ok) << cut;
    std::string longer = wire + "x";
    EXPECT_FALSE(decodeClusterMessage(longer.data(), longer.size(), "lossless").ok);
    for (std::size_t at : {std::size_t(0), std::size_t(2), std::size_t(3), std::size_t(5)})
    {
        std::string bad = wire;
        bad[at] = '\x7f';
        EXPECT_FALSE(decodeClusterMessage(bad.data(), bad.size(), "lossless").ok) << at;
    }
    EXPECT_FALSE(decodeClusterMessage(nullptr, 0, "lossless").ok);

    EXPECT_EQ(clusterSubject("jam", "lossless"), "orlune.room.jam.lossless");
    const auto parts = parseSubject("orlune.room.jam-1_x.lossless");
    ASSERT_TRUE(parts);
    EXPECT_EQ(parts->room, "jam-1_x");
    EXPECT_EQ(parts->tier, "lossless");
    EXPECT_EQ(parseSubject("orlune.room.jam.standard")->tier, "standard");
    for (const char* subject :
         {"orlune.room..lossless", "orlune.room.JAM.lossless", "orlune.room.jam.medium",
          "other.room.jam.lossless", "orlune.room.a.b.lossless", "orlune.room.jam"})
        EXPECT_FALSE(parseSubject(subject)) << subject;
}

TEST(ClusterOptions, CommandLine)
{
    ParsedArgs p = parseArgs({"--nats", "nats://127.0.0.1:4222,,nats://127.0.0.1:4223",
                              "--relay-id", "edge-1", "--nats-replicas=3"});
    ASSERT_TRUE(p.config) << p.error;
    EXPECT_EQ(p.config->natsServers,
              (std::vector<std::string>{"nats://127.0.0.1:4222", "nats://127.0.0.1:4223"}));
    EXPECT_EQ(p.config->relayId, "edge-1");
    EXPECT_EQ(p.config->natsReplicas, 3);
    EXPECT_TRUE(parseArgs({}).config->natsServers.empty()) << "no cluster unless asked";
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--nats", ","},
                                               {"--relay-id", "Edge 1"},
                                               {"--relay-id", std::string(65, 'a')},
                                               {"--nats-replicas", "0"},
                                               {"--nats-replicas", "6"}})
    {
        const ParsedArgs bad = parseArgs(args);
        EXPECT_FALSE(bad.config) << args[0] << " " << args[1];
        EXPECT_FALSE(bad.error.empty());
    }
}

// A relay told to join a cluster whose NATS servers are not there: it starts, serves the rooms
// it ingests to its own listeners, says so on /healthz and /metrics, and stops cleanly. (Port 9
// on loopback: nothing listens there, so every connection attempt is refused at once.)
TEST(ClusterLinkWithoutNats, ServesItsOwnRoomsAndReportsTheLinkDown)
{
    test::TempDir web;
    web.write("index.html", "player");
    Config config = test::loopbackConfig(web.path());
    config.natsServers = {"nats://127.0.0.1:9"};
    config.relayId = "lonely";
    test::RunningRelay relay(config);

    const auto health = test::httpRequest(relay.httpPort(), "/healthz");
    EXPECT_EQ(health.status, 503);
    EXPECT_EQ(health.body, "nats disconnected\n");

    test::WsClient listener(relay.httpPort(), "/orlune/jam/ws");
    ASSERT_TRUE(listener.read()); // hello
    test::UdpSender sender(relay.udpPort());
    for (std::int64_t seq = 0; seq < 20; ++seq)
    {
        test::DatagramFields f;
        f.room = "jam";
        f.sequence = seq;
        sender.send(test::buildDatagram(f));
    }
    std::int64_t next = 0;
    while (next < 20)
    {
        auto m = listener.read();
        ASSERT_TRUE(m) << next;
        if (!m->text)
        {
            ASSERT_EQ(test::readLe64(m->data, 0), next++);
        }
    }
    const auto metrics = test::scrapeMetrics(relay.metricsPort());
    EXPECT_EQ(metrics.at("orlune_relay_nats_connected"), 0);
    EXPECT_EQ(metrics.at("orlune_relay_nats_messages_out_total"), 0) << "nothing to publish to";
    EXPECT_EQ(metrics.at("orlune_relay_nats_subscriptions"), 1) << "kept for the reconnection";
    EXPECT_EQ(metrics.at("orlune_relay_cluster_leases_held"), 0);
    relay.stop();
}

} // namespace
} // namespace orlune::relay
