// Streaming end to end over loopback: the sender thread, the session and the
// datagrams as a relay on 127.0.0.1:54321 receives them.

#include "JuceTestRuntime.h"
#include "LoopbackReceiver.h"
#include "ProcessorTestAccess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
// Feeds a signal into processBlock in blocks of varying size, a little faster
// than real time, the way a host's audio thread would.
struct Feeder
{
    Feeder(VeskOrluneAudioProcessor& processorToFeed, int channelsToFeed)
        : processor(processorToFeed)
        , channels(channelsToFeed)
    {
    }

    void feed(const std::vector<float>& left, const std::vector<float>& right, size_t frames)
    {
        juce::MidiBuffer midi;
        juce::Random random(99);
        for (size_t done = 0; done < frames;)
        {
            const int n = static_cast<int>(
                std::min<size_t>(frames - done, 64 + static_cast<size_t>(random.nextInt(900))));
            juce::AudioBuffer<float> block(channels, n);
            std::memcpy(block.getWritePointer(0), left.data() + done,
                        sizeof(float) * static_cast<size_t>(n));
            if (channels > 1)
                std::memcpy(block.getWritePointer(1), right.data() + done,
                            sizeof(float) * static_cast<size_t>(n));
            processor.processBlock(block, midi);
            done += static_cast<size_t>(n);
            std::this_thread::sleep_for(std::chrono::microseconds(n * 8)); // ~125 kHz
        }
    }

    void feedConstant(float value, size_t frames)
    {
        std::vector<float> v(frames, value);
        feed(v, v, frames);
    }

    VeskOrluneAudioProcessor& processor;
    int channels;
};

} // namespace

TEST(Streaming, CountersRunPerSessionAndARestartKeepsTheSocket)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    Feeder feeder(processor, 2);
    processor.prepareToPlay(48000.0, 512);

    processor.startStreaming();
    const int firstPort = access.socketPort();
    ASSERT_GT(firstPort, 0);
    letSenderSeeTheSession();
    feeder.feedConstant(0.1f, 48000 / 4);
    receiver.drain();

    auto run = decodedFrom(receiver.take(), firstPort);
    ASSERT_GE(run.size(), 40u);
    for (size_t k = 0; k < run.size(); ++k)
    {
        ASSERT_TRUE(run[k].wellFormed);
        EXPECT_EQ(run[k].roomCode, "default");
        EXPECT_EQ(run[k].sequence, static_cast<std::int64_t>(k));
        EXPECT_EQ(run[k].position, static_cast<std::int64_t>(k) * 256);
    }
    EXPECT_EQ(processor.getReaderActivity(), 0) << "idle again once the ring ran low";

    processor.startStreaming(); // restart inside the session
    EXPECT_EQ(access.socketPort(), firstPort);
    letSenderSeeTheSession();
    feeder.feedConstant(0.1f, 4800);
    receiver.drain();
    auto restarted = decodedFrom(receiver.take(), firstPort);
    ASSERT_FALSE(restarted.empty());
    EXPECT_EQ(restarted.front().sequence, 0);
    EXPECT_EQ(restarted.front().position, 0);

    processor.stopStreaming();
    EXPECT_FALSE(access.hasSocket());
    processor.startStreaming();
    EXPECT_NE(access.socketPort(), firstPort) << "a new session gets a new socket";
    processor.releaseResources();
}

TEST(Streaming, At48kHzTheWireCarriesTheFedSamplesBitForBit)
{
    for (int channels : {2, 1})
    {
        LoopbackReceiver receiver;
        VeskOrluneAudioProcessor processor;
        VeskOrluneAudioProcessorTestAccess access(processor);
        Feeder feeder(processor, channels);
        processor.prepareToPlay(48000.0, 512);
        // Start near the end of the storage so the stream crosses the wrap.
        const int capacity = access.ringCapacity();
        access.setRingIndices(capacity - 20000, capacity - 20000);

        processor.startStreaming();
        const int port = access.socketPort();
        letSenderSeeTheSession();

        const size_t frames = 48000;
        const auto left = noise(frames, 10 + channels), right = noise(frames, 20 + channels);
        feeder.feed(left, right, frames);
        receiver.drain();

        const auto got = decodedFrom(receiver.take(), port);
        ASSERT_GE(got.size(), (frames - 272) / 256) << channels << " channel(s)";
        for (size_t k = 0; k < got.size(); ++k)
        {
            ASSERT_TRUE(got[k].wellFormed);
            ASSERT_EQ(got[k].sequence, static_cast<std::int64_t>(k));
            const auto& expectedRight = channels == 2 ? right : left;
            ASSERT_EQ(std::memcmp(got[k].left.data(), left.data() + k * 256, 256 * sizeof(float)),
                      0)
                << k;
            ASSERT_EQ(std::memcmp(got[k].right.data(), expectedRight.data() + k * 256,
                                  256 * sizeof(float)),
                      0)
                << k;
        }
        EXPECT_LT(access.readStart(), capacity - 20000) << "the stream crossed the wrap";
        processor.releaseResources();
    }
}

