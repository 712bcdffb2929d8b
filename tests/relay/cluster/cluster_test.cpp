// A relay cluster as scripts/cluster starts it (three NATS servers, three relays, HAProxy), each
// test on its own: a source streams into relay a, listeners hear it on b and c, directly and
// through HAProxy, while relays and NATS servers are killed. Runs inside a private network
// namespace (see run-in-netns); every address is 127.0.0.1.
#include "cluster_support.h"

#include <gtest/gtest.h>
#include <opus/opus.h>

#include <cmath>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using namespace clustertest;

#define START_CLUSTER(cluster, slot)                                                               \
    Cluster cluster(slot);                                                                         \
    ASSERT_TRUE(cluster.started()) << cluster.log()

TEST(RelayCluster, EveryRelayAndTheFrontDoorCarryTheRoomBitForBitInOrder)
{
    START_CLUSTER(cluster, 1);
    constexpr std::uint32_t kSeed = 7;
    constexpr std::int64_t kCount = 600; // 3.2 s
    Listener onA(cluster.http(0), "party", kSeed);
    Listener onB(cluster.http(1), "party", kSeed);
    Listener onC(cluster.http(2), "party", kSeed);
    Listener front1(cluster.haproxy(), "party", kSeed);
    Listener front2(cluster.haproxy(), "party", kSeed);
    std::this_thread::sleep_for(300ms); // subscriptions reach every NATS server
    Source source(cluster.udp(0), "party", 0, kSeed, kCount);
    for (Listener* l : {&onA, &onB, &onC, &front1, &front2})
        EXPECT_TRUE(l->waitForAudio(kCount, 10s));
    source.stop();

    const auto a = onA.audio();
    for (Listener* l : {&onA, &onB, &onC, &front1, &front2})
    {
        const auto audio = l->audio();
        ASSERT_EQ(audio.size(), static_cast<std::size_t>(kCount));
        for (std::int64_t i = 0; i < kCount; ++i)
        {
            ASSERT_EQ(audio[static_cast<std::size_t>(i)].seq, i);
            ASSERT_TRUE(audio[static_cast<std::size_t>(i)].intact) << i;
        }
        const auto events = l->events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[1].first, kLive) << "announced before the first audio";
        EXPECT_EQ(events[1].second, 0u);
    }

    // What the NATS hop adds: arrival on b and c against arrival on a, message by message.
    std::vector<double> hop;
    for (Listener* l : {&onB, &onC})
    {
        const auto audio = l->audio();
        for (std::size_t i = 0; i < audio.size(); ++i)
            hop.push_back(std::chrono::duration<double, std::milli>(audio[i].at - a[i].at).count());
    }
    const double p50 = percentile(hop, 0.5), p99 = percentile(hop, 0.99);
    std::printf("NATS hop over listeners on relay a: p50 %.3f ms, p99 %.3f ms (%zu messages)\n",
                p50, p99, hop.size());
    // The 2 ms goal is the cluster benchmark's to judge (timing on a shared machine is noisy);
    // here only a hop that holds messages back (batching, a blocked loop) fails.
    EXPECT_LE(p99, 20.0);

    const auto metricsA = test::scrapeMetrics(cluster.metrics(0));
    const auto metricsB = test::scrapeMetrics(cluster.metrics(1));
    EXPECT_EQ(metricsA.at("orlune_relay_nats_messages_out_total"), kCount);
    EXPECT_EQ(metricsA.at("orlune_relay_cluster_leases_held"), 1);
    EXPECT_GE(metricsB.at("orlune_relay_nats_messages_in_total"), kCount);
    EXPECT_EQ(metricsB.at("orlune_relay_nats_messages_out_total"), 0) << "nothing republished";
    EXPECT_EQ(metricsB.at("orlune_relay_nats_connected"), 1);
    EXPECT_EQ(test::httpRequest(cluster.http(1), "/healthz").status, 200);
    // The figures name the room: not through HAProxy, not on a relay's HTTP port.
    EXPECT_EQ(test::httpRequest(cluster.haproxy(), "/metrics").status, 404);
    EXPECT_EQ(test::httpRequest(cluster.http(0), "/metrics").status, 404);
}

TEST(RelayCluster, RelayWithoutListenersInARoomReceivesNothingOfIt)
{
    START_CLUSTER(cluster, 2);
    Listener onB(cluster.http(1), "party", 1);
    std::this_thread::sleep_for(300ms);
    Source source(cluster.udp(0), "party", 0, 1, 200);
    EXPECT_TRUE(onB.waitForAudio(200, 5s));
    source.stop();
    EXPECT_EQ(test::scrapeMetrics(cluster.metrics(2)).at("orlune_relay_nats_messages_in_total"), 0);
    EXPECT_EQ(test::scrapeMetrics(cluster.metrics(2)).at("orlune_relay_nats_subscriptions"), 0);
}

