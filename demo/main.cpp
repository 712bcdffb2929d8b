// orlune-stream-demo: streams a test tone through the plug-in's processor, headless.
//
// Creates the processor, prepares it at a host rate (44.1 kHz unless told
// otherwise, so the stream goes through the conversion to 48 kHz), sets the
// room, starts a session and feeds a sine in 512-frame blocks in real time.
// Unless told --no-receive, it also listens on 127.0.0.1:54321 itself and ends
// with a summary of what arrived: datagrams, gaps, duplicates, datagram rate,
// and the decoded audio's level and frequency. With --no-receive it only
// sends, which is how it feeds a relay running on this machine.

#include "RelayConfig.h"
#include "StreamSummary.h"
#include "VeskOrluneAudioProcessor.h"

#include <juce_events/juce_events.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

constexpr int blockFrames = 512;
constexpr double realTimeDatagramsPerSecond = 48000.0 / 256.0;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void requestStop(int)
{
    stopRequested.store(true);
}

struct Options
{
    double rate = 44100.0;
    juce::String room = "demo";
    double seconds = 5.0; // 0: until SIGINT or SIGTERM
    double toneHz = 1000.0;
    double levelDbfs = -12.0; // the sine's peak
    bool receive = true;
    juce::String httpLink;
};

const char* const usage =
    "usage: orlune-stream-demo [options]\n"
    "  --rate HZ          host sample rate to prepare the processor at (default 44100)\n"
    "  --room CODE        room code (default demo)\n"
    "  --seconds N        how long to stream; 0 streams until Ctrl-C (default 5)\n"
    "  --tone HZ          frequency of the test sine (default 1000)\n"
    "  --level DBFS       peak level of the sine (default -12)\n"
    "  --receive          listen on 127.0.0.1:54321 and summarise what arrives (default)\n"
    "  --no-receive       only send, e.g. to a relay that holds 127.0.0.1:54321\n"
    "  --http-link URL    also print the room's link under this local base,\n"
    "                     e.g. http://127.0.0.1:8080/orlune/\n";

bool parseNumber(const std::string& text, double& value)
{
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(value);
}

// Accepts "--name value" and "--name=value".
std::optional<Options> parseOptions(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i)
    {
        std::string name = argv[i], value;
        const auto equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue)
        {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }

        if (name == "--receive" || name == "--no-receive")
        {
            if (inlineValue)
                return std::nullopt;
            o.receive = name == "--receive";
            continue;
        }
        if (name == "--help" || name == "-h")
            return std::nullopt;
        static const char* const valued[] = {"--rate", "--room",  "--seconds",
                                             "--tone", "--level", "--http-link"};
        if (std::find(std::begin(valued), std::end(valued), name) == std::end(valued))
        {
            std::fprintf(stderr, "unknown option: %s\n", name.c_str());
            return std::nullopt;
        }

        if (!inlineValue)
        {
            if (i + 1 >= argc)
            {
                std::fprintf(stderr, "%s needs a value\n", name.c_str());
                return std::nullopt;
            }
            value = argv[++i];
        }

        double number = 0.0;
        const bool isNumber = parseNumber(value, number);
        if (name == "--rate" && isNumber && number >= 8000.0 && number <= 384000.0)
            o.rate = number;
        else if (name == "--seconds" && isNumber && number >= 0.0)
            o.seconds = number;
        else if (name == "--tone" && isNumber && number > 0.0)
            o.toneHz = number;
        else if (name == "--level" && isNumber && number <= 0.0)
            o.levelDbfs = number;
        else if (name == "--room")
            o.room = juce::String::fromUTF8(value.c_str());
        else if (name == "--http-link" && !value.empty())
            o.httpLink = juce::String::fromUTF8(value.c_str());
        else
        {
            std::fprintf(stderr, "bad option or value: %s %s\n", name.c_str(), value.c_str());
            return std::nullopt;
        }
    }
    if (o.toneHz >= o.rate / 2.0)
    {
        std::fprintf(stderr, "--tone must stay below half the rate\n");
        return std::nullopt;
    }
    return o;
}

