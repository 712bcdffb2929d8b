// The demo's summary of a received stream: the counts a user reads off it
// (gaps, missing, duplicates, late) and the audio figures (level, frequency).

#include "PcmDatagram.h"
#include "StreamSummary.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace
{
using vesk::demo::StreamSummary;

// A datagram as the processor writes it, its frames given by sample(frame,
// channel) at the stream's 48 kHz frame position.
juce::MemoryBlock datagram(const juce::String& room, juce::int64 sequence,
                           const std::function<float(juce::int64, int)>& sample)
{
    juce::AudioBuffer<float> block(2, 256);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < 256; ++i)
            block.setSample(ch, i, sample(sequence * 256 + i, ch));
    juce::MemoryOutputStream out(256);
    vesk::pcm::writeDatagram(out, room, sequence, sequence * 256, block);
    return out.getMemoryBlock();
}

float silence(juce::int64, int)
{
    return 0.0f;
}

void add(StreamSummary& summary, juce::int64 sequence,
         const std::function<float(juce::int64, int)>& sample = silence)
{
    const auto bytes = datagram("demo", sequence, sample);
    summary.add(bytes.getData(), bytes.getSize(), double(sequence) * 256.0 / 48000.0);
}
} // namespace

TEST(StreamSummarySequence, CountsGapsMissingDuplicatesAndLateArrivals)
{
    StreamSummary summary("demo");
    for (const juce::int64 s : {0, 1, 2, 5, 6, 6, 4, 2, 9})
        add(summary, s);

    const auto r = summary.report();
    EXPECT_EQ(r.datagrams, 9);
    EXPECT_EQ(r.firstSequence, 0);
    EXPECT_EQ(r.lastSequence, 9);
    EXPECT_EQ(r.gaps, 2);       // 2 -> 5 and 6 -> 9
    EXPECT_EQ(r.missing, 3);    // 3, 7, 8 (4 came late)
    EXPECT_EQ(r.duplicates, 2); // the second 6 and the second 2
    EXPECT_EQ(r.lateArrivals, 1);
    EXPECT_EQ(r.ignored, 0);
}

TEST(StreamSummarySequence, AStreamWhoseStartIsMissingShowsAGap)
{
    StreamSummary summary("demo");
    add(summary, 3);
    add(summary, 4);
    const auto r = summary.report();
    EXPECT_EQ(r.gaps, 1);
    EXPECT_EQ(r.missing, 3);
}

TEST(StreamSummarySequence, IgnoresOtherRoomsAndMalformedDatagrams)
{
    StreamSummary summary("demo");
    const auto other = datagram("elsewhere", 0, silence);
    summary.add(other.getData(), other.getSize(), 0.0);

    auto truncated = datagram("demo", 0, silence);
    summary.add(truncated.getData(), truncated.getSize() - 1, 0.0);

    auto badMagic = datagram("demo", 0, silence);
    static_cast<char*>(badMagic.getData())[0] = 'X';
    summary.add(badMagic.getData(), badMagic.getSize(), 0.0);

    const auto r = summary.report();
    EXPECT_EQ(r.datagrams, 0);
    EXPECT_EQ(r.ignored, 3);
    EXPECT_TRUE(std::isinf(r.rmsDbfs) && r.rmsDbfs < 0.0);
    EXPECT_EQ(r.frequencyHz, 0.0);
}

TEST(StreamSummarySequence, ReportsTheRateBetweenFirstAndLastArrival)
{
    StreamSummary summary("demo");
    for (juce::int64 s = 0; s < 188; ++s)
        add(summary, s); // stamped 256 / 48000 s apart
    EXPECT_NEAR(summary.report().datagramsPerSecond, 187.5, 1e-9);
}

TEST(StreamSummaryAudio, LevelOfASineAndOfAFullScaleSquare)
{
    const double amplitude = std::pow(10.0, -12.0 / 20.0);
    StreamSummary sine("demo");
    for (juce::int64 s = 0; s < 375; ++s) // two seconds
        add(sine, s,
            [&](juce::int64 k, int)
            {
                return static_cast<float>(
                    amplitude *
                    std::sin(2.0 * juce::MathConstants<double>::pi * 1000.0 * double(k) / 48000.0));
            });
    const auto r = sine.report();
    EXPECT_NEAR(r.peakDbfs, -12.0, 0.01);
    EXPECT_NEAR(r.rmsDbfs, -12.0 - 3.0103, 0.01);

    StreamSummary square("demo");
    add(square, 0, [](juce::int64 k, int ch) { return (k + ch) % 2 == 0 ? 1.0f : -1.0f; });
    EXPECT_NEAR(square.report().rmsDbfs, 0.0, 1e-9);
}

TEST(StreamSummaryAudio, DuplicatesDoNotCountTwiceInTheLevel)
{
    StreamSummary summary("demo");
    add(summary, 0, [](juce::int64, int) { return 0.5f; });
    add(summary, 1, silence);
    add(summary, 1, [](juce::int64, int) { return 1.0f; }); // a duplicate, different bytes
    EXPECT_NEAR(summary.report().rmsDbfs, 20.0 * std::log10(std::sqrt(0.125)), 1e-9);
}

TEST(StreamSummaryAudio, FrequencyByZeroCrossingsSurvivesLostDatagrams)
{
    // 437 Hz, not a divisor of 48000, so crossings fall between samples.
    const auto tone = [](juce::int64 k, int)
    {
        return static_cast<float>(
            0.3 * std::sin(2.0 * juce::MathConstants<double>::pi * 437.0 * double(k) / 48000.0));
    };
    StreamSummary summary("demo");
    for (juce::int64 s = 0; s < 400; ++s)
        if (s % 7 != 3) // every seventh datagram lost: joining across the holes would miscount
            add(summary, s, tone);
    EXPECT_NEAR(summary.report().frequencyHz, 437.0, 0.05);
}
