#include "guards/cidr.h"

#include <cctype>

namespace orlune::relay
{

std::optional<AddressV4> toV4(const boost::asio::ip::address& address)
{
    if (address.is_v4())
        return address.to_v4();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    return std::nullopt;
}

boost::asio::ip::address addressGroup(const boost::asio::ip::address& address)
{
    if (const auto v4 = toV4(address))
        return *v4;
    auto bytes = address.to_v6().to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i)
        bytes[i] = 0;
    return boost::asio::ip::address_v6(bytes);
}

std::optional<NetworkV4> parseCidr(std::string_view text, std::string* error)
{
    auto fail = [&](const std::string& why) -> std::optional<NetworkV4>
    {
        if (error)
            *error = "not an IPv4 network (" + why + "): " + std::string(text);
        return std::nullopt;
    };
    std::string spelled(text);
    const auto slash = spelled.find('/');
    if (slash == std::string::npos)
        spelled += "/32";
    else
    {
        // One or two digits: the library would read longer runs with atoi.
        const std::string_view prefix = text.substr(slash + 1);
        if (prefix.empty() || prefix.size() > 2 ||
            !std::isdigit(static_cast<unsigned char>(prefix[0])) ||
            (prefix.size() == 2 && !std::isdigit(static_cast<unsigned char>(prefix[1]))))
            return fail("expected a prefix length of 0 to 32");
    }
    boost::system::error_code ec;
    const NetworkV4 network = boost::asio::ip::make_network_v4(spelled, ec);
    if (ec)
        return fail("expected a.b.c.d or a.b.c.d/n");
    if (network != network.canonical())
        return fail("host bits set; the network is " + network.canonical().to_string());
    return network;
}

bool CidrList::add(std::string_view list, std::string* error)
{
    std::vector<Entry> added;
    std::size_t at = 0;
    for (;;)
    {
        const auto comma = list.find(',', at);
        std::string_view item =
            list.substr(at, comma == std::string_view::npos ? list.npos : comma - at);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        const auto network = parseCidr(item, error);
        if (!network)
            return false;
        added.push_back({network->network().to_uint(), network->netmask().to_uint()});
        if (comma == std::string_view::npos)
            break;
        at = comma + 1;
    }
    masks_.insert(masks_.end(), added.begin(), added.end());
    return true;
}

bool CidrList::contains(AddressV4 address) const
{
    const std::uint32_t bits = address.to_uint();
    for (const Entry& e : masks_)
        if ((bits & e.mask) == e.network)
            return true;
    return false;
}

bool CidrList::contains(const boost::asio::ip::address& address) const
{
    const auto v4 = toV4(address);
    return v4 && contains(*v4);
}

std::string CidrList::str() const
{
    std::string out;
    for (const Entry& e : masks_)
    {
        if (!out.empty())
            out += ',';
        out += NetworkV4(AddressV4(e.network), AddressV4(e.mask)).to_string();
    }
    return out;
}

} // namespace orlune::relay
