#include "loop/metrics.h"
#include "rooms/rooms.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

struct RecordingSink : ListenerSink
{
    std::vector<std::string> texts;
    std::vector<SharedFrame> audio;
    std::vector<std::string> all; // in order: "text:..." or "audio:<sequence>"

    void deliverAudio(const SharedFrame& m) override
    {
        audio.push_back(m);
        all.push_back("audio:" + std::to_string(test::readLe64(m.payload(), 0)));
    }
    void deliverText(const SharedBytes& m) override
    {
        texts.push_back(*m);
        all.push_back("text:" + *m);
    }
};

const std::string kLive = R"({"type":"source","live":true})";
const std::string kOffline = R"({"type":"source","live":false})";

Endpoint source(std::uint16_t port)
{
    return {boost::asio::ip::make_address("127.0.0.1"), port};
}

class Rooms : public ::testing::Test
{
protected:
    Rooms()
    {
        limits.maxRooms = 3;
        limits.maxListenersPerRoom = 2;
        limits.maxListenersTotal = 4;
    }

    RoomRegistry& registry()
    {
        if (!registry_)
            registry_ = std::make_unique<RoomRegistry>(limits, metrics);
        return *registry_;
    }

    // Parses and feeds one datagram; `storage` keeps its bytes alive for the call.
    bool feed(const std::string& room, std::int64_t seq, const Endpoint& from, TimePoint at,
              std::uint32_t seed = 0)
    {
        test::DatagramFields f;
        f.room = room;
        f.sequence = seq;
        f.samplePosition = static_cast<std::int64_t>(static_cast<std::uint64_t>(seq) * 256u);
        f.samples = test::patternSamples(seed);
        const auto bytes = test::buildDatagram(f);
        const ParseResult r = parseDatagram(bytes.data(), bytes.size());
        EXPECT_TRUE(r.ok());
        return registry().onDatagram(r.datagram, from, at);
    }

    RoomStats stats(const std::string& room)
    {
        auto s = registry().stats(room);
        EXPECT_TRUE(s.has_value()) << room;
        return s.value_or(RoomStats{});
    }

    RoomLimits limits;
    Metrics metrics;
    std::unique_ptr<RoomRegistry> registry_;
    const TimePoint t0 = TimePoint{} + 1000s;
    const Endpoint a = source(40001);
    const Endpoint b = source(40002);
};

TEST_F(Rooms, ListenerBeforeStreamHearsHelloThenSourceThenAudio)
{
    RecordingSink sink;
    ASSERT_EQ(registry().addListener("jam", &sink, t0), JoinResult::Joined);
    ASSERT_TRUE(feed("jam", 0, a, t0 + 10ms, 42));
    ASSERT_TRUE(feed("jam", 1, a, t0 + 15ms, 43));

    const std::vector<std::string> expected = {
        R"(text:{"type":"hello","room":"jam","sampleRate":48000,"channels":2,"framesPerPacket":256,"live":false})",
        "text:" + kLive, "audio:0", "audio:1"};
    EXPECT_EQ(sink.all, expected);

    // The audio message is sequence, sample position, then the datagram's sample bytes.
    test::DatagramFields f;
    f.room = "jam";
    f.sequence = 1;
    f.samplePosition = 256;
    f.samples = test::patternSamples(43);
    const auto bytes = test::buildDatagram(f);
    const std::string m(sink.audio[1].payload());
    ASSERT_EQ(m.size(), kAudioMessageSize);
    EXPECT_EQ(test::readLe64(m, 0), 1);
    EXPECT_EQ(test::readLe64(m, 8), 256);
    EXPECT_EQ(
        m.compare(16, kSampleBytes, reinterpret_cast<const char*>(bytes.data()) + 50, kSampleBytes),
        0);
}

TEST_F(Rooms, HelloSaysLiveWhenJoiningARunningStream)
{
    feed("jam", 0, a, t0);
    RecordingSink sink;
    registry().addListener("jam", &sink, t0 + 100ms);
    ASSERT_EQ(sink.texts.size(), 1u);
    EXPECT_NE(sink.texts[0].find(R"("live":true)"), std::string::npos);
}

TEST_F(Rooms, OwnerKeepsRoomWhileLiveAndOthersAreDropped)
{
    RecordingSink sink;
    registry().addListener("jam", &sink, t0);
    EXPECT_TRUE(feed("jam", 0, a, t0));
    EXPECT_FALSE(feed("jam", 0, b, t0 + 5ms));
    EXPECT_TRUE(feed("jam", 1, a, t0 + 1s));
    EXPECT_FALSE(feed("jam", 5, b, t0 + 2999ms)); // a last sent at t0+1s: still live
    EXPECT_EQ(sink.audio.size(), 2u);

    const RoomStats s = stats("jam");
    EXPECT_EQ(s.source, a);
    EXPECT_EQ(s.foreignDropped, 2u);
    EXPECT_EQ(s.datagrams, 2u);
    EXPECT_EQ(metrics.roomDrops[static_cast<std::size_t>(RoomDrop::ForeignSource)], 2u);
}