TEST(RelayCluster, TwoSourcesForOneRoomOnTwoRelaysTheClusterKeepsOneAndHandsOver)
{
    START_CLUSTER(cluster, 3);
    Listener onC(cluster.http(2), "duel", 1);
    std::this_thread::sleep_for(300ms);
    Source first(cluster.udp(0), "duel", 0, 1, 2000);
    ASSERT_TRUE(onC.waitForAudio(50, 5s));
    Source second(cluster.udp(1), "duel", 50000, 1, 2000);
    std::this_thread::sleep_for(1500ms);
    first.stop();
    const auto firstStopped = first.lastSent();
    std::this_thread::sleep_for(3500ms);
    second.stop();
    onC.stop();

    const auto audio = onC.audio();
    ASSERT_FALSE(audio.empty());
    std::size_t switchAt = 0;
    for (std::size_t i = 1; i < audio.size(); ++i)
    {
        ASSERT_TRUE(audio[i].intact) << i;
        if (audio[i].seq >= 50000 && audio[i - 1].seq < 50000)
        {
            ASSERT_EQ(switchAt, 0u) << "the two streams never interleave";
            switchAt = i;
        }
        else
            ASSERT_EQ(audio[i].seq, audio[i - 1].seq + 1) << i;
    }
    ASSERT_GT(switchAt, 0u) << "the second source took over";
    EXPECT_EQ(audio[switchAt - 1].seq, first.sent() - 1) << "the first source was heard to its end";
    const double handover =
        std::chrono::duration<double>(audio[switchAt].at - firstStopped).count();
    std::printf("Handover to the second source: %.3f s after the first fell silent\n", handover);
    EXPECT_GE(handover, 1.9);
    EXPECT_LE(handover, 3.0);
    // The listener was told: the first source went away, then a new one started.
    std::vector<std::string> around;
    for (const auto& [text, before] : onC.events())
        if (before == switchAt)
            around.push_back(text);
    EXPECT_EQ(around, (std::vector<std::string>{kOffline, kLive}));

    const auto b = test::scrapeMetrics(cluster.metrics(1));
    EXPECT_GE(b.at("orlune_relay_cluster_leases_denied_total"), 1);
    EXPECT_GT(b.at("orlune_relay_room_foreign_dropped_total{room=\"duel\"}"), 100);
    EXPECT_EQ(b.at("orlune_relay_cluster_leases_granted_total"), 1);
}

TEST(RelayCluster, OneOfThreeNatsServersKilledCostsNoRelayMoreThanASecond)
{
    START_CLUSTER(cluster, 4);
    Listener onA(cluster.http(0), "gig", 3);
    Listener onB(cluster.http(1), "gig", 3);
    Listener onC(cluster.http(2), "gig", 3);
    std::this_thread::sleep_for(300ms);
    Source source(cluster.udp(0), "gig", 0, 3, 1500); // 8 s
    ASSERT_TRUE(onB.waitForAudio(200, 5s));
    ASSERT_TRUE(cluster.kill("nats-a")); // the ingesting relay's own server
    std::this_thread::sleep_for(4s);
    const std::size_t atEnd = onA.audio().size() + 900;
    onB.waitForAudio(atEnd - 200, 6s);
    source.stop();
    std::this_thread::sleep_for(200ms);
    // What each listener lost: the sequence numbers it never heard.
    std::vector<std::vector<std::int64_t>> lost;
    for (Listener* l : {&onA, &onB, &onC})
    {
        const auto audio = l->audio();
        ASSERT_GT(audio.size(), 1000u);
        lost.emplace_back();
        std::int64_t expected = 0;
        for (std::size_t i = 0; i < audio.size(); ++i)
        {
            ASSERT_TRUE(i == 0 || audio[i].seq > audio[i - 1].seq) << i;
            ASSERT_TRUE(audio[i].intact) << i;
            for (; expected < audio[i].seq; ++expected)
                lost.back().push_back(expected);
            expected = audio[i].seq + 1;
        }
        const double gap = std::chrono::duration<double>(longestGap(audio)).count();
        std::printf("longest pause %.3f s, %zu of %lld messages, %zu lost\n", gap, audio.size(),
                    static_cast<long long>(source.sent()), lost.back().size());
        EXPECT_LT(gap, 1.0);
        EXPECT_EQ(audio.back().seq, source.sent() - 1);
    }
    // As the cluster page says: the ingest relay's own listeners lose nothing; a listener on
    // another relay may miss some of what the ingest relay wrote to the dying server in the
    // moment it died, which that server had not passed on: at most five messages, all within
    // ten consecutive ones; nothing before or after.
    EXPECT_TRUE(lost[0].empty());
    for (std::size_t edge = 1; edge < lost.size(); ++edge)
    {
        EXPECT_LE(lost[edge].size(), 5u) << edge;
        if (!lost[edge].empty())
        {
            EXPECT_LT(lost[edge].back() - lost[edge].front(), 10) << edge;
        }
    }
    // Relay a lists nats-a first, but may have found it not yet up and taken the next one: the
    // kill must have moved some relay, and every one is connected again.
    long long reconnects = 0;
    for (int relay = 0; relay < 3; ++relay)
    {
        const auto m = test::scrapeMetrics(cluster.metrics(relay));
        reconnects += static_cast<long long>(m.at("orlune_relay_nats_reconnects_total"));
        EXPECT_EQ(m.at("orlune_relay_nats_connected"), 1);
    }
    EXPECT_GE(reconnects, 1);
}

