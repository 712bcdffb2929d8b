#pragma once

#include "VeskOrluneAudioProcessor.h"

// Placeholder window until the real editor lands.
class VeskOrluneAudioProcessorEditor : public juce::AudioProcessorEditor
{
public:
    explicit VeskOrluneAudioProcessorEditor(VeskOrluneAudioProcessor& p)
        : juce::AudioProcessorEditor(p)
    {
        setSize(560, 610);
    }

    void paint(juce::Graphics& g) override { g.fillAll(juce::Colour(0xff04050d)); }
};
