// Soak: one processor for as long as asked (default 30 s), driven the way a
// host and a restless user would drive it. The host prepares and re-prepares
// at rates from 22050 to 192000 Hz, sometimes releasing first, and feeds
// blocks of 1 to 4096 frames (mono, stereo, four channels, flagged clear,
// holding NaNs) in real time from its own audio thread; the user starts,
// restarts and stops sessions and changes the room code; a loopback receiver
// stands in for the relay (exclusively, see LoopbackReceiver.h).
//
// Usage: processor_soak [--seconds=N] [gtest options]

#include "HeapAudit.h"
#include "JuceTestRuntime.h"
#include "LoopbackReceiver.h"
#include "ProcessorTestAccess.h"
#include "WireCheck.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace
{
double soakSeconds = 30.0;

struct AudioFigures
{
    std::atomic<long> blocks{0}, frames{0};
    std::atomic<long> byKind[5] = {};
    std::atomic<long> alteredBlocks{0}; // the host's audio changed by processBlock
};

// The host's audio thread: random blocks of tagged frames, logged before
// they are processed, paced to the current sample rate.
class HostAudioThread
{
public:
    HostAudioThread(VeskOrluneAudioProcessor& p, std::mutex& callbackLockToHold,
                    soak::FeedLog& logToFill, AudioFigures& figuresToKeep)
        : processor(p)
        , callbackLock(callbackLockToHold)
        , log(logToFill)
        , figures(figuresToKeep)
    {
        thread = std::thread([this] { run(); });
    }

    ~HostAudioThread() { stop(); }

    void stop()
    {
        running = false;
        if (thread.joinable())
            thread.join();
    }

    void setRate(double rate) { pacedRate = rate; }

private:
    void run()
    {
        juce::Random random(20261208);
        juce::AudioBuffer<float> storage(4, 4096), original(4, 4096);
        juce::MidiBuffer midi;
        auto clock = std::chrono::steady_clock::now();

        while (running)
        {
            const int n = 1 + random.nextInt(4096);
            const int pick = random.nextInt(100);
            const auto kind = pick < 45   ? soak::BlockKind::stereo
                              : pick < 60 ? soak::BlockKind::mono
                              : pick < 70 ? soak::BlockKind::wide
                              : pick < 82 ? soak::BlockKind::clear
                                          : soak::BlockKind::stereoNaN;
            const int channels = kind == soak::BlockKind::mono   ? 1
                                 : kind == soak::BlockKind::wide ? 4
                                                                 : 2;

            const std::uint64_t first = log.append(n, kind);
            juce::AudioBuffer<float> block(storage.getArrayOfWritePointers(), channels, n);
            if (kind == soak::BlockKind::clear)
            {
                block.clear();
            }
            else
            {
                for (int i = 0; i < n; ++i)
                {
                    const auto bits =
                        soak::expectedFrame(kind, first + static_cast<std::uint64_t>(i));
                    block.setSample(0, i, soak::floatFromBits(bits.left));
                    if (channels > 1)
                        block.setSample(1, i, soak::floatFromBits(bits.right));
                }
                for (int ch = 2; ch < channels; ++ch)
                    for (int i = 0; i < n; ++i)
                        block.setSample(ch, i, random.nextFloat() * 2.0f - 1.0f);
            }
            for (int ch = 0; ch < channels; ++ch)
                original.copyFrom(ch, 0, block, ch, 0, n);

            {
                const std::lock_guard<std::mutex> lock(callbackLock);
                const heapaudit::Scope audit;
                processor.processBlock(block, midi);
            }

            for (int ch = 0; ch < channels; ++ch)
                if (std::memcmp(block.getReadPointer(ch), original.getReadPointer(ch),
                                sizeof(float) * static_cast<size_t>(n)) != 0)
                {
                    ++figures.alteredBlocks;
                    break;
                }
            ++figures.blocks;
            figures.frames += n;
            ++figures.byKind[static_cast<int>(kind)];

            // Real time at the current rate; a host that fell far behind (a
            // prepare held the callback) resumes rather than rushing.
            clock += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(n / pacedRate.load()));
            const auto now = std::chrono::steady_clock::now();
            if (clock < now - 50ms)
                clock = now;
            std::this_thread::sleep_until(clock);
        }
    }

    VeskOrluneAudioProcessor& processor;
    std::mutex& callbackLock;
    soak::FeedLog& log;
    AudioFigures& figures;
    std::atomic<double> pacedRate{48000.0};
    std::atomic<bool> running{true};
    std::thread thread;
};