TEST(RelayCluster, ARelayThatLosesNatsKeepsServingWhatItIngests)
{
    START_CLUSTER(cluster, 6);
    Listener onA(cluster.http(0), "solo", 4);
    std::this_thread::sleep_for(300ms);
    Source source(cluster.udp(0), "solo", 0, 4, 1100); // 5.9 s
    ASSERT_TRUE(onA.waitForAudio(150, 5s));
    for (const char* server : {"nats-a", "nats-b", "nats-c"})
        ASSERT_TRUE(cluster.kill(server));
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(test::httpRequest(cluster.http(0), "/healthz").status, 503)
        << "a load balancer sends new listeners elsewhere";
    const auto metrics = test::scrapeMetrics(cluster.metrics(0));
    EXPECT_EQ(metrics.at("orlune_relay_nats_connected"), 0);
    EXPECT_GE(metrics.at("orlune_relay_nats_disconnects_total"), 1);
    source.finish();
    std::this_thread::sleep_for(200ms);
    onA.stop();
    const auto audio = onA.audio();
    ASSERT_EQ(audio.size(), 1100u) << "the relay's own listener lost nothing";
    for (std::size_t i = 0; i < audio.size(); ++i)
        ASSERT_EQ(audio[i].seq, static_cast<std::int64_t>(i));
}

TEST(RelayCluster, ListenersOfAKilledEdgeRelayReconnectThroughTheFrontDoorAndPlayOn)
{
    START_CLUSTER(cluster, 5);
    constexpr std::int64_t kCount = 1700; // 9 s
    Crowd crowd(cluster.haproxy(), "live-set", 5, 100, kCount);
    std::this_thread::sleep_for(1s);
    Source source(cluster.udp(0), "live-set", 0, 5, kCount);
    std::this_thread::sleep_for(3s);
    const auto onC = test::scrapeMetrics(cluster.metrics(2)).at("orlune_relay_listeners");
    EXPECT_GE(onC, 10) << "HAProxy spreads the listeners over the relays";
    ASSERT_TRUE(cluster.kill("relay-c"));
    std::this_thread::sleep_for(4s);
    const auto a = test::scrapeMetrics(cluster.metrics(0)).at("orlune_relay_listeners");
    const auto b = test::scrapeMetrics(cluster.metrics(1)).at("orlune_relay_listeners");
    EXPECT_EQ(a + b, 100) << "every listener is back, on a relay that is alive";
    source.stop();
    std::this_thread::sleep_for(300ms);
    crowd.stop();

    int moved = 0;
    std::int64_t worstMissed = 0;
    for (const auto& m : crowd.members())
    {
        if (m->reconnects > 0)
            worstMissed = std::max(worstMissed, source.sent() - m->messages.load());
        EXPECT_EQ(m->faults, 0) << "nothing out of order or damaged";
        EXPECT_EQ(m->lastSeq, source.sent() - 1) << "every listener plays to the end";
        EXPECT_LE(m->gaps, m->reconnects) << "nothing lost but the reconnection gap";
        EXPECT_GT(m->messages.load(), kCount / 2);
        moved += m->reconnects > 0 ? 1 : 0;
    }
    std::printf("%d of 100 listeners moved from the killed relay (it had %.0f); the longest gap "
                "was %lld messages (%.0f ms)\n",
                moved, onC, static_cast<long long>(worstMissed),
                static_cast<double>(worstMissed) * 5.333);
    EXPECT_EQ(moved, static_cast<int>(onC));
}

// What a listener of an Opus tier hears: every packet decoded (missing ones concealed), the
// tone's frequency from its zero crossings and its level from the RMS, past the first 100 ms.
struct Decoded
{
    std::size_t frames = 0;
    std::size_t missing = 0;
    std::size_t broken = 0;
    double hz = 0;
    double dbfs = -200;
};

