// A listener's tier choices: what it may ask, how a storm of requests is coalesced, and when
// the relay steps an Auto listener down.
#include "tiers/listener_quality.h"

#include <gtest/gtest.h>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;

std::string ask(std::string_view tier)
{
    return R"({"type":"quality","tier":")" + std::string(tier) + R"("})";
}

const TimePoint t0 = TimePoint{} + 100s;

TEST(ListenerQuality, QualitiesParseAndAListenerAskingNoneIsNeverSwitched)
{
    EXPECT_EQ(parseQuality("auto")->tier, Tier::Standard);
    EXPECT_TRUE(parseQuality("auto")->mayStepDown);
    EXPECT_FALSE(parseQuality("high")->mayStepDown);
    for (const char* bad : {"", "Auto", "LOW", "ultra", "lossless ", "%6cow"})
        EXPECT_FALSE(parseQuality(bad)) << bad;
    EXPECT_EQ(qualityNameList(), "auto, low, standard, high, lossless");

    ListenerQuality plain(std::nullopt);
    EXPECT_EQ(plain.tier(), Tier::Lossless);
    EXPECT_FALSE(plain.joinOptions().announceTier);
    EXPECT_EQ(plain.onText(ask("low")), ListenerQuality::Verdict::Ignored);
    EXPECT_EQ(plain.onText(ask("bogus")), ListenerQuality::Verdict::Ignored);
    EXPECT_FALSE(plain.takeDueSwitch(t0));
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(plain.noteSkip(t0 + i * 1ms));
}

TEST(ListenerQuality, ClientTextIsAQualityRequestAnErrorOrIgnored)
{
    ListenerQuality q(QualityChoice{Tier::High, false});
    EXPECT_EQ(q.onText("not json"), ListenerQuality::Verdict::Ignored);
    EXPECT_EQ(q.onText(R"({"type":"ping"})"), ListenerQuality::Verdict::Ignored);
    EXPECT_EQ(q.onText(R"([1,2])"), ListenerQuality::Verdict::Ignored);
    EXPECT_EQ(q.onText(ask("ultra")), ListenerQuality::Verdict::Unknown);
    EXPECT_EQ(q.onText(R"({"type":"quality","tier":3})"), ListenerQuality::Verdict::Unknown);
    EXPECT_EQ(q.onText(R"({"type":"quality"})"), ListenerQuality::Verdict::Unknown);
    EXPECT_FALSE(q.takeDueSwitch(t0)) << "nothing accepted yet";
    EXPECT_EQ(q.onText(ask("low")), ListenerQuality::Verdict::Accepted);
    EXPECT_EQ(q.takeDueSwitch(t0), Tier::Low) << "the first switch is due at once";
    EXPECT_EQ(errorMessage(R"(say "x")"), R"({"type":"error","message":"say \"x\""})");
}

TEST(ListenerQuality, AStormOfRequestsBecomesOneSwitchPerSpacingToTheLatest)
{
    ListenerQuality q(QualityChoice{Tier::Standard, true});
    q.switched(Tier::Standard, t0);
    const char* tiers[] = {"low", "high", "lossless", "standard", "auto"};
    int applied = 0;
    // 1000 requests in one second, one a millisecond.
    for (int i = 0; i < 1000; ++i)
    {
        const TimePoint at = t0 + i * 1ms;
        ASSERT_EQ(q.onText(ask(tiers[i % 5])), ListenerQuality::Verdict::Accepted);
        if (const auto tier = q.takeDueSwitch(at))
        {
            ++applied;
            q.switched(*tier, at);
        }
    }
    EXPECT_LE(applied, 4) << "at most one switch per 250 ms";
    EXPECT_GE(applied, 3);
    ASSERT_TRUE(q.switchDueAt());
    EXPECT_EQ(q.onText(ask("high")), ListenerQuality::Verdict::Accepted);
    EXPECT_EQ(q.takeSwitch(), Tier::High) << "the latest request wins";
    EXPECT_FALSE(q.takeSwitch()) << "and is taken once";
    EXPECT_FALSE(q.switchDueAt());
}

TEST(ListenerQuality, OnlyAutoIsSteppedDownAfterThreeSkipsWithinTenSeconds)
{
    ListenerQuality q(parseQuality("auto"));
    EXPECT_FALSE(q.noteSkip(t0));
    EXPECT_FALSE(q.noteSkip(t0 + 11s)) << "the first skip is out of the window";
    EXPECT_FALSE(q.noteSkip(t0 + 12s));
    EXPECT_TRUE(q.noteSkip(t0 + 13s));
    EXPECT_EQ(q.stepDownTier(), Tier::Low);
    q.switched(Tier::Low, t0 + 13s);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(q.noteSkip(t0 + 14s + i * 1ms)) << "nothing below low";

    // A listener that fixed a tier keeps it, however often it falls behind...
    ListenerQuality fixed(parseQuality("high"));
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(fixed.noteSkip(t0 + i * 1ms));
    // ...and one on Auto that asks for a tier has fixed it too, until it asks for Auto again.
    q.onText(ask("high"));
    q.switched(*q.takeSwitch(), t0 + 20s);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(q.noteSkip(t0 + 21s + i * 1ms));
    q.onText(ask("auto"));
    q.switched(*q.takeSwitch(), t0 + 30s);
    EXPECT_FALSE(q.noteSkip(t0 + 31s));
    EXPECT_FALSE(q.noteSkip(t0 + 31s));
    EXPECT_TRUE(q.noteSkip(t0 + 31s));
}

} // namespace
} // namespace orlune::relay
