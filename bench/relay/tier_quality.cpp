// What each Opus tier does to the sound, measured on the decoded output against the input:
// the relay's rooms encode the signals as they would for listeners, libopus decodes them as
// the player does, and the output is compared after compensating the codec's delay.
//
//   orlune_relay_tier_quality        prints one line per tier (a few seconds)
//
// Figures: a 1 kHz tone's frequency and level; the error-to-signal ratio of a multi-tone
// signal and of white noise; the codec's delay (decoder output behind the input); and the
// relay's packing delay (a sample's wait for its message to be complete, at most).
#include "opus_probe.h"
#include "rooms/rooms.h"
#include "test_support.h"

#include <cmath>
#include <cstdio>
#include <random>

using namespace orlune::relay;
using namespace std::chrono_literals;

namespace
{

struct Sink : ListenerSink
{
    std::vector<SharedFrame> audio;
    void deliverAudio(const SharedFrame& m) override { audio.push_back(m); }
    void deliverText(const SharedBytes&) override {}
};

// Runs `signal` (interleaved stereo, a whole number of datagrams) through a room on `tier`
// and returns the decoded output.
std::vector<float> roundTrip(Tier tier, const std::vector<float>& signal)
{
    Metrics metrics;
    RoomRegistry rooms(RoomLimits{}, metrics);
    Sink sink;
    rooms.addListener("q", &sink, TimePoint{} + 1000s, {tier, true});
    TimePoint now = TimePoint{} + 1000s;
    const Endpoint from(boost::asio::ip::make_address("127.0.0.1"), 40000);
    for (std::size_t d = 0; (d + 1) * 512 <= signal.size(); ++d)
    {
        const auto seq = static_cast<std::int64_t>(d);
        now += 5333us;
        test::offerDatagram(rooms, "q", seq, seq * 256, signal.data() + d * 512, from, now);
    }
    test::OpusProbe probe;
    for (const auto& m : sink.audio)
        probe.decode(m.payload());
    return probe.output;
}

// Six tones from 110 Hz to 12.5 kHz; `wide`: the odd ones in opposite phase on the right.
std::vector<float> multiTone(std::size_t frames, bool wide)
{
    const double freqs[] = {110, 440, 1250, 3150, 7000, 12500};
    std::vector<float> out(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
        for (std::size_t k = 0; k < 6; ++k)
        {
            const double v =
                0.12 * std::sin(2 * 3.14159265358979 * freqs[k] * static_cast<double>(i) / 48000 +
                                static_cast<double>(k));
            out[2 * i] += static_cast<float>(v);
            out[2 * i + 1] += static_cast<float>(wide && k % 2 ? -v : v);
        }
    return out;
}

std::vector<float> noise(std::size_t frames)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    std::vector<float> out(frames * 2);
    for (float& v : out)
        v = u(rng);
    return out;
}

} // namespace

int main()
{
    constexpr std::size_t kFrames = 256 * 750; // 4 s
    const auto tone = test::stereoTone(1000, 0.5, kFrames);
    const auto tones = multiTone(kFrames, false);
    const auto wideTones = multiTone(kFrames, true);
    const auto white = noise(kFrames);
    std::printf("%-9s %10s %9s %15s %15s %10s %9s %11s\n", "tier", "1kHz (Hz)", "level dB",
                "tones ESR L=R", "tones ESR wide", "noise ESR", "codec ms", "packing ms");
    for (Tier tier : {Tier::Low, Tier::Standard, Tier::High})
    {
        // The delay from white noise, where only the true lag correlates (a tone repeats).
        const auto outNoise = roundTrip(tier, white);
        const int lag = test::bestLag(white, outNoise, 960);
        const auto out = roundTrip(tier, tone);
        const std::size_t from = 9600;
        const std::size_t frames = out.size() / 2 - from - 2000;
        std::vector<float> aligned(out.begin() + 2 * lag, out.end());
        const double freq = test::toneFrequency(aligned, 0, from, frames);
        const double level =
            20 * std::log10(test::rms(aligned, 0, from, frames) / test::rms(tone, 0, from, frames));
        const auto outTones = roundTrip(tier, tones);
        const double esrTones = test::errorToSignalDb(tones, outTones, lag, from, frames);
        const double esrWide =
            test::errorToSignalDb(wideTones, roundTrip(tier, wideTones), lag, from, frames);
        const double esrNoise = test::errorToSignalDb(white, outNoise, lag, from, frames);
        // A sample waits for the rest of its frame and of its message: at most one message,
        // less the last datagram that completes it.
        const TierProfile& profile = tierProfile(tier);
        const double packing = profile.frameSamples * profile.framesPerMessage / 48.0;
        std::printf("%-9s %10.2f %9.2f %12.1f dB %12.1f dB %7.1f dB %9.2f %11.1f\n",
                    std::string(profile.name).c_str(), freq, level, esrTones, esrWide, esrNoise,
                    lag / 48.0, packing);
    }
    return 0;
}
