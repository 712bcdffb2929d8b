#pragma once

// Stands in for the relay in the sender benchmarks: holds 127.0.0.1 on the
// relay's UDP port (exclusively, through the tests' LoopbackReceiver) and
// notes, for every datagram that comes from the one sender port it is told to
// follow, its counters and the time it arrived.

#include "LoopbackReceiver.h"
#include "VeskOrluneAudioProcessor.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk::bench
{
// The benchmarks send for real: refuse to run unless the datagrams stay on
// this machine.
inline void requireLoopbackRelay()
{
    const juce::String address(VeskOrluneAudioProcessor::getRelayAddress());
    if (address != "127.0.0.1")
        throw std::runtime_error("the relay address is " + address.toStdString() +
                                 "; the benchmarks only send to 127.0.0.1");
}

class RelayPortListener
{
public:
    using Clock = std::chrono::steady_clock;

    struct Arrival
    {
        std::int64_t sequence = 0;
        std::int64_t position = 0;
        float firstLeftSample = 0.0f;
        Clock::time_point time;
    };

    // keepArrivalsToo: remember every datagram (the latency runs); otherwise
    // only count them (the throughput runs, which send hundreds of thousands).
    explicit RelayPortListener(bool keepArrivalsToo)
        : keepArrivals(keepArrivalsToo)
    {
    }

    RelayPortListener(const RelayPortListener&) = delete;
    RelayPortListener& operator=(const RelayPortListener&) = delete;

    // Datagrams from any other port (another engineer's sender, say) are ignored.
    void follow(int senderPort)
    {
        matched = 0;
        followedPort = senderPort;
        const std::lock_guard<std::mutex> lock(mutex);
        arrivals.clear();
    }

    std::int64_t count() const { return matched.load(); }

    std::vector<Arrival> takeArrivals()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(arrivals, {});
    }

    // Returns once nothing new has arrived for `quiet`.
    void settle(std::chrono::milliseconds quiet = std::chrono::milliseconds(100)) const
    {
        for (auto seen = count();;)
        {
            std::this_thread::sleep_for(quiet);
            const auto now = count();
            if (now == seen)
                return;
            seen = now;
        }
    }

private:
    void onDatagram(const LoopbackReceiver::DatagramView& d)
    {
        if (d.senderPort != followedPort.load())
            return;
        matched.fetch_add(1);
        if (!keepArrivals)
            return;
        Arrival arrival;
        if (!parse(d.bytes, d.size, arrival))
            return;
        arrival.time = d.arrival;
        const std::lock_guard<std::mutex> lock(mutex);
        arrivals.push_back(arrival);
    }

    // Magic + NUL, room code + NUL, int64 sequence, int64 position, three
    // int32, then interleaved float32 frames; all little-endian.
    static bool parse(const std::uint8_t* bytes, size_t size, Arrival& arrival)
    {
        if (size < 2095 || std::memcmp(bytes, "VESKORLUNE_PCM_V3", 18) != 0)
            return false;
        const auto* end = static_cast<const std::uint8_t*>(std::memchr(bytes + 18, 0, size - 18));
        if (end == nullptr)
            return false;
        const size_t header = static_cast<size_t>(end - bytes) + 1;
        if (size != header + 8 + 8 + 12 + 2048)
            return false;
        arrival.sequence =
            static_cast<std::int64_t>(juce::ByteOrder::littleEndianInt64(bytes + header));
        arrival.position =
            static_cast<std::int64_t>(juce::ByteOrder::littleEndianInt64(bytes + header + 8));
        const auto leftBits = juce::ByteOrder::littleEndianInt(bytes + header + 28);
        std::memcpy(&arrival.firstLeftSample, &leftBits, sizeof(float));
        return true;
    }

    const bool keepArrivals;
    std::atomic<int> followedPort{-1};
    std::atomic<std::int64_t> matched{0};
    std::mutex mutex;
    std::vector<Arrival> arrivals;
    // Last, so that it starts delivering once everything above exists.
    LoopbackReceiver receiver{VeskOrluneAudioProcessor::relayPort,
                              [this](const LoopbackReceiver::DatagramView& d) { onDatagram(d); }};
};
} // namespace vesk::bench
