// What a careless or broken host can do to the processor, and what the
// processor does about it: absurd sample rates, blocks with more channels
// than the bus, empty blocks, blocks larger than the whole ring, a release
// that lands while the sender is sending, destruction while streaming.

#include "JuceTestRuntime.h"
#include "LoopbackReceiver.h"
#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
// A block whose channel c holds the constant `base + c`, and a ramp variant
// whose sample i of channel c is `c * 1000000 + i` (exact in float below 2^24).
juce::AudioBuffer<float> constantBlock(int channels, int frames, float base)
{
    juce::AudioBuffer<float> block(channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        juce::FloatVectorOperations::fill(block.getWritePointer(ch), base + static_cast<float>(ch),
                                          frames);
    return block;
}

juce::AudioBuffer<float> rampBlock(int channels, int frames)
{
    juce::AudioBuffer<float> block(channels, frames);
    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < frames; ++i)
            block.setSample(ch, i, static_cast<float>(ch * 1000000 + i % 1000000));
    return block;
}

bool sameSamples(const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
        return false;
    for (int ch = 0; ch < a.getNumChannels(); ++ch)
        if (std::memcmp(a.getReadPointer(ch), b.getReadPointer(ch),
                        sizeof(float) * static_cast<size_t>(a.getNumSamples())) != 0)
            return false;
    return true;
}

} // namespace

// The rate a host passes may be nonsense; the processor must come out of
// prepare with a usable ring and keep passing audio through.
TEST(HostFaults, AbsurdSampleRatesGiveAUsableProcessor)
{
    constexpr double inf = std::numeric_limits<double>::infinity();
    const struct
    {
        double given;
        int expected;
    } cases[] = {{1e9, 48000},    {inf, 48000},      {-inf, 48000},   {std::nan(""), 48000},
                 {0.0, 48000},    {-44100.0, 48000}, {1e300, 48000},  {0.5, 48000},
                 {1e-300, 48000}, {1.0, 1},          {44100.9, 44100}};

    juce::MidiBuffer midi;
    for (const auto& c : cases)
    {
        VeskOrluneAudioProcessor processor;
        VeskOrluneAudioProcessorTestAccess access(processor);
        for (int maxBlock : {512, 0, -1, std::numeric_limits<int>::max()})
        {
            processor.prepareToPlay(c.given, maxBlock);
            ASSERT_EQ(access.hostSampleRate(), c.expected) << "prepared at " << c.given;
            ASSERT_EQ(access.ringCapacity(), c.expected * 10) << "prepared at " << c.given;
            ASSERT_TRUE(access.hasFifo());

            auto block = constantBlock(2, 64, 0.5f);
            const auto before = block;
            processor.processBlock(block, midi);
            EXPECT_TRUE(sameSamples(block, before));
            EXPECT_EQ(access.numReady(), std::min(64, c.expected * 10 - 1))
                << "prepared at " << c.given;
        }
        processor.releaseResources();
    }
}

// At 1 Hz the ring has ten positions: it keeps the oldest nine frames of a
// block and can never gather a packet's worth, so a session sends nothing.
TEST(HostFaults, OneHertzKeepsNineFramesAndSendsNothing)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(1.0, 512);
    processor.startStreaming();
    const int port = access.socketPort();
    letSenderSeeTheSession();

    auto block = rampBlock(2, 512);
    juce::MidiBuffer midi;
    for (int i = 0; i < 20; ++i)
        processor.processBlock(block, midi);

    EXPECT_EQ(access.numReady(), 9);
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(access.captureBuffer().getSample(1, (access.readStart() + i) % 10),
                  1000000.0f + static_cast<float>(i));
    EXPECT_EQ(processor.getBufferedMs(), 9000);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(decodedFrom(receiver.take(), port).empty());
    EXPECT_EQ(processor.getReaderActivity(), 0);
    processor.releaseResources();
}

// High but real rates still stream: the sender takes 16 or more input frames
// per output frame and every datagram is whole.
TEST(HostFaults, VeryHighRatesStillStream)
{
    LoopbackReceiver receiver;
    for (double rate : {384000.0, 768000.0})
    {
        VeskOrluneAudioProcessor processor;
        VeskOrluneAudioProcessorTestAccess access(processor);
        processor.prepareToPlay(rate, 4096);
        processor.startStreaming();
        const int port = access.socketPort();
        letSenderSeeTheSession();

        auto block = constantBlock(2, 4096, 0.25f);
        juce::MidiBuffer midi;
        for (int i = 0; i < static_cast<int>(rate) / 4096 / 2; ++i) // half a second
            processor.processBlock(block, midi);
        std::this_thread::sleep_for(300ms);
        receiver.drain();
        processor.releaseResources();

        const auto got = decodedFrom(receiver.take(), port);
        ASSERT_GE(got.size(), 10u) << rate;
        for (size_t k = 0; k < got.size(); ++k)
        {
            ASSERT_TRUE(got[k].wellFormed);
            EXPECT_EQ(got[k].sequence, static_cast<std::int64_t>(k));
        }
    }
}

