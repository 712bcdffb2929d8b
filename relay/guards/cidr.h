// IPv4 networks in CIDR notation ("10.0.0.0/8", or a bare address for one host) and lists of
// them, for the relay's allow-list and trusted proxies. Parsing is strict: a network with host
// bits set ("10.1.2.3/8") is refused rather than silently widened or narrowed.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

using AddressV4 = boost::asio::ip::address_v4;
using NetworkV4 = boost::asio::ip::network_v4;

// The IPv4 address behind `address` (plain or IPv4-mapped IPv6), if there is one.
std::optional<AddressV4> toV4(const boost::asio::ip::address& address);

// The key under which the guards count an address: IPv4 (and IPv4-mapped) addresses stand
// alone, IPv6 addresses are grouped by their /64, which one subscriber usually holds whole.
boost::asio::ip::address addressGroup(const boost::asio::ip::address& address);

// One network; on failure `error` (if given) says why.
std::optional<NetworkV4> parseCidr(std::string_view text, std::string* error = nullptr);

class CidrList
{
public:
    // Adds every network of a comma-separated list; nothing is added when any entry is bad.
    bool add(std::string_view list, std::string* error = nullptr);

    bool empty() const { return masks_.empty(); }
    std::size_t size() const { return masks_.size(); }
    bool contains(AddressV4 address) const;
    // IPv6 addresses are in no list unless they are IPv4-mapped.
    bool contains(const boost::asio::ip::address& address) const;
    std::string str() const; // "10.0.0.0/8,192.0.2.7/32"

private:
    struct Entry
    {
        std::uint32_t network;
        std::uint32_t mask;
    };
    std::vector<Entry> masks_;
};

} // namespace orlune::relay
