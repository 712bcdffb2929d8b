// Loss upstream of the relay, as a listener of an Opus tier hears it: short holes are filled in
// the room before encoding, so a decoder that cannot conceal (a browser's) hears neither a
// silence nor a click; longer holes still reach the player as missing frames; and the edges
// of a stream (its start, its end, a restart, reordering and duplicates) fill nothing twice
// and nothing across.
#include "tier_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
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

constexpr double kPi = 3.14159265358979323846;
constexpr std::size_t kDatagrams = 282; // 1.5 s
constexpr std::size_t kStartUp = 4800;  // decoder start-up, left out of the measurements

std::vector<float> stereo(const std::function<double(double)>& at)
{
    std::vector<float> out(kDatagrams * 512);
    for (std::size_t i = 0; i < kDatagrams * 256; ++i)
    {
        const double v = at(static_cast<double>(i) / 48000.0);
        out[2 * i] = static_cast<float>(v);
        out[2 * i + 1] = static_cast<float>(0.7 * v);
    }
    return out;
}

double maxStep(const std::vector<float>& s, std::size_t from)
{
    double step = 0;
    for (std::size_t i = from + 1; 2 * i + 1 < s.size(); ++i)
        for (std::size_t c = 0; c < 2; ++c)
            step = std::max(step, std::abs(double(s[2 * i + c]) - s[2 * (i - 1) + c]));
    return step;
}

// Longest run of frames in which both channels stay below `floor`.
std::size_t longestSilence(const std::vector<float>& s, std::size_t from, double floor)
{
    std::size_t longest = 0;
    std::size_t run = 0;
    for (std::size_t i = from; 2 * i + 1 < s.size(); ++i)
    {
        const bool quiet = std::abs(s[2 * i]) < floor && std::abs(s[2 * i + 1]) < floor;
        run = quiet ? run + 1 : 0;
        longest = std::max(longest, run);
    }
    return longest;
}

// 2 % of datagrams lost, never two in a row, at places that fall differently on the 10 ms grid.
bool twoPercent(std::size_t d)
{
    return d % 50 == 17;
}

class Concealment : public Tiers
{
protected:
    // What a browser's decoder (no concealment of its own) makes of the tier's messages.
    std::vector<float> heard(const Sink& sink)
    {
        OpusProbe probe;
        probe.concealMissing = false;
        decodeAll(sink, probe);
        missingHeard = probe.concealed;
        return probe.output;
    }
    int missingHeard = 0;
};

TEST_F(Concealment, AtTwoPercentLossToneChordAndSweepPlayOnWithNoClickAndNoSilence)
{
    struct Case
    {
        const char* name;
        std::function<double(double)> at;
        Tier tier;
    };
    const Case cases[] = {
        {"tone", [](double t) { return 0.5 * std::sin(2 * kPi * 1000 * t); }, Tier::Standard},
        {"tone on low", [](double t) { return 0.5 * std::sin(2 * kPi * 1000 * t); }, Tier::Low},
        {"chord",
         [](double t)
         {
             return 0.2 * (std::sin(2 * kPi * 220 * t) + std::sin(2 * kPi * 277.18 * t + 1) +
                           std::sin(2 * kPi * 329.63 * t + 2) + std::sin(2 * kPi * 440 * t + 3));
         },
         Tier::Standard},
        {"sweep", [](double t) { return 0.5 * std::sin(2 * kPi * (100 * t + 600 * t * t)); },
         Tier::High},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Metrics m;
        RoomRegistry rooms(limits, m);
        Sink sink;
        rooms.addListener("r", &sink, now, on(c.tier));
        const auto input = stereo(c.at);
        std::size_t lost = 0;
        for (std::size_t d = 0; d < kDatagrams; ++d)
        {
            now += 5333us;
            if (twoPercent(d))
            {
                ++lost;
                continue;
            }
            const auto seq = static_cast<std::int64_t>(d);
            test::offerDatagram(rooms, "r", seq, seq * 256, input.data() + d * 512, source(40001),
                                now);
        }
        EXPECT_EQ(m.holesConcealed, lost);
        EXPECT_EQ(m.framesConcealed, lost * 256);
        EXPECT_EQ(rooms.stats("r")->holesConcealed, lost);
        EXPECT_EQ(m.tier(c.tier).framesMissing, 0u) << "every frame is a real Opus frame";

        const auto output = heard(sink);
        EXPECT_EQ(missingHeard, 0);
        ASSERT_GT(output.size(), 2 * (kStartUp + 48000));
        EXPECT_LE(maxStep(output, kStartUp), 2 * maxStep(input, 0)) << "a click";
        // A zero crossing of a slow wave stays below the floor for a few samples, a missing
        // frame for 480.
        EXPECT_LE(longestSilence(output, kStartUp, 0.01), 48u) << "a gap";
    }
}

TEST_F(Concealment, HolesTooLongToFillStillReachThePlayerAsMissingFrames)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Standard));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 60);
    // Four datagrams (20..23) are filled; five (40..44) are not: frames 83..92 are missing.
    feedSignal(tone, 0, 0,
               [](std::size_t d) { return (d >= 20 && d <= 23) || (d >= 40 && d <= 44); });
    EXPECT_EQ(metrics.holesConcealed, 1u);
    EXPECT_EQ(metrics.framesConcealed, 1024u);
    std::vector<std::size_t> missing;
    std::size_t k = 0;
    for (const auto& message : sink.audio)
    {
        const auto view = test::parseOpusMessage(message.payload());
        for (const auto& packet : view->packets)
        {
            if (packet.empty())
                missing.push_back(k);
            ++k;
        }
    }
    // Positions 10240..11519 are missing: frames 21 (10080..10559) to 23 (11040..11519).
    EXPECT_EQ(missing, (std::vector<std::size_t>{21, 22, 23}));
    EXPECT_EQ(metrics.tier(Tier::Standard).framesMissing, 3u);
}

