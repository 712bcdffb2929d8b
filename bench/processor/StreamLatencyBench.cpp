// End-to-end latency of a stream fed in real time.
//
// A feeder thread plays the host: it calls processBlock with 512-frame stereo
// blocks paced by sleep_until at 48 kHz or 44.1 kHz (at a real-time priority
// where the system allows, as a host's audio thread), while the processor's own
// sender thread streams to a listener on 127.0.0.1:54321. For every frame the
// run measures the time from the processBlock call that delivered it to the
// arrival of the datagram that carries it, and for the datagrams the spread of
// their inter-arrival times.
//
// Which frames a datagram carries: datagram m consumed the input frames
// [D + C(m), D + C(m + 1)), where C(m) is the frames consumed by the session's
// first m datagrams and D the frames its first pass dropped as backlog (the
// session starts on an empty ring, so D is 0 unless the sender's first pass
// came late; D is solved from the frame count at the end). At 48 kHz C(m) is
// 256 m exactly. At 44.1 kHz C(m) is reproduced by a reference interpolator
// fed in the same 256-output steps (the count depends on the sub-sample
// position only, not on the audio); it differs from the approximation
// m × 256 × 44100 / 48000 by at most a frame or two, which the summary prints.
// The interpolator also delays its output by about two input frames, which
// counts as part of the latency. The mapping is checked against the audio
// itself: every input frame carries its own index (k / 2^24, exact in float),
// so the first left sample of a datagram tells which input frame it started at.
//
// The design's floor: a datagram is made only when a whole packet's input is
// ready, and what is ready after the last datagram a host block allowed waits
// for the next block. At 48 kHz a datagram needs 272 ready frames but uses
// 256, so of each 512-frame block the last 256 frames wait for the next block;
// at 44.1 kHz a datagram needs 256 and consumes about 235.2, so up to 255
// frames wait. The longest wait is one host block period plus one 2 ms poll of
// the sender: 10.67 + 2 = 12.67 ms at 48 kHz, 11.61 + 2 = 13.61 ms at 44.1 kHz.
//
// The first 50 datagrams (about a quarter of a second) are left out of the
// figures: they cover the session's start.

#include "BenchCommon.h"
#include "ProcessorTestAccess.h"
#include "RelayPortListener.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <pthread.h>
#include <sched.h>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int hostBlockFrames = 512;
constexpr int warmUpDatagrams = 50;
constexpr double pollMs = 2.0;
constexpr double frameIndexScale = 1.0 / 16777216.0; // 2^-24

vesk::bench::RelayPortListener* listener = nullptr;
double secondsPerRate = 10.0;

double millisecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Figures
{
    int rate = 0;
    double floorMs = 0.0;
    double blockPeriodMs = 0.0;
    double latencyP50 = 0.0, latencyP99 = 0.0, latencyMax = 0.0;
    double gapP50 = 0.0, gapP99 = 0.0, gapMax = 0.0;
    double leftBehindShare = 0.0;
    double feederLateP99 = 0.0, feederLateMax = 0.0;
    juce::int64 datagrams = 0, lost = 0, discarded = 0;
    double mappingCheckMaxFrames = 0.0;
    int approximationMaxFrames = 0;
    bool feederRealTime = false;
    std::string load;
};

std::vector<Figures> results;

// Cumulative input frames consumed by the first m datagrams, m = 0..count.
std::vector<juce::int64> consumedBefore(int rate, int inputFramesPerPacket, juce::int64 count)
{
    std::vector<juce::int64> cumulative(static_cast<size_t>(count) + 1, 0);
    if (rate == 48000)
    {
        for (size_t m = 1; m < cumulative.size(); ++m)
            cumulative[m] = cumulative[m - 1] + 256;
        return cumulative;
    }
    juce::LagrangeInterpolator reference;
    std::vector<float> input(static_cast<size_t>(inputFramesPerPacket), 0.0f), output(256);
    const double ratio = rate / 48000.0;
    for (size_t m = 1; m < cumulative.size(); ++m)
    {
        const int used = reference.process(ratio, input.data(), output.data(), 256);
        cumulative[m] = cumulative[m - 1] + juce::jlimit(1, inputFramesPerPacket, used);
    }
    return cumulative;
}

