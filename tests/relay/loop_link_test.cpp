// The hand-over between a home loop and a shard, without sockets: the shard's listeners hear
// what the home registry forwards, from datagrams and from the cluster alike, as the very
// buffer the home loop built, and the cluster hears of the shard's listeners.
#include "app/event_loops.h"
#include "app/loop_link.h"
#include "opus_probe.h"
#include "test_support.h"

#include <boost/asio/post.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

// A listener on the shard; read from the test thread.
struct Sink : ListenerSink
{
    std::mutex mutex;
    std::vector<const char*> audio; // the buffers delivered, by address
    std::vector<std::int64_t> sequences;
    std::vector<std::string> texts;
    void deliverAudio(const SharedFrame& m) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        audio.push_back(m.bytes().data());
        sequences.push_back(test::readLe64(m.payload(), 0));
    }
    void deliverText(const SharedBytes& m) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (m->find("hello") == std::string::npos)
            texts.push_back(*m);
    }
    std::size_t audioCount()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return audio.size();
    }
};

// Stands for the cluster link on the home registry.
struct Cluster : RoomEvents
{
    std::vector<std::string> seen;
    void onLocalForward(std::string_view room, const SharedFrame& m, bool start) override
    {
        seen.push_back(std::string(room) + " publish " +
                       std::to_string(test::readLe64(m.payload(), 0)) + (start ? " start" : ""));
    }
    void onListenersPresent(std::string_view room, bool present) override
    {
        seen.push_back(std::string(room) + (present ? " subscribe" : " unsubscribe"));
    }
    void onTierMessage(std::string_view, Tier, const SharedFrame& m) override
    {
        tierMessages.push_back(m.bytes().data());
    }
    void onTierListenersPresent(std::string_view room, Tier tier, bool present) override
    {
        seen.push_back(std::string(room) + " " + std::string(tierName(tier)) +
                       (present ? " wanted" : " unwanted"));
    }
    std::vector<const char*> tierMessages; // home thread only
};

// Waits on the test thread (bounded) until `done`.
template <class F> void waitUntil(F done)
{
    for (int i = 0; i < 400 && !done(); ++i)
        std::this_thread::sleep_for(5ms);
}

SharedFrame message(std::int64_t seq)
{
    static const std::vector<std::uint8_t> silence(kSampleBytes);
    return encodeAudioMessage(seq, seq * 256, silence.data());
}

class LoopLink : public ::testing::Test
{
protected:
    LoopLink()
    {
        home.core().registry.setEvents(&homeLink);
        homeLink.addShard(shardLink);
        shard.core().registry.setEvents(&shardLink);
        shard.startThread();
    }

    ~LoopLink() override
    {
        net::post(shard.ioc(), [this] { shard.beginShutdown(); });
        shard.joinThread();
    }

    // The test thread is the home loop's: runs its handlers until `done` (bounded).
    template <class F> bool homeUntil(F done)
    {
        for (int i = 0; i < 400 && !done(); ++i)
        {
            home.ioc().restart();
            home.ioc().poll();
            std::this_thread::sleep_for(5ms);
        }
        return done();
    }

    void onShard(std::function<void()> f)
    {
        std::promise<void> ran;
        net::post(shard.ioc(),
                  [&]
                  {
                      f();
                      ran.set_value();
                  });
        ran.get_future().wait();
    }

    // Stops the shard's thread in a handler until the returned promise is set.
    std::shared_ptr<std::promise<void>> stallShard()
    {
        auto release = std::make_shared<std::promise<void>>();
        std::promise<void> stalled;
        net::post(shard.ioc(),
                  [&stalled, release]
                  {
                      stalled.set_value();
                      release->get_future().wait();
                  });
        stalled.get_future().wait();
        return release;
    }

    // A listener of the shard's, as a session adds it (on the shard's thread).
    JoinResult join(const std::string& room, Sink& sink, ListenerOptions options = {})
    {
        return join(room, sink, seat, options);
    }
    JoinResult join(const std::string& room, Sink& sink, Seat& place, ListenerOptions options)
    {
        const JoinResult reserved = shard.core().reserve(room, place);
        return reserved != JoinResult::Joined ? reserved : shard.core().join(place, &sink, options);
    }

    // Feeds the home registry datagrams `from`..`to` (exclusive) of a tone in room "jam", from
    // one source; `at` counts the datagrams sent so far, for their times. Returns how many
    // the registry forwarded.
    std::size_t feed(std::int64_t from, std::int64_t to, std::int64_t& at)
    {
        const Endpoint source(boost::asio::ip::make_address("127.0.0.1"), 40000);
        const auto tone = test::stereoTone(1000, 0.5, static_cast<std::size_t>(256 * to));
        std::size_t forwarded = 0;
        for (std::int64_t seq = from; seq < to; ++seq, ++at)
        {
            forwarded += test::offerDatagram(home.core().registry, "jam", seq, seq * 256,
                                             tone.data() + seq * 512, source,
                                             t0 + std::chrono::microseconds(5333 * at));
        }
        return forwarded;
    }

