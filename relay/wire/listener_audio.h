// The float32 audio message a listener receives (the lossless tier, and every listener that
// asked for no quality): one per datagram, little-endian.
//
//   offset  size  field
//   0       8     packet sequence, int64 (as the plug-in sent it)
//   8       8     sample position, int64, 48 kHz frames (+256 a message)
//   16      2048  512 float32: 256 frames, interleaved L, R, exactly as in the datagram
#pragma once

#include "wire/bytes.h"
#include "wire/datagram.h"
#include "wire/websocket_frames.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orlune::relay
{

inline constexpr std::size_t kAudioHeaderSize = 16;
inline constexpr std::size_t kAudioMessageSize = kAudioHeaderSize + kSampleBytes; // 2064

struct AudioMessage
{
    std::int64_t sequence = 0;
    std::int64_t position = 0;
    const std::uint8_t* samples = nullptr; // kSampleBytes bytes, little-endian float32
};

// Builds the message, framed for listeners (its payload is the message above); `samples`
// (kSampleBytes bytes) are copied unchanged.
SharedFrame encodeAudioMessage(std::int64_t sequence, std::int64_t position,
                               const std::uint8_t* samples);
// The listener message for one datagram.
SharedFrame encodeAudioMessage(const Datagram& datagram);
// Reads a message of exactly kAudioMessageSize bytes; none for any other size. `samples` points
// into `bytes`.
std::optional<AudioMessage> decodeAudioMessage(std::string_view bytes);

} // namespace orlune::relay
