// Shell and lifecycle: identity answers to the host, construction, prepare,
// release and destruction.

#include "VeskOrluneAudioProcessor.h"

#include "VeskOrluneAudioProcessorEditor.h"

#include <cmath>
#include <limits>

namespace
{
// The largest rate whose ten-second ring still fits a 32-bit frame count.
constexpr double largestUsableSampleRate = std::numeric_limits<int>::max() / 10;

int hostRateFor(double sampleRate) noexcept
{
    // Zero, negative, not-a-number, infinite or absurdly large rates fall
    // back to 48 kHz rather than overflowing the ring arithmetic; so do rates
    // below 1 Hz, which would truncate to 0 and leave no ring at all.
    if (sampleRate >= 1.0 && sampleRate <= largestUsableSampleRate)
        return static_cast<int>(sampleRate);
    return 48000;
}
} // namespace

VeskOrluneAudioProcessor::VeskOrluneAudioProcessor()
    : juce::AudioProcessor(BusesProperties()
                               .withInput("Input", juce::AudioChannelSet::stereo(), true)
                               .withOutput("Output", juce::AudioChannelSet::stereo(), true))
    , juce::Thread("Vesk Orlune Buffer Reader")
{
    resetResamplers();
}

VeskOrluneAudioProcessor::~VeskOrluneAudioProcessor()
{
    prepared.store(false);
    {
        const std::lock_guard<std::mutex> lock(senderLock);
        socket.reset();
    }
    stopThread(1000);
}

//==============================================================================
const juce::String VeskOrluneAudioProcessor::getName() const
{
    return "Vesk Orlune";
}

double VeskOrluneAudioProcessor::getTailLengthSeconds() const
{
    return 0.0;
}
bool VeskOrluneAudioProcessor::acceptsMidi() const
{
    return false;
}
bool VeskOrluneAudioProcessor::producesMidi() const
{
    return false;
}
bool VeskOrluneAudioProcessor::isMidiEffect() const
{
    return false;
}

juce::AudioProcessorEditor* VeskOrluneAudioProcessor::createEditor()
{
    return new VeskOrluneAudioProcessorEditor(*this);
}
bool VeskOrluneAudioProcessor::hasEditor() const
{
    return true;
}

int VeskOrluneAudioProcessor::getNumPrograms()
{
    return 1;
}
int VeskOrluneAudioProcessor::getCurrentProgram()
{
    return 0;
}
void VeskOrluneAudioProcessor::setCurrentProgram(int) {}
const juce::String VeskOrluneAudioProcessor::getProgramName(int)
{
    return {};
}
void VeskOrluneAudioProcessor::changeProgramName(int, const juce::String&) {}

// Nothing is saved with the host's project: every instance starts with the
// room code "default" and streaming off.
void VeskOrluneAudioProcessor::getStateInformation(juce::MemoryBlock&) {}
void VeskOrluneAudioProcessor::setStateInformation(const void*, int) {}

bool VeskOrluneAudioProcessor::isBusesLayoutSupported(const BusesLayout& layouts) const
{
    const auto input = layouts.getMainInputChannelSet();
    const auto output = layouts.getMainOutputChannelSet();
    if (input != output)
        return false;
    if (output == juce::AudioChannelSet::mono())
        return true;
    return output == juce::AudioChannelSet::stereo();
}

//==============================================================================
void VeskOrluneAudioProcessor::prepareToPlay(double sampleRate, int)
{
    {
        // A second prepare without a release finds the sender thread running:
        // hold it off the ring, blocks and resamplers while they are replaced.
        const std::lock_guard<std::mutex> lock(senderLock);

        inputLevel.store(0.0f);
        outputLevel.store(0.0f);
        bufferedMs.store(0);
        readerActivity.store(0);

        prepareBuffers(sampleRate);
        prepared.store(true);
    }

    if (!isThreadRunning())
        startThread(juce::Thread::Priority::normal);
}

void VeskOrluneAudioProcessor::prepareBuffers(double sampleRate)
{
    const int newHostRate = hostRateFor(sampleRate);
    const int newRingCapacity = newHostRate * 10;
    const auto packetFrames = std::ceil(static_cast<double>(newHostRate) * 256.0 / 48000.0);
    const int newFramesPerPacket = std::max(256, static_cast<int>(packetFrames) + 16);

    // Everything that can fail to allocate happens before any member changes:
    // if the ring for an absurd rate cannot be had, std::bad_alloc leaves the
    // processor exactly as it was, still consistent for both other threads.
    // Storage is only replaced when its shape changes.
    auto needsNew = [](const juce::AudioBuffer<float>& b, int frames)
    { return b.getNumChannels() != 2 || b.getNumSamples() != frames; };
    juce::AudioBuffer<float> newCapture, newInput, newOutput;
    if (needsNew(captureBuffer, newRingCapacity))
        newCapture.setSize(2, newRingCapacity);
    if (needsNew(inputBlock, newFramesPerPacket))
        newInput.setSize(2, newFramesPerPacket);
    if (needsNew(outputBlock, 256))
        newOutput.setSize(2, 256);
    auto newFifo = std::make_unique<juce::AbstractFifo>(newRingCapacity);

    // Commit; nothing below allocates or throws.
    hostSampleRate = newHostRate;
    ringCapacity = newRingCapacity;
    inputFramesPerPacket = newFramesPerPacket;

    if (newCapture.getNumChannels() > 0)
        captureBuffer = std::move(newCapture);
    if (newInput.getNumChannels() > 0)
        inputBlock = std::move(newInput);
    if (newOutput.getNumChannels() > 0)
        outputBlock = std::move(newOutput);
    // clear() zeroes the storage and raises the clear flag.
    captureBuffer.clear();
    inputBlock.clear();
    outputBlock.clear();

    resetResamplers();

    captureFifo = std::move(newFifo); // a new fifo starts empty

    updateBufferedMs();
}

void VeskOrluneAudioProcessor::releaseResources()
{
    {
        // Under the sender lock so that a pass in progress cannot publish its
        // activity after we zero it, nor send on the socket we destroy.
        const std::lock_guard<std::mutex> lock(senderLock);

        inputLevel.store(0.0f);
        outputLevel.store(0.0f);
        bufferedMs.store(0);
        readerActivity.store(0);

        streaming.store(false);
        prepared.store(false);

        socket.reset();
    }

    stopThread(1000);
}

//==============================================================================
// The creation function the framework's VST3 wrapper calls for each instance.
juce::AudioProcessor* JUCE_CALLTYPE createPluginFilter()
{
    return new VeskOrluneAudioProcessor();
}
