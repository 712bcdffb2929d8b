#include "tiers/tier_stream.h"

#include "wire/datagram.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace orlune::relay
{
namespace
{

// A forward jump of positions up to this long is loss to conceal; a longer one, or any step
// back, starts a new grid.
constexpr std::uint64_t kMaxConcealedGap = 48000;

} // namespace

TierStream::TierStream(Tier tier)
    : framesPerMessage_(tierProfile(tier).framesPerMessage)
    , encoder_(tierProfile(tier).bitrate)
{
    message_.reserve(framesPerMessage_);
}

void TierStream::reanchor(std::int64_t position)
{
    started_ = true;
    nextPosition_ = static_cast<std::uint64_t>(position);
    framePosition_ = nextPosition_;
    frameFill_ = 0;
    frameMissing_ = false;
}

void TierStream::push(std::int64_t position, const float* samples, int frames,
                      TierMetrics& counters, std::vector<SharedFrame>& out)
{
    if (!started_)
    {
        reanchor(position);
        encoder_.reset();
        resetEncoder_ = false;
        frameSequence_ = 0;
    }
    std::uint64_t gap = static_cast<std::uint64_t>(position) - nextPosition_;
    if (gap > kMaxConcealedGap)
    {
        // Positions went back or leapt ahead without a restart: a new grid, one frame of
        // sequence left out so that the player sees the break.
        flushMessage(out);
        reanchor(position);
        resetEncoder_ = true;
        ++frameSequence_;
        gap = 0;
    }
    while (gap > 0)
    {
        const auto take = std::min<std::uint64_t>(
            gap, static_cast<std::uint64_t>(kOpusFrameSamples - frameFill_));
        frameFill_ += static_cast<int>(take);
        frameMissing_ = true;
        gap -= take;
        nextPosition_ += take;
        if (frameFill_ == kOpusFrameSamples)
            finishFrame(counters, out);
    }
    int used = 0;
    while (used < frames)
    {
        const int take = std::min(frames - used, kOpusFrameSamples - frameFill_);
        std::memcpy(frame_.data() + frameFill_ * kOpusChannels, samples + used * kOpusChannels,
                    static_cast<std::size_t>(take * kOpusChannels) * sizeof(float));
        frameFill_ += take;
        used += take;
        if (frameFill_ == kOpusFrameSamples)
            finishFrame(counters, out);
    }
    nextPosition_ += static_cast<std::uint64_t>(frames);
}

void TierStream::finishFrame(TierMetrics& counters, std::vector<SharedFrame>& out)
{
    if (message_.frames() == 0)
        message_.begin(frameSequence_, static_cast<std::int64_t>(framePosition_),
                       kOpusFrameSamples);
    std::size_t length = 0;
    if (frameMissing_)
    {
        resetEncoder_ = true;
    }
    else
    {
        if (resetEncoder_)
        {
            encoder_.reset();
            resetEncoder_ = false;
        }
        const auto start = std::chrono::steady_clock::now();
        length = encoder_.encode(frame_.data(), packet_.data());
        counters.encodeNanoseconds +=
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                           std::chrono::steady_clock::now() - start)
                                           .count());
        if (length == 0)
            resetEncoder_ = true; // libopus refused the frame: sent as missing
    }
    if (length == 0)
        ++counters.framesMissing;
    else
        ++counters.framesEncoded;
    counters.encodedBytes += length;
    message_.addFrame(packet_.data(), length);

    ++frameSequence_;
    framePosition_ += kOpusFrameSamples;
    frameFill_ = 0;
    frameMissing_ = false;
    if (message_.frames() == framesPerMessage_)
        flushMessage(out);
}

void TierStream::flushMessage(std::vector<SharedFrame>& out)
{
    if (message_.frames() > 0)
        out.push_back(message_.finish());
}

void TierStream::restart(std::vector<SharedFrame>& out)
{
    flushMessage(out);
    started_ = false;
    resetEncoder_ = false;
}

} // namespace orlune::relay