// Holds 127.0.0.1:54321 and hands every datagram that arrives to the summary.
// The port is bound with address reuse off (juce::DatagramSocket turns it on),
// so the bind fails while a relay or anyone else holds the port, rather than
// sharing it and silently taking the datagrams meant for them.
class RelayPortReceiver
{
public:
    explicit RelayPortReceiver(vesk::demo::StreamSummary& summaryToFill)
        : socket(false, juce::SocketOptions{}.withReceiveBufferSize(1 << 20))
        , summary(summaryToFill)
    {
    }

    ~RelayPortReceiver() { stop(); }

    bool bind(std::chrono::seconds patience)
    {
        socket.setEnablePortReuse(false);
        const auto deadline = Clock::now() + patience;
        while (!socket.bindToPort(VeskOrluneAudioProcessor::relayPort, "127.0.0.1"))
        {
            if (Clock::now() > deadline || stopRequested.load())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reader = std::thread([this] { readLoop(); });
        return true;
    }

    // After this the summary is ours alone.
    void stop()
    {
        readerShouldStop = true;
        if (reader.joinable())
            reader.join();
    }

private:
    void readLoop()
    {
        std::vector<char> buffer(70000);
        const auto start = Clock::now();
        while (!readerShouldStop)
        {
            if (socket.waitUntilReady(true, 20) != 1)
                continue;
            juce::String address;
            int port = 0;
            const int size =
                socket.read(buffer.data(), static_cast<int>(buffer.size()), false, address, port);
            if (size > 0)
                summary.add(buffer.data(), static_cast<size_t>(size),
                            std::chrono::duration<double>(Clock::now() - start).count());
        }
    }

    juce::DatagramSocket socket;
    vesk::demo::StreamSummary& summary;
    std::thread reader;
    std::atomic<bool> readerShouldStop{false};
};

juce::String withTrailingSlash(const juce::String& base)
{
    return base.endsWithChar('/') ? base : base + "/";
}

std::string dbfs(double value)
{
    char text[32];
    if (std::isinf(value))
        return "-inf";
    std::snprintf(text, sizeof(text), "%.2f", value);
    return text;
}

void printSummary(const vesk::demo::StreamReport& r, double streamedSeconds, const Options& o)
{
    std::printf("\nwhat arrived on 127.0.0.1:54321\n");
    if (r.datagrams == 0)
    {
        std::printf("  nothing%s\n", r.ignored > 0 ? " for this room" : "");
        return;
    }
    std::printf("  datagrams   %lld in %.1f s, sequence %lld to %lld\n",
                static_cast<long long>(r.datagrams), streamedSeconds,
                static_cast<long long>(r.firstSequence), static_cast<long long>(r.lastSequence));
    std::printf("  gaps        %lld (%lld datagrams missing), duplicates %lld, late %lld\n",
                static_cast<long long>(r.gaps), static_cast<long long>(r.missing),
                static_cast<long long>(r.duplicates), static_cast<long long>(r.lateArrivals));
    std::printf("  rate        %.1f datagrams/s (real time: %.1f)\n", r.datagramsPerSecond,
                realTimeDatagramsPerSecond);
    std::printf("  level       %s dBFS RMS, peak %s dBFS (sent: peak %s dBFS, RMS %s dBFS)\n",
                dbfs(r.rmsDbfs).c_str(), dbfs(r.peakDbfs).c_str(), dbfs(o.levelDbfs).c_str(),
                dbfs(o.levelDbfs + 20.0 * std::log10(std::sqrt(0.5))).c_str());
    if (r.frequencyHz > 0.0)
        std::printf("  frequency   %.1f Hz by zero crossings (sent: %.1f Hz)\n", r.frequencyHz,
                    o.toneHz);
    else
        std::printf("  frequency   too few zero crossings to tell\n");
    if (r.ignored > 0)
        std::printf("  ignored     %lld datagrams of other rooms or malformed\n",
                    static_cast<long long>(r.ignored));
}
} // namespace

