// What an HTTP request target refers to. Pure string work, shared by the server and its tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orlune::relay
{

enum class RouteKind
{
    NotFound,
    Health,     // /healthz
    Metrics,    // /metrics
    RoomPage,   // /orlune/<room>            -> index.html
    RoomSlash,  // /orlune/<room>/           -> redirect to /orlune/<room>
    StaticFile, // /orlune/<name.ext>        -> file from the web root
    RoomSocket, // /orlune/<room>/ws         -> WebSocket
};

struct Route
{
    RouteKind kind = RouteKind::NotFound;
    std::string argument; // room code or file name
};

// The query string, if any, is ignored.
Route routeTarget(std::string_view target);

// The value of query parameter `name` in a request target, exactly as written (tier names
// need no decoding); none if absent. The first of repeated parameters counts.
std::optional<std::string_view> queryParameter(std::string_view target, std::string_view name);

// A plain file name of [A-Za-z0-9_.-] with at least one '.', not starting with '.', no "..".
bool isServableFileName(std::string_view name);

// Content type for the extensions the web player uses; empty for anything else.
std::optional<std::string_view> contentTypeFor(std::string_view fileName);

} // namespace orlune::relay
