// Fills short holes in a room's stream before its Opus tiers encode it, so that a lost
// datagram costs a listener of any tier, on any decoder, no more than its own 5.3 ms of
// approximate audio instead of one or two whole 10 ms frames of silence.
//
// The concealer sees every datagram the encoders see (sanitised, interleaved stereo) and keeps
// the last kHistoryFrames of them. When a datagram arrives after a hole of at most
// kMaxHoleFrames, it fills the hole with a continuation of the audio before it: the lag (one
// or more periods, 0.67 to 20 ms, the same for both channels) at which the last 4 ms best
// match the audio before them, repeated forward. That continuation is then bent onto the audio
// on both sides: the mismatch at the hole's start (what the history is, minus what the lag
// predicts of it) fades out over the hole while the mismatch at its end (the first sample
// after it, minus what the continuation predicts) fades in, so neither seam steps.
//
// Nothing waits: the hole is only seen when the datagram after it arrives, which is when the
// frames covering it would have been sent anyway (with length 0), and the datagram itself is
// not changed. Longer holes, holes with too little audio before them (a stream's first
// datagram) and positions that go back are left to the tier streams, which send them as
// missing frames.
#pragma once

#include <array>
#include <cstdint>

namespace orlune::relay
{

class Concealer
{
public:
    // 4 datagrams, 21.3 ms: a repeated period still sounds like the note it continues, and the
    // commonest bursts of loss (one to three datagrams) fit. Beyond it a repeated waveform
    // turns into a buzz, and the player's fade is the better answer.
    static constexpr int kMaxHoleFrames = 4 * 256;
    static constexpr int kTemplateFrames = 192; // matched against the audio before it (4 ms)
    static constexpr int kMinLag = 32;          // 0.67 ms: higher notes repeat a multiple
    static constexpr int kMaxLag = 960;         // 20 ms: a 50 Hz note, a chord's common period
    static constexpr int kHistoryFrames = kTemplateFrames + kMaxLag;

    // One stretch of sanitised interleaved stereo (`frames` per channel) at `position`, in the
    // stream's order. Returns how many frames of fill now precede `position` (see fill()), 0
    // when there was no hole or it is not filled.
    int accept(std::int64_t position, const float* samples, int frames);

    // The last accept()'s fill: interleaved stereo, valid until the next accept() or reset().
    const float* fill() const { return buffer_.data() + 2 * static_cast<std::size_t>(fillAt_); }

    // Forgets the stream (the source restarted, or no tier is encoded for a while).
    void reset();

private:
    // Frames kept before compacting: the history plus the largest fill and stretch after it.
    static constexpr int kCapacityFrames = 2 * kHistoryFrames + kMaxHoleFrames + 512;

    float* at(int frame) { return buffer_.data() + 2 * static_cast<std::size_t>(frame); }
    void makeRoom(int frames);
    void append(const float* samples, int frames);
    int findLag(int available) const;
    void extend(int lag, int frames, const float* after);

    bool started_ = false;
    std::uint64_t next_ = 0; // position of the frame after the last one taken
    int begin_ = 0;          // first frame of history in buffer_
    int end_ = 0;            // one past the last
    int fillAt_ = 0;
    std::array<float, 2 * static_cast<std::size_t>(kCapacityFrames)> buffer_{};
};

} // namespace orlune::relay
