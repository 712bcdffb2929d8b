#include "tiers/concealer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orlune::relay
{
namespace
{

constexpr int kDecimation = 4; // the coarse search runs at 12 kHz
constexpr int kCoarseTemplate = Concealer::kTemplateFrames / kDecimation;
constexpr int kCoarseSpan = Concealer::kHistoryFrames / kDecimation;
constexpr double kPi = 3.14159265358979323846;

// Normalised correlation of two interleaved stereo stretches, both channels together.
double similarity(const float* a, const float* b, int frames)
{
    double dot = 0;
    double energyA = 0;
    double energyB = 0;
    for (int i = 0; i < 2 * frames; ++i)
    {
        dot += static_cast<double>(a[i]) * b[i];
        energyA += static_cast<double>(a[i]) * a[i];
        energyB += static_cast<double>(b[i]) * b[i];
    }
    if (energyA <= 0 || energyB <= 0)
        return 0;
    return dot / std::sqrt(energyA * energyB);
}

} // namespace

void Concealer::reset()
{
    started_ = false;
    begin_ = 0;
    end_ = 0;
    fillAt_ = 0;
}

void Concealer::makeRoom(int frames)
{
    if (end_ + frames <= kCapacityFrames)
        return;
    const int keep = std::min(end_ - begin_, kHistoryFrames);
    std::memmove(at(0), at(end_ - keep), 2 * static_cast<std::size_t>(keep) * sizeof(float));
    begin_ = 0;
    end_ = keep;
}

void Concealer::append(const float* samples, int frames)
{
    std::memcpy(at(end_), samples, 2 * static_cast<std::size_t>(frames) * sizeof(float));
    end_ += frames;
    begin_ = std::max(begin_, end_ - kHistoryFrames);
}

int Concealer::accept(std::int64_t position, const float* samples, int frames)
{
    frames = std::clamp(frames, 0, kCapacityFrames - 2 * kHistoryFrames - kMaxHoleFrames);
    // Unsigned, so that the distance is exact across the int64 range and a step back is huge.
    const std::uint64_t gap = static_cast<std::uint64_t>(position) - next_;
    const int available = end_ - begin_;
    int filled = 0;
    if (!started_ || gap != 0)
    {
        if (started_ && gap <= static_cast<std::uint64_t>(kMaxHoleFrames) &&
            available >= kTemplateFrames + kMinLag)
        {
            filled = static_cast<int>(gap);
            makeRoom(filled + frames);
            extend(findLag(end_ - begin_), filled, samples);
            fillAt_ = end_;
            end_ += filled;
        }
        else
        {
            begin_ = 0; // nothing before this stretch belongs to it
            end_ = 0;
        }
    }
    makeRoom(frames);
    append(samples, frames);
    started_ = true;
    next_ = static_cast<std::uint64_t>(position) + static_cast<std::uint64_t>(frames);
    return filled;
}

// The lag at which the last kTemplateFrames of history best match the audio before them:
// first among every 4th lag on the history summed in fours, then to the sample around it.
int Concealer::findLag(int available) const
{
    const int maxLag = std::min(kMaxLag, available - kTemplateFrames);
    const float* end = buffer_.data() + 2 * static_cast<std::size_t>(end_);

    std::array<float, 2 * kCoarseSpan> coarse{};
    const int span = std::min(kCoarseSpan, available / kDecimation);
    const float* from = end - 2 * static_cast<std::ptrdiff_t>(span) * kDecimation;
    for (int k = 0; k < span; ++k)
        for (int c = 0; c < 2; ++c)
        {
            float sum = 0;
            for (int i = 0; i < kDecimation; ++i)
                sum += from[2 * (k * kDecimation + i) + c];
            coarse[static_cast<std::size_t>(2 * k + c)] = sum;
        }
    const float* coarseTemplate = coarse.data() + 2 * (span - kCoarseTemplate);
    int best = kMinLag;
    double bestScore = -2;
    for (int lag = (kMinLag + kDecimation - 1) / kDecimation; lag * kDecimation <= maxLag; ++lag)
    {
        const double score = similarity(coarseTemplate, coarseTemplate - 2 * lag, kCoarseTemplate);
        if (score > bestScore)
        {
            bestScore = score;
            best = lag * kDecimation;
        }
    }

    const float* fineTemplate = end - 2 * kTemplateFrames;
    const int low = std::max(kMinLag, best - kDecimation);
    const int high = std::min(maxLag, best + kDecimation);
    bestScore = -2;
    for (int lag = low; lag <= high; ++lag)
    {
        const double score = similarity(fineTemplate, fineTemplate - 2 * lag, kTemplateFrames);
        if (score > bestScore)
        {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

// Writes `frames` of continuation after the history (which makeRoom left space for), bent so
// that it starts where the history leaves off and ends where `after` begins.
void Concealer::extend(int lag, int frames, const float* after)
{
    float* out = at(end_);
    for (int j = 0; j < frames; ++j)
    {
        out[2 * j] = out[2 * (j - lag)];
        out[2 * j + 1] = out[2 * (j - lag) + 1];
    }
    // What the lag gets wrong just before the hole, and what it would get wrong just after.
    std::array<float, 2> startError{};
    std::array<float, 2> endError{};
    for (int c = 0; c < 2; ++c)
    {
        startError[static_cast<std::size_t>(c)] = out[c - 2] - out[2 * (-1 - lag) + c];
        endError[static_cast<std::size_t>(c)] = after[c] - out[2 * (frames - lag) + c];
    }
    for (int j = 0; j < frames; ++j)
    {
        const double toEnd = 0.5 - 0.5 * std::cos(kPi * (j + 1) / (frames + 1));
        for (int c = 0; c < 2; ++c)
        {
            const auto k = static_cast<std::size_t>(c);
            const double v = out[2 * j + c] + (1 - toEnd) * startError[k] + toEnd * endError[k];
            out[2 * j + c] = static_cast<float>(std::clamp(v, -1.0, 1.0));
        }
    }
}

} // namespace orlune::relay