TEST_F(Concealment, NothingIsFilledAtAStreamsStartOrEndOrAcrossARestart)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Low));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 40);

    // The stream's first datagram is lost: it starts with the second, on a grid of its own.
    feedSignal(tone, 0, 0, [](std::size_t d) { return d == 0; });
    EXPECT_EQ(metrics.holesConcealed, 0u);
    EXPECT_EQ(test::parseOpusMessage(sink.audio.front().payload())->samplePosition, 256);

    // Its last datagram is lost and the source falls silent: nothing is made up for it, and
    // the frames already complete go out, the partial one never.
    feedSignal(tone, 100, 40 * 256, [](std::size_t d) { return d == 39; });
    EXPECT_EQ(metrics.holesConcealed, 0u) << "sequence 100 restarts nothing: a hole of 0";
    now += 3s;
    registry.sweep(now);
    EXPECT_EQ(sink.texts.back(), kOffline);
    EXPECT_EQ(metrics.holesConcealed, 0u);

    // Back after the silence with a datagram lost: a new stream, so no hole before it, and
    // from the second datagram on one is filled.
    const std::size_t before = sink.audio.size();
    feedSignal(tone, 7, 1000, [](std::size_t d) { return d == 3; });
    EXPECT_EQ(metrics.holesConcealed, 1u);
    EXPECT_EQ(test::parseOpusMessage(sink.audio[before].payload())->sequence, 0);

    // The plug-in restarts (sequence 0) right after a lost datagram, at a position a
    // datagram on: that is a new stream, not a hole.
    const std::int64_t end = 1000 + 40 * 256;
    feedSignal(tone, 0, end + 256, {});
    EXPECT_EQ(metrics.holesConcealed, 1u);
    EXPECT_EQ(sink.texts.back(), kLive);

    OpusProbe probe;
    decodeAll(sink, probe);
    EXPECT_EQ(probe.concealed, 0) << "no frame of any of these streams is missing";
}

TEST_F(Concealment, ReorderedAndDuplicatedDatagramsAroundAHoleFillItOnce)
{
    Sink sink;
    registry.addListener("r", &sink, now, on(Tier::Standard));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 30);
    const auto at = [&](std::size_t d) { return tone.data() + d * 512; };
    // Positions run across the int64 wrap, as the wire allows.
    const std::int64_t origin = std::numeric_limits<std::int64_t>::max() - 256 * 10 + 1;
    const auto pos = [&](std::size_t d)
    { return static_cast<std::int64_t>(static_cast<std::uint64_t>(origin) + d * 256); };
    for (std::size_t d = 0; d < 10; ++d)
        feed(static_cast<std::int64_t>(d), pos(d), at(d));
    feed(9, pos(9), at(9));    // a duplicate before the hole
    feed(11, pos(11), at(11)); // 10 is late: 11 comes first, and 10 is filled
    feed(10, pos(10), at(10)); // ...so 10 is dropped when it comes
    feed(11, pos(11), at(11)); // and a duplicate after the hole
    for (std::size_t d = 12; d < 30; ++d)
        feed(static_cast<std::int64_t>(d), pos(d), at(d));
    EXPECT_EQ(metrics.holesConcealed, 1u);
    EXPECT_EQ(metrics.framesConcealed, 256u);
    EXPECT_EQ(registry.stats("r")->duplicateOrReordered, 3u);

    // One stream with no frame missing, none twice.
    std::int64_t next = 0;
    for (const auto& message : sink.audio)
    {
        const auto view = test::parseOpusMessage(message.payload());
        EXPECT_EQ(view->sequence, next);
        for (const auto& packet : view->packets)
            EXPECT_FALSE(packet.empty());
        next += static_cast<std::int64_t>(view->packets.size());
    }
    EXPECT_EQ(next, 30 * 256 / 480);
}

TEST_F(Concealment, FloatListenersKeepTheStreamAsSentAndTheFillIsCounted)
{
    Sink opus;
    Sink lossless;
    registry.addListener("r", &opus, now, on(Tier::High));
    registry.addListener("r", &lossless, now, on(Tier::Lossless));
    const auto tone = test::stereoTone(1000, 0.5, 256 * 20);
    feedSignal(tone, 0, 0, [](std::size_t d) { return d == 8; });
    ASSERT_EQ(lossless.audio.size(), 19u) << "nothing made up for the float32 stream";
    for (std::size_t i = 0; i < lossless.audio.size(); ++i)
    {
        const std::size_t d = i < 8 ? i : i + 1;
        EXPECT_EQ(std::memcmp(lossless.audio[i].payload().data() + 16, tone.data() + d * 512, 2048),
                  0);
    }
    EXPECT_EQ(metrics.holesConcealed, 1u);
    const std::string text = renderMetrics(metrics, registry);
    EXPECT_NE(text.find("orlune_relay_holes_concealed_total 1\n"), std::string::npos);
    EXPECT_NE(text.find("orlune_relay_frames_concealed_total 256\n"), std::string::npos);
    EXPECT_NE(text.find("orlune_relay_room_concealed_total{room=\"r\"} 1\n"), std::string::npos);
}

} // namespace
} // namespace orlune::relay