TEST_F(Rooms, NewSourceTakesOverAfterTwoSecondsOfSilence)
{
    RecordingSink sink;
    registry().addListener("jam", &sink, t0);
    feed("jam", 100, a, t0);
    registry().sweep(t0 + 1999ms);
    EXPECT_TRUE(stats("jam").live);
    registry().sweep(t0 + 2s);
    EXPECT_FALSE(stats("jam").live);
    registry().sweep(t0 + 2500ms); // offline is announced once

    ASSERT_TRUE(feed("jam", 0, b, t0 + 2600ms));    // restarted stream from a new port
    EXPECT_FALSE(feed("jam", 101, a, t0 + 2700ms)); // the old source is now the foreign one

    const std::vector<std::string> expected = {sink.all[0],        "text:" + kLive, "audio:100",
                                               "text:" + kOffline, "text:" + kLive, "audio:0"};
    EXPECT_EQ(sink.all, expected);
    const RoomStats s = stats("jam");
    EXPECT_EQ(s.source, b);
    EXPECT_EQ(s.lost, 0u) << "a new source's sequence is not compared with the old one's";
    EXPECT_EQ(s.sourceChanges, 2u);
}

TEST_F(Rooms, TakeoverDoesNotWaitForTheSweep)
{
    RecordingSink sink;
    registry().addListener("jam", &sink, t0);
    feed("jam", 0, a, t0);
    EXPECT_TRUE(feed("jam", 0, b, t0 + 2s));
    EXPECT_EQ(stats("jam").source, b);
    // Listeners still hear that the old source went away before the new one starts.
    const std::vector<std::string> expected = {sink.all[0],        "text:" + kLive, "audio:0",
                                               "text:" + kOffline, "text:" + kLive, "audio:0"};
    EXPECT_EQ(sink.all, expected);
}

TEST_F(Rooms, SequenceFiguresCountLossDuplicatesAndReordering)
{
    RecordingSink sink;
    registry().addListener("jam", &sink, t0);
    for (std::int64_t seq : {0, 1, 2, 5, 5, 4, 6, 10})
        feed("jam", seq, a, t0);
    const RoomStats s = stats("jam");
    EXPECT_EQ(s.datagrams, 8u);
    EXPECT_EQ(s.lost, 2u + 3u); // 3,4 then 7,8,9 (4 arriving late does not undo the count)
    EXPECT_EQ(s.duplicateOrReordered, 2u);
    EXPECT_EQ(s.lastSequence, 10);
    EXPECT_EQ(s.lastSamplePosition, 2560);
    // Late and repeated datagrams are not passed on: listeners get a rising sequence.
    std::vector<std::string> audio;
    for (const auto& e : sink.all)
        if (e.rfind("audio:", 0) == 0)
            audio.push_back(e);
    EXPECT_EQ(audio, (std::vector<std::string>{"audio:0", "audio:1", "audio:2", "audio:5",
                                               "audio:6", "audio:10"}));
}

TEST_F(Rooms, CountersRestartedOnTheSameSocketAreFollowed)
{
    // Starting the stream again while it runs keeps the socket but restarts the counters.
    RecordingSink sink;
    registry().addListener("jam", &sink, t0);
    for (std::int64_t seq = 0; seq < 500; ++seq)
        feed("jam", seq, a, t0);
    ASSERT_TRUE(feed("jam", 0, a, t0 + 10ms));
    ASSERT_TRUE(feed("jam", 1, a, t0 + 15ms));
    RoomStats s = stats("jam");
    EXPECT_EQ(s.restarts, 1u);
    EXPECT_EQ(s.lastSequence, 1);
    EXPECT_EQ(s.duplicateOrReordered, 0u);
    EXPECT_EQ(sink.texts.back(), kLive);

    // A jump far ahead is a discontinuity, not billions of lost datagrams.
    ASSERT_TRUE(feed("jam", std::numeric_limits<std::int64_t>::max(), a, t0 + 20ms));
    ASSERT_TRUE(feed("jam", std::numeric_limits<std::int64_t>::min(), a, t0 + 25ms));
    s = stats("jam");
    EXPECT_EQ(s.lost, 0u);
    EXPECT_EQ(s.restarts, 3u);
}

TEST_F(Rooms, RoomWithNeitherSourceNorListenerIsForgottenAfterThirtySeconds)
{
    feed("jam", 0, a, t0);
    registry().sweep(t0 + 29s);
    EXPECT_EQ(registry().roomCount(), 1u);
    registry().sweep(t0 + 30s);
    EXPECT_EQ(registry().roomCount(), 0u);
}

