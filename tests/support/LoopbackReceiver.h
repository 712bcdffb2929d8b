#pragma once

#include <juce_core/juce_core.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

// Stands in for the relay: binds 127.0.0.1 on the relay's UDP port and keeps
// every datagram that arrives, with the time it arrived.
class LoopbackReceiver
{
public:
    struct Datagram
    {
        std::vector<std::uint8_t> bytes;
        std::chrono::steady_clock::time_point arrival;
        int senderPort = 0;
    };

    explicit LoopbackReceiver(int port = 54321)
        : socket(false)
    {
        // Another process may hold the port for a moment (tests in other
        // build folders); wait for it rather than fail at once.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (!socket.bindToPort(port, "127.0.0.1"))
        {
            if (std::chrono::steady_clock::now() > deadline)
                throw std::runtime_error("could not bind 127.0.0.1:" + std::to_string(port));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        reader = std::thread([this] { readLoop(); });
    }

    ~LoopbackReceiver()
    {
        stopRequested = true;
        reader.join();
    }

    std::vector<Datagram> take()
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(received, {});
    }

    size_t count() const
    {
        const std::lock_guard<std::mutex> lock(mutex);
        return received.size();
    }

    // Waits until at least n datagrams have arrived or the time-out passes.
    bool waitFor(size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return arrived.wait_for(lock, timeout, [&] { return received.size() >= n; });
    }

    // Reads the datagrams that arrive within `quiet` of each other, and stops
    // once none has come for that long.
    void drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100))
    {
        for (size_t seen = count();;)
        {
            std::this_thread::sleep_for(quiet);
            const size_t now = count();
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
            const int n = socket.read(buffer.data(), static_cast<int>(buffer.size()), false,
                                      senderAddress, senderPort);
            if (n <= 0)
                continue;
            Datagram d{
                {buffer.begin(), buffer.begin() + n}, std::chrono::steady_clock::now(), senderPort};
            {
                const std::lock_guard<std::mutex> lock(mutex);
                received.push_back(std::move(d));
            }
            arrived.notify_all();
        }
    }

    juce::DatagramSocket socket;
    std::thread reader;
    std::atomic<bool> stopRequested{false};
    mutable std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Datagram> received;
};

// Field access for a datagram of the wire format.
struct DecodedDatagram
{
    std::string roomCode;
    std::int64_t sequence = 0;
    std::int64_t position = 0;
    std::int32_t rate = 0, channels = 0, frames = 0;
    std::vector<float> left, right;
    bool wellFormed = false;

    static DecodedDatagram decode(const std::vector<std::uint8_t>& b)
    {
        DecodedDatagram d;
        if (b.size() < 2095 || std::memcmp(b.data(), "VESKORLUNE_PCM_V3\0", 18) != 0)
            return d;
        size_t pos = 18;
        while (pos < b.size() && b[pos] != 0)
            d.roomCode.push_back(static_cast<char>(b[pos++]));
        if (b.size() != 2095 + d.roomCode.size())
            return d;
        pos += 1;
        auto read = [&](auto& value)
        {
            std::memcpy(&value, b.data() + pos, sizeof(value));
            pos += sizeof(value);
        };
        read(d.sequence);
        read(d.position);
        read(d.rate);
        read(d.channels);
        read(d.frames);
        d.left.resize(256);
        d.right.resize(256);
        for (int i = 0; i < 256; ++i)
        {
            read(d.left[static_cast<size_t>(i)]);
            read(d.right[static_cast<size_t>(i)]);
        }
        d.wellFormed = d.rate == 48000 && d.channels == 2 && d.frames == 256;
        return d;
    }
};