// A host may hand over more channels than the stereo bus: the level counts
// them all, the ring takes the first two, and none is changed.
TEST(HostFaults, EightChannelBlocksFeedTheFirstTwoAndMeterAll)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(48000.0, 512);
    processor.startStreaming();
    const int port = access.socketPort();
    letSenderSeeTheSession();

    juce::MidiBuffer midi;
    auto one = constantBlock(8, 1, 0.0f); // channels hold 0, 1, ..., 7
    processor.processBlock(one, midi);
    // mean of squares of 0..7 is 140 / 8 = 17.5
    EXPECT_FLOAT_EQ(processor.getOutputLevel(), std::sqrt(17.5f));

    auto block = constantBlock(8, 2047, 0.125f);
    const auto before = block;
    for (int i = 0; i < 6; ++i)
        processor.processBlock(block, midi);
    EXPECT_TRUE(sameSamples(block, before));
    EXPECT_EQ(processor.getInputLevel(), processor.getOutputLevel());

    std::this_thread::sleep_for(200ms);
    receiver.drain();
    const auto got = decodedFrom(receiver.take(), port);
    ASSERT_GE(got.size(), 40u);
    // The first frame came from the one-frame block; the rest from the wide ones.
    EXPECT_EQ(got[0].left[0], 0.0f);
    EXPECT_EQ(got[0].right[0], 1.0f);
    for (const auto& d : got)
        for (size_t i = (&d == &got[0] ? 1 : 0); i < 256; ++i)
        {
            ASSERT_EQ(d.left[i], 0.125f);
            ASSERT_EQ(d.right[i], 1.125f);
        }
    processor.releaseResources();
}

// Zero frames or zero channels: the level reads 0 and the ring is untouched,
// prepared or not.
TEST(HostFaults, EmptyBlocksPublishSilenceAndTouchNothing)
{
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    juce::MidiBuffer midi;
    juce::AudioBuffer<float> noFrames(2, 0), noChannels(0, 512), nothing(0, 0), eightNoFrames(8, 0);

    for (auto* empty : {&noFrames, &noChannels, &nothing, &eightNoFrames})
        processor.processBlock(*empty, midi);
    EXPECT_EQ(processor.getOutputLevel(), 0.0f);

    processor.prepareToPlay(48000.0, 512);
    auto loud = constantBlock(2, 480, 0.5f);
    processor.processBlock(loud, midi);
    ASSERT_GT(processor.getOutputLevel(), 0.0f);
    const int ready = access.numReady();
    const int ms = processor.getBufferedMs();
    for (auto* empty : {&noFrames, &noChannels, &nothing, &eightNoFrames})
    {
        processor.processBlock(*empty, midi);
        EXPECT_EQ(processor.getOutputLevel(), 0.0f);
        EXPECT_EQ(processor.getInputLevel(), 0.0f);
        EXPECT_EQ(access.numReady(), ready);
        EXPECT_EQ(processor.getBufferedMs(), ms);
    }
    processor.releaseResources();
}

// One block longer than the whole ring: the ring keeps its oldest part, full
// to one frame short of capacity, and the session streams exactly that, in
// order, without a frame more.
TEST(HostFaults, ABlockLargerThanTheRingKeepsItsOldestFramesAndStreamsThem)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(48000.0, 512);
    processor.startStreaming();
    const int port = access.socketPort();
    letSenderSeeTheSession();

    constexpr int frames = 600000;
    juce::AudioBuffer<float> huge(2, frames);
    for (int i = 0; i < frames; ++i)
    {
        huge.setSample(0, i, static_cast<float>(i));
        huge.setSample(1, i, -static_cast<float>(i));
    }
    juce::MidiBuffer midi;
    processor.processBlock(huge, midi);
    EXPECT_LE(access.numReady(), 479999);
    EXPECT_EQ(huge.getSample(0, frames - 1), static_cast<float>(frames - 1))
        << "the host's block is untouched";

    // 479999 frames make 1874 whole datagrams; at most 500 go out a second.
    constexpr size_t whole = 479999 / 256;
    receiver.waitFor(whole, 30s);
    receiver.drain(300ms);
    const auto got = decodedFrom(receiver.take(), port);
    ASSERT_EQ(got.size(), whole);
    for (size_t k = 0; k < got.size(); ++k)
    {
        ASSERT_EQ(got[k].sequence, static_cast<std::int64_t>(k));
        for (size_t i = 0; i < 256; ++i)
        {
            ASSERT_EQ(got[k].left[i], static_cast<float>(k * 256 + i)) << k;
            ASSERT_EQ(got[k].right[i], -static_cast<float>(k * 256 + i)) << k;
        }
    }
    EXPECT_EQ(access.numReady(), 479999 - static_cast<int>(whole) * 256);
    processor.releaseResources();
}

