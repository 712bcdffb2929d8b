// The Opus tiers at the registry: what a listener of each tier decodes, gaps and restarts,
// hostile samples, listeners that leave mid-delivery, and the seams other relays use.
#include "tier_fixture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using namespace test;

TEST_F(Tiers, EachOpusTierCarriesAToneAtItsFrequencyAndLevelOncePerRoom)
{
    const auto tone = test::stereoTone(1000, 0.5, 48000 * 2);
    for (Tier tier : kOpusTiers)
    {
        SCOPED_TRACE(std::string(tierName(tier)));
        Metrics m;
        RoomRegistry rooms(limits, m);
        Sink first;
        Sink second;
        rooms.addListener("r", &first, now, on(tier));
        rooms.addListener("r", &second, now, on(tier));
        const TierProfile& profile = tierProfile(tier);
        EXPECT_NE(first.texts[0].find(R"("tier":")" + std::string(profile.name) +
                                      R"(","codec":"opus","bitrate":)" +
                                      std::to_string(profile.bitrate) +
                                      R"(,"frameSamples":480,"framesPerMessage":)" +
                                      std::to_string(profile.framesPerMessage)),
                  std::string::npos)
            << first.texts[0];
        for (std::size_t d = 0; d * 512 < tone.size(); ++d)
        {
            const auto seq = static_cast<std::int64_t>(d);
            now += 5333us;
            test::offerDatagram(rooms, "r", seq, 1000 + seq * 256, tone.data() + d * 512,
                                source(40001), now);
        }
        ASSERT_EQ(first.audio.size(), second.audio.size());
        std::int64_t expectSeq = 0;
        for (std::size_t i = 0; i < first.audio.size(); ++i)
        {
            EXPECT_EQ(first.audio[i], second.audio[i]) << "one message for every listener";
            const auto view = test::parseOpusMessage(first.audio[i].payload());
            ASSERT_TRUE(view);
            EXPECT_EQ(view->sequence, expectSeq);
            EXPECT_EQ(view->samplePosition, 1000 + expectSeq * 480) << "grid at the stream start";
            EXPECT_EQ(view->packets.size(), static_cast<std::size_t>(profile.framesPerMessage));
            expectSeq += static_cast<std::int64_t>(view->packets.size());
        }
        EXPECT_EQ(m.tier(tier).encodersCreated, 1u);
        EXPECT_EQ(m.tier(tier).messagesBuilt, first.audio.size());
        EXPECT_EQ(m.tier(tier).framesMissing, 0u);

        OpusProbe probe;
        decodeAll(first, probe);
        const std::size_t from = 4800; // past the decoder's start-up
        const std::size_t frames = static_cast<std::size_t>(probe.frames) * 480 - from - 480;
        EXPECT_NEAR(test::toneFrequency(probe.output, 0, from, frames), 1000.0, 0.5);
        EXPECT_NEAR(test::toneFrequency(probe.output, 1, from, frames), 1000.0, 0.5);
        const double inLevel = 0.5 / std::sqrt(2.0);
        EXPECT_NEAR(20 * std::log10(test::rms(probe.output, 0, from, frames) / inLevel), 0, 0.5);
        EXPECT_NEAR(20 * std::log10(test::rms(probe.output, 1, from, frames) / inLevel * 2), 0,
                    0.5);
    }
}

TEST_F(Tiers, ListenerAskingNoQualityGetsTodaysHelloAndByteExactFloat32)
{
    Sink plain;
    Sink lossless;
    registry.addListener("r", &plain, now);
    registry.addListener("r", &lossless, now, on(Tier::Lossless));
    EXPECT_EQ(plain.texts[0], helloMessage("r", false));
    EXPECT_NE(lossless.texts[0].find(R"("codec":"pcm-f32","bitrate":3072000,"frameSamples":256,)"
                                     R"("framesPerMessage":1,"tiers":[)"),
              std::string::npos);
    for (std::uint32_t seq = 0; seq < 20; ++seq)
    {
        const auto samples = test::patternSamples(seq); // NaN, -0 and denormals included
        test::DatagramFields f;
        f.room = "r";
        f.sequence = seq;
        f.samplePosition = seq * 256;
        f.samples = samples;
        const auto bytes = test::buildDatagram(f);
        now += 5333us;
        const Datagram d = parseDatagram(bytes.data(), bytes.size()).datagram;
        ASSERT_TRUE(registry.onDatagram(d, source(40001), now));
        EXPECT_EQ(plain.audio.back().payload(), encodeAudioMessage(d).payload());
        EXPECT_EQ(plain.audio.back(), lossless.audio.back());
    }
    const auto s = registry.stats("r");
    EXPECT_EQ(s->tierListeners[tierIndex(Tier::Lossless)], 2u);
    for (bool encoding : s->encoding)
        EXPECT_FALSE(encoding) << "no encoder without an Opus listener";
}

