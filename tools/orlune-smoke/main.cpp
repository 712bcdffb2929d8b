// orlune-smoke [bundle]
//
// Loads a Vesk Orlune VST3 bundle (default ~/.vst3/Vesk Orlune.vst3) the way a
// host does, prints its identity and the result of processing one stereo
// block of 512 frames of a 1 kHz sine at 48 kHz. Exits with 0 only when the
// module loads, offers an audio component, instantiates, and hands the block
// back bit for bit.

#include "PluginHost.h"
#include "Vst3FactoryReader.h"

#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>

namespace
{
constexpr double sampleRate = 48000.0;
constexpr int blockFrames = 512;
constexpr double sineFrequency = 1000.0;
constexpr float sineAmplitude = 0.5f;

std::string quoted(const std::string& text)
{
    std::ostringstream out;
    out << std::quoted(text);
    return out.str();
}

std::string quoted(const juce::String& text)
{
    return quoted(text.toStdString());
}

std::string joined(const std::vector<std::string>& items)
{
    std::string text;
    for (const auto& item : items)
        text += (text.empty() ? "" : ", ") + quoted(item);
    return text.empty() ? "(none)" : text;
}

std::string describeFlags(std::int32_t flags)
{
    using namespace orlune::host;
    std::string names;
    const auto add = [&](std::int32_t bit, const char* name)
    {
        if ((flags & bit) != 0)
            names += (names.empty() ? "" : ", ") + std::string(name);
    };
    add(factoryFlags::classesDiscardable, "classes discardable");
    add(factoryFlags::licenseCheck, "license check");
    add(factoryFlags::componentNonDiscardable, "component non-discardable");
    add(factoryFlags::unicode, "unicode");
    return std::to_string(flags) + (names.empty() ? "" : " (" + names + ")");
}

std::string describeSet(const juce::AudioChannelSet& set)
{
    if (set.isDisabled())
        return "disabled";
    return set.getDescription().toStdString() + ", " + std::to_string(set.size()) + " ch";
}

bool printFactory(const juce::File& bundle)
{
    std::string error;
    const auto factory =
        orlune::host::readVst3Factory(bundle.getFullPathName().toStdString(), error);
    if (!factory)
    {
        std::cout << "factory: cannot read: " << error << "\n";
        return false;
    }

    std::cout << "factory: vendor " << quoted(factory->vendor) << ", URL " << quoted(factory->url)
              << ", e-mail " << quoted(factory->email) << ", flags "
              << describeFlags(factory->flags) << "\n";

    for (size_t i = 0; i < factory->classes.size(); ++i)
    {
        const auto& c = factory->classes[i];
        const auto words = orlune::host::classIdWords(c.classId);
        std::cout << "class " << i << ": " << quoted(c.category) << "\n"
                  << "  class ID " << orlune::host::formatClassIdWords(words) << "\n"
                  << "    (Windows/COM bytes "
                  << orlune::host::formatBytes(orlune::host::comOrderBytes(words)) << ")\n"
                  << "  name " << quoted(c.name) << ", vendor " << quoted(c.vendor) << ", version "
                  << quoted(c.version) << "\n"
                  << "  sub-categories " << joined(c.subCategories) << ", class flags "
                  << c.classFlags << ", cardinality " << c.cardinality << ", SDK "
                  << quoted(c.sdkVersion) << "\n";
    }

    if (orlune::host::findClass(*factory, "Audio Module Class") == nullptr)
    {
        std::cout << "factory: no \"Audio Module Class\" offered\n";
        return false;
    }
    return true;
}

bool printInstanceAndProcess(const juce::File& bundle)
{
    juce::String error;
    auto loaded = orlune::host::loadVst3Plugin(bundle, sampleRate, blockFrames, error);
    if (loaded.instance == nullptr)
    {
        std::cout << "plug-in: cannot load: " << error << "\n";
        return false;
    }

    auto& plugin = *loaded.instance;
    const auto& d = loaded.description;
    std::cout << "plug-in: " << quoted(plugin.getName()) << " by " << quoted(d.manufacturerName)
              << ", version " << quoted(d.version) << ", format " << d.pluginFormatName
              << ", category " << quoted(d.category) << "\n";

    for (const auto isInput : {true, false})
        for (int i = 0; i < plugin.getBusCount(isInput); ++i)
        {
            const auto* bus = plugin.getBus(isInput, i);
            std::cout << (isInput ? "input bus " : "output bus ") << i << ": "
                      << quoted(bus->getName()) << ", " << describeSet(bus->getCurrentLayout())
                      << "\n";
        }

    std::cout << "latency: " << plugin.getLatencySamples() << " samples, tail "
              << plugin.getTailLengthSeconds() << " s\n"
              << "MIDI: in " << (plugin.acceptsMidi() ? "yes" : "no") << ", out "
              << (plugin.producesMidi() ? "yes" : "no") << "\n";

    const auto& parameters = plugin.getParameters();
    std::cout << "parameters: " << parameters.size() << "\n";
    for (auto* p : parameters)
        std::cout << "  " << quoted(p->getName(1024)) << ": default " << p->getDefaultValue()
                  << ", value " << p->getValue() << (p->isBoolean() ? ", boolean" : "") << "\n";

    plugin.prepareToPlay(sampleRate, blockFrames);
    const auto input =
        orlune::host::makeSine(2, blockFrames, sampleRate, sineFrequency, sineAmplitude);
    const auto result = orlune::host::processAndCompare(plugin, input);
    plugin.releaseResources();

    std::cout << "block: stereo, " << blockFrames << " frames, " << sineFrequency << " Hz sine at "
              << sampleRate << " Hz\n"
              << "output identical to input: " << (result.identical ? "yes" : "no") << "\n"
              << std::fixed << std::setprecision(6) << "RMS: input " << result.inputRms
              << ", output " << result.outputRms << "\n"
              << std::defaultfloat;
    return result.identical;
}
} // namespace

int main(int argc, char** argv)
{
    juce::File bundle = orlune::host::defaultInstalledBundle();

    if (argc > 2)
    {
        std::cerr << "usage: orlune-smoke [path/to/Vesk Orlune.vst3]\n";
        return 2;
    }
    if (argc == 2)
    {
        const std::string arg = argv[1];
        if (arg == "-h" || arg == "--help")
        {
            std::cout << "usage: orlune-smoke [path/to/Vesk Orlune.vst3]\n"
                         "Loads the bundle (default ~/.vst3/Vesk Orlune.vst3) as a host would,\n"
                         "prints its identity and checks that a block passes through unchanged.\n";
            return 0;
        }
        bundle = juce::File::getCurrentWorkingDirectory().getChildFile(arg);
    }

    std::cout << "bundle: " << bundle.getFullPathName() << "\n";
    if (!bundle.isDirectory())
    {
        std::cout << "result: FAILED (no bundle there)\n";
        return 1;
    }

    bool ok = printFactory(bundle);
    {
        const juce::ScopedJuceInitialiser_GUI juce;
        ok = printInstanceAndProcess(bundle) && ok;
    }

    std::cout << "result: " << (ok ? "OK" : "FAILED") << "\n";
    return ok ? 0 : 1;
}
