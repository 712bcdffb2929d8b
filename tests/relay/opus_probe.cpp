#include "opus_probe.h"

#include <opus.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orlune::relay::test
{
namespace
{

constexpr double kPi = 3.14159265358979323846;

std::uint64_t readLe(std::string_view b, std::size_t at, int bytes)
{
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(b[at + static_cast<std::size_t>(i)]);
    return v;
}

} // namespace

std::optional<OpusMessageView> parseOpusMessage(std::string_view b)
{
    if (b.size() < 22)
        return std::nullopt;
    OpusMessageView m;
    m.sequence = static_cast<std::int64_t>(readLe(b, 0, 8));
    m.samplePosition = static_cast<std::int64_t>(readLe(b, 8, 8));
    m.frameSamples = static_cast<int>(readLe(b, 16, 2));
    const int count = static_cast<unsigned char>(b[18]);
    if (count == 0 || b[19] != 0)
        return std::nullopt;
    std::size_t at = 20;
    for (int k = 0; k < count; ++k)
    {
        if (at + 2 > b.size())
            return std::nullopt;
        const auto length = static_cast<std::size_t>(readLe(b, at, 2));
        at += 2;
        if (at + length > b.size())
            return std::nullopt;
        m.packets.emplace_back(b.substr(at, length));
        at += length;
    }
    if (at != b.size())
        return std::nullopt;
    return m;
}

OpusProbe::OpusProbe()
{
    int error = OPUS_OK;
    decoder_ = opus_decoder_create(48000, 2, &error);
    if (error != OPUS_OK)
        throw std::runtime_error("opus decoder");
}

OpusProbe::~OpusProbe()
{
    opus_decoder_destroy(decoder_);
}

bool OpusProbe::decode(std::string_view message)
{
    const auto m = parseOpusMessage(message);
    if (!m)
        return false;
    for (const std::string& packet : m->packets)
    {
        const std::size_t at = output.size();
        output.resize(at + static_cast<std::size_t>(m->frameSamples) * 2);
        if (packet.empty() && !concealMissing)
        {
            std::fill(output.begin() + static_cast<long>(at), output.end(), 0.0f);
            ++frames;
            ++concealed;
            continue;
        }
        const auto* data =
            packet.empty() ? nullptr : reinterpret_cast<const unsigned char*>(packet.data());
        const int n = opus_decode_float(decoder_, data, static_cast<opus_int32>(packet.size()),
                                        output.data() + at, m->frameSamples, 0);
        if (n != m->frameSamples)
            return false;
        ++frames;
        if (packet.empty())
            ++concealed;
    }
    return true;
}

std::vector<float> stereoTone(double frequency, double amplitude, std::size_t frames,
                              std::size_t startFrame)
{
    std::vector<float> out(frames * 2);
    for (std::size_t i = 0; i < frames; ++i)
    {
        const double phase = 2 * kPi * frequency * static_cast<double>(startFrame + i) / 48000.0;
        out[2 * i] = static_cast<float>(amplitude * std::sin(phase));
        out[2 * i + 1] = static_cast<float>(0.5 * amplitude * std::sin(phase));
    }
    return out;
}

double toneFrequency(const std::vector<float>& s, int channel, std::size_t from, std::size_t frames)
{
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = from + 1; i < from + frames && 2 * i + 1 < s.size(); ++i)
    {
        const float a = s[2 * (i - 1) + static_cast<std::size_t>(channel)];
        const float b = s[2 * i + static_cast<std::size_t>(channel)];
        if (a < 0 && b >= 0)
        {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0)
                first = at;
            else
                ++crossings;
            last = at;
        }
    }
    if (crossings == 0)
        return 0;
    return crossings * 48000.0 / (last - first);
}

double rms(const std::vector<float>& s, int channel, std::size_t from, std::size_t frames)
{
    double sum = 0;
    for (std::size_t i = from; i < from + frames; ++i)
    {
        const double v = s[2 * i + static_cast<std::size_t>(channel)];
        sum += v * v;
    }
    return std::sqrt(sum / static_cast<double>(frames));
}

int bestLag(const std::vector<float>& input, const std::vector<float>& output, int maxLag)
{
    const std::size_t frames = std::min(input.size(), output.size()) / 2;
    int best = 0;
    double bestScore = -1e300;
    for (int lag = 0; lag <= maxLag; ++lag)
    {
        double score = 0;
        for (std::size_t i = 0; i + static_cast<std::size_t>(lag) < frames; ++i)
            score +=
                static_cast<double>(input[2 * i]) * output[2 * (i + static_cast<std::size_t>(lag))];
        if (score > bestScore)
        {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

double errorToSignalDb(const std::vector<float>& input, const std::vector<float>& output, int lag,
                       std::size_t from, std::size_t frames)
{
    double error = 0;
    double signal = 0;
    for (std::size_t i = from; i < from + frames; ++i)
        for (std::size_t c = 0; c < 2; ++c)
        {
            const double x = input[2 * i + c];
            const double y = output[2 * (i + static_cast<std::size_t>(lag)) + c];
            signal += x * x;
            error += (y - x) * (y - x);
        }
    return 10 * std::log10(error / signal);
}

} // namespace orlune::relay::test
