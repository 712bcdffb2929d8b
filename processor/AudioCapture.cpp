// The real-time side: the process callback, its metering, and the write into
// the capture ring. Everything here runs on the host's audio thread and must
// not allocate, lock, wait or make a system call.

#include "BlockLevel.h"
#include "VeskOrluneAudioProcessor.h"

void VeskOrluneAudioProcessor::processBlock(juce::AudioBuffer<float>& buffer, juce::MidiBuffer&)
{
    const float level = vesk::computeBlockLevel(buffer);
    inputLevel.store(level);
    outputLevel.store(level);

    pushToCaptureRing(buffer);
}

void VeskOrluneAudioProcessor::pushToCaptureRing(const juce::AudioBuffer<float>& block) noexcept
{
    if (captureFifo == nullptr || ringCapacity <= 0)
        return;

    const int channels = std::min(block.getNumChannels(), 2);
    const int frames = block.getNumSamples();
    if (channels <= 0 || frames <= 0)
        return;

    int start1 = 0, size1 = 0, start2 = 0, size2 = 0;
    captureFifo->prepareToWrite(frames, start1, size1, start2, size2);

    // copyFrom carries the block's clear flag: a block flagged clear arrives
    // in the ring as zeros. Frames beyond size1 + size2 are dropped.
    for (int ringChannel = 0; ringChannel < 2; ++ringChannel)
        if (size1 > 0)
            captureBuffer.copyFrom(ringChannel, start1, block, std::min(ringChannel, channels - 1),
                                   0, size1);
    for (int ringChannel = 0; ringChannel < 2; ++ringChannel)
        if (size2 > 0)
            captureBuffer.copyFrom(ringChannel, start2, block, std::min(ringChannel, channels - 1),
                                   size1, size2);

    captureFifo->finishedWrite(size1 + size2);
    updateBufferedMs();
}

void VeskOrluneAudioProcessor::updateBufferedMs() noexcept
{
    if (captureFifo == nullptr || ringCapacity <= 0 || hostSampleRate <= 0)
    {
        bufferedMs.store(0);
        return;
    }

    const int ready = captureFifo->getNumReady();
    const auto ms = static_cast<int>(static_cast<double>(ready) / hostSampleRate * 1000.0);
    bufferedMs.store(ms > 0 ? ms : 0);
}
