// A listener changing tier: it waits on its old tier until the new one can be joined, then
// hears the tone go on across the join with no gap, whichever tiers it moves between and
// whether the new tier was already running for others; and the moves that cannot splice.
#include "tier_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using namespace test;

constexpr double kAmplitude = 0.5;
constexpr double kFrequency = 1000;
// Opus at the relay's settings hands back its input this many samples late.
constexpr std::int64_t kOpusDelay = 120;

// What a listener hears, put together as the player does: one decoder for every Opus message
// (it is not reset at a change of tier), positions of Opus audio moved back by the codec's
// delay, and the part of a new tier's first message that the listener already has dropped.
struct Heard
{
    std::map<std::int64_t, std::array<float, 2>> samples; // by position
    std::vector<std::int64_t> joins;                      // position where each new tier began
    std::vector<std::int64_t> overlaps;                   // frames dropped at each join
    std::vector<std::string> problems;
};

Heard listen(const Sink& sink)
{
    Heard heard;
    OpusProbe probe;
    bool opus = false;
    bool newTier = false;
    bool started = false;
    std::int64_t end = 0;
    std::size_t next = 0;
    for (const std::string& entry : sink.all)
    {
        if (entry.rfind("text:", 0) == 0)
        {
            // The first codec named is the stream's (a hello lists every tier's after it).
            const auto codec = entry.find(R"("codec":")");
            if (codec != std::string::npos)
                opus = entry.compare(codec, 14, R"("codec":"opus")") == 0;
            newTier = newTier || entry.find(R"("type":"codec")") != std::string::npos;
            continue;
        }
        const SharedFrame& message = sink.audio[next++];
        std::vector<float> pcm;
        std::int64_t start = 0;
        if (opus)
        {
            const auto view = parseOpusMessage(message.payload());
            probe.output.clear();
            if (!view || !probe.decode(message.payload()))
            {
                heard.problems.push_back("an Opus message did not decode");
                continue;
            }
            pcm = probe.output;
            start = view->samplePosition - kOpusDelay;
        }
        else
        {
            const auto span = messageSpan(Tier::Lossless, message);
            pcm.resize(512);
            std::memcpy(pcm.data(), message.payload().data() + 16, 2048);
            start = span->start;
        }
        const auto frames = static_cast<std::int64_t>(pcm.size() / 2);
        std::int64_t from = start;
        if (started && newTier)
        {
            if (start > end)
                heard.problems.push_back("a gap of " + std::to_string(start - end) +
                                         " frames at a change of tier");
            heard.joins.push_back(end);
            heard.overlaps.push_back(end - start);
            from = std::max(start, end);
        }
        else if (started && start != end)
            heard.problems.push_back("positions jump within a tier");
        for (std::int64_t p = from; p < start + frames; ++p)
            heard.samples[p] = {pcm[static_cast<std::size_t>(2 * (p - start))],
                                pcm[static_cast<std::size_t>(2 * (p - start) + 1)]};
        end = start + frames;
        started = true;
        newTier = false;
    }
    return heard;
}

double toneAt(std::int64_t position)
{
    return kAmplitude * std::sin(2 * M_PI * kFrequency * static_cast<double>(position) / 48000.0);
}

class TierSwitch : public Tiers
{
protected:
    std::int64_t fed = 0; // datagrams so far

    void feedDatagrams(int count)
    {
        for (int i = 0; i < count; ++i, ++fed)
        {
            const auto block =
                stereoTone(kFrequency, kAmplitude, 256, static_cast<std::size_t>(fed) * 256);
            feed(fed, fed * 256, block.data());
        }
    }

    std::size_t codecEvents(const Sink& sink) const
    {
        return static_cast<std::size_t>(std::count_if(
            sink.texts.begin(), sink.texts.end(),
            [](const std::string& t) { return t.find(R"("type":"codec")") != std::string::npos; }));
    }
};

TEST_F(TierSwitch, EveryMoveJoinsTheNewTierWithNoGapAndTheToneGoesOn)
{
    for (Tier from : {Tier::Lossless, Tier::Low, Tier::Standard, Tier::High})
        for (Tier to : {Tier::Lossless, Tier::Low, Tier::Standard, Tier::High})
            for (bool running : {false, true})
            {
                if (from == to)
                    continue;
                SCOPED_TRACE(std::string(tierName(from)) + " to " + std::string(tierName(to)) +
                             (running ? ", already running" : ", started for the move"));
                room = std::string(tierName(from)) + "-" + std::string(tierName(to)) +
                       (running ? "-running" : "");
                fed = 0;
                Sink sink;
                Sink other;
                registry.addListener(room, &sink, now, on(from));
                if (running)
                    registry.addListener(room, &other, now, on(to));
                feedDatagrams(60);
                const std::size_t before = sink.audio.size();
                ASSERT_TRUE(registry.setTier(room, &sink, to, "requested", now));
                EXPECT_TRUE(registry.stats(room)->encoding[tierIndex(to)] || !isOpus(to));
                feedDatagrams(60);
                ASSERT_EQ(codecEvents(sink), 1u);
                EXPECT_NE(sink.texts.back().find(R"("tier":")" + std::string(tierName(to))),
                          std::string::npos);

                const Heard heard = listen(sink);
                EXPECT_EQ(heard.problems, std::vector<std::string>{});
                ASSERT_EQ(heard.joins.size(), 1u);
                // The new tier's overlap comes before the join (on Opus enough for a decoder
                // to settle on the new stream), and not much more: at most one message more.
                EXPECT_GE(heard.overlaps[0], isOpus(to) ? switchOverlap(to) - kOpusDelay : 0);
                EXPECT_LE(heard.overlaps[0], switchOverlap(to) + 4 * 480 + kOpusDelay);
                // The move waits for at most about one message of each tier.
                const std::size_t waited = static_cast<std::size_t>(std::count(
                                               sink.all.begin(), sink.all.end(), "audio")) -
                                           before;
                EXPECT_GT(waited, 0u);
                EXPECT_EQ(metrics.tier(to).switchesCut, 0u);
                // Around the join the listener hears the tone (Opus codes the waveform closely
                // enough to compare on the two upper tiers only), with no click.
                if (from == Tier::Low || to == Tier::Low)
                    continue;
                // A decoder that has not decoded this stream before (coming from lossless)
                // needs a few frames more before the levels it predicts are the encoder's.
                const std::int64_t settled = from == Tier::Lossless && running ? 4 * 480 : 0;
                const std::int64_t join = heard.joins[0];
                double error = 0;
                double signal = 0;
                double step = 0;
                for (std::int64_t p = join - 480 + settled; p < join + 960 + settled; ++p)
                {
                    const auto found = heard.samples.find(p);
                    ASSERT_NE(found, heard.samples.end()) << p;
                    // The right channel carries the tone at half the level.
                    for (int c = 0; c < 2; ++c)
                    {
                        const double x = toneAt(p) / (1 + c);
                        const double y = found->second[static_cast<std::size_t>(c)];
                        error += (y - x) * (y - x);
                        signal += x * x;
                    }
                    const auto previous = heard.samples.find(p - 1);
                    if (previous != heard.samples.end())
                        step = std::max<double>(step,
                                                std::abs(found->second[0] - previous->second[0]));
                }
                EXPECT_LT(10 * std::log10(error / signal), -15.0);
                // The tone moves at most 0.065 a sample; half a millisecond left out would jump
                // 0.9.
                EXPECT_LT(step, 0.15);
            }
}

