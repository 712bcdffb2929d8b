// The processor's life as the host drives it: construction, prepare at
// various rates, release, destruction, and the fixed answers to the host.

#include "JuceTestRuntime.h"
#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(ProcessorLifecycle, StartsEmptyWithDefaultRoomAndNoThread)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);

    EXPECT_EQ(processor.getRoomCode(), "default");
    EXPECT_EQ(access.hostSampleRate(), 48000);
    EXPECT_EQ(access.inputFramesPerPacket(), 256);
    EXPECT_EQ(access.ringCapacity(), 0);
    EXPECT_FALSE(access.hasFifo());
    EXPECT_FALSE(access.hasSocket());
    EXPECT_FALSE(access.isPrepared());
    EXPECT_FALSE(processor.isStreaming());
    EXPECT_FALSE(processor.isThreadRunning());
    EXPECT_EQ(processor.getInputLevel(), 0.0f);
    EXPECT_EQ(processor.getOutputLevel(), 0.0f);
    EXPECT_EQ(processor.getBufferedMs(), 0);
    EXPECT_EQ(processor.getReaderActivity(), 0);
    EXPECT_EQ(processor.getThreadName(), "Vesk Orlune Buffer Reader");
}

struct RateCase
{
    double given;
    int hostRate;
    int framesPerPacket;
};

class PrepareAtRate : public ::testing::TestWithParam<RateCase>
{
};

TEST_P(PrepareAtRate, SizesRingAndBlocksForTheRate)
{
    const auto c = GetParam();
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);

    processor.prepareToPlay(c.given, 512);

    EXPECT_EQ(access.hostSampleRate(), c.hostRate);
    EXPECT_EQ(access.ringCapacity(), c.hostRate * 10);
    EXPECT_EQ(access.inputFramesPerPacket(), c.framesPerPacket);
    EXPECT_EQ(access.captureBuffer().getNumChannels(), 2);
    EXPECT_EQ(access.captureBuffer().getNumSamples(), c.hostRate * 10);
    EXPECT_EQ(access.inputBlock().getNumSamples(), c.framesPerPacket);
    EXPECT_EQ(access.outputBlock().getNumSamples(), 256);
    EXPECT_EQ(access.numReady(), 0);
    EXPECT_TRUE(access.isPrepared());
    EXPECT_TRUE(processor.isThreadRunning());
    EXPECT_EQ(processor.getBufferedMs(), 0);
    processor.releaseResources();
}

INSTANTIATE_TEST_SUITE_P(
    Rates, PrepareAtRate,
    ::testing::Values(RateCase{0.0, 48000, 272}, RateCase{-1.0, 48000, 272},
                      RateCase{std::numeric_limits<double>::quiet_NaN(), 48000, 272},
                      RateCase{22050.0, 22050, 256}, RateCase{44100.0, 44100, 256},
                      RateCase{44100.9, 44100, 256}, RateCase{48000.0, 48000, 272},
                      RateCase{88200.0, 88200, 487}, RateCase{96000.0, 96000, 528},
                      // Rates whose ten-second ring would not fit a 32-bit frame
                      // count are treated like a rate that is not positive.
                      RateCase{std::numeric_limits<double>::infinity(), 48000, 272},
                      RateCase{1.0e9, 48000, 272}, RateCase{214748365.0, 48000, 272}));

TEST(ProcessorLifecycle, SecondPrepareAtSameRateReusesStorageClearsItAndKeepsTheThread)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(48000.0, 512);
    const auto threadId = processor.getThreadId();
    const float* ringStorage = access.captureBuffer().getReadPointer(0);
    const float* inputStorage = access.inputBlock().getReadPointer(0);

    juce::AudioBuffer<float> block(2, 1000);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < 1000; ++i)
            block.setSample(ch, i, 0.25f);
    juce::MidiBuffer midi;
    processor.processBlock(block, midi);
    ASSERT_EQ(access.numReady(), 1000);

    processor.prepareToPlay(48000.0, 512);

    EXPECT_EQ(access.captureBuffer().getReadPointer(0), ringStorage);
    EXPECT_EQ(access.inputBlock().getReadPointer(0), inputStorage);
    EXPECT_EQ(access.numReady(), 0);
    EXPECT_EQ(access.captureBuffer().getMagnitude(0, access.ringCapacity()), 0.0f);
    EXPECT_EQ(processor.getThreadId(), threadId);
    EXPECT_EQ(processor.getInputLevel(), 0.0f);
    processor.releaseResources();
}

