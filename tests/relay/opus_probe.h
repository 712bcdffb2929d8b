// Listening to the relay's Opus tiers as the player does: parse the binary Opus message,
// decode it with libopus (concealing missing frames), and measure what comes out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct OpusDecoder;

namespace orlune::relay::test
{

struct OpusMessageView
{
    std::int64_t sequence = 0;
    std::int64_t samplePosition = 0;
    int frameSamples = 0;
    std::vector<std::string> packets; // empty: the frame is missing
};

// None if the bytes are not a well-formed Opus message (trailing bytes included).
std::optional<OpusMessageView> parseOpusMessage(std::string_view bytes);

// One decoder for one tier's stream, stereo at 48 kHz.
class OpusProbe
{
public:
    OpusProbe();
    ~OpusProbe();
    OpusProbe(const OpusProbe&) = delete;
    OpusProbe& operator=(const OpusProbe&) = delete;

    // Decodes every frame of the message, appending interleaved stereo samples; a missing
    // frame is concealed by the decoder. False if the message is malformed or a packet fails.
    bool decode(std::string_view message);

    std::vector<float> output;
    int frames = 0;
    int concealed = 0;
    // False: a missing frame is silence, the decoder never told (as in a browser's WebCodecs
    // decoder, which cannot conceal).
    bool concealMissing = true;

private:
    ::OpusDecoder* decoder_ = nullptr;
};

// 1 kHz-style tones and measurements on interleaved stereo signals.
std::vector<float> stereoTone(double frequency, double amplitude, std::size_t frames,
                              std::size_t startFrame = 0);
// Frequency of one channel by interpolated zero crossings.
double toneFrequency(const std::vector<float>& stereo, int channel, std::size_t fromFrame,
                     std::size_t frames);
double rms(const std::vector<float>& stereo, int channel, std::size_t fromFrame,
           std::size_t frames);
// The lag (in frames, 0..maxLag) at which `output` best matches `input` (left channel).
int bestLag(const std::vector<float>& input, const std::vector<float>& output, int maxLag);
// Error-to-signal ratio in dB of output (delayed by `lag`) against input, both channels.
double errorToSignalDb(const std::vector<float>& input, const std::vector<float>& output, int lag,
                       std::size_t fromFrame, std::size_t frames);

} // namespace orlune::relay::test
