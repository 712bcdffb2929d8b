// The sender's cost per datagram.
//
// One sender pass, as the sender thread makes it (ring read, conversion to
// 48 kHz, datagram build, send to the relay port on 127.0.0.1), driven through
// the test access with the processor's own thread stopped: at 48 kHz (plain
// copy) and at 44.1 kHz (two Lagrange interpolators). A listener holds the
// relay port and drains what arrives, so every send goes the whole way through
// the loopback stack.
//
// Measured in the same run as references: a bare socket write of a datagram of
// the same size, building the datagram alone, and the two interpolators alone.
// The run ends with the pass's cost and its ratio to the bare socket write.
//
// The ring is filled outside the timing (paused) to just under its capacity,
// once every ~1800 passes, so every timed pass finds a full packet's frames.

#include "BenchCommon.h"
#include "PcmDatagram.h"
#include "ProcessorTestAccess.h"
#include "RelayPortListener.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>

namespace
{
vesk::bench::RelayPortListener* listener = nullptr;

juce::AudioBuffer<float> noise(int frames, int seed)
{
    juce::AudioBuffer<float> block(2, frames);
    juce::Random random(seed);
    for (int ch = 0; ch < 2; ++ch)
        for (int i = 0; i < frames; ++i)
            block.setSample(ch, i, random.nextFloat() - 0.5f);
    return block;
}

void countDelivered(benchmark::State& state)
{
    listener->settle();
    state.counters["delivered"] =
        static_cast<double>(listener->count()) / static_cast<double>(state.iterations());
}

void senderPass(benchmark::State& state)
{
    const auto rate = static_cast<double>(state.range(0));

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(rate, 512);
    processor.stopThread(1000); // the passes are ours
    processor.startStreaming();
    listener->follow(access.socketPort());
    access.runSenderPass(); // a session's first pass drops the backlog; the ring is empty

    const auto chunk = noise(static_cast<int>(rate), 11);
    const int capacity = access.ringCapacity();
    const int framesPerPass = access.inputFramesPerPacket();
    const auto refill = [&]
    {
        while (access.numReady() + chunk.getNumSamples() <= capacity - 1)
            access.pushToCaptureRing(chunk);
    };

    for (auto _ : state)
    {
        if (access.numReady() < framesPerPass)
        {
            state.PauseTiming();
            refill();
            state.ResumeTiming();
        }
        access.runSenderPass();
    }

    if (access.packetSequence() != static_cast<juce::int64>(state.iterations()))
        state.SkipWithError("a pass did not send a datagram");
    countDelivered(state);
    state.counters["failed"] = static_cast<double>(processor.getFailedSendCount());
    state.SetItemsProcessed(state.iterations());
}

juce::MemoryBlock defaultRoomDatagram()
{
    juce::MemoryOutputStream stream(256);
    vesk::pcm::writeDatagram(stream, "default", 0, 0, noise(256, 12));
    return stream.getMemoryBlock();
}

void bareSocketWrite(benchmark::State& state)
{
    juce::DatagramSocket socket(false);
    socket.bindToPort(0);
    listener->follow(socket.getBoundPort());
    const auto datagram = defaultRoomDatagram();
    const auto size = static_cast<int>(datagram.getSize());

    for (auto _ : state)
        benchmark::DoNotOptimize(socket.write("127.0.0.1", 54321, datagram.getData(), size));

    countDelivered(state);
    state.SetItemsProcessed(state.iterations());
}

void datagramBuild(benchmark::State& state)
{
    const auto block = noise(256, 13);
    const juce::String room("default");
    juce::int64 sequence = 0;

    for (auto _ : state)
    {
        juce::MemoryOutputStream stream(256);
        vesk::pcm::writeDatagram(stream, room, sequence, sequence * 256, block);
        benchmark::DoNotOptimize(stream.getData());
        ++sequence;
    }
    state.SetItemsProcessed(state.iterations());
}

void resampleOnly(benchmark::State& state)
{
    const auto input = noise(256, 14);
    juce::AudioBuffer<float> output(2, 256);
    std::array<juce::LagrangeInterpolator, 2> resamplers;
    const double ratio = 44100.0 / 48000.0;

    for (auto _ : state)
    {
        for (int ch = 0; ch < 2; ++ch)
            benchmark::DoNotOptimize(resamplers[static_cast<size_t>(ch)].process(
                ratio, input.getReadPointer(ch), output.getWritePointer(ch), 256));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void registerAll()
{
    benchmark::RegisterBenchmark("BareSocketWrite", bareSocketWrite);
    benchmark::RegisterBenchmark("DatagramBuild", datagramBuild);
    benchmark::RegisterBenchmark("Resample256At44k1", resampleOnly);
    benchmark::RegisterBenchmark("SenderPass", senderPass)->Arg(48000)->Arg(44100);
}

void printSummary(const vesk::bench::FigureCollector& figures, const std::string& loadBefore)
{
    const auto send = figures.nanoseconds("BareSocketWrite");
    const auto build = figures.nanoseconds("DatagramBuild");
    const auto resample = figures.nanoseconds("Resample256At44k1");
    std::printf("\nsender cost per datagram (2102 bytes, room \"default\", to 127.0.0.1:54321)\n");
    std::printf("load average before: %s, after: %s (2 cores, shared)\n", loadBefore.c_str(),
                vesk::bench::loadAverage().c_str());
    std::printf("%-28s %12s %12s %16s\n", "", "real us", "cpu us", "cpu / bare send");
    const auto row = [&](const char* label, vesk::bench::FigureCollector::Times t)
    {
        std::printf("%-28s %12.2f %12.2f %16.2f\n", label, t.real / 1000.0, t.cpu / 1000.0,
                    t.cpu / send.cpu);
    };
    row("bare socket write", send);
    row("datagram build alone", build);
    row("two interpolators alone", resample);
    row("sender pass at 48 kHz", figures.nanoseconds("SenderPass/48000"));
    row("sender pass at 44.1 kHz", figures.nanoseconds("SenderPass/44100"));
    std::printf(
        "real time against the 5.33 ms between datagrams: the pass at 44.1 kHz is %.2f %%\n",
        figures.nanoseconds("SenderPass/44100").real / 5333333.0 * 100.0);
}
} // namespace

int main(int argc, char** argv)
{
    const juce::ScopedJuceInitialiser_GUI juceRuntime;
    const auto loadBefore = vesk::bench::loadAverage();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    vesk::bench::requireLoopbackRelay();
    vesk::bench::RelayPortListener relayPort(false);
    listener = &relayPort;

    registerAll();
    vesk::bench::FigureCollector figures;
    benchmark::RunSpecifiedBenchmarks(&figures);
    printSummary(figures, loadBefore);
    benchmark::Shutdown();
    return 0;
}
