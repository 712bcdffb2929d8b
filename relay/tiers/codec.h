// The relay's Opus encoder and the sample sanitiser that runs before it.
//
// Every Opus tier of a room feeds one OpusEncoder: stereo, 48 kHz, 10 ms frames, the
// restricted low-delay application (MDCT only: 2.5 ms look-ahead) tuned for music. The
// encoder never sees a sample that is not finite or lies beyond full scale.
#pragma once

#include "wire/listener_opus.h"

#include <cstddef>
#include <cstdint>

struct OpusEncoder;

namespace orlune::relay
{

inline constexpr int kOpusFrameSamples = 480; // 10 ms at 48 kHz, per channel
inline constexpr int kOpusChannels = 2;
inline constexpr int kOpusComplexity = 10;
// Largest packet libopus produces for one frame.
inline constexpr std::size_t kMaxOpusPacket = kLargestOpusPacket;

// Copies `count` little-endian float32 samples from `in` to `out`, replacing NaN and
// infinities by 0 and clipping the rest to [-1, 1]. Returns how many samples it changed.
std::size_t sanitiseSamples(const std::uint8_t* in, float* out, std::size_t count);

class OpusFrameEncoder
{
public:
    // Throws std::runtime_error when libopus refuses the settings.
    explicit OpusFrameEncoder(int bitrate);
    ~OpusFrameEncoder();
    OpusFrameEncoder(const OpusFrameEncoder&) = delete;
    OpusFrameEncoder& operator=(const OpusFrameEncoder&) = delete;

    // Encodes one frame of kOpusFrameSamples interleaved stereo samples into `out` (at least
    // kMaxOpusPacket bytes). Returns the packet's length; 0 if libopus failed (the frame is
    // then sent as missing).
    std::size_t encode(const float* frame, std::uint8_t* out);

    // Forgets all history, as after a gap: the next frame is coded on its own.
    void reset();

    // Samples of delay the encoder adds (its look-ahead).
    int lookahead() const;

private:
    ::OpusEncoder* encoder_ = nullptr;
};

} // namespace orlune::relay
