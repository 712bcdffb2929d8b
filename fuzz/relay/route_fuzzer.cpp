// Arbitrary request targets: whatever routes to a file must be a plain name inside the web root.
#include "wire/datagram.h"
#include "http/http_routes.h"

#include <cstdlib>
#include <string_view>

using namespace orlune::relay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    const Route route = routeTarget(target);
    switch (route.kind)
    {
        case RouteKind::StaticFile:
            if (route.argument.find('/') != std::string::npos ||
                route.argument.find("..") != std::string::npos || route.argument.empty() ||
                route.argument.front() == '.' || !contentTypeFor(route.argument))
                std::abort();
            break;
        case RouteKind::RoomPage:
        case RouteKind::RoomSlash:
        case RouteKind::RoomSocket:
            if (!isRoomCode(route.argument))
                std::abort();
            break;
        default:
            break;
    }
    return 0;
}
