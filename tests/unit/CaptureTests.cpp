// The process callback's metering and the capture ring it writes.

#include "BlockLevel.h"
#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace
{
juce::AudioBuffer<float> makeBlock(int channels, int frames, float value)
{
    juce::AudioBuffer<float> block(channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        juce::FloatVectorOperations::fill(block.getWritePointer(ch), value, frames);
    return block;
}

// A block whose every sample is distinct, so misplaced frames show.
juce::AudioBuffer<float> makeRamp(int channels, int frames, float channelOffset = 1000.0f)
{
    juce::AudioBuffer<float> block(channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < frames; ++i)
            block.setSample(ch, i,
                            static_cast<float>(i) + channelOffset * static_cast<float>(ch + 1));
    return block;
}

float levelOf(juce::AudioBuffer<float>& block)
{
    VeskOrluneAudioProcessor processor;
    juce::MidiBuffer midi;
    processor.processBlock(block, midi);
    const float in = processor.getInputLevel();
    const float out = processor.getOutputLevel();
    EXPECT_TRUE(std::memcmp(&in, &out, sizeof(float)) == 0) << "both meters carry one value";
    return in;
}

std::uint32_t bitsOf(float f)
{
    std::uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

struct PreparedProcessor
{
    explicit PreparedProcessor(double rate = 48000.0)
    {
        processor.prepareToPlay(rate, 512);
        processor.stopThread(1000); // the ring is driven by hand in these tests
    }
    void process(juce::AudioBuffer<float>& block) { processor.processBlock(block, midi); }

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access{processor};
    juce::MidiBuffer midi;
};
} // namespace

TEST(BlockLevel, MatchesTheRmsOfKnownBlocks)
{
    auto silent = makeBlock(2, 512, 0.0f);
    EXPECT_EQ(levelOf(silent), 0.0f);

    auto fullScale = makeBlock(2, 512, 1.0f);
    EXPECT_EQ(levelOf(fullScale), 1.0f);
    auto negativeFullScale = makeBlock(2, 512, -1.0f);
    EXPECT_EQ(levelOf(negativeFullScale), 1.0f);

    auto leftOnly = makeBlock(2, 512, 0.0f);
    juce::FloatVectorOperations::fill(leftOnly.getWritePointer(0), 1.0f, 512);
    EXPECT_EQ(bitsOf(levelOf(leftOnly)), bitsOf(0.70710677f));

    auto monoHalf = makeBlock(1, 300, 0.5f);
    EXPECT_EQ(levelOf(monoHalf), 0.5f);

    juce::AudioBuffer<float> sine(2, 4800);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < 4800; ++i)
            sine.setSample(ch, i,
                           static_cast<float>(std::sin(2.0 * juce::MathConstants<double>::pi *
                                                       100.0 * i / 48000.0)));
    EXPECT_NEAR(levelOf(sine), 0.70710677f, 1e-4f);

    // Every channel counts, not only the first two.
    auto sixChannels = makeBlock(6, 64, 0.0f);
    juce::FloatVectorOperations::fill(sixChannels.getWritePointer(5), 1.0f, 64);
    EXPECT_EQ(bitsOf(levelOf(sixChannels)), bitsOf(static_cast<float>(std::sqrt(1.0 / 6.0))));
}

TEST(BlockLevel, SumsInChannelThenFrameOrderToTheLastBit)
{
    juce::Random random(1234);
    for (int trial = 0; trial < 50; ++trial)
    {
        const int channels = 1 + random.nextInt(3);
        const int frames = 1 + random.nextInt(700);
        juce::AudioBuffer<float> block(channels, frames);
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < frames; ++i)
                block.setSample(ch, i,
                                (random.nextFloat() * 2.0f - 1.0f) *
                                    std::ldexp(1.0f, random.nextInt(40) - 20));

        double sum = 0.0;
        for (int ch = 0; ch < channels; ++ch)
            for (int i = 0; i < frames; ++i)
                sum += static_cast<double>(block.getSample(ch, i)) *
                       static_cast<double>(block.getSample(ch, i));
        const float expected = static_cast<float>(std::sqrt(sum / (channels * frames)));

        EXPECT_EQ(bitsOf(vesk::computeBlockLevel(block)), bitsOf(expected))
            << channels << "x" << frames;
    }
}

TEST(BlockLevel, NonFiniteSamplesAndEmptyBlocks)
{
    auto withNaN = makeBlock(2, 128, 0.25f);
    withNaN.setSample(1, 77, std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(levelOf(withNaN)));

    auto withInf = makeBlock(1, 128, 0.25f);
    withInf.setSample(0, 3, -std::numeric_limits<float>::infinity());
    EXPECT_EQ(levelOf(withInf), std::numeric_limits<float>::infinity());

    juce::AudioBuffer<float> noFrames(2, 0), noChannels(0, 128);
    EXPECT_EQ(levelOf(noFrames), 0.0f);
    EXPECT_EQ(levelOf(noChannels), 0.0f);
}

TEST(BlockLevel, SampleCountBeyond32BitsDoesNotWrap)
{
    // 8 channels x 2^28 frames = 2^31 samples: the count overflows a 32-bit
    // int. All channels share one storage of ones, so the level must be 1.
    constexpr int frames = 1 << 28;
    std::vector<float> ones(static_cast<size_t>(frames), 1.0f);
    float* channels[8];
    for (auto& c : channels)
        c = ones.data();
    juce::AudioBuffer<float> huge(channels, 8, frames);
    EXPECT_EQ(vesk::computeBlockLevel(huge), 1.0f);
}