TEST(ProcessorLifecycle, PrepareReleasePrepareRestartsTheThreadAndLeavesStreamingOff)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(44100.0, 256);
    processor.startStreaming();
    ASSERT_TRUE(processor.isStreaming());

    processor.releaseResources();
    EXPECT_FALSE(processor.isThreadRunning());
    EXPECT_FALSE(processor.isStreaming());
    EXPECT_FALSE(access.isPrepared());
    EXPECT_FALSE(access.hasSocket());
    EXPECT_EQ(processor.getBufferedMs(), 0);
    EXPECT_EQ(processor.getReaderActivity(), 0);

    processor.prepareToPlay(96000.0, 256);
    EXPECT_TRUE(processor.isThreadRunning());
    EXPECT_FALSE(processor.isStreaming());
    EXPECT_EQ(access.hostSampleRate(), 96000);
    processor.releaseResources();
}

TEST(ProcessorLifecycle, ReleaseOrDestructionWithoutPrepareIsHarmless)
{
    {
        VeskOrluneAudioProcessor processor;
        processor.releaseResources();
        EXPECT_FALSE(processor.isThreadRunning());
        EXPECT_FALSE(processor.isStreaming());
        EXPECT_EQ(processor.getInputLevel(), 0.0f);
        EXPECT_EQ(processor.getBufferedMs(), 0);
    }
    {
        VeskOrluneAudioProcessor neverPrepared;
    }
    {
        VeskOrluneAudioProcessor destroyedWhileStreaming;
        destroyedWhileStreaming.prepareToPlay(48000.0, 128);
        destroyedWhileStreaming.startStreaming();
    }
}

TEST(ProcessorIdentity, FixedAnswersToTheHost)
{
    VeskOrluneAudioProcessor processor;
    EXPECT_EQ(processor.getName(), "Vesk Orlune");
    EXPECT_EQ(processor.getTailLengthSeconds(), 0.0);
    EXPECT_FALSE(processor.acceptsMidi());
    EXPECT_FALSE(processor.producesMidi());
    EXPECT_FALSE(processor.isMidiEffect());
    EXPECT_TRUE(processor.hasEditor());
    EXPECT_FALSE(processor.supportsDoublePrecisionProcessing());
    EXPECT_EQ(processor.getNumPrograms(), 1);
    processor.setCurrentProgram(3);
    processor.changeProgramName(0, "renamed");
    EXPECT_EQ(processor.getCurrentProgram(), 0);
    EXPECT_EQ(processor.getProgramName(0), "");
    EXPECT_EQ(processor.getLatencySamples(), 0);
    EXPECT_EQ(processor.getBusCount(true), 1);
    EXPECT_EQ(processor.getBusCount(false), 1);
    EXPECT_EQ(processor.getBus(true, 0)->getName(), "Input");
    EXPECT_EQ(processor.getBus(false, 0)->getName(), "Output");
    EXPECT_EQ(processor.getMainBusNumInputChannels(), 2);
}

TEST(ProcessorIdentity, StateIsEmptyAndRestoringAnythingChangesNothing)
{
    VeskOrluneAudioProcessor processor;
    processor.setRoomCode("my-room");

    juce::MemoryBlock saved("untouched", 9);
    processor.getStateInformation(saved);
    EXPECT_EQ(saved.toString(), "untouched");

    const char garbage[] = "\x01\xff random bytes";
    processor.setStateInformation(garbage, sizeof(garbage));
    processor.setStateInformation(nullptr, 0);
    EXPECT_EQ(processor.getRoomCode(), "my-room");
    EXPECT_FALSE(processor.isStreaming());
}

TEST(ProcessorIdentity, AcceptsOnlyMonoToMonoAndStereoToStereo)
{
    using Set = juce::AudioChannelSet;
    VeskOrluneAudioProcessor processor;
    auto layout = [](Set in, Set out)
    {
        juce::AudioProcessor::BusesLayout l;
        l.inputBuses.add(in);
        l.outputBuses.add(out);
        return l;
    };

    EXPECT_TRUE(processor.isBusesLayoutSupported(layout(Set::stereo(), Set::stereo())));
    EXPECT_TRUE(processor.isBusesLayoutSupported(layout(Set::mono(), Set::mono())));
    EXPECT_FALSE(processor.isBusesLayoutSupported(layout(Set::mono(), Set::stereo())));
    EXPECT_FALSE(processor.isBusesLayoutSupported(layout(Set::stereo(), Set::mono())));
    EXPECT_FALSE(processor.isBusesLayoutSupported(layout(Set::disabled(), Set::stereo())));
    EXPECT_FALSE(
        processor.isBusesLayoutSupported(layout(Set::create5point1(), Set::create5point1())));
    EXPECT_FALSE(processor.isBusesLayoutSupported(layout(Set::disabled(), Set::disabled())));
}
