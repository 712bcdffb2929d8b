#include "MeterDrawing.h"

#include <juce_audio_basics/juce_audio_basics.h>

#include <cmath>

namespace vesk::meter
{
float barFraction(float level) noexcept
{
    // jlimit would pass a NaN straight through (every comparison with it is
    // false) and hand NaN coordinates to the renderer.
    if (std::isnan(level))
        return 0.0f;
    return juce::jlimit(0.0f, 1.0f, level);
}

juce::String levelText(float level)
{
    const float fraction = barFraction(level);
    if (fraction <= 0.00001f)
        return "-inf dB";

    const float decibels = juce::Decibels::gainToDecibels(fraction);
    if (decibels <= -99.0f)
        return "-inf dB";

    return juce::String(decibels, 1) + " dB";
}

float bufferFraction(int bufferedMs) noexcept
{
    return juce::jlimit(0.0f, 1.0f, static_cast<float>(bufferedMs) / 1000.0f);
}
} // namespace vesk::meter
