// The sender's passes driven by hand: block making at 48 kHz and through the
// interpolators, the consumed counts, and the ring's read side.

#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
struct HandDrivenSender
{
    explicit HandDrivenSender(double rate)
    {
        processor.prepareToPlay(rate, 512);
        processor.stopThread(1000); // passes are made by the test, one at a time
    }

    void feed(const std::vector<float>& left, const std::vector<float>& right, size_t from,
              int frames)
    {
        juce::AudioBuffer<float> block(2, frames);
        std::memcpy(block.getWritePointer(0), left.data() + from,
                    sizeof(float) * static_cast<size_t>(frames));
        std::memcpy(block.getWritePointer(1), right.data() + from,
                    sizeof(float) * static_cast<size_t>(frames));
        processor.processBlock(block, midi);
    }

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access{processor};
    juce::MidiBuffer midi;
};

} // namespace

TEST(Sender, WaitsForAFullPacketOfFramesAndConsumesNothingMeanwhile)
{
    HandDrivenSender s(48000.0);
    const auto signal = noise(271, 1);
    s.feed(signal, signal, 0, 271);

    s.access.runSenderPass();
    EXPECT_EQ(s.access.numReady(), 271);
    EXPECT_EQ(s.processor.getReaderActivity(), 0);
    EXPECT_EQ(s.processor.getBufferedMs(), 5);
}

TEST(Sender, At48kHzPassesTheRingThroughBitForBitAcrossTheWrap)
{
    HandDrivenSender s(48000.0);
    const int capacity = s.access.ringCapacity();
    s.access.setRingIndices(capacity - 3000, capacity - 3000);

    const auto left = noise(20000, 2), right = noise(20000, 3);
    size_t fed = 0, checked = 0;
    while (checked + 256 <= 19000)
    {
        if (fed < 20000 - 512 && s.access.numReady() < 2000)
        {
            s.feed(left, right, fed, 512);
            fed += 512;
        }
        if (s.access.numReady() < 272)
            continue;
        s.access.runSenderPass();
        ASSERT_EQ(s.processor.getReaderActivity(), 100);
        const auto& out = s.access.outputBlock();
        ASSERT_EQ(std::memcmp(out.getReadPointer(0), left.data() + checked, 256 * sizeof(float)), 0)
            << checked;
        ASSERT_EQ(std::memcmp(out.getReadPointer(1), right.data() + checked, 256 * sizeof(float)),
                  0)
            << checked;
        checked += 256;
    }
    EXPECT_LT(s.access.readStart(), capacity - 3000) << "the read start wrapped";
}

struct ResampleCase
{
    double rate;
    std::vector<int> firstConsumed;
    double averageConsumed;
};

class SenderResampling : public ::testing::TestWithParam<ResampleCase>
{
};

TEST_P(SenderResampling, ConsumesAsTheInterpolatorUsesAndMatchesAReferenceInterpolator)
{
    const auto c = GetParam();
    HandDrivenSender s(c.rate);
    const int perPacket = s.access.inputFramesPerPacket();
    const double ratio = c.rate / 48000.0;

    const auto left = noise(230000, 4), right = noise(230000, 5);
    s.feed(left, right, 0, std::min(230000, s.access.ringCapacity() - 1));

    // The reference interpolators see the same input in the same chunks.
    juce::LagrangeInterpolator referenceLeft, referenceRight;
    std::vector<float> expectedLeft(256), expectedRight(256);
    size_t position = 0;
    std::vector<int> consumed;
    long total = 0;
    const int passes = 400;
    for (int pass = 0; pass < passes; ++pass)
    {
        const int readyBefore = s.access.numReady();
        s.access.runSenderPass();
        const int used = readyBefore - s.access.numReady();
        consumed.push_back(used);
        total += used;

        const int usedLeft =
            referenceLeft.process(ratio, left.data() + position, expectedLeft.data(), 256);
        const int usedRight =
            referenceRight.process(ratio, right.data() + position, expectedRight.data(), 256);
        ASSERT_EQ(used, juce::jlimit(1, perPacket, std::max(usedLeft, usedRight)));
        position += static_cast<size_t>(used);

        const auto& out = s.access.outputBlock();
        ASSERT_EQ(std::memcmp(out.getReadPointer(0), expectedLeft.data(), 256 * sizeof(float)), 0)
            << pass;
        ASSERT_EQ(std::memcmp(out.getReadPointer(1), expectedRight.data(), 256 * sizeof(float)), 0)
            << pass;
    }

    const std::vector<int> head(consumed.begin(),
                                consumed.begin() + static_cast<long>(c.firstConsumed.size()));
    EXPECT_EQ(head, c.firstConsumed);
    EXPECT_NEAR(static_cast<double>(total) / passes, c.averageConsumed, 0.05);
}

INSTANTIATE_TEST_SUITE_P(Rates, SenderResampling,
                         ::testing::Values(ResampleCase{44100.0, {235, 235, 235, 235, 236}, 235.2},
                                           ResampleCase{88200.0, {469, 470, 471, 470, 471}, 470.4},
                                           ResampleCase{96000.0, {511, 512, 512, 512, 512}, 512.0},
                                           ResampleCase{22050.0, {118, 117, 118}, 117.6}));

TEST(Sender, BlockFlaggedClearReachesTheDatagramAsZeros)
{
    HandDrivenSender s(48000.0);
    juce::AudioBuffer<float> loud(2, 600);
    for (int ch = 0; ch < 2; ++ch)
        juce::FloatVectorOperations::fill(loud.getWritePointer(ch), 0.5f, 600);
    s.processor.processBlock(loud, s.midi);
    s.access.runSenderPass(); // the ring storage is no longer flagged clear

    juce::AudioBuffer<float> cleared(2, 600);
    cleared.clear();
    s.access.setRingIndices(0, 0);
    s.processor.processBlock(cleared, s.midi);
    s.access.runSenderPass();
    EXPECT_EQ(s.access.outputBlock().getMagnitude(0, 256), 0.0f);
}