    Config config;
    ClientGuard clients{config.clients};
    RelayAdmission admission{config.limits};
    EventLoop home{0, config, clients, admission};
    EventLoop shard{1, config, clients, admission};
    Seat seat; // the shard's listener's place
    Cluster cluster;
    HomeLink homeLink{home, 2, &cluster};
    ShardLink shardLink{shard, home, homeLink};
    const TimePoint t0 = Clock::now();
};

TEST_F(LoopLink, ShardListenersHearTheClustersRoomsInTheHomeLoopsOwnBuffers)
{
    Sink sink;
    onShard([&] { EXPECT_EQ(join("jam", sink), JoinResult::Joined); });
    ASSERT_TRUE(homeUntil(
        [&]
        {
            auto s = home.core().registry.stats("jam");
            return s && s->listeners == 1;
        }))
        << "the home registry keeps the room for the shard's listener";
    EXPECT_EQ(cluster.seen, std::vector<std::string>{"jam subscribe"})
        << "a shard's listener counts for the cluster subscription";

    // Heard through the cluster: reaches the shard, is not published again.
    std::vector<SharedFrame> sent{message(10), message(11)};
    for (const auto& m : sent)
        EXPECT_TRUE(home.core().registry.onRemoteMessage("jam", "relay-b", m, m == sent[0], t0));
    waitUntil([&] { return sink.audioCount() >= 2; });
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        EXPECT_EQ(sink.sequences, (std::vector<std::int64_t>{10, 11}));
        ASSERT_EQ(sink.audio.size(), 2u);
        EXPECT_EQ(sink.audio[0], sent[0].bytes().data()) << "shared, not copied";
        EXPECT_EQ(sink.audio[1], sent[1].bytes().data());
        EXPECT_EQ(sink.texts, std::vector<std::string>{R"({"type":"source","live":true})"});
    }
    EXPECT_EQ(cluster.seen.size(), 1u) << "nothing received is published";

    // The shard's last listener leaves: the room is let go at home and in the cluster.
    onShard([&] { shard.core().leave(seat, &sink); });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.size() == 2; }));
    EXPECT_EQ(cluster.seen.back(), "jam unsubscribe");
    EXPECT_EQ(admission.census().total, 0u);
}

TEST_F(LoopLink, AShardReceivesOnlyTheRoomsItsListenersAreIn)
{
    Sink sink;
    onShard([&] { join("other", sink); });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.size() == 1; }));
    std::int64_t at = 0;
    EXPECT_EQ(feed(0, 1, at), 1u);
    EXPECT_EQ(cluster.seen.back(), "jam publish 0 start") << "still published";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(sink.audioCount(), 0u) << "a shard receives only the rooms its listeners are in";
    onShard([&] { shard.core().leave(seat, &sink); });
}

TEST_F(LoopLink, AStalledShardsInboxIsBoundedAndItCatchesUpWhenItRuns)
{
    Sink sink;
    onShard([&] { join("jam", sink); });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.size() == 1; }));
    // The shard's thread stops in a handler until the test lets it go.
    const auto release = stallShard();
    const auto room = std::make_shared<const std::string>("jam");
    const std::size_t sent = ShardLink::kInboxLimit + 100;
    for (std::size_t seq = 0; seq < sent; ++seq)
    {
        const SharedFrame m = message(static_cast<std::int64_t>(seq));
        shardLink.handOver(room, m, *decodeAudioMessage(m.payload()), seq == 0);
    }
    EXPECT_EQ(home.core().metrics.loopHandOversDropped, 100u);

    release->set_value();
    waitUntil([&] { return sink.audioCount() >= ShardLink::kInboxLimit; });
    EXPECT_EQ(sink.audioCount(), ShardLink::kInboxLimit) << "the first ones, in order";
    const SharedFrame last = message(static_cast<std::int64_t>(sent));
    shardLink.handOver(room, last, *decodeAudioMessage(last.payload()), false);
    waitUntil([&] { return sink.audioCount() >= ShardLink::kInboxLimit + 1; });
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        ASSERT_EQ(sink.sequences.size(), ShardLink::kInboxLimit + 1);
        EXPECT_EQ(sink.sequences[ShardLink::kInboxLimit - 1],
                  static_cast<std::int64_t>(ShardLink::kInboxLimit - 1));
        EXPECT_EQ(sink.sequences.back(), static_cast<std::int64_t>(sent));
    }
    onShard([&] { shard.core().leave(seat, &sink); });
}

