// The relay server: UDP in, HTTP and WebSocket out, on one or several event loops (--threads).
#pragma once

#include "app/config.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orlune::relay
{

class Relay
{
public:
    // Opens the UDP socket, the HTTP acceptor and the metrics listener (and loads the TLS key pair
    // if configured). Throws std::exception on failure.
    explicit Relay(Config config);
    ~Relay();

    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

    std::uint16_t udpPort() const;
    std::uint16_t httpPort() const;
    std::uint16_t metricsPort() const; // 0: no metrics listener
    bool usesTls() const;
    const std::string& webRoot() const;
    std::size_t eventLoops() const;

    // Shut down cleanly on SIGINT and SIGTERM (a second signal stops at once).
    void handleSignals();

    // Serves until stop() or a handled signal; returns once every connection is closed or
    // the shutdown grace period has passed.
    void run();

    // Safe from any thread: stops taking datagrams and connections, closes every listener
    // with a "going away" close frame.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace orlune::relay