TEST_F(Tiers, AGapReachesTheDecoderAsMissingFramesThenTheToneResumes)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Standard));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 60);
    // Datagrams 20..24 (positions 5120..6399) never arrive, more than the room fills in
    // (concealment_test.cpp): frames 10 to 13 lack samples.
    feedSignal(tone, 0, 0, [](std::size_t d) { return d >= 20 && d <= 24; });

    std::vector<int> lengths;
    std::int64_t expectSeq = 0;
    for (const auto& m : sink.audio)
    {
        const auto view = test::parseOpusMessage(m.payload());
        ASSERT_TRUE(view);
        EXPECT_EQ(view->sequence, expectSeq) << "the gap keeps the frame count, not a jump";
        for (const auto& p : view->packets)
            lengths.push_back(static_cast<int>(p.size()));
        expectSeq += static_cast<std::int64_t>(view->packets.size());
    }
    ASSERT_GE(lengths.size(), 20u);
    for (std::size_t k = 0; k < lengths.size(); ++k)
        EXPECT_EQ(lengths[k] == 0, k >= 10 && k <= 13) << "frame " << k;
    EXPECT_EQ(metrics.tier(Tier::Standard).framesMissing, 4u);

    OpusProbe probe;
    decodeAll(sink, probe);
    EXPECT_EQ(probe.concealed, 4);
    // From the second frame after the gap the tone is back at its level.
    const double level = test::rms(probe.output, 0, 15 * 480, 480 * 8);
    EXPECT_NEAR(20 * std::log10(level / (0.5 / std::sqrt(2.0))), 0, 1.0);
    EXPECT_NEAR(test::toneFrequency(probe.output, 0, 15 * 480, 480 * 8), 1000, 2);
}

TEST_F(Tiers, RestartAndNewSourceStartTheTierAfreshAndOfflineFlushes)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Low));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 30);
    const auto shorter = test::stereoTone(1000, 0.5, 256 * 27); // 14 frames and a bit
    feedSignal(tone, 100, 5000);
    const std::size_t before = sink.audio.size();
    ASSERT_GT(before, 0u);

    // The plug-in restarted its counters: sequence 0 at a new position.
    feedSignal(shorter, 0, 777777);
    ASSERT_EQ(sink.texts.back(), kLive);
    ASSERT_GT(sink.audio.size(), before);
    auto first =
        test::parseOpusMessage(sink.audio[sink.audio.size() - sink.audioAfter(kLive)].payload());
    EXPECT_EQ(first->sequence, 0);
    EXPECT_EQ(first->samplePosition, 777777);

    // Silence, then the sweep: complete frames go out before the offline event, none after.
    const std::size_t beforeSweep = sink.audio.size();
    now += 3s;
    registry.sweep(now);
    EXPECT_EQ(sink.texts.back(), kOffline);
    EXPECT_EQ(sink.audioAfter(kOffline), 0u);
    // 14 complete frames: 3 messages of 4 went out while streaming, a last one of 2 now.
    const auto last = test::parseOpusMessage(sink.audio.back().payload());
    EXPECT_EQ(sink.audio.size(), beforeSweep + 1);
    EXPECT_EQ(last->sequence, 12);
    EXPECT_EQ(last->packets.size(), 2u);

    // The source back after the silence starts at frame 0 on a grid of its own.
    feedSignal(tone, 9, 123, {});
    first =
        test::parseOpusMessage(sink.audio[sink.audio.size() - sink.audioAfter(kLive)].payload());
    EXPECT_EQ(first->sequence, 0);
    EXPECT_EQ(first->samplePosition, 123);

    // Every message decodes: nothing of one stream leans on the other.
    OpusProbe probe;
    decodeAll(sink, probe);
    EXPECT_EQ(probe.concealed, 0);
}