Decoded decodeTone(const std::vector<std::string>& messages)
{
    Decoded d;
    int error = 0;
    OpusDecoder* decoder = opus_decoder_create(48000, 2, &error);
    if (decoder == nullptr)
        return d;
    std::vector<float> left;
    std::vector<float> pcm(2 * 5760);
    for (const std::string& m : messages)
    {
        const auto* b = reinterpret_cast<const unsigned char*>(m.data());
        const std::size_t n = m.size() >= 20 ? b[18] : 0;
        std::size_t at = 20;
        for (std::size_t i = 0; i < n && at + 2 <= m.size(); ++i)
        {
            const std::size_t len = b[at] | (b[at + 1] << 8);
            at += 2;
            const int got = opus_decode_float(decoder, len == 0 ? nullptr : b + at,
                                              static_cast<opus_int32>(len), pcm.data(), 480, 0);
            at += len;
            ++d.frames;
            d.missing += len == 0 ? 1 : 0;
            if (got != 480)
            {
                ++d.broken;
                continue;
            }
            for (int k = 0; k < got; ++k)
                left.push_back(pcm[static_cast<std::size_t>(2 * k)]);
        }
    }
    opus_decoder_destroy(decoder);
    const std::size_t from = 4800;
    if (left.size() < from + 48000 / 2)
        return d;
    std::size_t crossings = 0;
    double sum = 0;
    for (std::size_t i = from + 1; i < left.size(); ++i)
    {
        crossings += (left[i - 1] < 0) != (left[i] < 0) ? 1 : 0;
        sum += static_cast<double>(left[i]) * left[i];
    }
    const double seconds = static_cast<double>(left.size() - from - 1) / 48000.0;
    d.hz = static_cast<double>(crossings) / 2.0 / seconds;
    // A sine's peak is its RMS times the square root of two: report the peak level.
    d.dbfs = 20.0 * std::log10(std::sqrt(2.0 * sum / static_cast<double>(left.size() - from)));
    return d;
}

TEST(RelayCluster, OpusTiersAreEncodedAtTheIngestRelayAndDecodeOnEveryRelay)
{
    START_CLUSTER(cluster, 7);
    constexpr std::int64_t kCount = 750; // 4 s
    Listener standardOnB(cluster.http(1), "tones", 0, "?quality=standard");
    Listener lowOnC(cluster.http(2), "tones", 0, "?quality=low");
    Listener highThroughFront(cluster.haproxy(), "tones", 0, "?quality=high");
    Listener floatOnC(cluster.http(2), "tones", 0);
    std::this_thread::sleep_for(300ms); // subscriptions and interest reach relay a
    Source source(cluster.udp(0), "tones", 0, Source::kTone, kCount);
    source.finish();
    EXPECT_TRUE(floatOnC.waitForAudio(kCount, 10s));
    std::this_thread::sleep_for(300ms);

    for (Listener* l : {&standardOnB, &lowOnC, &highThroughFront})
    {
        const Decoded d = decodeTone(l->whole());
        // The tier starts once relay a has heard the interest: nearly all of the 4 s arrive.
        EXPECT_GE(d.frames, 350u);
        EXPECT_EQ(d.missing, 0u);
        EXPECT_EQ(d.broken, 0u);
        EXPECT_NEAR(d.hz, 1000.0, 3.0);
        EXPECT_NEAR(d.dbfs, -12.0, 1.0);
        std::printf("decoded %zu frames: %.1f Hz at %.2f dBFS\n", d.frames, d.hz, d.dbfs);
        // Frame sequences run on without a gap across messages.
        const auto audio = l->audio();
        for (std::size_t i = 1; i < audio.size(); ++i)
            ASSERT_GT(audio[i].seq, audio[i - 1].seq) << i;
    }

    // One stream start for every listener: the tiers joining in did not restart the room.
    for (Listener* l : {&standardOnB, &lowOnC, &highThroughFront, &floatOnC})
    {
        const auto events = l->events();
        EXPECT_EQ(std::count_if(events.begin(), events.end(),
                                [](const auto& e) { return e.first == kLive; }),
                  1);
        for (const auto& e : events)
            EXPECT_EQ(e.first.find("restart"), std::string::npos) << e.first;
    }

    const auto a = test::scrapeMetrics(cluster.metrics(0));
    const auto b = test::scrapeMetrics(cluster.metrics(1));
    EXPECT_GE(a.at("orlune_relay_cluster_interest_in_total"), 2);
    EXPECT_GE(b.at("orlune_relay_cluster_interest_out_total"), 1);
    EXPECT_EQ(b.at("orlune_relay_nats_messages_out_total"), 0)
        << "nothing encoded off the ingest relay";
    // Relay a carries the float32 messages plus the three tiers; b took lossless and standard.
    EXPECT_GT(a.at("orlune_relay_nats_messages_out_total"), kCount);
}

} // namespace
} // namespace orlune::relay
