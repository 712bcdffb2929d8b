// PCM datagram parsing for the relay.
//
// The plug-in sends one UDP datagram per 256 stereo frames at 48 kHz:
//
//   offset   size  field
//   0        17    "VESKORLUNE_PCM_V3"
//   17       1     0x00
//   18       n     room code (a-z, 0-9, '-', '_'; n >= 1)
//   18+n     1     0x00
//   19+n     8     packet sequence, int64 LE
//   27+n     8     sample position (48 kHz frames), int64 LE
//   35+n     4     sample rate, int32 LE, always 48000
//   39+n     4     channel count, int32 LE, always 2
//   43+n     4     frames per packet, int32 LE, always 256
//   47+n     2048  512 float32 LE, interleaved L,R
//
// Total size: 2095 + n bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orlune::relay
{

inline constexpr std::string_view kMagic = "VESKORLUNE_PCM_V3";
inline constexpr std::size_t kMagicFieldSize = 18; // magic plus its NUL
inline constexpr std::int32_t kSampleRate = 48000;
inline constexpr std::int32_t kChannels = 2;
inline constexpr std::int32_t kFramesPerPacket = 256;
inline constexpr std::size_t kSampleBytes = kFramesPerPacket * kChannels * 4; // 2048
// Everything but the room code's characters: magic field, room NUL, 8+8+4+4+4, samples.
inline constexpr std::size_t kFixedBytes = kMagicFieldSize + 1 + 28 + kSampleBytes; // 2095
inline constexpr std::size_t kMinDatagramSize = kFixedBytes + 1;

enum class ParseError
{
    None,
    Truncated,       // ends before the layout says it should
    Oversized,       // longer than 2095 + n
    BadMagic,        // magic text or its NUL wrong
    BadRoomCode,     // empty, or a byte outside the room-code alphabet
    BadSampleRate,   // not 48000
    BadChannelCount, // not 2
    BadFrameCount,   // not 256
};

inline constexpr std::size_t kParseErrorCount = 8;

// Stable lower-case name used in metrics labels ("truncated", "bad_magic", ...).
std::string_view parseErrorName(ParseError error);

// A validated datagram. Views point into the buffer that was parsed.
struct Datagram
{
    std::string_view room;
    std::int64_t sequence = 0;
    std::int64_t samplePosition = 0;
    const std::uint8_t* samples = nullptr; // kSampleBytes bytes
};

struct ParseResult
{
    ParseError error = ParseError::None;
    Datagram datagram; // meaningful only when error == None

    bool ok() const { return error == ParseError::None; }
};

bool isRoomCodeChar(char c);
bool isRoomCode(std::string_view text);

// Validates `size` bytes at `data` against the layout above. Pure: no allocation, reads only
// inside [data, data + size).
ParseResult parseDatagram(const std::uint8_t* data, std::size_t size);

} // namespace orlune::relay