TEST(Streaming, ANewSessionStartsWithLiveAudioNotTheBacklog)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(48000.0, 512);

    // Two seconds pile up while no session runs.
    juce::AudioBuffer<float> stale(2, 96000);
    for (int ch = 0; ch < 2; ++ch)
        juce::FloatVectorOperations::fill(stale.getWritePointer(ch), 0.9f, 96000);
    juce::MidiBuffer midi;
    processor.processBlock(stale, midi);
    ASSERT_EQ(processor.getBufferedMs(), 2000);

    processor.startStreaming();
    const int port = access.socketPort();
    letSenderSeeTheSession();
    EXPECT_EQ(access.numReady(), 0);

    Feeder(processor, 2).feedConstant(0.25f, 9600);
    receiver.drain();
    const auto got = decodedFrom(receiver.take(), port);
    ASSERT_FALSE(got.empty());
    for (const auto& d : got)
        for (int i = 0; i < 256; ++i)
            ASSERT_EQ(d.left[static_cast<size_t>(i)], 0.25f) << "no stale frame may be sent";
    processor.releaseResources();
}

TEST(Streaming, NothingIsSentBeforePrepareAfterReleaseOrAfterStop)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    Feeder feeder(processor, 2);

    processor.startStreaming(); // before any prepare
    const int port = access.socketPort();
    feeder.feedConstant(0.5f, 4800);
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(decodedFrom(receiver.take(), port).empty());
    EXPECT_EQ(processor.getReaderActivity(), 0);

    processor.prepareToPlay(48000.0, 512);
    EXPECT_TRUE(processor.isStreaming()) << "prepare leaves the stream switch alone";
    letSenderSeeTheSession();

    // Stop while audio keeps flowing: once stopStreaming returns, the last
    // datagram has been sent and no other follows.
    std::atomic<bool> feeding{true};
    std::thread audio(
        [&]
        {
            while (feeding)
                feeder.feedConstant(0.5f, 2048);
        });
    ASSERT_TRUE(receiver.waitFor(10, 5s));
    processor.stopStreaming();
    const auto sentInSession = access.packetSequence();
    EXPECT_EQ(processor.getReaderActivity(), 0);
    std::this_thread::sleep_for(200ms);
    receiver.drain();
    const auto got = decodedFrom(receiver.take(), port);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().sequence, sentInSession - 1);
    EXPECT_EQ(static_cast<std::int64_t>(got.size()), sentInSession) << "loopback loses nothing";

    // Release ends a running session.
    processor.startStreaming();
    const int secondPort = access.socketPort();
    ASSERT_TRUE(receiver.waitFor(1, 5s));
    processor.releaseResources();
    EXPECT_FALSE(processor.isStreaming());
    EXPECT_EQ(processor.getReaderActivity(), 0);
    receiver.drain();
    receiver.take();
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(decodedFrom(receiver.take(), secondPort).empty());
    feeding = false;
    audio.join();
}