// Release lands at random moments while the sender works through a backlog of
// large datagrams. Once it returns nothing more is sent, and what was sent is
// whole and complete.
TEST(HostFaults, ReleaseWhileThePassesSendLeavesNoHalfDatagramBehind)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    // Datagrams of about 10 kB make each pass long enough to be caught in.
    processor.setRoomCode(juce::String::repeatedString("a", 8000));
    juce::Random random(66);
    juce::MidiBuffer midi;
    auto backlog = constantBlock(2, 96000, 0.5f);

    for (int round = 0; round < 25; ++round)
    {
        processor.prepareToPlay(random.nextBool() ? 48000.0 : 44100.0, 512);
        processor.startStreaming();
        const int port = access.socketPort();
        letSenderSeeTheSession();
        processor.processBlock(backlog, midi);
        receiver.waitFor(1, 2s);
        std::this_thread::sleep_for(std::chrono::microseconds(random.nextInt(20000)));

        processor.releaseResources();
        EXPECT_FALSE(processor.isStreaming());
        EXPECT_EQ(processor.getReaderActivity(), 0);
        EXPECT_EQ(processor.getBufferedMs(), 0);
        const auto sent = access.packetSequence(); // the sender thread has stopped

        receiver.drain();
        const auto got = decodedFrom(receiver.take(), port);
        ASSERT_EQ(static_cast<std::int64_t>(got.size()), sent) << "round " << round;
        for (size_t k = 0; k < got.size(); ++k)
        {
            ASSERT_TRUE(got[k].wellFormed) << "round " << round;
            ASSERT_EQ(got[k].sequence, static_cast<std::int64_t>(k)) << "round " << round;
        }
        std::this_thread::sleep_for(60ms);
        EXPECT_TRUE(decodedFrom(receiver.take(), port).empty())
            << "nothing after the release, round " << round;
    }
}

// Destruction while a backlog streams, straight away or after a moment: no
// hang, and nothing sent once the instance is gone.
TEST(HostFaults, DestructionWhileStreamingStopsTheSenderCleanly)
{
    LoopbackReceiver receiver;
    juce::Random random(77);
    juce::MidiBuffer midi;
    auto backlog = constantBlock(2, 48000, 0.5f);
    for (int round = 0; round < 20; ++round)
    {
        auto processor = std::make_unique<VeskOrluneAudioProcessor>();
        processor->prepareToPlay(round % 2 ? 48000.0 : 96000.0, 512);
        processor->startStreaming();
        const int port = VeskOrluneAudioProcessorTestAccess(*processor).socketPort();
        if (round % 4 != 0)
        {
            letSenderSeeTheSession();
            processor->processBlock(backlog, midi);
            std::this_thread::sleep_for(std::chrono::microseconds(random.nextInt(30000)));
        }
        processor.reset();
        receiver.drain();
        receiver.take();
        std::this_thread::sleep_for(60ms);
        EXPECT_TRUE(decodedFrom(receiver.take(), port).empty()) << "round " << round;
    }
}

namespace
{
void failAPrepareThenCarryOn()
{
    const rlimit limit{3ull << 30, 3ull << 30};
    setrlimit(RLIMIT_AS, &limit);
    VeskOrluneAudioProcessor processor;
    processor.prepareToPlay(48000.0, 512);
    processor.startStreaming();
    letSenderSeeTheSession();

    bool threw = false;
    try
    {
        processor.prepareToPlay(5.0e7, 512);
    }
    catch (const std::bad_alloc&)
    {
        threw = true;
    }
    auto block = constantBlock(2, 512, 0.25f);
    juce::MidiBuffer midi;
    for (int i = 0; i < 200; ++i)
    {
        processor.processBlock(block, midi);
        std::this_thread::sleep_for(1ms);
    }
    processor.prepareToPlay(48000.0, 512);
    for (int i = 0; i < 200; ++i)
    {
        processor.processBlock(block, midi);
        std::this_thread::sleep_for(1ms);
    }
    processor.releaseResources();
    std::exit(threw ? 0 : 2);
}
} // namespace

// A re-prepare whose allocation fails (a 50 MHz rate under a 3 GB address-space
// limit: the ring alone would need 4 GB) throws std::bad_alloc out of
// prepareToPlay, which is how allocation failure is reported. What is left
// must still be safe: process calls pass audio, the sender thread runs on,
// nothing reads or writes freed or undersized storage, and a later prepare at
// a sane rate recovers. Disabled until prepare builds its storage before it
// changes any member: today the ring's storage is freed but still referenced,
// the rate is 50 MHz while the sender's blocks are sized for 48 kHz, and
// `prepared` stays true, so the sender thread crashes the process.
TEST(HostFaults, AFailedAllocationInPrepareLeavesASafeProcessor)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit and the sanitizers' shadow memory do not mix";
#endif
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(failAPrepareThenCarryOn(), ::testing::ExitedWithCode(0), "");
}
