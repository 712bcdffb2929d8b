// Helpers shared by the relay's end-to-end tests: the datagrams of a room's stream, and reading
// what a listener gets.
#pragma once

#include "test_support.h"

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orlune::relay::test
{

inline const std::string kLive = R"({"type":"source","live":true})";
inline const std::string kOffline = R"({"type":"source","live":false})";

// Datagram `seq` of `room`'s stream: positions 256 frames apart, samples patternSamples(seq +
// `seed`), or silence without a seed.
inline std::vector<std::uint8_t> streamDatagram(const std::string& room, std::int64_t seq,
                                                std::optional<std::uint32_t> seed = std::nullopt)
{
    DatagramFields f;
    f.room = room;
    f.sequence = seq;
    f.samplePosition = seq * 256;
    if (seed)
        f.samples = patternSamples(static_cast<std::uint32_t>(seq) + *seed);
    return buildDatagram(f);
}

// Datagram `seq` of `room`'s stream carrying a slow sine (the benchmarks' music stand-in).
inline std::vector<std::uint8_t> sineDatagram(const std::string& room, std::int64_t seq)
{
    DatagramFields f;
    f.room = room;
    f.sequence = seq;
    f.samplePosition = seq * 256;
    for (std::size_t i = 0; i < f.samples.size(); ++i)
        f.samples[i] =
            std::sin(static_cast<float>(seq * 512 + static_cast<std::int64_t>(i)) * 0.01f);
    return buildDatagram(f);
}

// A relay on free loopback ports with `threads` loops, its listener and client limits out of the
// way of a load test (thousands of listeners from 127.0.0.1, connected as fast as it accepts).
inline Config loadTestConfig(std::size_t threads)
{
    Config config;
    config.udpPort = 0;
    config.httpPort = 0;
    config.quiet = true;
    config.threads = threads;
    config.limits.maxListenersPerRoom = 1'000'000;
    config.limits.maxListenersTotal = 1'000'000;
    config.maxConnections = 1'000'000;
    config.clients.maxOpenPerClient = 1'000'000;
    config.clients.connectionRate = 1e9;
    config.clients.connectionBurst = 1e9;
    return config;
}

// Reads the next audio message, collecting the text messages before it.
inline std::optional<WsMessage> nextAudio(WsClient& c, std::vector<std::string>* texts = nullptr)
{
    while (auto m = c.read())
    {
        if (!m->text)
            return m;
        if (texts)
            texts->push_back(m->data);
    }
    return std::nullopt;
}

} // namespace orlune::relay::test
