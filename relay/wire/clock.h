// The relay's clock and the address a datagram comes from: what every part that keeps time or
// knows sources speaks in.
#pragma once

#include <boost/asio/ip/udp.hpp>

#include <chrono>

namespace orlune::relay
{

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Endpoint = boost::asio::ip::udp::endpoint;

} // namespace orlune::relay
