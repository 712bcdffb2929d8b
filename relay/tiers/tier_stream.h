// One room's stream for one Opus tier: the datagrams' float32 audio cut into 10 ms frames,
// encoded, and packed into the binary Opus message listeners receive.
#pragma once

#include "tiers/codec.h"
#include "tiers/tier_metrics.h"
#include "tiers/tiers.h"
#include "wire/bytes.h"
#include "wire/datagram.h"
#include "wire/listener_opus.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orlune::relay
{

// Frames sit on a grid of 480 samples anchored at the position of the first datagram after a
// (re)start, and count from frame sequence 0. Samples are placed by their 48 kHz position; a
// frame any of whose samples never arrived is sent with length 0 so that the player conceals
// it, and the encoder is reset before the next frame it codes, so nothing it sends leans on
// audio the decoder never had.
class TierStream
{
public:
    explicit TierStream(Tier tier);

    // `frames` frames of sanitised, interleaved stereo at `position` (a datagram's 256, or
    // the fill of a concealed hole). Appends every message that is complete to `out`.
    void push(std::int64_t position, const float* samples, int frames, TierMetrics& counters,
              std::vector<SharedFrame>& out);
    void push(std::int64_t position, const float* samples, TierMetrics& counters,
              std::vector<SharedFrame>& out)
    {
        push(position, samples, kFramesPerPacket, counters, out);
    }

    // The source restarted, changed or fell silent: sends the frames already complete (a
    // partly filled frame is dropped, never padded) and starts afresh with the next datagram.
    void restart(std::vector<SharedFrame>& out);

    // Samples of delay the encoder adds.
    int lookahead() const { return encoder_.lookahead(); }

private:
    void reanchor(std::int64_t position);
    void finishFrame(TierMetrics& counters, std::vector<SharedFrame>& out);
    void flushMessage(std::vector<SharedFrame>& out);

    int framesPerMessage_;
    OpusFrameEncoder encoder_;
    bool started_ = false;
    bool resetEncoder_ = false;
    std::uint64_t nextPosition_ = 0; // of the next sample expected (wraps as int64 does)
    std::int64_t frameSequence_ = 0; // of the frame being filled
    std::uint64_t framePosition_ = 0;
    int frameFill_ = 0;
    bool frameMissing_ = false;
    std::array<float, kOpusFrameSamples * kOpusChannels> frame_{};
    std::array<std::uint8_t, kMaxOpusPacket> packet_{};
    OpusMessageWriter message_;
};

} // namespace orlune::relay
