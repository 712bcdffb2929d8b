// Sixteen instances in one host process, as a session with many tracks would
// have them: each streams its own room at 48 kHz for ten seconds, fed in real
// time by one host audio thread, and all are torn down while they stream.

#include "JuceTestRuntime.h"
#include "LoopbackReceiver.h"
#include "ProcessorTestAccess.h"
#include "TaggedSignal.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace
{
constexpr int instances = 16;
constexpr int hostBlock = 512;
// Instance i feeds frames from i × spacing on, so every room's audio is its own.
constexpr std::uint64_t spacing = 500000;

double threadCpuSeconds(juce::Thread& thread)
{
    clockid_t clock;
    const auto id = reinterpret_cast<pthread_t>(thread.getThreadId());
    if (id == pthread_t{} || pthread_getcpuclockid(id, &clock) != 0)
        return 0.0;
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0)
        return 0.0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// One host audio thread processing every instance in turn, block by block,
// on the real-time schedule of 512-frame blocks at 48 kHz.
struct HostAudio
{
    explicit HostAudio(std::vector<std::unique_ptr<VeskOrluneAudioProcessor>>& processorsToFeed)
        : processors(processorsToFeed)
    {
    }

    void run(std::chrono::steady_clock::duration length)
    {
        juce::AudioBuffer<float> block(2, hostBlock);
        juce::MidiBuffer midi;
        auto clock = std::chrono::steady_clock::now();
        const auto end = clock + length;
        while (clock < end)
        {
            for (int i = 0; i < instances; ++i)
            {
                const std::uint64_t first = static_cast<std::uint64_t>(i) * spacing + fed;
                for (int n = 0; n < hostBlock; ++n)
                {
                    const auto bits = soak::expectedFrame(soak::BlockKind::stereo,
                                                          first + static_cast<std::uint64_t>(n));
                    block.setSample(0, n, soak::floatFromBits(bits.left));
                    block.setSample(1, n, soak::floatFromBits(bits.right));
                }
                processors[static_cast<size_t>(i)]->processBlock(block, midi);
            }
            fed += hostBlock;
            clock += std::chrono::microseconds(hostBlock * 1000000 / 48000);
            std::this_thread::sleep_until(clock);
        }
    }

    std::vector<std::unique_ptr<VeskOrluneAudioProcessor>>& processors;
    std::uint64_t fed = 0;
};
} // namespace

