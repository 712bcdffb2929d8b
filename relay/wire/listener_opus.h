// The Opus audio message a listener on an Opus tier receives, and that relays of a cluster and
// the loops of one relay hand each other: one per `framesPerMessage` frames (fewer when a
// stream ends), little-endian.
//
//   offset  size  field
//   0       8     frame sequence of the first frame, int64 (0 at each new stream of the tier)
//   8       8     48 kHz sample position of the first frame's first sample, int64
//   16      2     frame samples, uint16 (480)
//   18      1     frame count n, uint8 (>= 1)
//   19      1     reserved, 0
//   20      ...   n x (uint16 length, then `length` bytes of one Opus packet); length 0: the
//                 frame is missing at the relay (source loss) and the decoder conceals it
#pragma once

#include "wire/bytes.h"
#include "wire/websocket_frames.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

inline constexpr std::size_t kOpusHeaderSize = 20;
// Largest packet libopus produces for one frame.
inline constexpr std::size_t kLargestOpusPacket = 1275;

// Builds one message frame by frame, reusing its buffer from message to message.
class OpusMessageWriter
{
public:
    void reserve(int frames);
    // Starts a message whose first frame has `frameSequence` and starts at `position`.
    void begin(std::int64_t frameSequence, std::int64_t position, int frameSamples);
    // One frame's packet; `length` 0 marks a missing frame.
    void addFrame(const std::uint8_t* packet, std::size_t length);
    int frames() const { return frames_; }
    // The message of the frames added since begin(), framed for listeners; the writer is then
    // empty again.
    SharedFrame finish();

private:
    std::string message_;
    int frames_ = 0;
};

struct OpusMessageHeader
{
    std::int64_t sequence = 0;
    std::int64_t position = 0;
    int frameSamples = 0;
    int frames = 0;
};

// The header alone, of a message at least kOpusHeaderSize bytes long.
std::optional<OpusMessageHeader> decodeOpusHeader(std::string_view bytes);

struct OpusMessage
{
    OpusMessageHeader header;
    std::vector<std::string_view> frames; // each frame's packet, empty when missing; into bytes
};

// The whole message, when it is well formed: header, n >= 1 frames, the reserved byte 0, every
// packet's length within the message and at most kLargestOpusPacket, nothing after the last.
std::optional<OpusMessage> decodeOpusMessage(std::string_view bytes);
bool opusMessageIsWellFormed(const char* data, std::size_t size);

// Whether a message starts its tier's stream: a stream counts its frames from 0 whenever it
// (re)starts, so that message is taken even though it is behind the frames before it.
bool startsTierStream(std::string_view message);

} // namespace orlune::relay