TEST_F(TierSwitch, AMoveWithNothingToSpliceOntoHappensAtOnce)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Lossless));
    // No source yet.
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::Standard, "requested", now));
    EXPECT_EQ(codecEvents(sink), 1u);

    // The source restarts while the listener is on its way: the stream starts afresh anyway.
    feedDatagrams(20);
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::High, "requested", now));
    EXPECT_EQ(codecEvents(sink), 1u) << "waits for the high tier's first messages";
    const auto block = stereoTone(kFrequency, kAmplitude, 256);
    feed(0, 0, block.data()); // sequence 0 again: a restart
    EXPECT_EQ(codecEvents(sink), 2u);
    EXPECT_EQ(sink.texts.back(), kLive);
    EXPECT_NE(sink.texts[sink.texts.size() - 2].find(R"("tier":"high")"), std::string::npos);
}

TEST_F(TierSwitch, AMoveThatCannotBeJoinedGoesAheadAfterTheWait)
{
    // A room fed through the cluster: its Opus tiers come from the ingest relay, which sends
    // none here.
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Lossless));
    for (int i = 0; i < 20; ++i)
    {
        test::DatagramFields f;
        f.room = "r";
        f.sequence = i;
        f.samplePosition = i * 256;
        f.samples.assign(512, 0.25F);
        const auto bytes = test::buildDatagram(f);
        const ParseResult parsed = parseDatagram(bytes.data(), bytes.size());
        now += 5333us;
        ASSERT_TRUE(registry.onRemoteMessage("r", "relay-b", encodeAudioMessage(parsed.datagram),
                                             i == 0, now));
    }
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::Standard, "requested", now));
    registry.sweep(now + 1s);
    EXPECT_EQ(codecEvents(sink), 0u);
    registry.sweep(now + RoomRegistry::kSwitchWait);
    EXPECT_EQ(codecEvents(sink), 1u);
    EXPECT_EQ(registry.stats("r")->tierListeners[tierIndex(Tier::Standard)], 1u);
    EXPECT_EQ(metrics.tier(Tier::Standard).switchesCut, 1u);
}

TEST_F(TierSwitch, LeavingOrChangingYourMindOnTheWay)
{
    Events events;
    registry.setEvents(&events);
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Lossless));
    feedDatagrams(20);
    const auto encoding = [&](Tier t) { return registry.stats("r")->encoding[tierIndex(t)]; };

    // Back to the tier it is on: told at once, and the other tier's encoder goes.
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::Standard, "requested", now));
    EXPECT_TRUE(encoding(Tier::Standard));
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::Lossless, "requested", now));
    EXPECT_EQ(codecEvents(sink), 1u);
    EXPECT_NE(sink.texts.back().find(R"("tier":"lossless")"), std::string::npos);
    EXPECT_FALSE(encoding(Tier::Standard));

    // Another tier instead: the newer request wins.
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::High, "requested", now));
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::Low, "requested", now));
    EXPECT_FALSE(encoding(Tier::High));
    EXPECT_TRUE(encoding(Tier::Low));
    feedDatagrams(30);
    EXPECT_EQ(codecEvents(sink), 2u);
    EXPECT_NE(sink.texts.back().find(R"("tier":"low")"), std::string::npos);

    // Gone while on its way: nothing is left waiting, wanted or encoding.
    ASSERT_TRUE(registry.setTier("r", &sink, Tier::High, "requested", now));
    registry.removeListener("r", &sink, now);
    EXPECT_FALSE(encoding(Tier::High));
    EXPECT_FALSE(encoding(Tier::Low));
    feedDatagrams(30);
    registry.sweep(now + RoomRegistry::kSwitchWait);
    EXPECT_EQ(codecEvents(sink), 2u);
    EXPECT_EQ(events.presence,
              (std::vector<std::string>{"room:1", "lossless:1", "standard:1", "standard:0",
                                        "high:1", "high:0", "low:1", "lossless:0", "high:1",
                                        "high:0", "low:0", "room:0"}));
}

} // namespace
} // namespace orlune::relay
