#pragma once

// Loading a VST3 bundle through JUCE's VST3 host, as a JUCE-based DAW would,
// and a few checks on what it does to audio.
//
// JUCE must be initialised on the calling thread (a ScopedJuceInitialiser_GUI
// that lives while any instance does): that thread is then JUCE's message
// thread, which VST3 requires for creation, prepare and state calls.

#include <juce_audio_processors/juce_audio_processors.h>

#include <memory>

namespace orlune::host
{

// ~/.vst3/Vesk Orlune.vst3, where scripts/install-plugin puts the bundle.
juce::File defaultInstalledBundle();

struct LoadedPlugin
{
    juce::PluginDescription description;
    std::unique_ptr<juce::AudioPluginInstance> instance;
};

// Scans the bundle with juce::VST3PluginFormat (the only format registered)
// and instantiates the one plug-in it describes. Fails, with a reason in
// error, when the bundle does not load or does not describe exactly one
// plug-in.
LoadedPlugin loadVst3Plugin(const juce::File& bundle, double sampleRate, int blockSize,
                            juce::String& error);

// The parameter whose name is exactly `name`, or null.
juce::AudioProcessorParameter* findParameter(juce::AudioProcessor& processor,
                                             const juce::String& name);

// Whether the two buffers have the same shape and the same bits in every
// sample (NaNs and signed zeros included).
bool bitIdentical(const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b);

// Root mean square over every sample of every channel; 0 for an empty buffer.
double rootMeanSquare(const juce::AudioBuffer<float>& buffer);

struct PassThroughResult
{
    bool identical = false;
    double inputRms = 0.0;
    double outputRms = 0.0;
    bool midiProduced = false;
};

// Processes a copy of `input` in place through the (prepared) instance with an
// empty MIDI buffer and compares the result with `input`.
PassThroughResult processAndCompare(juce::AudioProcessor& processor,
                                    const juce::AudioBuffer<float>& input);

// Runs the calling (message) thread's event loop for about `milliseconds`:
// pending messages, timers, and the X and file-descriptor events through which
// a loaded plug-in's window is served. Modal loops, and with them
// MessageManager::runDispatchLoopUntil, are switched off in this build (a
// plug-in must never run one, and the host shares its JUCE settings), so this
// dispatches the way JUCE's own Linux plug-in message thread does.
void dispatchMessagesFor(int milliseconds);

// A sine of `frequency` Hz at `amplitude` on every channel.
juce::AudioBuffer<float> makeSine(int channels, int frames, double sampleRate, double frequency,
                                  float amplitude);

} // namespace orlune::host
