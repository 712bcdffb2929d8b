// The plug-in as a JUCE-based host sees it: loaded from the built bundle with
// juce::VST3PluginFormat, so every answer below crosses the VST3 interfaces
// and the framework's wrapper, exactly as in a DAW.

#include "PluginHost.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <stdexcept>

namespace
{
using Layout = juce::AudioProcessor::BusesLayout;
using Set = juce::AudioChannelSet;

constexpr double sampleRate = 48000.0;
constexpr int maxBlock = 512;

Layout makeLayout(const Set& input, const Set& output)
{
    Layout layout;
    layout.inputBuses.add(input);
    layout.outputBuses.add(output);
    return layout;
}

// Random audio with the values a careless copy or a flush-to-zero would
// change: subnormals, signed zeros, infinities, NaNs and the extremes.
juce::AudioBuffer<float> makeNastyBlock(int channels, int frames, juce::int64 seed)
{
    juce::Random random(seed);
    juce::AudioBuffer<float> buffer(channels, frames);

    const float specials[] = {std::numeric_limits<float>::denorm_min(),
                              -std::numeric_limits<float>::denorm_min(),
                              1.0e-40f,
                              -0.0f,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::lowest(),
                              std::numeric_limits<float>::min()};

    for (int channel = 0; channel < channels; ++channel)
    {
        auto* samples = buffer.getWritePointer(channel);
        for (int i = 0; i < frames; ++i)
            samples[i] = random.nextFloat() * 2.0f - 1.0f;

        for (int i = channel; i < frames; i += 7)
            samples[i] = specials[random.nextInt(static_cast<int>(std::size(specials)))];

        // A NaN with a payload, which arithmetic would not preserve.
        if (frames > 3)
        {
            const std::uint32_t payloadNaN = 0x7FC12345u;
            std::memcpy(&samples[3], &payloadNaN, sizeof(float));
        }
    }
    return buffer;
}

class HostedPlugin : public ::testing::Test
{
protected:
    void SetUp() override
    {
        plugin = load(loaded);
        ASSERT_NE(plugin, nullptr);
    }

    void TearDown() override
    {
        if (plugin != nullptr)
            plugin->releaseResources();
        loaded.instance.reset();
    }

    static juce::AudioPluginInstance* load(orlune::host::LoadedPlugin& into)
    {
        juce::String error;
        into = orlune::host::loadVst3Plugin(juce::File(orlune::test::bundlePath()), sampleRate,
                                            maxBlock, error);
        EXPECT_NE(into.instance, nullptr) << error;
        return into.instance.get();
    }

    static juce::AudioProcessorParameter& bypassOf(juce::AudioProcessor& processor)
    {
        auto* bypass = orlune::host::findParameter(processor, "Bypass");
        if (bypass == nullptr)
            throw std::runtime_error("no Bypass parameter");
        return *bypass;
    }

    // Several blocks of different lengths, each compared bit for bit.
    void expectBlocksPassThrough(int channels)
    {
        juce::int64 seed = 1;
        for (const int frames : {maxBlock, 1, 17, 256, maxBlock})
        {
            SCOPED_TRACE(testing::Message() << channels << " channels, " << frames << " frames");
            const auto input = makeNastyBlock(channels, frames, seed++);
            const auto result = orlune::host::processAndCompare(*plugin, input);
            EXPECT_TRUE(result.identical);
            EXPECT_FALSE(result.midiProduced);
        }
    }