// Hosts run their audio thread at a real-time priority; so does the feeder
// when the system lets it (otherwise it stays at normal priority, and the
// summary says so). The sender thread keeps the normal priority it has in a
// host.
bool tryRealTimePriority()
{
    sched_param parameters{};
    parameters.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &parameters) == 0;
}

Figures measure(int rate)
{
    Figures f;
    f.rate = rate;
    f.blockPeriodMs = hostBlockFrames * 1000.0 / rate;
    f.floorMs = f.blockPeriodMs + pollMs;

    VeskOrluneAudioProcessor processor;
    VeskOrluneAudioProcessorTestAccess access(processor);
    processor.prepareToPlay(rate, hostBlockFrames);
    processor.setRoomCode("latency");
    processor.startStreaming();
    listener->follow(access.socketPort());
    // The idle sender polls every 50 ms; give it time for the session's first
    // pass on the still empty ring, so that nothing is dropped as backlog.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));

    const auto blocks = static_cast<size_t>(std::ceil(secondsPerRate * rate / hostBlockFrames));
    std::vector<Clock::time_point> delivered(blocks);
    std::vector<double> lateMs(blocks);

    std::thread feeder(
        [&]
        {
            f.feederRealTime = tryRealTimePriority();
            juce::AudioBuffer<float> block(2, hostBlockFrames);
            juce::MidiBuffer midi;
            const std::chrono::duration<double> period(static_cast<double>(hostBlockFrames) / rate);
            const auto start = Clock::now() + std::chrono::milliseconds(5);
            for (size_t b = 0; b < blocks; ++b)
            {
                const auto due =
                    start + std::chrono::duration_cast<Clock::duration>(period * double(b));
                std::this_thread::sleep_until(due);
                for (int i = 0; i < hostBlockFrames; ++i)
                {
                    const auto k = static_cast<double>(b * hostBlockFrames + size_t(i));
                    const auto value = static_cast<float>(k * frameIndexScale);
                    block.setSample(0, i, value);
                    block.setSample(1, i, value);
                }
                delivered[b] = Clock::now();
                lateMs[b] = millisecondsBetween(due, delivered[b]);
                processor.processBlock(block, midi);
            }
        });
    feeder.join();

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    listener->settle();
    processor.stopStreaming(); // once this returns no pass runs and nothing more is sent
    const juce::int64 made = access.packetSequence();
    const juce::int64 leftInRing = access.numReady();
    const int inputFramesPerPacket = access.inputFramesPerPacket();
    auto arrivals = listener->takeArrivals();
    processor.releaseResources();

    const auto consumed = consumedBefore(rate, inputFramesPerPacket, made);
    const auto fed = static_cast<juce::int64>(blocks) * hostBlockFrames;
    f.discarded = fed - consumed.back() - leftInRing;
    f.datagrams = made;

    std::map<juce::int64, vesk::bench::RelayPortListener::Arrival> bySequence;
    for (const auto& a : arrivals)
        bySequence.emplace(a.sequence, a);
    f.lost = made - static_cast<juce::int64>(bySequence.size());

    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(fed));
    juce::int64 leftBehind = 0, counted = 0;
    for (const auto& [m, a] : bySequence)
    {
        if (m < warmUpDatagrams || m >= made)
            continue;
        const juce::int64 first = f.discarded + consumed[size_t(m)];
        const juce::int64 last = f.discarded + consumed[size_t(m) + 1]; // one past
        const double startsAt = a.firstLeftSample / frameIndexScale;
        f.mappingCheckMaxFrames =
            std::max(f.mappingCheckMaxFrames, std::abs(startsAt - static_cast<double>(first)));
        const auto approximate =
            static_cast<juce::int64>(std::llround(double(m) * 256.0 * rate / 48000.0));
        f.approximationMaxFrames =
            std::max(f.approximationMaxFrames, int(std::llabs(approximate - consumed[size_t(m)])));

        for (juce::int64 k = first; k < last; ++k)
        {
            const auto b = static_cast<size_t>(k / hostBlockFrames);
            if (b >= blocks)
                break;
            latencies.push_back(millisecondsBetween(delivered[b], a.time));
            ++counted;
            if (b + 1 < blocks && a.time > delivered[b + 1])
                ++leftBehind;
        }
    }

    std::vector<double> gaps;
    for (auto it = bySequence.begin(); it != bySequence.end(); ++it)
    {
        const auto next = std::next(it);
        if (next == bySequence.end())
            break;
        if (it->first >= warmUpDatagrams)
            gaps.push_back(millisecondsBetween(it->second.time, next->second.time));
    }

    using vesk::bench::percentile;
    f.latencyP50 = percentile(latencies, 0.50);
    f.latencyP99 = percentile(latencies, 0.99);
    f.latencyMax = percentile(latencies, 1.0);
    f.gapP50 = percentile(gaps, 0.50);
    f.gapP99 = percentile(gaps, 0.99);
    f.gapMax = percentile(gaps, 1.0);
    f.leftBehindShare = counted > 0 ? double(leftBehind) / double(counted) : 0.0;
    f.feederLateP99 = percentile(lateMs, 0.99);
    f.feederLateMax = percentile(lateMs, 1.0);
    f.load = vesk::bench::loadAverage();
    return f;
}

