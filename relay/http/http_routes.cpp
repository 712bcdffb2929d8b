#include "http/http_routes.h"

#include "wire/datagram.h"

namespace orlune::relay
{
namespace
{

constexpr std::string_view kPrefix = "/orlune/";

bool endsWith(std::string_view s, std::string_view suffix)
{
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

} // namespace

bool isServableFileName(std::string_view name)
{
    if (name.empty() || name.front() == '.' || name.find('.') == std::string_view::npos)
        return false;
    if (name.find("..") != std::string_view::npos)
        return false;
    for (char c : name)
    {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        if (!ok)
            return false;
    }
    return true;
}

std::optional<std::string_view> contentTypeFor(std::string_view name)
{
    if (endsWith(name, ".html"))
        return "text/html; charset=utf-8";
    if (endsWith(name, ".js"))
        return "text/javascript; charset=utf-8";
    if (endsWith(name, ".css"))
        return "text/css; charset=utf-8";
    if (endsWith(name, ".png"))
        return "image/png";
    if (endsWith(name, ".svg"))
        return "image/svg+xml";
    if (endsWith(name, ".json"))
        return "application/json";
    return std::nullopt;
}

std::optional<std::string_view> queryParameter(std::string_view target, std::string_view name)
{
    const auto q = target.find('?');
    if (q == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(q + 1);
    if (const auto hash = query.find('#'); hash != std::string_view::npos)
        query = query.substr(0, hash);
    while (!query.empty())
    {
        const auto amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const auto eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (amp == std::string_view::npos)
            break;
        query = query.substr(amp + 1);
    }
    return std::nullopt;
}

Route routeTarget(std::string_view target)
{
    if (auto q = target.find('?'); q != std::string_view::npos)
        target = target.substr(0, q);

    if (target == "/healthz")
        return {RouteKind::Health, {}};
    if (target == "/metrics")
        return {RouteKind::Metrics, {}};
    if (target.substr(0, kPrefix.size()) != kPrefix)
        return {};

    std::string_view rest = target.substr(kPrefix.size());
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos)
    {
        if (isRoomCode(rest))
            return {RouteKind::RoomPage, std::string(rest)};
        if (isServableFileName(rest) && contentTypeFor(rest))
            return {RouteKind::StaticFile, std::string(rest)};
        return {};
    }

    const std::string_view room = rest.substr(0, slash);
    const std::string_view tail = rest.substr(slash);
    if (!isRoomCode(room))
        return {};
    if (tail == "/ws")
        return {RouteKind::RoomSocket, std::string(room)};
    if (tail == "/")
        return {RouteKind::RoomSlash, std::string(room)};
    return {};
}

} // namespace orlune::relay