TEST(ManyInstances, SixteenRoomsStreamCompleteAndInOrderAndTearDownWhileStreaming)
{
    LoopbackReceiver receiver;
    std::vector<std::unique_ptr<VeskOrluneAudioProcessor>> processors;
    std::map<std::string, int> roomOf;
    std::map<int, int> instanceOfPort; // other processes may send to the port too
    for (int i = 0; i < instances; ++i)
    {
        processors.push_back(std::make_unique<VeskOrluneAudioProcessor>());
        auto& p = *processors.back();
        p.prepareToPlay(48000.0, hostBlock);
        p.setRoomCode("room-" + juce::String(i));
        roomOf[p.getRoomCode().toStdString()] = i;
        p.startStreaming();
        instanceOfPort[VeskOrluneAudioProcessorTestAccess(p).socketPort()] = i;
    }
    std::this_thread::sleep_for(200ms); // every sender has seen its session

    HostAudio host(processors);
    host.run(10s);
    // Let each sender send what is left, down to less than one packet's worth.
    for (auto& p : processors)
        for (int tries = 0; tries < 500 && VeskOrluneAudioProcessorTestAccess(*p).numReady() >= 272;
             ++tries)
            std::this_thread::sleep_for(2ms);
    receiver.drain();

    double cpuSeconds = 0.0;
    for (auto& p : processors)
        cpuSeconds += threadCpuSeconds(*p);

    std::array<std::vector<DecodedDatagram>, instances> byRoom;
    std::array<int, instances> portOf{};
    for (const auto& raw : receiver.take())
    {
        if (instanceOfPort.count(raw.senderPort) == 0)
            continue;
        auto d = DecodedDatagram::decode(raw.bytes);
        ASSERT_TRUE(d.wellFormed);
        const auto room = roomOf.find(d.roomCode);
        ASSERT_NE(room, roomOf.end()) << d.roomCode;
        auto& port = portOf[static_cast<size_t>(room->second)];
        if (port == 0)
            port = raw.senderPort;
        ASSERT_EQ(port, raw.senderPort) << "one socket per room";
        byRoom[static_cast<size_t>(room->second)].push_back(std::move(d));
    }

    // Every datagram that arrives is whole, in order and carries exactly the
    // frames fed for its place in the stream. Loopback loses nothing unless
    // the receiving socket's buffer overflows (a machine too loaded to run the
    // reading thread in time); the kernel counts those, and only those may be
    // missing. The senders themselves must never fail a send.
    const std::uint64_t fed = host.fed;
    const auto expectedPerRoom = static_cast<size_t>((fed - 271) / 256);
    size_t total = 0, missing = 0;
    for (int i = 0; i < instances; ++i)
    {
        const auto& got = byRoom[static_cast<size_t>(i)];
        total += got.size();
        ASSERT_FALSE(got.empty()) << "room " << i;
        EXPECT_EQ(processors[static_cast<size_t>(i)]->getFailedSendCount(), 0) << "room " << i;
        EXPECT_GE(static_cast<size_t>(got.back().sequence) + 1, expectedPerRoom)
            << "room " << i << " stopped early";
        missing += static_cast<size_t>(got.back().sequence) + 1 - got.size();
        for (size_t k = 0; k < got.size(); ++k)
        {
            if (k > 0)
            {
                ASSERT_GT(got[k].sequence, got[k - 1].sequence) << "room " << i;
            }
            const auto seq = static_cast<std::uint64_t>(got[k].sequence);
            ASSERT_EQ(got[k].position, got[k].sequence * 256) << "room " << i;
            for (size_t n = 0; n < 256; ++n)
            {
                const auto want =
                    soak::expectedFrame(soak::BlockKind::stereo,
                                        static_cast<std::uint64_t>(i) * spacing + seq * 256 + n);
                ASSERT_EQ(soak::floatBits(got[k].left[n]), want.left)
                    << "room " << i << " datagram " << seq;
                ASSERT_EQ(soak::floatBits(got[k].right[n]), want.right)
                    << "room " << i << " datagram " << seq;
            }
        }
    }
    EXPECT_LE(missing, receiver.overflowDrops())
        << "datagrams lost other than by the receiver's own overflow";
    std::cout << "many instances: " << instances << " rooms, " << fed << " frames fed to each, "
              << total << " datagrams (" << expectedPerRoom << "+ per room; " << missing
              << " missing, receive-buffer overflows " << receiver.overflowDrops()
              << "), sender threads' CPU time " << cpuSeconds * 1000.0 << " ms in all ("
              << cpuSeconds * 1000.0 / instances << " ms each)\n";

    // Tear down while streaming: give every ring five seconds of backlog so
    // the senders are busy catching up, then destroy the instances as a host
    // closing the session would (it stops calling processBlock first).
    juce::AudioBuffer<float> backlog(2, 240000);
    for (int ch = 0; ch < 2; ++ch)
        juce::FloatVectorOperations::fill(backlog.getWritePointer(ch), 0.25f, 240000);
    juce::MidiBuffer midi;
    for (auto& p : processors)
        p->processBlock(backlog, midi);
    ASSERT_TRUE(receiver.waitFor(100, 5s));
    for (auto& p : processors)
        EXPECT_TRUE(p->isStreaming());

    const auto teardownStart = std::chrono::steady_clock::now();
    processors.clear();
    const auto teardown = std::chrono::steady_clock::now() - teardownStart;
    std::cout << "many instances: all torn down while streaming in "
              << std::chrono::duration<double, std::milli>(teardown).count() << " ms\n";

    receiver.drain();
    receiver.take();
    std::this_thread::sleep_for(200ms);
    for (const auto& raw : receiver.take())
        EXPECT_EQ(instanceOfPort.count(raw.senderPort), 0u) << "nothing is sent after destruction";
}
