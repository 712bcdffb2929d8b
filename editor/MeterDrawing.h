#pragma once

#include <juce_core/juce_core.h>

// The value rules behind the window's meters and buffer bar, kept apart from
// the drawing so they can be checked on their own.
namespace vesk::meter
{
// The share of a meter's track that a level fills: the level clamped to
// [0, 1]. A NaN or minus-infinity level fills nothing; plus infinity fills the
// whole track like any other level above 1.
float barFraction(float level) noexcept;

// The text shown over a meter: the clamped level in decibels with one decimal
// place ("-6.0 dB", "0.0 dB"), or "-inf dB" at or below -99 dB, at or below a
// level of 0.00001, and for a level that fills nothing.
juce::String levelText(float level);

// The share of the buffer bar that a number of milliseconds fills: the full bar
// stands for 1000 ms or more.
float bufferFraction(int bufferedMs) noexcept;
} // namespace vesk::meter