TEST_F(LoopLink, AShardsOpusListenersAreFedTheHomeLoopsEncodingOfTheirTier)
{
    Sink sink;
    onShard(
        [&] {
            EXPECT_EQ(join("jam", sink, ListenerOptions{Tier::Standard, true}), JoinResult::Joined);
        });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.size() == 2; }));
    EXPECT_EQ(cluster.seen[1], "jam standard wanted") << "relay-wide tier presence";

    std::int64_t at = 0;
    feed(0, 40, at);
    const std::size_t built = cluster.tierMessages.size();
    EXPECT_EQ(built, 10u) << "40 datagrams: 21 frames, 2 to a message";
    waitUntil([&] { return sink.audioCount() >= built; });
    {
        std::lock_guard<std::mutex> lock(sink.mutex);
        ASSERT_EQ(sink.audio.size(), built);
        for (std::size_t i = 0; i < built; ++i)
        {
            EXPECT_EQ(sink.audio[i], cluster.tierMessages[i]) << "the home loop's own buffer";
            EXPECT_EQ(sink.sequences[i], static_cast<std::int64_t>(2 * i));
        }
    }
    EXPECT_EQ(home.core().metrics.tier(Tier::Standard).encoders, 1u);
    onShard([&] { EXPECT_EQ(shard.core().metrics.tier(Tier::Standard).encoders, 0u); });

    onShard([&] { shard.core().leave(seat, &sink); });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.back() == "jam unsubscribe"; }));
    EXPECT_EQ(cluster.seen[cluster.seen.size() - 2], "jam standard unwanted");
    EXPECT_EQ(home.core().metrics.tier(Tier::Standard).encoders, 0u) << "nobody wants it now";
}

// A stream that starts again while a shard's inbox is full: the start is dropped with the
// message that carried it, and must come with the next one handed over, or the shard judges the
// new stream by the old one's sequence and drops it (the float32 stream as reordered, an Opus
// tier's as duplicates until the ingest stream has been silent a while).
TEST_F(LoopLink, AStreamStartDroppedWithAFullInboxComesWithTheNextMessage)
{
    Sink lossless, opus;
    Seat opusSeat;
    onShard(
        [&]
        {
            EXPECT_EQ(join("jam", lossless), JoinResult::Joined);
            EXPECT_EQ(join("jam", opus, opusSeat, ListenerOptions{Tier::Standard, true}),
                      JoinResult::Joined);
        });
    ASSERT_TRUE(homeUntil([&] { return cluster.seen.size() == 2; }));
    std::int64_t at = 0;
    feed(0, 60, at);
    ASSERT_TRUE(homeUntil([&] { return lossless.audioCount() == 60 && opus.audioCount() > 10; }));
    const std::size_t opusBefore = opus.audioCount();

    // The shard stalls; its inbox fills up; the source restarts its stream meanwhile.
    const auto release = stallShard();
    const auto room = std::make_shared<const std::string>("other");
    const auto filler = message(0);
    for (std::size_t i = 0; i < ShardLink::kInboxLimit; ++i)
        ASSERT_TRUE(shardLink.handOver(room, filler, *decodeAudioMessage(filler.payload()), false));
    const std::uint64_t droppedBefore = home.core().metrics.loopHandOversDropped;
    feed(0, 10, at); // restarted at 0: every message of it dropped at the full inbox
    EXPECT_GT(home.core().metrics.loopHandOversDropped, droppedBefore + 10);
    release->set_value();
    onShard([] {}); // runs once the shard has drained its inbox
    feed(10, 40, at);
    waitUntil([&] { return lossless.audioCount() >= 60 + 30 && opus.audioCount() > opusBefore; });
    std::lock_guard<std::mutex> lockL(lossless.mutex);
    ASSERT_GE(lossless.sequences.size(), 61u) << "the restarted float32 stream reaches the shard";
    EXPECT_EQ(lossless.sequences[60], 10);
    std::lock_guard<std::mutex> lockO(opus.mutex);
    EXPECT_GT(opus.sequences.size(), opusBefore) << "and so does the restarted Opus tier";
}

// A flush may queue more audio (an Auto step-down replays the new tier's recent messages
// into the same and other sessions): every session is flushed, none through a list that grew
// while it was read (the relay crashed that way after a step-down on a slow link).
TEST(CoreFlush, SessionsQueuedDuringAFlushAreFlushedToo)
{
    struct Session : SocketSession
    {
        Core* core = nullptr;
        std::vector<Session>* queueOnFlush = nullptr;
        int flushed = 0;
        void tick(TimePoint) override {}
        void goAway() override {}
        void flush() override
        {
            ++flushed;
            if (queueOnFlush != nullptr)
                for (Session& other : *std::exchange(queueOnFlush, nullptr))
                    core->pendingFlush.push_back(&other); // far past the list's capacity
        }
    };
    Config config;
    ClientGuard clients(config.clients);
    Core core(config, clients);
    std::vector<Session> later(64);
    Session first;
    first.core = &core;
    first.queueOnFlush = &later;
    core.pendingFlush.push_back(&first);
    core.flushPending();
    EXPECT_EQ(first.flushed, 1);
    for (const Session& s : later)
        EXPECT_EQ(s.flushed, 1);
    EXPECT_TRUE(core.pendingFlush.empty());
}

} // namespace
} // namespace orlune::relay