// Text a user might type into the room-code box.
juce::String typedText(juce::Random& random)
{
    static const char* const samples[] = {"My Room!",
                                          "  ABC-123_x  ",
                                          "a.b/c",
                                          "\xc3\x9cn\xc3\xaf"
                                          "code",
                                          "",
                                          "!!!",
                                          "   ",
                                          "Gig Tonight",
                                          "\xf0\x9f\x8e\xb5 live",
                                          "x"};
    juce::String text = juce::String::fromUTF8(samples[random.nextInt(10)]);
    for (int i = random.nextInt(6); i > 0; --i)
        text += juce::String::charToString(static_cast<juce::juce_wchar>(32 + random.nextInt(95)));
    return text;
}

double drawRate(juce::Random& random)
{
    static const double common[] = {22050.0, 32000.0,  44100.0, 88200.0,
                                    96000.0, 176400.0, 192000.0};
    const int pick = random.nextInt(100);
    if (pick < 40)
        return 48000.0;
    if (pick < 70)
        return common[random.nextInt(7)];
    return 22050.0 + random.nextDouble() * (192000.0 - 22050.0);
}
} // namespace

TEST(Soak, OneProcessorThroughEverythingAHostAndAUserDo)
{
    LoopbackReceiver receiver;
    soak::FeedLog log;
    soak::WireChecker checker(log);
    AudioFigures audio;

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    std::mutex callbackLock; // a host never prepares or releases during a process call
    processor.prepareToPlay(48000.0, 512);

    heapaudit::reset();
    HostAudioThread host(processor, callbackLock, log, audio);
    juce::Random random(1208);

    long epochs = 0, epochsAt48k = 0, releases = 0, preparesWhileStreaming = 0;
    long starts = 0, restarts = 0, stops = 0, roomCodeChanges = 0;
    auto setRoomCode = [&](const juce::String& text)
    {
        processor.setRoomCode(text);
        checker.noteStoredRoomCode(processor.getRoomCode().toStdString());
        ++roomCodeChanges;
    };
    juce::String epochPrefix = "r48000-e0-";
    setRoomCode(epochPrefix);

    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(soakSeconds));
    auto nextEpoch = begin + 1s;
    auto nextCheck = begin + 250ms;

    while (std::chrono::steady_clock::now() < end)
    {
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextEpoch)
        {
            // A neutral code first, so that no datagram of the next ring can
            // carry this epoch's rate in its room code.
            setRoomCode(random.nextBool() ? juce::String("t-") + typedText(random)
                                          : typedText(random));
            const bool wasStreaming = processor.isStreaming();
            const double rate = drawRate(random);
            {
                const std::lock_guard<std::mutex> lock(callbackLock);
                if (random.nextInt(100) < 35)
                {
                    processor.releaseResources();
                    ++releases;
                }
                else if (wasStreaming)
                {
                    ++preparesWhileStreaming;
                }
                processor.prepareToPlay(rate, 32 + random.nextInt(4065));
            }
            ++epochs;
            const int hostRate = access.hostSampleRate();
            host.setRate(hostRate);
            if (hostRate == 48000)
                ++epochsAt48k;
            epochPrefix = "r" + juce::String(hostRate) + "-e" + juce::String(epochs) + "-";
            setRoomCode(epochPrefix + typedText(random));
            if (!processor.isStreaming() && random.nextInt(100) < 80)
            {
                processor.startStreaming();
                checker.noteSenderPort(access.socketPort());
                ++starts;
            }
            nextEpoch = now + std::chrono::milliseconds(500 + random.nextInt(2500));
        }
        else
        {
            const int op = random.nextInt(100);
            if (op < 12)
            {
                const bool restart = processor.isStreaming();
                processor.startStreaming();
                checker.noteSenderPort(access.socketPort());
                ++(restart ? restarts : starts);
            }
            else if (op < 20)
            {
                processor.stopStreaming();
                ++stops;
            }
            else if (op < 40)
            {
                setRoomCode(epochPrefix + typedText(random));
            }
        }

        if (now >= nextCheck)
        {
            checker.check(receiver.take());
            log.forgetBefore(log.framesLogged() > (1u << 22) ? log.framesLogged() - (1u << 22) : 0);
            nextCheck = now + 250ms;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + random.nextInt(60)));
    }

    host.stop();
    const long heapCalls = heapaudit::count();
    processor.stopStreaming();
    receiver.drain();
    checker.check(receiver.take());
    processor.releaseResources();

    const auto& wire = checker.figures();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::cout << "soak: " << seconds << " s\n"
              << "  host:  " << epochs << " prepares (" << epochsAt48k << " at 48 kHz), "
              << releases << " releases, " << preparesWhileStreaming
              << " prepares while streaming\n"
              << "  audio: " << audio.blocks << " blocks, " << audio.frames << " frames (stereo "
              << audio.byKind[0] << ", four-channel " << audio.byKind[1] << ", mono "
              << audio.byKind[2] << ", clear " << audio.byKind[3] << ", with NaNs "
              << audio.byKind[4] << "), " << audio.alteredBlocks << " altered by processBlock\n"
              << "  user:  " << starts << " starts, " << restarts << " restarts, " << stops
              << " stops, " << roomCodeChanges << " room codes set\n"
              << "  wire:  " << wire.datagrams << " datagrams in " << wire.sessions << " sessions, "
              << wire.malformed << " malformed, " << wire.foreignRoomCodes
              << " foreign room codes, " << wire.counterRegressions << " counter regressions, "
              << wire.lostDatagrams << " lost (" << wire.stray << " from other processes ignored)\n"
              << "  48 kHz: " << wire.at48k << " datagrams, " << wire.verified48k
              << " matched to the feed (" << wire.samplesCompared << " samples compared, "
              << wire.sampleMismatches << " differ), " << wire.unverifiable48k
              << " without an anchor, " << wire.jumbled48k << " jumbled, "
              << wire.discontinuities48k << " discontinuities\n"
              << "  heap calls on the audio thread: "
              << (heapaudit::available() ? std::to_string(heapCalls)
                                         : std::string("not audited (sanitizer build)"))
              << '\n';

    EXPECT_GT(wire.datagrams, 0);
    EXPECT_EQ(wire.malformed, 0);
    EXPECT_EQ(wire.foreignRoomCodes, 0);
    EXPECT_EQ(wire.counterRegressions, 0);
    EXPECT_EQ(wire.sampleMismatches, 0);
    EXPECT_EQ(wire.jumbled48k, 0);
    EXPECT_EQ(wire.discontinuities48k, 0);
    EXPECT_GT(wire.verified48k, 0) << "the run must compare some 48 kHz audio";
    EXPECT_EQ(audio.alteredBlocks, 0);
    if (heapaudit::available())
    {
        EXPECT_EQ(heapCalls, 0);
    }
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg.rfind("--seconds=", 0) == 0)
            soakSeconds = std::atof(arg.c_str() + 10);
        else if (arg.find_first_not_of("0123456789.") == std::string::npos)
            soakSeconds = std::atof(arg.c_str());
    }
    return RUN_ALL_TESTS();
}
