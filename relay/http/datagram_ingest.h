// Datagram ingest: the relay's UDP socket, taking in the plug-in's datagrams and handing each
// valid one to the rooms.
#pragma once

#include "loop/core.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>

#include <array>
#include <cstdint>

namespace orlune::relay
{

// A valid datagram, admitted by its source's guard: to the cluster link (if any) for a room the
// registry would take, then to the registry.
void ingestDatagram(Core& core, const Datagram& datagram, const Endpoint& from, TimePoint now);

class DatagramIngest
{
public:
    // Opens and binds the socket on the configured address. Throws on failure.
    DatagramIngest(net::io_context& ioc, Core& core);

    void start();
    void close();
    std::uint16_t port() const { return port_; }

private:
    void receiveNext();
    void drainWaiting();
    void onDatagram(std::size_t size);

    Core& core_;
    net::ip::udp::socket socket_;
    std::array<std::uint8_t, 65536> buffer_{};
    net::ip::udp::endpoint from_;
    std::uint16_t port_ = 0;
};

} // namespace orlune::relay
