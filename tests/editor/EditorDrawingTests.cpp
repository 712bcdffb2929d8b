// What the window draws: the meters and the buffer bar, rendered at the
// default size after the processor has been driven to known values.

#include "EditorTestSupport.h"

#include <limits>
#include <memory>

namespace
{
// At 560 x 610 each meter's track is 229 x 34 at y 418, so its bar starts 4 px
// in (x 46 and 293), spans at most 221 px and covers rows 422 to 447. The
// buffer fill starts at (45, 508), spans at most 470 px and is 12 px high.
constexpr int inputBarX = 46;
constexpr int outputBarX = 293;
constexpr int barTop = 422;
constexpr int barBottom = 448;
constexpr int fullBar = 221;
constexpr int bufferX = 45;
constexpr int fullBuffer = 470;

const juce::Rectangle<int> inputMeterArea{42, 390, 229, 70};
const juce::Rectangle<int> outputMeterArea{289, 390, 229, 70};

class EditorDrawing : public ::testing::Test
{
protected:
    // One process call whose RMS is `value` (every sample holds it).
    void feedLevel(float value)
    {
        juce::AudioBuffer<float> block(2, 64);
        for (int ch = 0; ch < 2; ++ch)
            juce::FloatVectorOperations::fill(block.getWritePointer(ch), value, 64);
        process(block);
    }

    void feedFrames(int frames)
    {
        juce::AudioBuffer<float> block(2, frames);
        block.clear();
        process(block);
    }

    void process(juce::AudioBuffer<float>& block)
    {
        juce::MidiBuffer midi;
        processor.processBlock(block, midi);
    }

    // A fresh window that has had one timer tick, rendered.
    juce::Image renderAfterTick()
    {
        VeskOrluneAudioProcessorEditor editor(processor);
        VeskOrluneAudioProcessorEditorTestAccess(editor).tick();
        return probe::render(editor);
    }

    static probe::ColumnSpan meterBar(const juce::Image& image, int barX)
    {
        return probe::matchingColumns(image, barX - 4, barX + fullBar + 4, barTop, barBottom,
                                      probe::isMeterBar);
    }

    static probe::ColumnSpan bufferBar(const juce::Image& image)
    {
        return probe::matchingColumns(image, bufferX - 3, bufferX + fullBuffer + 3, 508, 520,
                                      probe::isBufferFill);
    }

    VeskOrluneAudioProcessor processor;
};

TEST_F(EditorDrawing, MeterBarsAreLinearInTheLevelAndStopAtFullScale)
{
    struct Case
    {
        float level;
        int minWidth, maxWidth;
    };
    for (const auto& c : {Case{0.0f, 0, 0}, Case{0.5f, 110, 111}, Case{1.0f, fullBar, fullBar},
                          Case{2.0f, fullBar, fullBar}})
    {
        SCOPED_TRACE(c.level);
        feedLevel(c.level);
        const auto image = renderAfterTick();

        for (const int barX : {inputBarX, outputBarX})
        {
            const auto bar = meterBar(image, barX);
            EXPECT_GE(bar.count, c.minWidth);
            EXPECT_LE(bar.count, c.maxWidth);
            if (bar.count > 0)
            {
                EXPECT_EQ(bar.first, barX);
            }
        }
    }
}

TEST_F(EditorDrawing, NonFiniteLevelsDrawLikeEmptyOrFullMeters)
{
    constexpr float nan = std::numeric_limits<float>::quiet_NaN();
    constexpr float inf = std::numeric_limits<float>::infinity();

    feedLevel(0.0f);
    const auto silent = renderAfterTick();
    feedLevel(1.0f);
    const auto fullScale = renderAfterTick();

    // A NaN sample makes the processor publish a NaN level.
    juce::AudioBuffer<float> block(2, 64);
    block.clear();
    block.setSample(1, 10, nan);
    process(block);
    ASSERT_TRUE(std::isnan(processor.getInputLevel()));
    const auto withNaN = renderAfterTick();
    EXPECT_TRUE(probe::sameRegion(withNaN, silent, inputMeterArea));
    EXPECT_TRUE(probe::sameRegion(withNaN, silent, outputMeterArea));

    feedLevel(inf);
    ASSERT_EQ(processor.getInputLevel(), inf);
    const auto withInfinity = renderAfterTick();
    EXPECT_TRUE(probe::sameRegion(withInfinity, fullScale, inputMeterArea));
    EXPECT_TRUE(probe::sameRegion(withInfinity, fullScale, outputMeterArea));

    // Anything above 1 draws exactly as 1, text included.
    feedLevel(2.0f);
    EXPECT_TRUE(probe::sameRegion(renderAfterTick(), fullScale, inputMeterArea));
}

TEST_F(EditorDrawing, BufferBarFillsToOneSecond)
{
    processor.prepareToPlay(48000.0, 512);

    struct Case
    {
        int framesToAdd;
        int expectedMs, expectedWidth;
    };
    // The ring's contents accumulate: 0, 24000, 48000, 144000 frames at 48 kHz.
    for (const auto& c : {Case{0, 0, 0}, Case{24000, 500, 235}, Case{24000, 1000, fullBuffer},
                          Case{96000, 3000, fullBuffer}})
    {
        SCOPED_TRACE(c.expectedMs);
        if (c.framesToAdd > 0)
            feedFrames(c.framesToAdd);

        VeskOrluneAudioProcessorEditor editor(processor);
        VeskOrluneAudioProcessorEditorTestAccess access(editor);
        access.tick();
        EXPECT_EQ(access.bufferText(), "Buffer: " + juce::String(c.expectedMs) + " ms");

        const auto bar = bufferBar(probe::render(editor));
        EXPECT_EQ(bar.count, c.expectedWidth);
        if (bar.count > 0)
        {
            EXPECT_EQ(bar.first, bufferX);
        }
    }

    processor.releaseResources();
}

TEST_F(EditorDrawing, PaintsOnlyWhatTheLastTickCopied)
{
    processor.prepareToPlay(48000.0, 512);
    feedFrames(24000);
    feedLevel(1.0f);

    VeskOrluneAudioProcessorEditor editor(processor);
    VeskOrluneAudioProcessorEditorTestAccess access(editor);

    // Until the first tick: construction texts, empty meters, empty buffer bar.
    auto image = probe::render(editor);
    EXPECT_EQ(meterBar(image, inputBarX).count, 0);
    EXPECT_EQ(meterBar(image, outputBarX).count, 0);
    EXPECT_EQ(bufferBar(image).count, 0);
    EXPECT_EQ(access.bufferText(), "Buffer: 0 ms");
    EXPECT_EQ(access.readerText(), "Reader: Idle");

    access.tick();
    image = probe::render(editor);
    EXPECT_EQ(meterBar(image, inputBarX).count, fullBar);
    EXPECT_EQ(bufferBar(image).count, fullBuffer / 2);

    // New processor values show only after the next tick.
    feedLevel(0.0f);
    EXPECT_EQ(meterBar(probe::render(editor), inputBarX).count, fullBar);
    access.tick();
    EXPECT_EQ(meterBar(probe::render(editor), inputBarX).count, 0);

    processor.releaseResources();
}
} // namespace