    orlune::host::LoadedPlugin loaded;
    juce::AudioPluginInstance* plugin = nullptr;
};

TEST_F(HostedPlugin, DescribesItselfAsAStereoEffectNamedVeskOrlune)
{
    EXPECT_EQ(plugin->getName(), "Vesk Orlune");

    const auto& d = loaded.description;
    EXPECT_EQ(d.name, "Vesk Orlune");
    EXPECT_EQ(d.manufacturerName, "Caddowin");
    EXPECT_EQ(d.version, "0.1.1");
    EXPECT_EQ(d.pluginFormatName, "VST3");
    EXPECT_EQ(d.category, "Fx");
    EXPECT_FALSE(d.isInstrument);
    EXPECT_EQ(plugin->getTotalNumInputChannels(), 2);
    EXPECT_EQ(plugin->getTotalNumOutputChannels(), 2);
}

TEST_F(HostedPlugin, HasOneStereoInputBusAndOneStereoOutputBusThatCannotBeAddedOrRemoved)
{
    ASSERT_EQ(plugin->getBusCount(true), 1);
    ASSERT_EQ(plugin->getBusCount(false), 1);

    const auto* input = plugin->getBus(true, 0);
    const auto* output = plugin->getBus(false, 0);
    EXPECT_EQ(input->getName(), "Input");
    EXPECT_EQ(output->getName(), "Output");
    EXPECT_EQ(input->getCurrentLayout(), Set::stereo());
    EXPECT_EQ(output->getCurrentLayout(), Set::stereo());
    EXPECT_EQ(input->getDefaultLayout(), Set::stereo());
    EXPECT_EQ(output->getDefaultLayout(), Set::stereo());
    EXPECT_TRUE(input->isEnabled());
    EXPECT_TRUE(output->isEnabled());

    EXPECT_FALSE(plugin->canAddBus(true));
    EXPECT_FALSE(plugin->canAddBus(false));
    EXPECT_FALSE(plugin->canRemoveBus(true));
    EXPECT_FALSE(plugin->canRemoveBus(false));
}

// A disabled input is not in this table: JUCE's host turns it into a bus
// deactivation plus the bus's last enabled arrangement, which VST3 gives the
// plug-in no way to refuse. Vst3ComponentTest asks with an empty arrangement.
TEST_F(HostedPlugin, AcceptsOnlyMonoToMonoAndStereoToStereo)
{
    struct Case
    {
        const char* name;
        Layout layout;
        bool accepted;
    };
    const Case cases[] = {
        {"stereo -> stereo", makeLayout(Set::stereo(), Set::stereo()), true},
        {"mono -> mono", makeLayout(Set::mono(), Set::mono()), true},
        {"mono -> stereo", makeLayout(Set::mono(), Set::stereo()), false},
        {"stereo -> mono", makeLayout(Set::stereo(), Set::mono()), false},
        {"5.1 -> 5.1", makeLayout(Set::create5point1(), Set::create5point1()), false},
    };

    for (const auto& c : cases)
        EXPECT_EQ(plugin->checkBusesLayoutSupported(c.layout), c.accepted) << c.name;

    // Asking does not change the layout in use.
    EXPECT_EQ(plugin->getBusesLayout(), makeLayout(Set::stereo(), Set::stereo()));
}

TEST_F(HostedPlugin, SwitchesToMonoAndBack)
{
    ASSERT_TRUE(plugin->setBusesLayout(makeLayout(Set::mono(), Set::mono())));
    EXPECT_EQ(plugin->getMainBusNumInputChannels(), 1);
    EXPECT_EQ(plugin->getMainBusNumOutputChannels(), 1);

    EXPECT_FALSE(plugin->setBusesLayout(makeLayout(Set::mono(), Set::stereo())));
    EXPECT_EQ(plugin->getMainBusNumOutputChannels(), 1);

    ASSERT_TRUE(plugin->setBusesLayout(makeLayout(Set::stereo(), Set::stereo())));
    EXPECT_EQ(plugin->getMainBusNumInputChannels(), 2);
}

TEST_F(HostedPlugin, ReportsNoLatencyNoTailAndNoMidi)
{
    plugin->prepareToPlay(sampleRate, maxBlock);
    EXPECT_EQ(plugin->getLatencySamples(), 0);
    EXPECT_EQ(plugin->getTailLengthSeconds(), 0.0);
    EXPECT_FALSE(plugin->acceptsMidi());
    EXPECT_FALSE(plugin->producesMidi());
    EXPECT_FALSE(plugin->isMidiEffect());
    EXPECT_FALSE(plugin->supportsDoublePrecisionProcessing());
}

// JUCE's host lists programs only when the plug-in has a program-change
// parameter, and with a single program there is none, so it reports no
// programs; the program list itself is checked in Vst3ComponentTest.
TEST_F(HostedPlugin, ProgramChangesDoNothing)
{
    EXPECT_EQ(plugin->getCurrentProgram(), 0);

    plugin->setCurrentProgram(0);
    plugin->setCurrentProgram(3);
    EXPECT_EQ(plugin->getCurrentProgram(), 0);
    EXPECT_EQ(plugin->getParameters().size(), 1);
    EXPECT_EQ(bypassOf(*plugin).getValue(), 0.0f);

    plugin->prepareToPlay(sampleRate, maxBlock);
    expectBlocksPassThrough(2);
}

TEST_F(HostedPlugin, HasOnlyTheFrameworksBooleanBypassParameter)
{
    const auto& parameters = plugin->getParameters();
    ASSERT_EQ(parameters.size(), 1);

    auto* bypass = parameters[0];
    EXPECT_EQ(bypass->getName(1024), "Bypass");
    EXPECT_EQ(plugin->getBypassParameter(), bypass);
    // A VST3 step count of 1: two values, off and on.
    EXPECT_EQ(bypass->getNumSteps(), 2);
    EXPECT_TRUE(bypass->isDiscrete());
    EXPECT_EQ(bypass->getDefaultValue(), 0.0f);
    EXPECT_EQ(bypass->getValue(), 0.0f);
}

TEST_F(HostedPlugin, SavedStateHoldsOnlyTheFrameworksBypassRecord)
{
    bypassOf(*plugin).setValueNotifyingHost(1.0f);

    juce::MemoryBlock state;
    plugin->getStateInformation(state);

    const auto xml =
        juce::AudioProcessor::getXmlFromBinary(state.getData(), static_cast<int>(state.getSize()));
    ASSERT_NE(xml, nullptr);
    ASSERT_TRUE(xml->hasTagName("VST3PluginState"));
    const auto* componentElement = xml->getChildByName("IComponent");
    ASSERT_NE(componentElement, nullptr);

    juce::MemoryBlock component;
    ASSERT_TRUE(component.fromBase64Encoding(componentElement->getAllSubText()));

    // The component state is the processor's own block followed by the
    // framework's trailer: int64 0, the private record, its int64 size and
    // the text "JUCEPrivateData". With an empty own block the trailer starts
    // at byte 0.
    const juce::String magic("JUCEPrivateData");
    const auto magicSize = static_cast<size_t>(magic.length());
    ASSERT_GT(component.getSize(), 2 * sizeof(juce::int64) + magicSize);

    const auto* bytes = static_cast<const char*>(component.getData());
    const auto size = component.getSize();
    EXPECT_EQ(juce::String(bytes + size - magicSize, magicSize), magic);

    juce::int64 leadingZero = -1;
    juce::int64 privateSize = -1;
    std::memcpy(&leadingZero, bytes, sizeof(leadingZero));
    std::memcpy(&privateSize, bytes + size - magicSize - sizeof(privateSize), sizeof(privateSize));
    EXPECT_EQ(leadingZero, 0);
    ASSERT_EQ(static_cast<size_t>(privateSize), size - 2 * sizeof(juce::int64) - magicSize)
        << "the processor wrote state of its own";

    const auto record = juce::ValueTree::readFromData(bytes + sizeof(juce::int64),
                                                      static_cast<size_t>(privateSize));
    EXPECT_TRUE(record.hasType("JUCEPrivateData"));
    EXPECT_EQ(record.getNumProperties(), 1);
    EXPECT_TRUE(static_cast<bool>(record.getProperty("Bypass")));
}

TEST_F(HostedPlugin, RestoringStateBringsBackTheBypassSwitch)
{
    for (const bool bypassed : {true, false})
    {
        SCOPED_TRACE(bypassed ? "saved with bypass on" : "saved with bypass off");

        orlune::host::LoadedPlugin source;
        ASSERT_NE(load(source), nullptr);
        bypassOf(*source.instance).setValueNotifyingHost(bypassed ? 1.0f : 0.0f);
        juce::MemoryBlock state;
        source.instance->getStateInformation(state);
        source.instance.reset();

        orlune::host::LoadedPlugin restored;
        ASSERT_NE(load(restored), nullptr);
        bypassOf(*restored.instance).setValueNotifyingHost(bypassed ? 0.0f : 1.0f);
        restored.instance->setStateInformation(state.getData(), static_cast<int>(state.getSize()));
        EXPECT_EQ(bypassOf(*restored.instance).getValue(), bypassed ? 1.0f : 0.0f);

        // The restored instance still works.
        restored.instance->prepareToPlay(sampleRate, maxBlock);
        const auto input = makeNastyBlock(2, maxBlock, 99);
        EXPECT_TRUE(orlune::host::processAndCompare(*restored.instance, input).identical);
        restored.instance->releaseResources();
    }
}

TEST_F(HostedPlugin, ForeignComponentStateIsIgnored)
{
    // Another plug-in's (or a corrupted) state: no trailer, arbitrary bytes.
    for (const size_t length : {size_t{0}, size_t{1}, size_t{7}, size_t{64}, size_t{4096}})
    {
        SCOPED_TRACE(testing::Message() << length << " bytes");
        juce::MemoryBlock junk(length);
        juce::Random random(static_cast<juce::int64>(length) + 5);
        random.fillBitsRandomly(junk.getData(), junk.getSize());

        juce::XmlElement xml("VST3PluginState");
        xml.createNewChildElement("IComponent")->addTextElement(junk.toBase64Encoding());
        juce::MemoryBlock state;
        juce::AudioProcessor::copyXmlToBinary(xml, state);

        plugin->setStateInformation(state.getData(), static_cast<int>(state.getSize()));
        EXPECT_EQ(bypassOf(*plugin).getValue(), 0.0f);
    }

    plugin->prepareToPlay(sampleRate, maxBlock);
    expectBlocksPassThrough(2);
}

// Known fault in the framework's VST3 wrapper (JUCE 8.0.6): it trusts the
// length field of its state trailer, so 23 bytes ending in a length of
// 0x10000000 and "JUCEPrivateData" make it read far outside the block and
// crash the host before the processor's setStateInformation is reached.
// Disabled until the framework checks that length; run it with
// --gtest_also_run_disabled_tests.
TEST_F(HostedPlugin, DISABLED_StateTrailerWithAnOversizedLengthIsIgnored)
{
    juce::MemoryOutputStream component;
    component.writeInt64(0x10000000);
    component << "JUCEPrivateData";

    juce::XmlElement xml("VST3PluginState");
    xml.createNewChildElement("IComponent")
        ->addTextElement(component.getMemoryBlock().toBase64Encoding());
    juce::MemoryBlock state;
    juce::AudioProcessor::copyXmlToBinary(xml, state);

    plugin->setStateInformation(state.getData(), static_cast<int>(state.getSize()));
    EXPECT_EQ(bypassOf(*plugin).getValue(), 0.0f);
}

TEST_F(HostedPlugin, StereoBlocksPassThroughBitForBit)
{
    plugin->prepareToPlay(sampleRate, maxBlock);
    expectBlocksPassThrough(2);
}

TEST_F(HostedPlugin, MonoBlocksPassThroughBitForBit)
{
    ASSERT_TRUE(plugin->setBusesLayout(makeLayout(Set::mono(), Set::mono())));
    plugin->prepareToPlay(sampleRate, maxBlock);
    expectBlocksPassThrough(1);
}

TEST_F(HostedPlugin, BypassedBlocksPassThroughBitForBit)
{
    plugin->prepareToPlay(sampleRate, maxBlock);
    bypassOf(*plugin).setValueNotifyingHost(1.0f);
    expectBlocksPassThrough(2);

    // And through the host's own bypass call.
    const auto input = makeNastyBlock(2, maxBlock, 7);
    juce::AudioBuffer<float> block;
    block.makeCopyOf(input);
    juce::MidiBuffer midi;
    plugin->processBlockBypassed(block, midi);
    EXPECT_TRUE(orlune::host::bitIdentical(input, block));
}

TEST_F(HostedPlugin, PassesThroughAtOtherRatesAndAfterReprepare)
{
    for (const double rate : {44100.0, 96000.0, 22050.0, 48000.0})
    {
        SCOPED_TRACE(rate);
        plugin->prepareToPlay(rate, maxBlock);
        expectBlocksPassThrough(2);
        plugin->releaseResources();
    }
}

TEST_F(HostedPlugin, OffersAnEditor)
{
    EXPECT_TRUE(plugin->hasEditor());
}

// Needs an X display; CTest runs it under xvfb-run.
TEST_F(HostedPlugin, EditorOpensAndCloses)
{
    if (std::getenv("DISPLAY") == nullptr)
        GTEST_SKIP() << "no X display";

    std::unique_ptr<juce::AudioProcessorEditor> editor(plugin->createEditorIfNeeded());
    ASSERT_NE(editor, nullptr);
    EXPECT_GT(editor->getWidth(), 0);
    EXPECT_GT(editor->getHeight(), 0);

    // Let the window attach and paint once while audio runs.
    plugin->prepareToPlay(sampleRate, maxBlock);
    editor->addToDesktop(juce::ComponentPeer::windowAppearsOnTaskbar);
    editor->setVisible(true);
    orlune::host::dispatchMessagesFor(200);
    expectBlocksPassThrough(2);

    editor.reset();
}

} // namespace
