// Arbitrary --allow-source / --trusted-proxy values: the command line and the list agree on
// what is valid, an accepted list prints as a list that parses back to itself, and every
// network in it contains its own first and last address.
#include "guards/cidr.h"
#include "app/config.h"

#include <cstdlib>
#include <string>

using namespace orlune::relay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    CidrList list;
    std::string error;
    const bool ok = list.add(text, &error);
    if (!ok && error.empty())
        std::abort(); // a refusal always says why
    const ParsedArgs args = parseArgs({"--allow-source", text, "--trusted-proxy", text});
    if (args.config.has_value() != ok)
        std::abort();
    if (!ok)
    {
        if (!list.empty())
            std::abort(); // nothing of a bad list is kept
        return 0;
    }
    CidrList again;
    if (!again.add(list.str()) || again.str() != list.str() || again.size() != list.size())
        std::abort();
    if (args.config->sources.allow.str() != list.str())
        std::abort();
    std::size_t at = 0;
    const std::string printed = list.str();
    while (at < printed.size())
    {
        const auto comma = printed.find(',', at);
        const auto network = parseCidr(printed.substr(at, comma - at));
        if (!network || !list.contains(network->network()) || !list.contains(network->broadcast()))
            std::abort();
        if (comma == std::string::npos)
            break;
        at = comma + 1;
    }
    return 0;
}
