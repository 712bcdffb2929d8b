#pragma once

#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>
#include <cstdint>

namespace vesk
{
// Sum of squares of one channel, in double precision, strictly in sample
// order. The order is part of the contract (the level must come out the same
// to the last bit), so the additions form one dependency chain; only the
// conversions and squares can overlap.
inline double addSquaresInOrder(double sum, const float* samples, int numSamples) noexcept
{
    int i = 0;
    for (; i + 4 <= numSamples; i += 4)
    {
        const double a = samples[i], b = samples[i + 1], c = samples[i + 2], d = samples[i + 3];
        const double aa = a * a, bb = b * b, cc = c * c, dd = d * d;
        sum += aa;
        sum += bb;
        sum += cc;
        sum += dd;
    }
    for (; i < numSamples; ++i)
    {
        const double s = samples[i];
        sum += s * s;
    }
    return sum;
}

// RMS level of a block over all its channels and frames: channel by channel,
// frame by frame, in double precision, rounded once to float at the end.
// The sample count is formed in 64 bits so no block size can make it wrap.
inline float computeBlockLevel(const juce::AudioBuffer<float>& block) noexcept
{
    const int channels = block.getNumChannels();
    const int frames = block.getNumSamples();
    if (channels <= 0 || frames <= 0)
        return 0.0f;

    double sum = 0.0;
    for (int ch = 0; ch < channels; ++ch)
        sum = addSquaresInOrder(sum, block.getReadPointer(ch), frames);

    const auto count = static_cast<std::int64_t>(channels) * static_cast<std::int64_t>(frames);
    const double mean = sum / static_cast<double>(count);
    return static_cast<float>(std::sqrt(mean));
}
} // namespace vesk
