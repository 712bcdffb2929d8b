#pragma once

// Stands in for the relay in the sender benchmarks: holds 127.0.0.1 on the
// relay's UDP port and notes, for every datagram that comes from the one
// sender port it is told to follow, its counters and the time it arrived.
//
// The port is bound exclusively. juce::DatagramSocket turns SO_REUSEADDR on in
// its constructor, and on Linux two sockets that both set it may bind the same
// UDP address, the later one then receiving every unicast datagram. Turning
// reuse off before binding makes the bind fail while anyone else holds the
// port, and keeps anyone else out while we hold it.

#include "VeskOrluneAudioProcessor.h"

#include <juce_core/juce_core.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
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

    // keepArrivals: remember every datagram (the latency runs); otherwise
    // only count them (the throughput runs, which send hundreds of thousands).
    explicit RelayPortListener(bool keepArrivalsToo,
                               std::chrono::seconds patience = std::chrono::seconds(120))
        : socket(false, juce::SocketOptions{}.withReceiveBufferSize(4 << 20))
        , keepArrivals(keepArrivalsToo)
    {
        socket.setEnablePortReuse(false);
        const auto deadline = Clock::now() + patience;
        while (!socket.bindToPort(VeskOrluneAudioProcessor::relayPort, "127.0.0.1"))
        {
            if (Clock::now() > deadline)
                throw std::runtime_error("127.0.0.1:54321 stayed busy");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reader = std::thread([this] { readLoop(); });
    }

    ~RelayPortListener()
    {
        stopRequested = true;
        reader.join();
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
    void readLoop()
    {
        std::vector<std::uint8_t> buffer(70000);
        while (!stopRequested)
        {
            if (socket.waitUntilReady(true, 20) != 1)
                continue;
            juce::String senderAddress;
            int senderPort = 0;
            const int size = socket.read(buffer.data(), static_cast<int>(buffer.size()), false,
                                         senderAddress, senderPort);
            const auto now = Clock::now();
            if (size <= 0 || senderPort != followedPort.load())
                continue;

            matched.fetch_add(1);
            if (keepArrivals)
            {
                Arrival arrival;
                if (!parse(buffer.data(), static_cast<size_t>(size), arrival))
                    continue;
                arrival.time = now;
                const std::lock_guard<std::mutex> lock(mutex);
                arrivals.push_back(arrival);
            }
        }
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

    juce::DatagramSocket socket;
    const bool keepArrivals;
    std::thread reader;
    std::atomic<bool> stopRequested{false};
    std::atomic<int> followedPort{-1};
    std::atomic<std::int64_t> matched{0};
    std::mutex mutex;
    std::vector<Arrival> arrivals;
};
} // namespace vesk::bench
