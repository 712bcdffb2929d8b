// The process callback against its floor.
//
// processBlock must add the squares of every sample in double precision,
// channel by channel and frame by frame, in that exact order, so the additions
// form one dependency chain; it also copies the block into the capture ring.
// Its floor is therefore a plain loop that only adds the squares in that order
// plus a memcpy of the block. All three are measured in the same run for stereo
// blocks of 32, 128, 512 and 2048 frames at 48 kHz, and the run ends with
// processBlock / (plain loop + memcpy) per block size.
//
// The processor is prepared as a host would prepare it, with its sender thread
// stopped and no session, so nothing consumes the ring. Before the ring could
// fill, the loop moves its indices back to the start through the test access,
// so every measured block is written into the ring whole (a full ring would
// drop blocks and flatter the figure). The reset is a few atomic stores once
// every (ring capacity - 1) / frames blocks and stays inside the timing.

#include "BenchCommon.h"
#include "ProcessorTestAccess.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>

namespace
{
constexpr double sampleRate = 48000.0;
constexpr int numChannels = 2;

juce::AudioBuffer<float> noiseBlock(int frames)
{
    juce::AudioBuffer<float> block(numChannels, frames);
    juce::Random random(20261208);
    for (int ch = 0; ch < numChannels; ++ch)
        for (int i = 0; i < frames; ++i)
            block.setSample(ch, i, random.nextFloat() * 2.0f - 1.0f);
    return block;
}

void addPerSampleCounters(benchmark::State& state, int frames)
{
    const auto samples = static_cast<double>(numChannels * frames);
    state.counters["per_sample"] = benchmark::Counter(
        samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(state.iterations() * numChannels * frames);
}

void processBlock(benchmark::State& state)
{
    const int frames = static_cast<int>(state.range(0));

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(sampleRate, frames);
    processor.stopThread(1000);

    auto block = noiseBlock(frames);
    juce::MidiBuffer midi;

    const int blocksPerFill = (access.ringCapacity() - 1) / frames;
    int blocksSinceReset = 0;
    for (auto _ : state)
    {
        if (blocksSinceReset == blocksPerFill)
        {
            access.setRingIndices(0, 0);
            blocksSinceReset = 0;
        }
        processor.processBlock(block, midi);
        ++blocksSinceReset;
    }

    if (access.numReady() != blocksSinceReset * frames)
        state.SkipWithError("a block did not fit into the ring");
    benchmark::DoNotOptimize(processor.getOutputLevel());
    addPerSampleCounters(state, frames);
}

// The order-preserving sum of squares and nothing else.
void plainSquareSum(benchmark::State& state)
{
    const int frames = static_cast<int>(state.range(0));
    const auto block = noiseBlock(frames);
    double lastSum = 0.0;

    for (auto _ : state)
    {
        benchmark::ClobberMemory(); // the samples must be read afresh every time
        double sum = 0.0;
        for (int ch = 0; ch < numChannels; ++ch)
        {
            const float* samples = block.getReadPointer(ch);
            for (int i = 0; i < frames; ++i)
            {
                const double s = samples[i];
                sum += s * s;
            }
        }
        benchmark::DoNotOptimize(sum);
        lastSum = sum;
    }

    // The floor must be the very computation processBlock makes: same level,
    // bit for bit.
    VeskOrluneAudioProcessor processor;
    juce::MidiBuffer midi;
    auto copy = block;
    processor.processBlock(copy, midi);
    const auto level = static_cast<float>(std::sqrt(lastSum / (numChannels * frames)));
    const float measured = processor.getInputLevel();
    if (std::memcmp(&level, &measured, sizeof(float)) != 0)
        state.SkipWithError("the plain loop and processBlock disagree on the level");
    addPerSampleCounters(state, frames);
}

void blockMemcpy(benchmark::State& state)
{
    const int frames = static_cast<int>(state.range(0));
    const auto block = noiseBlock(frames);
    juce::AudioBuffer<float> copy(numChannels, frames);
    const auto bytes = sizeof(float) * static_cast<size_t>(frames);

    for (auto _ : state)
    {
        for (int ch = 0; ch < numChannels; ++ch)
            std::memcpy(copy.getWritePointer(ch), block.getReadPointer(ch), bytes);
        benchmark::ClobberMemory();
    }
    addPerSampleCounters(state, frames);
}

constexpr int blockSizes[] = {32, 128, 512, 2048};

void registerAll()
{
    // Per block size the floor's two parts and then the callback, so the
    // three figures of one size are measured close together in time.
    for (const int frames : blockSizes)
    {
        benchmark::RegisterBenchmark("PlainSquareSum", plainSquareSum)->Arg(frames);
        benchmark::RegisterBenchmark("BlockMemcpy", blockMemcpy)->Arg(frames);
        benchmark::RegisterBenchmark("ProcessBlock", processBlock)->Arg(frames);
    }
}

void printSummary(const vesk::bench::FigureCollector& figures, const std::string& loadBefore)
{
    std::printf("\nprocessBlock against its floor (plain sum + memcpy), stereo at 48 kHz\n");
    std::printf("load average before: %s, after: %s (2 cores, shared)\n", loadBefore.c_str(),
                vesk::bench::loadAverage().c_str());
    std::printf("nanoseconds per sample, CPU time (real time in the last column's ratio)\n");
    std::printf("%7s %10s %10s %10s %13s %11s %11s\n", "frames", "plain sum", "memcpy", "floor",
                "processBlock", "ratio cpu", "ratio real");
    for (const int frames : blockSizes)
    {
        const auto arg = "/" + std::to_string(frames);
        const double samples = numChannels * frames;
        const auto plain = figures.nanoseconds("PlainSquareSum" + arg);
        const auto copy = figures.nanoseconds("BlockMemcpy" + arg);
        const auto callback = figures.nanoseconds("ProcessBlock" + arg);
        const double floorCpu = plain.cpu + copy.cpu;
        std::printf(
            "%7d %10.4f %10.4f %10.4f %13.4f %11.3f %11.3f%s\n", frames, plain.cpu / samples,
            copy.cpu / samples, floorCpu / samples, callback.cpu / samples, callback.cpu / floorCpu,
            callback.real / (plain.real + copy.real), frames == 512 ? "   <- goal <= 1.3" : "");
    }
}
} // namespace

int main(int argc, char** argv)
{
    const juce::ScopedJuceInitialiser_GUI juceRuntime;
    const auto loadBefore = vesk::bench::loadAverage();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    registerAll();
    vesk::bench::FigureCollector figures;
    benchmark::RunSpecifiedBenchmarks(&figures);
    printSummary(figures, loadBefore);
    benchmark::Shutdown();
    return 0;
}