TEST_F(Tiers, HostileSamplesNeverReachTheDecoderAndTheToneRecoversAtOnce)
{
    Sink opus;
    Sink lossless;
    registry.addListener("r", &opus, now, on(Tier::High));
    registry.addListener("r", &lossless, now);
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[] = {
        std::numeric_limits<float>::quiet_NaN(), inf, -inf, 3.4e38f, -3.4e38f, 7.5f};
    auto signal = test::stereoTone(1000, 0.5, 256 * 375); // 2 s
    for (std::size_t i = 256 * 2 * 100; i < 256 * 2 * 200; ++i)
        signal[i] = bad[i % 6]; // datagrams 100..199: nothing usable
    feedSignal(signal);

    EXPECT_EQ(metrics.tier(Tier::High).samplesSanitised, 100u * 512u);
    // The float32 stream passes them on bit for bit (the player makes them safe).
    float sample = 0;
    std::memcpy(&sample, lossless.audio[150].payload().data() + 16, 4);
    EXPECT_TRUE(std::isnan(sample));

    OpusProbe probe;
    decodeAll(opus, probe);
    float peak = 0;
    for (float v : probe.output)
    {
        ASSERT_TRUE(std::isfinite(v));
        peak = std::max(peak, std::fabs(v));
    }
    // The encoder only ever sees [-1, 1]; what the codec adds on a full-scale square is a few
    // per cent (the player clips its output at full scale on every tier).
    EXPECT_LE(peak, 1.1f) << "nothing near the 3.4e38 sent";
    // The bad stretch ends at sample 51200: two frames later the tone is back at its level.
    const std::size_t from = 51200 + 960 + 120;
    const double level = test::rms(probe.output, 0, from, 480 * 10);
    EXPECT_NEAR(20 * std::log10(level / (0.5 / std::sqrt(2.0))), 0, 1.0);
}

TEST_F(Tiers, ListenerLeavingDuringDeliveryCostsTheOthersNothing)
{
    Sink quitter;
    Sink a;
    Sink b;
    Sink opusQuitter;
    Sink opus;
    registry.addListener("r", &quitter, now);
    registry.addListener("r", &a, now);
    registry.addListener("r", &opusQuitter, now, on(Tier::Standard));
    registry.addListener("r", &b, now);
    registry.addListener("r", &opus, now, on(Tier::Standard));
    ASSERT_EQ(registry.listenerCount(), 5u);
    // As a WebSocket that gives up inside deliverText: it leaves the room there and then.
    quitter.onText = [&](Sink& self) { registry.removeListener("r", &self, now); };
    opusQuitter.onAudio = [&](Sink& self) { registry.removeListener("r", &self, now); };
    a.onAudio = [&](Sink& self)
    {
        if (self.audio.size() == 3)
            registry.removeListener("r", &self, now);
    };

    const auto tone = test::stereoTone(1000, 0.5, 256 * 20);
    feedSignal(tone); // the first datagram makes the source live: a text to everyone
    EXPECT_EQ(quitter.texts.size(), 2u);
    EXPECT_TRUE(quitter.audio.empty());
    EXPECT_EQ(a.audio.size(), 3u);
    EXPECT_EQ(b.audio.size(), 20u) << "the listener after a departed one still gets each one";
    EXPECT_EQ(b.texts.size(), 2u);
    EXPECT_EQ(opusQuitter.audio.size(), 1u);
    EXPECT_EQ(opus.audio.size(), 5u);
    EXPECT_EQ(registry.listenerCount(), 2u);
    const auto s = registry.stats("r");
    EXPECT_EQ(s->listeners, 2u);
    EXPECT_EQ(s->tierListeners[tierIndex(Tier::Standard)], 1u);
    registry.removeListener("r", &opus, now);
    EXPECT_FALSE(registry.stats("r")->encoding[tierIndex(Tier::Standard)]);
}

TEST_F(Tiers, LocalTierMessagesAreReportedAndTierPresenceIsTold)
{
    Events events;
    registry.setEvents(&events);
    Sink sink;
    Sink other;
    registry.addListener("r", &sink, now, on(Tier::High));
    registry.addListener("r", &other, now, on(Tier::High));
    registry.setTier("r", &other, Tier::Low, "requested", now);
    registry.removeListener("r", &other, now);
    EXPECT_EQ(events.presence, (std::vector<std::string>{"room:1", "high:1", "low:1", "low:0"}));

    feedSignal(test::stereoTone(1000, 0.5, 256 * 15));
    ASSERT_FALSE(sink.audio.empty());
    ASSERT_EQ(events.tierMessages.size(), sink.audio.size());
    for (std::size_t i = 0; i < sink.audio.size(); ++i)
    {
        EXPECT_EQ(events.tierMessages[i].first, Tier::High);
        EXPECT_EQ(events.tierMessages[i].second, sink.audio[i]) << "the very same message";
    }

    // A room fed from another relay's float32 messages waits for that relay's Opus tiers
    // rather than encoding them here too (see the cluster seam tests for the fallback), and
    // nothing of it is reported for publishing.
    events.tierMessages.clear();
    Sink edge;
    registry.addListener("e", &edge, now, on(Tier::High));
    for (std::int64_t seq = 0; seq < 10; ++seq)
    {
        std::string payload(kAudioMessageSize, '\0');
        for (int i = 0; i < 8; ++i)
        {
            payload[static_cast<std::size_t>(i)] = static_cast<char>((seq >> (8 * i)) & 0xff);
            payload[8 + static_cast<std::size_t>(i)] =
                static_cast<char>(((seq * 256) >> (8 * i)) & 0xff);
        }
        const SharedFrame message(WsOpcode::Binary, payload);
        now += 5333us;
        ASSERT_TRUE(registry.onRemoteMessage("e", "relay-b", message, seq == 0, now));
    }
    EXPECT_TRUE(edge.audio.empty());
    EXPECT_TRUE(events.tierMessages.empty());
    registry.removeListener("r", &sink, now);
    EXPECT_EQ(events.presence.back(), "room:0");
    registry.setEvents(nullptr);
}

