// Relay settings: what the command line (app/config.h) fills and every loop reads.
#pragma once

#include "guards/client_guard.h"
#include "guards/source_guard.h"
#include "rooms/room_limits.h"
#include "wire/clock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace orlune::relay
{

inline constexpr std::size_t kMaxEventLoops = 256;

struct Config
{
    std::string udpAddress = "127.0.0.1";
    std::uint16_t udpPort = 54321;
    std::string httpAddress = "127.0.0.1";
    std::uint16_t httpPort = 8080;
    std::string webRoot; // empty: the built-in default (see defaultWebRoot)
    std::string tlsCert;
    std::string tlsKey;

    RoomLimits limits;
    SourceLimits sources;              // who may send datagrams, and how much
    ClientLimits clients;              // how much one HTTP/WebSocket client may connect
    std::size_t maxConnections = 6000; // HTTP and WebSocket connections together
    std::size_t listenerQueue = 64;    // audio messages queued per listener before skipping
    // A listener unheard this long is pinged; unheard twice as long, dropped.
    std::chrono::milliseconds websocketIdle{30000};
    std::chrono::seconds httpTimeout{30};
    bool quiet = false;
    // Event loops (threads) carrying the listeners; 0: one per hardware thread. With one, the
    // relay runs as a single loop; see event_loops.h for several.
    std::size_t threads = 0;

    // Cluster: NATS servers to join (none: a relay on its own), this relay's id in the cluster
    // (unique; empty: host name and process id), and the lease bucket's replicas.
    std::vector<std::string> natsServers;
    std::string relayId;
    int natsReplicas = 1;

    // Time source for room ownership and expiry; tests may replace it.
    std::function<TimePoint()> clock = [] { return Clock::now(); };
};

} // namespace orlune::relay
