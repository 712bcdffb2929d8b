// The text shown over a level meter.

#include "MeterDrawing.h"

#include <gtest/gtest.h>

#include <limits>

namespace
{
using vesk::meter::levelText;

constexpr float nan = std::numeric_limits<float>::quiet_NaN();
constexpr float inf = std::numeric_limits<float>::infinity();

TEST(MeterLevelText, ShowsDecibelsWithOneDecimalPlace)
{
    EXPECT_EQ(levelText(0.5f), "-6.0 dB");
    EXPECT_EQ(levelText(1.0f), "0.0 dB");
    EXPECT_EQ(levelText(0.1f), "-20.0 dB");
    EXPECT_EQ(levelText(0.000012f), "-98.4 dB");
}

TEST(MeterLevelText, LevelsAboveOneReadAsOne)
{
    EXPECT_EQ(levelText(2.0f), "0.0 dB");
    EXPECT_EQ(levelText(1000.0f), "0.0 dB");
    EXPECT_EQ(levelText(inf), "0.0 dB");
}

TEST(MeterLevelText, ReadsMinusInfinityAtTheBottomOfTheRange)
{
    EXPECT_EQ(levelText(0.0f), "-inf dB");
    EXPECT_EQ(levelText(0.00001f), "-inf dB");
    EXPECT_EQ(levelText(0.000005f), "-inf dB");
    // About -99.02 dB: above the 0.00001 cut but at or below -99 dB.
    EXPECT_EQ(levelText(0.0000112f), "-inf dB");
    EXPECT_EQ(levelText(-0.5f), "-inf dB");
}

TEST(MeterLevelText, NonFiniteLevelsOtherThanPlusInfinityReadMinusInfinity)
{
    EXPECT_EQ(levelText(nan), "-inf dB");
    EXPECT_EQ(levelText(-nan), "-inf dB");
    EXPECT_EQ(levelText(-inf), "-inf dB");
}
} // namespace