TEST_F(Tiers, TierMessagesFromElsewhereReachTheTierWithNoEncoderHere)
{
    Sink sink;
    Sink lossless;
    registry.addListener("r", &sink, now, on(Tier::Standard));
    registry.addListener("r", &lossless, now);
    EXPECT_TRUE(registry.stats("r")->encoding[tierIndex(Tier::Standard)]);

    // What the ingesting relay would publish: made here by a second registry.
    Metrics theirMetrics;
    RoomRegistry theirs(limits, theirMetrics);
    Sink producer;
    theirs.addListener("r", &producer, now, on(Tier::Standard));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 30);
    for (std::size_t d = 0; d < 30; ++d)
    {
        const auto seq = static_cast<std::int64_t>(d);
        test::offerDatagram(theirs, "r", seq, seq * 256, tone.data() + d * 512, source(40009), now);
    }
    ASSERT_GE(producer.audio.size(), 5u);

    for (std::size_t i = 0; i < producer.audio.size(); ++i)
    {
        now += 10ms;
        EXPECT_TRUE(registry.onRemoteTierMessage("r", "relay-b", Tier::Standard, producer.audio[i],
                                                 i == 0, now));
    }
    EXPECT_EQ(sink.texts.back(), kLive);
    ASSERT_EQ(sink.audio.size(), producer.audio.size());
    EXPECT_EQ(sink.audio[0], producer.audio[0]);
    EXPECT_TRUE(lossless.audio.empty());
    EXPECT_FALSE(registry.stats("r")->encoding[tierIndex(Tier::Standard)]);
    EXPECT_EQ(registry.stats("r")->origin, "relay-b");

    // Repeated or older messages are dropped, as is another feeder while this one is live.
    EXPECT_FALSE(registry.onRemoteTierMessage("r", "relay-b", Tier::Standard, producer.audio[1],
                                              false, now));
    EXPECT_FALSE(registry.onRemoteTierMessage("r", "relay-c", Tier::Standard, producer.audio.back(),
                                              true, now));
    EXPECT_FALSE(feed(0, 0, tone.data()));
    EXPECT_FALSE(
        registry.onRemoteTierMessage("r", "relay-b", Tier::Lossless, producer.audio[0], true, now));
    EXPECT_FALSE(registry.onRemoteTierMessage("r", "relay-b", Tier::Standard,
                                              SharedFrame(WsOpcode::Binary, std::string(5, 'x')),
                                              true, now));
    EXPECT_EQ(sink.audio.size(), producer.audio.size());
    EXPECT_EQ(metrics.tier(Tier::Standard).remoteMessages, producer.audio.size());

    // Once they have stopped for 2 s, and none came for 2 s more, the tier is encoded here
    // again for its listeners.
    now += 3s;
    registry.sweep(now);
    EXPECT_FALSE(registry.stats("r")->encoding[tierIndex(Tier::Standard)]);
    now += 2100ms;
    registry.sweep(now);
    EXPECT_TRUE(registry.stats("r")->encoding[tierIndex(Tier::Standard)]);
}

TEST_F(Tiers, RemoteInterestKeepsAnEncoderRunningWithoutLocalListeners)
{
    Events events;
    registry.setEvents(&events);
    ASSERT_TRUE(registry.setRemoteInterest("r", Tier::High, true, now));
    feedSignal(test::stereoTone(1000, 0.5, 256 * 15));
    EXPECT_TRUE(registry.stats("r")->encoding[tierIndex(Tier::High)]);
    EXPECT_EQ(events.tierMessages.size(), 4u); // 15 datagrams: 8 frames, 2 a message
    now += 60s;
    registry.sweep(now);
    ASSERT_TRUE(registry.stats("r")) << "a room others listen to is kept";

    ASSERT_TRUE(registry.setRemoteInterest("r", Tier::High, false, now));
    EXPECT_FALSE(registry.stats("r")->encoding[tierIndex(Tier::High)]);
    events.tierMessages.clear();
    feedSignal(test::stereoTone(1000, 0.5, 256 * 15), 100, 100 * 256);
    EXPECT_TRUE(events.tierMessages.empty());
    EXPECT_TRUE(registry.setRemoteInterest("gone", Tier::Low, false, now));
    EXPECT_FALSE(registry.stats("gone"));
    registry.setEvents(nullptr);
}

} // namespace
} // namespace orlune::relay
