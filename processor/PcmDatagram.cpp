#include "PcmDatagram.h"

namespace vesk::pcm
{
void writeDatagram(juce::MemoryOutputStream& out, const juce::String& roomCode,
                   juce::int64 packetSequence, juce::int64 samplePosition,
                   const juce::AudioBuffer<float>& block)
{
    jassert(block.getNumChannels() >= numChannels && block.getNumSamples() >= framesPerPacket);

    out.writeString(magic);
    out.writeString(roomCode);
    out.writeInt64(packetSequence);
    out.writeInt64(samplePosition);
    out.writeInt(sampleRate);
    out.writeInt(numChannels);
    out.writeInt(framesPerPacket);

    const float* left = block.getReadPointer(0);
    const float* right = block.getReadPointer(1);
    for (int i = 0; i < framesPerPacket; ++i)
    {
        out.writeFloat(left[i]);
        out.writeFloat(right[i]);
    }
}
} // namespace vesk::pcm