void streamLatency(benchmark::State& state)
{
    const auto rate = static_cast<int>(state.range(0));
    Figures f;
    for (auto _ : state)
    {
        f = measure(rate);
        state.SetIterationTime(secondsPerRate);
    }
    results.push_back(f);

    state.counters["floor_ms"] = f.floorMs;
    state.counters["p50_ms"] = f.latencyP50;
    state.counters["p99_ms"] = f.latencyP99;
    state.counters["max_ms"] = f.latencyMax;
    state.counters["p99_over_floor_ms"] = f.latencyP99 - f.floorMs;
    state.counters["gap_p50_ms"] = f.gapP50;
    state.counters["gap_p99_ms"] = f.gapP99;
    state.counters["gap_max_ms"] = f.gapMax;
    state.counters["lost"] = static_cast<double>(f.lost);
}

void printSummary()
{
    std::printf("\nend-to-end latency, 512-frame host blocks fed in real time (%.0f s per rate, "
                "first %d datagrams left out)\n",
                secondsPerRate, warmUpDatagrams);
    for (const auto& f : results)
    {
        std::printf("\n%d Hz  (load average at the end: %s)\n", f.rate, f.load.c_str());
        std::printf("  floor: block period %.2f ms + one %.0f ms poll = %.2f ms\n", f.blockPeriodMs,
                    pollMs, f.floorMs);
        std::printf("  latency per frame:  p50 %.2f ms   p99 %.2f ms   max %.2f ms   "
                    "p99 - floor %+.2f ms (goal <= +1 ms)\n",
                    f.latencyP50, f.latencyP99, f.latencyMax, f.latencyP99 - f.floorMs);
        std::printf("  frames that waited for the next host block: %.1f %%\n",
                    100.0 * f.leftBehindShare);
        std::printf("  inter-arrival:      median %.2f ms   p99 %.2f ms   max %.2f ms\n", f.gapP50,
                    f.gapP99, f.gapMax);
        std::printf("  datagrams %lld, lost %lld, frames dropped as backlog at the start %lld\n",
                    static_cast<long long>(f.datagrams), static_cast<long long>(f.lost),
                    static_cast<long long>(f.discarded));
        std::printf("  feeder lateness (sleep_until, %s priority): p99 %.3f ms, max %.3f ms\n",
                    f.feederRealTime ? "real-time" : "normal", f.feederLateP99, f.feederLateMax);
        std::printf("  frame mapping: largest distance between a datagram's first sample and "
                    "its mapped frame %.2f frames; position x rate / 48000 is off by at most %d\n",
                    f.mappingCheckMaxFrames, f.approximationMaxFrames);
    }
}

// Our one flag, --seconds=N, is taken out before Google Benchmark sees the rest.
void takeSecondsFlag(int& argc, char** argv)
{
    int kept = 1;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            secondsPerRate = std::clamp(std::atof(argv[i] + 10), 1.0, 300.0);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
}
} // namespace

int main(int argc, char** argv)
{
    const juce::ScopedJuceInitialiser_GUI juceRuntime;
    takeSecondsFlag(argc, argv);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    vesk::bench::requireLoopbackRelay();
    vesk::bench::RelayPortListener relayPort(true);
    listener = &relayPort;

    benchmark::RegisterBenchmark("StreamLatency", streamLatency)
        ->Arg(48000)
        ->Arg(44100)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    printSummary();
    benchmark::Shutdown();
    return 0;
}
