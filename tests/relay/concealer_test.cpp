// The concealer on its own: what it fills and what it leaves alone, and how close the fill comes
// to the audio that was lost, for a tone, a chord and a sweep.
#include "tiers/concealer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

namespace orlune::relay
{
namespace
{

constexpr double kPi = 3.14159265358979323846;

// Interleaved stereo, `frames` long, from a function of time (left; right is 0.6 of it with its
// sign flipped, so that a search on a mid signal alone would find nothing).
std::vector<float> signal(std::size_t frames, const std::function<double(double)>& at)
{
    std::vector<float> out(2 * frames);
    for (std::size_t i = 0; i < frames; ++i)
    {
        const double v = at(static_cast<double>(i) / 48000.0);
        out[2 * i] = static_cast<float>(v);
        out[2 * i + 1] = static_cast<float>(-0.6 * v);
    }
    return out;
}

double tone(double t)
{
    return 0.5 * std::sin(2 * kPi * 1250 * t); // a period of 38.4 samples
}
double chord(double t)
{
    return 0.25 * (std::sin(2 * kPi * 261.63 * t) + std::sin(2 * kPi * 329.63 * t + 1) +
                   std::sin(2 * kPi * 392.0 * t + 2));
}
double sweep(double t)
{
    return 0.5 * std::sin(2 * kPi * (200 * t + 900 * t * t)); // 200 Hz rising 1.8 kHz a second
}

double maxStep(const std::vector<float>& s, std::size_t fromFrame, std::size_t toFrame)
{
    double step = 0;
    for (std::size_t i = fromFrame + 1; i < toFrame; ++i)
        for (std::size_t c = 0; c < 2; ++c)
            step = std::max(step, std::abs(double(s[2 * i + c]) - s[2 * (i - 1) + c]));
    return step;
}

// Feeds `input` in stretches of 256 frames, leaving out those `lost` says; what the encoders
// would get (the stretches and the fills in place) is returned, with 0 where nothing came.
struct Heard
{
    std::vector<float> heard;
    std::vector<int> fills; // per stretch fed: what accept() returned
};
Heard feed(Concealer& c, const std::vector<float>& input,
           const std::function<bool(std::size_t)>& lost, std::int64_t origin = 0)
{
    Heard run;
    run.heard.assign(input.size(), 0.0f);
    for (std::size_t d = 0; d * 512 < input.size(); ++d)
    {
        if (lost(d))
            continue;
        const auto position = origin + static_cast<std::int64_t>(d * 256);
        const int filled = c.accept(position, input.data() + d * 512, 256);
        run.fills.push_back(filled);
        std::copy(c.fill(), c.fill() + 2 * filled,
                  run.heard.begin() + static_cast<long>(d * 512) - 2 * filled);
        std::copy(input.begin() + static_cast<long>(d * 512),
                  input.begin() + static_cast<long>(d * 512 + 512),
                  run.heard.begin() + static_cast<long>(d * 512));
    }
    return run;
}

struct Case
{
    const char* name;
    double (*at)(double);
    double accuracyDb; // error of the fill against what was lost, at most
};

TEST(Concealer, AOneDatagramHoleIsFilledCloseToWhatWasLostWithNoStepAtEitherSeam)
{
    // A chord with no common period inside 20 ms and a sweep cannot be continued exactly; the
    // fill is still much closer to them than silence (0 dB) would be.
    for (const Case& c :
         {Case{"tone", tone, -30}, Case{"chord", chord, -6}, Case{"sweep", sweep, -5}})
    {
        SCOPED_TRACE(c.name);
        const auto input = signal(256 * 40, c.at);
        for (std::size_t hole : {6u, 11u, 19u, 33u})
        {
            Concealer concealer;
            const Heard run = feed(concealer, input, [&](std::size_t d) { return d == hole; });
            EXPECT_EQ(std::count(run.fills.begin(), run.fills.end(), 256), 1);
            const std::size_t from = hole * 256;
            const std::size_t to = from + 256;
            double error = 0;
            double power = 0;
            for (std::size_t i = 2 * from; i < 2 * to; ++i)
            {
                error += std::pow(double(run.heard[i]) - input[i], 2);
                power += std::pow(double(input[i]), 2);
            }
            EXPECT_LT(10 * std::log10(error / power), c.accuracyDb) << "hole " << hole;
            // Around the hole no step is larger than the signal's own around it, give or take.
            EXPECT_LE(maxStep(run.heard, from - 64, to + 64),
                      1.25 * maxStep(input, from - 64, to + 64))
                << "hole " << hole;
        }
    }
}

TEST(Concealer, HolesOfUpToFourDatagramsAreFilledWithoutClicksOrSilence)
{
    for (const Case& c : {Case{"tone", tone, 0}, Case{"chord", chord, 0}, Case{"sweep", sweep, 0}})
    {
        SCOPED_TRACE(c.name);
        const auto input = signal(256 * 40, c.at);
        for (std::size_t length = 2; length <= 4; ++length)
        {
            Concealer concealer;
            const Heard run =
                feed(concealer, input, [&](std::size_t d) { return d >= 20 && d < 20 + length; });
            ASSERT_EQ(std::count(run.fills.begin(), run.fills.end(), int(256 * length)), 1);
            const std::size_t from = 20 * 256;
            const std::size_t to = from + 256 * length;
            EXPECT_LE(maxStep(run.heard, from - 64, to + 64),
                      2 * maxStep(input, from - 64, to + 64));
            // Not faded away: every 5 ms of the fill carries most of the level of what was lost.
            for (std::size_t at = from; at + 240 <= to; at += 240)
            {
                double heard = 0;
                double lost = 0;
                for (std::size_t i = 2 * at; i < 2 * (at + 240); ++i)
                {
                    heard += double(run.heard[i]) * run.heard[i];
                    lost += double(input[i]) * input[i];
                }
                EXPECT_GT(heard, 0.5 * lost) << "length " << length << " at " << at;
            }
        }
    }
}

TEST(Concealer, LongerHolesTheStreamStartAndStepsBackAreLeftUnfilled)
{
    const auto input = signal(256 * 40, tone);
    Concealer concealer;
    // Five datagrams lost: not filled, and what came before is forgotten, so that a hole right
    // after the next datagram is filled from that datagram alone.
    Heard run =
        feed(concealer, input, [](std::size_t d) { return (d >= 10 && d < 15) || d == 16; });
    std::vector<int> expected(run.fills.size(), 0);
    expected[11] = 256; // datagram 17, after datagram 15 alone
    EXPECT_EQ(run.fills, expected);

    // The first datagram has nothing before it to fill from; one datagram is enough.
    Concealer fresh;
    EXPECT_EQ(fresh.accept(1000, input.data(), 256), 0) << "a stream's start is no hole";
    EXPECT_EQ(fresh.accept(1512, input.data() + 1024, 256), 256);

    // A step back (or to the same place) starts a new history: the next small hole is only
    // filled once there is a datagram before it again.
    EXPECT_EQ(fresh.accept(0, input.data(), 256), 0);
    EXPECT_EQ(fresh.accept(0, input.data(), 256), 0);
    EXPECT_EQ(fresh.accept(512, input.data() + 1024, 256), 256);

    // After reset() nothing is filled from before it.
    fresh.reset();
    EXPECT_EQ(fresh.accept(1024, input.data(), 256), 0);
}

TEST(Concealer, PositionsWrappingPastTheInt64RangeAreOneStream)
{
    const auto input = signal(256 * 12, tone);
    Concealer concealer;
    const std::int64_t origin = std::numeric_limits<std::int64_t>::max() - 256 * 5 + 1;
    // Positions are carried as int64 and wrap as the wire's do: the hole at datagram 6 lies past
    // the wrap and is still one datagram long.
    const auto wrapped = [&](std::size_t d)
    {
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(origin) +
                                         static_cast<std::uint64_t>(d * 256));
    };
    for (std::size_t d = 0; d < 12; ++d)
    {
        if (d == 6)
            continue;
        EXPECT_EQ(concealer.accept(wrapped(d), input.data() + d * 512, 256), d == 7 ? 256 : 0) << d;
    }
}

TEST(Concealer, SilenceStaysSilentAndLoudAudioStaysWithinFullScale)
{
    const std::vector<float> silence(512, 0.0f);
    Concealer quiet;
    quiet.accept(0, silence.data(), 256);
    quiet.accept(256, silence.data(), 256);
    ASSERT_EQ(quiet.accept(768, silence.data(), 256), 256);
    EXPECT_TRUE(std::all_of(quiet.fill(), quiet.fill() + 512, [](float v) { return v == 0; }));

    // A full-scale square wave, then the hole ends on the opposite extreme: the bent
    // continuation would overshoot, and is held at full scale instead.
    const auto square =
        signal(256 * 8, [](double t) { return std::sin(2 * kPi * 100 * t) >= 0 ? 1.0 : -1.0; });
    std::vector<float> loud(square.begin(), square.end());
    Concealer concealer;
    for (std::size_t d = 0; d < 8; ++d)
    {
        if (d == 5)
            continue;
        const int filled =
            concealer.accept(static_cast<std::int64_t>(d * 256), loud.data() + d * 512, 256);
        EXPECT_TRUE(std::all_of(concealer.fill(), concealer.fill() + 2 * filled,
                                [](float v) { return std::isfinite(v) && std::abs(v) <= 1; }));
    }
}

} // namespace
} // namespace orlune::relay
