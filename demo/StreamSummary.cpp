#include "StreamSummary.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vesk::demo
{
namespace
{
constexpr int outputRate = 48000;
constexpr int framesPerDatagram = 256;
constexpr size_t fixedBytes = 2095; // everything but the room code's own bytes

double toDbfs(double linear)
{
    return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

float floatAt(const std::uint8_t* bytes)
{
    const auto bits = juce::ByteOrder::littleEndianInt(bytes);
    float value = 0.0f;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}
} // namespace

StreamSummary::StreamSummary(juce::String roomCode)
    : room(std::move(roomCode))
{
}

void StreamSummary::add(const void* data, size_t size, double arrivalSeconds)
{
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const auto* roomEnd =
        size > 18 ? static_cast<const std::uint8_t*>(std::memchr(bytes + 18, 0, size - 18))
                  : nullptr;
    if (size < fixedBytes || std::memcmp(bytes, "VESKORLUNE_PCM_V3", 18) != 0 || roomEnd == nullptr)
    {
        ++counts.ignored;
        return;
    }
    const auto roomBytes = static_cast<size_t>(roomEnd - (bytes + 18));
    const auto* header = roomEnd + 1;
    if (size != fixedBytes + roomBytes ||
        juce::String::fromUTF8(reinterpret_cast<const char*>(bytes + 18),
                               static_cast<int>(roomBytes)) != room ||
        juce::ByteOrder::littleEndianInt(header + 16) != outputRate ||
        juce::ByteOrder::littleEndianInt(header + 20) != 2 ||
        juce::ByteOrder::littleEndianInt(header + 24) != framesPerDatagram)
    {
        ++counts.ignored;
        return;
    }

    const auto sequence = static_cast<std::int64_t>(juce::ByteOrder::littleEndianInt64(header));
    const auto position = static_cast<std::int64_t>(juce::ByteOrder::littleEndianInt64(header + 8));

    if (counts.datagrams == 0)
        firstArrival = arrivalSeconds;
    lastArrival = arrivalSeconds;
    ++counts.datagrams;
    if (counts.firstSequence < 0)
        counts.firstSequence = sequence;

    if (!markSeen(sequence))
    {
        ++counts.duplicates;
        return; // its audio is already counted
    }
    addAudio(position, header + 28);
}

// A session's sequence numbers start at 0, so datagrams missing before the
// first one that arrived count as a gap too.
bool StreamSummary::markSeen(std::int64_t sequence)
{
    const auto slot = [](std::int64_t s) { return static_cast<size_t>(s % window); };
    const std::int64_t highest = counts.lastSequence;

    if (sequence > highest)
    {
        if (sequence > highest + 1)
        {
            ++counts.gaps;
            counts.missing += sequence - highest - 1;
        }
        // Forget what the slots we move over held a window ago.
        if (sequence - highest >= window)
            seen.assign(seen.size(), false);
        else
            for (std::int64_t s = highest + 1; s <= sequence; ++s)
                seen[slot(s)] = false;
        seen[slot(sequence)] = true;
        counts.lastSequence = sequence;
        return true;
    }

    if (sequence < 0 || highest - sequence >= window)
    {
        ++counts.lateArrivals; // too old to tell; counted as late
        return true;
    }
    if (seen[slot(sequence)])
        return false;
    seen[slot(sequence)] = true;
    ++counts.lateArrivals;
    --counts.missing;
    return true;
}

void StreamSummary::addAudio(std::int64_t position, const std::uint8_t* samples)
{
    if (position != nextPosition)
        closeRun();

    for (int i = 0; i < framesPerDatagram; ++i)
    {
        const float left = floatAt(samples + 8 * i);
        const float right = floatAt(samples + 8 * i + 4);
        sumOfSquares += double(left) * double(left) + double(right) * double(right);
        sampleCount += 2;
        peak = std::max({peak, std::abs(left), std::abs(right)});

        const bool hasPrevious = position == nextPosition || i > 0;
        if (hasPrevious && previousLeft < 0.0f && left >= 0.0f)
        {
            // Where the line between the two samples crosses zero.
            const double at = double(position + i - 1) +
                              double(-previousLeft) / (double(left) - double(previousLeft));
            if (runCrossings == 0)
                runFirstCrossing = at;
            runLastCrossing = at;
            ++runCrossings;
        }
        previousLeft = left;
    }
    nextPosition = position + framesPerDatagram;
}

void StreamSummary::closeRun()
{
    if (runCrossings >= 2)
    {
        cyclesCounted += double(runCrossings - 1);
        samplesSpanned += runLastCrossing - runFirstCrossing;
    }
    runCrossings = 0;
    runFirstCrossing = runLastCrossing = -1.0;
}

StreamReport StreamSummary::report() const
{
    StreamReport r = counts;
    if (r.datagrams >= 2 && lastArrival > firstArrival)
        r.datagramsPerSecond = double(r.datagrams - 1) / (lastArrival - firstArrival);

    if (sampleCount > 0)
    {
        r.rmsDbfs = toDbfs(std::sqrt(sumOfSquares / double(sampleCount)));
        r.peakDbfs = toDbfs(peak);
    }
    else
    {
        r.rmsDbfs = r.peakDbfs = -std::numeric_limits<double>::infinity();
    }

    double cycles = cyclesCounted, spanned = samplesSpanned;
    if (runCrossings >= 2)
    {
        cycles += double(runCrossings - 1);
        spanned += runLastCrossing - runFirstCrossing;
    }
    r.frequencyHz = spanned > 0.0 ? cycles / (spanned / outputRate) : 0.0;
    return r;
}
} // namespace vesk::demo
