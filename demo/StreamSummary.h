#pragma once

// What a listener on the relay port makes of a stream: which datagrams came,
// which were missing or came twice, and what the decoded audio sounds like
// (its level and, by zero crossings, its frequency). Datagrams are added one
// at a time, in arrival order; memory stays bounded however long the stream.

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vesk::demo
{
struct StreamReport
{
    std::int64_t datagrams = 0;      // well-formed datagrams of our room, duplicates included
    std::int64_t firstSequence = -1; // -1 when none arrived
    std::int64_t lastSequence = -1;
    std::int64_t gaps = 0;       // places where the sequence skipped ahead
    std::int64_t missing = 0;    // datagrams skipped there and never seen later
    std::int64_t duplicates = 0; // sequence numbers seen more than once
    std::int64_t lateArrivals = 0;
    std::int64_t ignored = 0;        // other rooms, other formats
    double datagramsPerSecond = 0.0; // between the first and the last arrival
    double rmsDbfs = -1000.0;        // over every decoded sample of both channels
    double peakDbfs = -1000.0;
    double frequencyHz = 0.0; // left channel, upward zero crossings; 0 if too few
};

class StreamSummary
{
public:
    explicit StreamSummary(juce::String roomCode);

    // One received datagram, stamped with its arrival in seconds on any
    // steady clock.
    void add(const void* bytes, size_t size, double arrivalSeconds);

    StreamReport report() const;

private:
    void addAudio(std::int64_t position, const std::uint8_t* samples);
    bool markSeen(std::int64_t sequence); // false when it was seen before

    juce::String room;
    StreamReport counts;
    double firstArrival = 0.0, lastArrival = 0.0;

    // Recently seen sequence numbers, to tell a duplicate from a late arrival.
    static constexpr std::int64_t window = 1 << 16;
    std::vector<bool> seen = std::vector<bool>(static_cast<size_t>(window), false);

    double sumOfSquares = 0.0;
    std::int64_t sampleCount = 0;
    float peak = 0.0f;

    // Zero crossings, counted within runs of contiguous sample positions so a
    // lost datagram cannot fake or hide a cycle.
    std::int64_t nextPosition = -1;
    float previousLeft = 0.0f;
    double runFirstCrossing = -1.0, runLastCrossing = -1.0;
    std::int64_t runCrossings = 0;
    double cyclesCounted = 0.0, samplesSpanned = 0.0;
    void closeRun();
};
} // namespace vesk::demo