int main(int argc, char** argv)
{
    const auto options = parseOptions(argc, argv);
    if (!options)
    {
        std::fputs(usage, stderr);
        return 2;
    }
    const Options& o = *options;

    if (juce::String(VeskOrluneAudioProcessor::getRelayAddress()) != "127.0.0.1")
    {
        std::fprintf(stderr, "this build sends to %s; the demo only ever sends to 127.0.0.1\n",
                     VeskOrluneAudioProcessor::getRelayAddress());
        return 2;
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    const juce::ScopedJuceInitialiser_GUI juceRuntime;
    VeskOrluneAudioProcessor processor;
    processor.setRoomCode(o.room);
    const auto room = processor.getRoomCode();

    vesk::demo::StreamSummary summary(room);
    RelayPortReceiver receiver(summary);
    if (o.receive && !receiver.bind(std::chrono::seconds(10)))
    {
        std::fprintf(stderr,
                     "127.0.0.1:%d is taken (a relay?); run with --no-receive to feed "
                     "it instead\n",
                     VeskOrluneAudioProcessor::relayPort);
        return 2;
    }

    std::printf("Vesk Orlune stream demo\n");
    std::printf("  host rate   %.0f Hz, %d-frame blocks, %.1f Hz sine peaking at %.1f dBFS on "
                "both channels\n",
                o.rate, blockFrames, o.toneHz, o.levelDbfs);
    std::printf("  room        %s%s\n", room.toRawUTF8(),
                room == o.room ? "" : (" (from \"" + o.room + "\")").toRawUTF8());
    std::printf("  link        %s%s\n", VESK_ORLUNE_LINK_BASE_URL, room.toRawUTF8());
    if (o.httpLink.isNotEmpty())
        std::printf("  local link  %s%s\n", withTrailingSlash(o.httpLink).toRawUTF8(),
                    room.toRawUTF8());
    if (o.seconds > 0.0)
        std::printf("  streaming to 127.0.0.1:%d for %.1f s (Ctrl-C stops early)\n",
                    VeskOrluneAudioProcessor::relayPort, o.seconds);
    else
        std::printf("  streaming to 127.0.0.1:%d until Ctrl-C\n",
                    VeskOrluneAudioProcessor::relayPort);
    std::fflush(stdout);

    processor.prepareToPlay(o.rate, blockFrames);
    processor.startStreaming();

    // The host's part: blocks of a continuous sine, on time.
    juce::AudioBuffer<float> block(2, blockFrames);
    juce::MidiBuffer midi;
    const double amplitude = std::pow(10.0, o.levelDbfs / 20.0);
    const double phaseStep = 2.0 * juce::MathConstants<double>::pi * o.toneHz / o.rate;
    const std::chrono::duration<double> period(blockFrames / o.rate);
    const auto blocksToSend =
        o.seconds > 0.0 ? static_cast<std::int64_t>(std::ceil(o.seconds * o.rate / blockFrames))
                        : std::int64_t{-1};
    const auto start = Clock::now();
    std::int64_t sent = 0;
    for (; sent != blocksToSend && !stopRequested.load(); ++sent)
    {
        std::this_thread::sleep_until(
            start + std::chrono::duration_cast<Clock::duration>(period * double(sent)));
        for (int i = 0; i < blockFrames; ++i)
        {
            const double phase = std::fmod(phaseStep * double(sent * blockFrames + i),
                                           2.0 * juce::MathConstants<double>::pi);
            const auto value = static_cast<float>(amplitude * std::sin(phase));
            block.setSample(0, i, value);
            block.setSample(1, i, value);
        }
        processor.processBlock(block, midi);
    }
    const double streamedSeconds = static_cast<double>(sent) * blockFrames / o.rate;

    // Let the sender take what is ready, then end the session: once
    // stopStreaming returns nothing more is sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    processor.stopStreaming();
    const auto failedSends = processor.getFailedSendCount();
    processor.releaseResources();

    std::printf("\nstreamed %.1f s of audio, %lld sends failed\n", streamedSeconds,
                static_cast<long long>(failedSends));
    if (!o.receive)
    {
        std::printf("not received here (--no-receive)\n");
        return failedSends == 0 ? 0 : 1;
    }

    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the last datagrams in flight
    receiver.stop();
    const auto report = summary.report();
    printSummary(report, streamedSeconds, o);
    return report.datagrams > 0 && failedSends == 0 ? 0 : 1;
}