TEST_F(Rooms, ListenersKeepARoomAndItsIdleTimeStartsWhenTheLastLeaves)
{
    RecordingSink sink;
    registry().addListener("early", &sink, t0);
    registry().sweep(t0 + 120s);
    EXPECT_EQ(registry().roomCount(), 1u) << "listeners may wait for a stream indefinitely";
    registry().removeListener("early", &sink, t0 + 120s);
    EXPECT_EQ(registry().listenerCount(), 0u);
    registry().sweep(t0 + 149s);
    EXPECT_EQ(registry().roomCount(), 1u);
    registry().sweep(t0 + 150s);
    EXPECT_EQ(registry().roomCount(), 0u);
}

TEST_F(Rooms, ExpiredRoomComesBackFresh)
{
    feed("jam", 7, a, t0);
    registry().sweep(t0 + 31s);
    ASSERT_TRUE(feed("jam", 8, b, t0 + 32s));
    const RoomStats s = stats("jam");
    EXPECT_EQ(s.datagrams, 1u);
    EXPECT_EQ(s.source, b);
}

TEST_F(Rooms, LimitsOnRoomsAndListeners)
{
    RecordingSink s1, s2, s3, s4, s5;
    EXPECT_TRUE(feed("r1", 0, a, t0));
    EXPECT_TRUE(feed("r2", 0, a, t0));
    EXPECT_EQ(registry().addListener("r3", &s1, t0), JoinResult::Joined);
    EXPECT_FALSE(feed("r4", 0, a, t0)) << "a fourth room exceeds maxRooms";
    EXPECT_EQ(registry().addListener("r4", &s2, t0), JoinResult::RoomLimit);
    EXPECT_EQ(metrics.roomDrops[static_cast<std::size_t>(RoomDrop::RoomLimit)], 1u);

    EXPECT_EQ(registry().addListener("r1", &s2, t0), JoinResult::Joined);
    EXPECT_EQ(registry().addListener("r1", &s3, t0), JoinResult::Joined);
    EXPECT_EQ(registry().canJoin("r1"), JoinResult::RoomFull);
    EXPECT_EQ(registry().addListener("r1", &s4, t0), JoinResult::RoomFull);
    EXPECT_EQ(registry().addListener("r2", &s4, t0), JoinResult::Joined);
    EXPECT_EQ(registry().addListener("r2", &s5, t0), JoinResult::RelayFull);
    EXPECT_EQ(registry().listenerCount(), 4u);
    EXPECT_TRUE(s5.texts.empty()) << "a refused listener gets nothing";

    registry().removeListener("r1", &s2, t0);
    EXPECT_EQ(registry().addListener("r2", &s5, t0), JoinResult::Joined);
    EXPECT_EQ(metrics.listenerRejects[static_cast<std::size_t>(ListenerReject::RoomLimit)], 1u);
    EXPECT_EQ(metrics.listenerRejects[static_cast<std::size_t>(ListenerReject::RoomFull)], 1u);
    EXPECT_EQ(metrics.listenerRejects[static_cast<std::size_t>(ListenerReject::RelayFull)], 1u);
}

TEST_F(Rooms, RemovingAnUnknownListenerChangesNothing)
{
    RecordingSink s1, other;
    registry().addListener("r1", &s1, t0);
    registry().removeListener("r1", &other, t0);
    registry().removeListener("nope", &s1, t0);
    EXPECT_EQ(registry().listenerCount(), 1u);
}

TEST(MetricsText, IsWellFormedPrometheusTextWithTheRelayFigures)
{
    Metrics m;
    RoomRegistry rooms(RoomLimits{}, m);
    RecordingSink sink;
    rooms.addListener("jam", &sink, TimePoint{});
    m.datagramsReceived = 12;
    m.bytesReceived = 25224;
    m.countMalformed(ParseError::Truncated);
    m.countMalformed(ParseError::Truncated);
    m.listenerSkips = 3;

    const std::string text = renderMetrics(m, rooms);
    const std::regex sample(
        R"(^[a-zA-Z_:][a-zA-Z0-9_:]*(\{[a-z_]+="[^"]*"(,[a-z_]+="[^"]*")*\})? -?[0-9.e+]+$)");
    const std::regex help(R"(^# (HELP|TYPE) ([a-z_]+) .+$)");
    std::set<std::string> typed;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
    {
        std::smatch match;
        if (line.rfind("# ", 0) == 0)
        {
            ASSERT_TRUE(std::regex_match(line, match, help)) << line;
            if (match[1] == "TYPE")
            {
                EXPECT_TRUE(typed.insert(match[2]).second) << "type given twice: " << line;
            }
        }
        else
        {
            EXPECT_TRUE(std::regex_match(line, sample)) << line;
        }
    }

    for (const char* expected :
         {"orlune_relay_rooms 1\n", "orlune_relay_listeners 1\n",
          "orlune_relay_datagrams_received_total 12\n", "orlune_relay_bytes_received_total 25224\n",
          "orlune_relay_datagrams_dropped_total{reason=\"truncated\"} 2\n",
          "orlune_relay_datagrams_dropped_total{reason=\"foreign_source\"} 0\n",
          "orlune_relay_listener_skips_total 3\n", "orlune_relay_room_listeners{room=\"jam\"} 1\n"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected;
}

} // namespace
} // namespace orlune::relay