TEST(Streaming, EveryDatagramCarriesOneWholeRoomCode)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(48000.0, 512);
    processor.startStreaming();
    const int port = access.socketPort();

    std::atomic<bool> feeding{true};
    std::thread audio(
        [&]
        {
            Feeder feeder(processor, 2);
            while (feeding)
                feeder.feedConstant(0.1f, 4096);
        });

    const juce::String a = "alpha", b = juce::String::repeatedString("bravo-", 30) + "end";
    for (int i = 0; i < 3000; ++i)
    {
        processor.setRoomCode((i % 2) ? a : b);
        if (i % 50 == 0)
            std::this_thread::sleep_for(1ms);
    }
    feeding = false;
    audio.join();
    receiver.drain();

    std::set<std::string> seen;
    for (const auto& d : decodedFrom(receiver.take(), port))
    {
        ASSERT_TRUE(d.wellFormed);
        ASSERT_TRUE(d.roomCode == "default" || d.roomCode == a.toStdString() ||
                    d.roomCode == b.toStdString())
            << d.roomCode;
        seen.insert(d.roomCode);
    }
    EXPECT_GE(seen.size(), 2u);
    processor.releaseResources();
}

TEST(Streaming, FailedSendsArePublishedAndClearedBySuccess)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    Feeder feeder(processor, 2);
    processor.prepareToPlay(48000.0, 512);

    processor.startStreaming();
    letSenderSeeTheSession();
    feeder.feedConstant(0.1f, 4800);
    receiver.drain();
    EXPECT_FALSE(processor.hasLastSendFailed());
    EXPECT_EQ(processor.getFailedSendCount(), 0);

    access.breakSocket(); // as if the socket could not be created
    const auto before = access.packetSequence();
    feeder.feedConstant(0.1f, 4800);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(processor.isStreaming()) << "the session still runs";
    EXPECT_TRUE(processor.hasLastSendFailed());
    EXPECT_GT(processor.getFailedSendCount(), 0);
    EXPECT_EQ(access.packetSequence() - before, processor.getFailedSendCount())
        << "counters advance all the same";

    processor.stopStreaming();
    processor.startStreaming();
    EXPECT_FALSE(processor.hasLastSendFailed());
    EXPECT_EQ(processor.getFailedSendCount(), 0);
    letSenderSeeTheSession();
    feeder.feedConstant(0.1f, 4800);
    receiver.drain();
    EXPECT_FALSE(processor.hasLastSendFailed());
    processor.releaseResources();
}

// The message side hammers every session and lifecycle operation while the
// audio thread processes. Like a host, the test never runs prepare or release
// during a process call (its callback lock); everything else overlaps freely.
TEST(Streaming, StressSessionAndLifecycleWhileAudioRuns)
{
    LoopbackReceiver receiver;
    VeskOrluneAudioProcessor processor;
    std::mutex hostCallbackLock;
    std::atomic<bool> running{true};
    processor.prepareToPlay(48000.0, 512);

    std::thread audio(
        [&]
        {
            juce::MidiBuffer midi;
            juce::Random random(5);
            juce::AudioBuffer<float> block(2, 4096);
            for (int ch = 0; ch < 2; ++ch)
                for (int i = 0; i < 4096; ++i)
                    block.setSample(ch, i, random.nextFloat() - 0.5f);
            while (running)
            {
                const int n = 1 + random.nextInt(1024);
                juce::AudioBuffer<float> view(block.getArrayOfWritePointers(),
                                              1 + random.nextInt(2), n);
                {
                    const std::lock_guard<std::mutex> lock(hostCallbackLock);
                    processor.processBlock(view, midi);
                }
                std::this_thread::sleep_for(std::chrono::microseconds(n * 5));
            }
        });

    juce::Random random(6);
    const double rates[] = {22050.0, 44100.0, 48000.0, 96000.0};
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end)
    {
        switch (random.nextInt(6))
        {
            case 0:
                processor.startStreaming();
                break;
            case 1:
                processor.stopStreaming();
                break;
            case 2:
                processor.setRoomCode("room-" + juce::String(random.nextInt(100)));
                break;
            case 3:
            {
                const std::lock_guard<std::mutex> lock(hostCallbackLock);
                processor.prepareToPlay(rates[random.nextInt(4)], 512);
                break;
            }
            case 4:
            {
                const std::lock_guard<std::mutex> lock(hostCallbackLock);
                processor.releaseResources();
                break;
            }
            default:
                (void)processor.getRoomCode();
                (void)processor.getBufferedMs();
                (void)processor.getReaderActivity();
                break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random.nextInt(3000)));
    }
    running = false;
    audio.join();
    processor.releaseResources();

    for (const auto& d : receiver.take())
        EXPECT_TRUE(DecodedDatagram::decode(d.bytes).wellFormed);
}
