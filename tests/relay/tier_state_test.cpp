// The parts of a room's tier on their own: the cluster feed's order and lapse, the wait before
// encoding a starved tier here, and the splice record a move between tiers reads.
#include "rooms/tier_state.h"
#include "wire/listener_audio.h"

#include <gtest/gtest.h>

#include <array>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

const TimePoint kStart = TimePoint{} + 100s;

SharedFrame floatMessage(std::int64_t sequence)
{
    static const std::array<std::uint8_t, kSampleBytes> silence{};
    return encodeAudioMessage(sequence, sequence * kFramesPerPacket, silence.data());
}

TEST(TierClusterFeed, TakesOnlyNewerMessagesUntilItsStreamStartsAfresh)
{
    TierClusterFeed feed;
    EXPECT_TRUE(feed.take(10, false, kStart));
    EXPECT_FALSE(feed.take(10, false, kStart)) << "a duplicate";
    EXPECT_FALSE(feed.take(9, false, kStart)) << "one behind";
    EXPECT_TRUE(feed.take(12, false, kStart)) << "a gap is no reason to drop";
    EXPECT_TRUE(feed.take(3, true, kStart)) << "a fresh stream counts from anywhere";
    EXPECT_FALSE(feed.take(2, false, kStart));
    feed.forgetSequence();
    EXPECT_TRUE(feed.take(1, false, kStart));
}

TEST(TierClusterFeed, IsFedFromTheFirstMessageUntilOneIsMissingForTheSilence)
{
    TierClusterFeed feed;
    EXPECT_FALSE(feed.fedElsewhere());
    EXPECT_FALSE(feed.lapse(kStart + 1h, 2s)) << "never fed: nothing lapses";
    ASSERT_TRUE(feed.take(5, false, kStart));
    EXPECT_TRUE(feed.markFed()) << "the first time only";
    EXPECT_FALSE(feed.markFed());
    ASSERT_TRUE(feed.take(6, false, kStart + 1s));
    EXPECT_FALSE(feed.lapse(kStart + 2s, 2s)) << "measured from the last message taken";
    EXPECT_TRUE(feed.fedElsewhere());
    EXPECT_TRUE(feed.lapse(kStart + 3s, 2s));
    EXPECT_FALSE(feed.fedElsewhere());
    EXPECT_TRUE(feed.take(1, false, kStart + 4s)) << "a lapsed feed's sequence is forgotten";
}

TEST(EncoderFallback, IsDueOnlyAfterAnUnbrokenWait)
{
    EncoderFallback wait;
    EXPECT_FALSE(wait.due(true, kStart, 2s)) << "the first look starts the wait";
    EXPECT_TRUE(wait.waiting());
    EXPECT_FALSE(wait.due(true, kStart + 1s, 2s));
    EXPECT_FALSE(wait.due(false, kStart + 2s, 2s)) << "the tier came: the wait ends";
    EXPECT_FALSE(wait.waiting());
    EXPECT_FALSE(wait.due(true, kStart + 3s, 2s));
    EXPECT_FALSE(wait.due(true, kStart + 4s, 2s));
    EXPECT_TRUE(wait.due(true, kStart + 5s, 2s));
    wait.stop();
    EXPECT_FALSE(wait.due(true, kStart + 6s, 2s));
    wait.startAt(kStart + 6s);
    EXPECT_TRUE(wait.due(true, kStart + 8s, 2s)) << "a wait started by hand counts from then";
}

TEST(TierSplice, AMoveNeedsWhatTheOldTierGaveAndTheNewTiersRecentMessages)
{
    TierSplice from;
    TierSplice to;
    for (std::int64_t s = 0; s < 4; ++s)
        to.delivered(Tier::Lossless, floatMessage(s), true);
    EXPECT_FALSE(to.canTakeFrom(from)) << "the old tier gave nothing yet";
    from.delivered(Tier::Lossless, floatMessage(2), true);
    EXPECT_TRUE(from.hasDelivered());
    ASSERT_TRUE(to.canTakeFrom(from));
    // The replay starts with the newest message holding the position one overlap before the
    // end of what the old tier gave, and runs to the newest.
    const std::int64_t join = 3 * kFramesPerPacket - kSwitchOverlap;
    const auto replay = to.replayFor(from);
    ASSERT_FALSE(replay.empty());
    const auto first = messageSpan(Tier::Lossless, replay.front());
    EXPECT_LE(first->start, join);
    EXPECT_GT(first->end, join);
    EXPECT_EQ(messageSpan(Tier::Lossless, replay.back())->end, 4 * kFramesPerPacket);

    from.forget();
    EXPECT_FALSE(from.hasDelivered());
    EXPECT_FALSE(to.canTakeFrom(from));

    TierSplice unkept;
    from.delivered(Tier::Lossless, floatMessage(2), true);
    unkept.delivered(Tier::Lossless, floatMessage(2), false);
    EXPECT_TRUE(unkept.hasDelivered()) << "what was given is recorded without listeners";
    EXPECT_FALSE(unkept.canTakeFrom(from)) << "but nothing is kept to splice from";

    TierSplice broken;
    broken.delivered(Tier::Lossless, SharedFrame(WsOpcode::Binary, "short"), true);
    EXPECT_FALSE(broken.hasDelivered()) << "a message with no span is not a delivery";
}

} // namespace
} // namespace orlune::relay
