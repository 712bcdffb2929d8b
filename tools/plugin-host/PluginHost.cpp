#include "PluginHost.h"

#include <cmath>
#include <cstring>

#if JUCE_LINUX || JUCE_BSD
namespace juce::detail
{
// Implemented in juce_events (juce_Messaging_linux.cpp); JUCE's Linux plug-in
// client declares and calls it the same way (juce_LinuxMessageThread.h).
bool dispatchNextMessageOnSystemQueue(bool returnIfNoPendingMessages);
} // namespace juce::detail
#endif

namespace orlune::host
{

juce::File defaultInstalledBundle()
{
    return juce::File::getSpecialLocation(juce::File::userHomeDirectory)
        .getChildFile(".vst3")
        .getChildFile("Vesk Orlune.vst3");
}

LoadedPlugin loadVst3Plugin(const juce::File& bundle, double sampleRate, int blockSize,
                            juce::String& error)
{
    LoadedPlugin loaded;
    error.clear();

    if (!bundle.isDirectory())
    {
        error = "no VST3 bundle at " + bundle.getFullPathName();
        return loaded;
    }

    juce::AudioPluginFormatManager formats;
    formats.addDefaultFormats();

    juce::AudioPluginFormat* vst3 = nullptr;
    for (int i = 0; i < formats.getNumFormats(); ++i)
        if (formats.getFormat(i)->getName() == juce::VST3PluginFormat::getFormatName())
            vst3 = formats.getFormat(i);

    if (vst3 == nullptr)
    {
        error = "this host was built without VST3 support";
        return loaded;
    }

    juce::OwnedArray<juce::PluginDescription> found;
    vst3->findAllTypesForFile(found, bundle.getFullPathName());

    if (found.size() != 1)
    {
        error = "expected one plug-in in " + bundle.getFullPathName() + ", found " +
                juce::String(found.size());
        return loaded;
    }

    loaded.description = *found.getFirst();
    loaded.instance =
        formats.createPluginInstance(loaded.description, sampleRate, blockSize, error);

    if (loaded.instance == nullptr && error.isEmpty())
        error = "the plug-in could not be instantiated";

    return loaded;
}

juce::AudioProcessorParameter* findParameter(juce::AudioProcessor& processor,
                                             const juce::String& name)
{
    for (auto* parameter : processor.getParameters())
        if (parameter->getName(1024) == name)
            return parameter;
    return nullptr;
}

bool bitIdentical(const juce::AudioBuffer<float>& a, const juce::AudioBuffer<float>& b)
{
    if (a.getNumChannels() != b.getNumChannels() || a.getNumSamples() != b.getNumSamples())
        return false;

    const auto bytes = static_cast<size_t>(a.getNumSamples()) * sizeof(float);
    for (int channel = 0; channel < a.getNumChannels(); ++channel)
        if (std::memcmp(a.getReadPointer(channel), b.getReadPointer(channel), bytes) != 0)
            return false;
    return true;
}

double rootMeanSquare(const juce::AudioBuffer<float>& buffer)
{
    const auto count = static_cast<double>(buffer.getNumChannels()) * buffer.getNumSamples();
    if (count <= 0.0)
        return 0.0;

    double sum = 0.0;
    for (int channel = 0; channel < buffer.getNumChannels(); ++channel)
    {
        const auto* samples = buffer.getReadPointer(channel);
        for (int i = 0; i < buffer.getNumSamples(); ++i)
            sum += static_cast<double>(samples[i]) * samples[i];
    }
    return std::sqrt(sum / count);
}

PassThroughResult processAndCompare(juce::AudioProcessor& processor,
                                    const juce::AudioBuffer<float>& input)
{
    juce::AudioBuffer<float> block;
    block.makeCopyOf(input);
    juce::MidiBuffer midi;

    processor.processBlock(block, midi);

    PassThroughResult result;
    result.identical = bitIdentical(input, block);
    result.inputRms = rootMeanSquare(input);
    result.outputRms = rootMeanSquare(block);
    result.midiProduced = !midi.isEmpty();
    return result;
}

juce::AudioBuffer<float> makeSine(int channels, int frames, double sampleRate, double frequency,
                                  float amplitude)
{
    juce::AudioBuffer<float> buffer(channels, frames);
    const auto step = juce::MathConstants<double>::twoPi * frequency / sampleRate;
    for (int channel = 0; channel < channels; ++channel)
        for (int i = 0; i < frames; ++i)
            buffer.setSample(channel, i, amplitude * static_cast<float>(std::sin(step * i)));
    return buffer;
}

void dispatchMessagesFor(int milliseconds)
{
    const auto end = juce::Time::getMillisecondCounterHiRes() + milliseconds;
    while (juce::Time::getMillisecondCounterHiRes() < end)
    {
#if JUCE_LINUX || JUCE_BSD
        if (!juce::detail::dispatchNextMessageOnSystemQueue(true))
            juce::Thread::sleep(1);
#else
        juce::Thread::sleep(1);
#endif
    }
}

} // namespace orlune::host