TEST(ProcessBlock, LeavesTheAudioUntouchedAndPublishesBeforePrepare)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    auto block = makeRamp(2, 333);
    block.setSample(0, 5, -0.0f);
    block.setSample(1, 9, std::numeric_limits<float>::denorm_min());
    const juce::AudioBuffer<float> before(block);
    juce::MidiBuffer midi;

    processor.processBlock(block, midi);

    for (int ch = 0; ch < 2; ++ch)
        EXPECT_EQ(
            std::memcmp(block.getReadPointer(ch), before.getReadPointer(ch), 333 * sizeof(float)),
            0);
    EXPECT_GT(processor.getInputLevel(), 0.0f);
    EXPECT_FALSE(access.hasFifo());
    EXPECT_EQ(processor.getBufferedMs(), 0);
}

TEST(CaptureRing, FirstBlockLandsAtTheStart)
{
    PreparedProcessor p;
    auto block = makeRamp(2, 512);
    p.process(block);

    EXPECT_EQ(p.access.writeEnd(), 512);
    EXPECT_EQ(p.processor.getBufferedMs(), 10);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < 512; ++i)
            ASSERT_EQ(p.access.captureBuffer().getSample(ch, i), block.getSample(ch, i));
}

TEST(CaptureRing, BlockAcrossTheWrapSplitsInTwoRegions)
{
    PreparedProcessor p;
    const int capacity = p.access.ringCapacity();
    p.access.setRingIndices(1000, capacity - 200);
    auto block = makeRamp(2, 512);
    p.process(block);

    EXPECT_EQ(p.access.writeEnd(), 312);
    for (int ch = 0; ch < 2; ++ch)
    {
        for (int i = 0; i < 200; ++i)
            ASSERT_EQ(p.access.captureBuffer().getSample(ch, capacity - 200 + i),
                      block.getSample(ch, i));
        for (int i = 0; i < 312; ++i)
            ASSERT_EQ(p.access.captureBuffer().getSample(ch, i), block.getSample(ch, 200 + i));
    }
}

TEST(CaptureRing, OverflowDropsTheNewestFrames)
{
    PreparedProcessor p;
    const int capacity = p.access.ringCapacity();

    p.access.setRingIndices(0, capacity - 1);
    auto block = makeRamp(2, 512);
    p.process(block);
    EXPECT_EQ(p.access.writeEnd(), capacity - 1) << "a full ring takes nothing";
    EXPECT_EQ(p.processor.getBufferedMs(), 9999);

    // Room for exactly 100 more frames.
    p.access.setRingIndices(5000, 5000 - 101);
    p.process(block);
    EXPECT_EQ(p.access.writeEnd(), 4999);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(p.access.captureBuffer().getSample(0, 4899 + i), block.getSample(0, i));
    EXPECT_EQ(p.access.captureBuffer().getSample(0, 4999), 0.0f) << "frame 100 on is dropped";
}

TEST(CaptureRing, ChannelMapping)
{
    {
        PreparedProcessor p;
        auto mono = makeRamp(1, 256);
        p.process(mono);
        for (int i = 0; i < 256; ++i)
        {
            ASSERT_EQ(p.access.captureBuffer().getSample(0, i), mono.getSample(0, i));
            ASSERT_EQ(p.access.captureBuffer().getSample(1, i), mono.getSample(0, i));
        }
    }
    {
        PreparedProcessor p;
        auto six = makeRamp(6, 256);
        p.process(six);
        for (int i = 0; i < 256; ++i)
        {
            ASSERT_EQ(p.access.captureBuffer().getSample(0, i), six.getSample(0, i));
            ASSERT_EQ(p.access.captureBuffer().getSample(1, i), six.getSample(1, i));
        }
    }
}

TEST(CaptureRing, BlockFlaggedClearArrivesAsZerosAndAdvances)
{
    PreparedProcessor p;
    auto loud = makeBlock(2, 300, 0.75f);
    p.process(loud);
    p.access.setRingIndices(0, 0); // write over the loud frames again

    auto cleared = makeBlock(2, 300, 0.75f);
    cleared.clear(); // raises the clear flag
    p.process(cleared);

    EXPECT_EQ(p.access.writeEnd(), 300);
    EXPECT_EQ(p.access.captureBuffer().getMagnitude(0, 300), 0.0f);
}

TEST(CaptureRing, EmptyBlocksLeaveRingAndBufferedMsAlone)
{
    PreparedProcessor p;
    auto block = makeBlock(2, 4800, 0.1f);
    p.process(block);
    ASSERT_EQ(p.processor.getBufferedMs(), 100);

    juce::AudioBuffer<float> noFrames(2, 0), noChannels(0, 64);
    p.process(noFrames);
    p.process(noChannels);
    EXPECT_EQ(p.access.writeEnd(), 4800);
    EXPECT_EQ(p.processor.getBufferedMs(), 100);
}

TEST(CaptureRing, BufferedMsDividesBeforeItMultiplies)
{
    {
        PreparedProcessor p(44100.0);
        auto block = makeBlock(2, 441, 0.1f);
        p.process(block);
        EXPECT_EQ(p.processor.getBufferedMs(), 10);
    }
    {
        PreparedProcessor p(48000.0);
        auto block = makeBlock(2, 1, 0.1f);
        p.process(block);
        EXPECT_EQ(p.processor.getBufferedMs(), 0);
    }
    {
        PreparedProcessor p(22050.0);
        p.access.setRingIndices(0, p.access.ringCapacity() - 1);
        auto block = makeBlock(2, 1, 0.1f);
        p.process(block);
        EXPECT_EQ(p.processor.getBufferedMs(), 9999);
    }
}
