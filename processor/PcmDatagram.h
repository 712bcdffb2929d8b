#pragma once

#include <juce_audio_basics/juce_audio_basics.h>
#include <juce_core/juce_core.h>

namespace vesk::pcm
{
// The one wire format: a self-contained UDP datagram of 256 stereo frames of
// float32 at 48 kHz. All integers little-endian, no padding:
//   magic "VESKORLUNE_PCM_V3" + NUL | room code (UTF-8) + NUL |
//   int64 packet sequence | int64 sample position |
//   int32 48000 | int32 2 | int32 256 | 512 x float32, frame by frame, L then R
constexpr const char* magic = "VESKORLUNE_PCM_V3";
constexpr int magicBytesWithTerminator = 18;
constexpr int sampleRate = 48000;
constexpr int numChannels = 2;
constexpr int framesPerPacket = 256;
constexpr int sampleBytes = framesPerPacket * numChannels * 4;

// Everything but the room code's own bytes: 18 + 1 + 8 + 8 + 4 + 4 + 4 + 2048.
constexpr int fixedBytes = magicBytesWithTerminator + 1 + 8 + 8 + 4 + 4 + 4 + sampleBytes;
static_assert(fixedBytes == 2095);

// Appends one datagram to the stream. `block` must hold at least two channels
// of 256 frames; their float bit patterns go out unchanged.
void writeDatagram(juce::MemoryOutputStream& out, const juce::String& roomCode,
                   juce::int64 packetSequence, juce::int64 samplePosition,
                   const juce::AudioBuffer<float>& block);
} // namespace vesk::pcm
