// Arbitrary X-Forwarded-For values, from a trusted proxy and from an untrusted peer: the client
// found is the peer itself, or an address that the header really contains.
#include "guards/cidr.h"
#include "guards/client_guard.h"

#include <cstdlib>
#include <string>
#include <string_view>

using namespace orlune::relay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const CidrList proxies = []
    {
        CidrList l;
        if (!l.add("127.0.0.1,10.0.0.0/8"))
            std::abort();
        return l;
    }();
    const std::string_view header(reinterpret_cast<const char*>(data), size);
    const auto proxy = boost::asio::ip::make_address("127.0.0.1");
    const auto stranger = boost::asio::ip::make_address("203.0.113.9");

    if (clientAddress(stranger, header, proxies) != stranger)
        std::abort();
    const auto client = clientAddress(proxy, header, proxies);
    if (client != proxy)
    {
        // The address must be spelled in the header (in the form the parser accepts).
        bool found = false;
        std::size_t at = 0;
        while (!found && at <= header.size())
        {
            const auto comma = header.find(',', at);
            std::string item(header.substr(at, comma == header.npos ? header.npos : comma - at));
            const auto first = item.find_first_not_of(" \t");
            const auto last = item.find_last_not_of(" \t");
            if (first != std::string::npos)
            {
                boost::system::error_code ec;
                const auto a =
                    boost::asio::ip::make_address(item.substr(first, last - first + 1), ec);
                found = !ec && a == client;
            }
            if (comma == header.npos)
                break;
            at = comma + 1;
        }
        if (!found)
            std::abort();
    }
    (void)addressGroup(client);
    return 0;
}
