#include "http/http_answers.h"

#include "loop/metrics.h"

#include <filesystem>
#include <fstream>
#include <optional>

namespace orlune::relay
{

namespace http = beast::http;

namespace
{

constexpr std::uintmax_t kMaxStaticFile = 16 * 1024 * 1024;

std::optional<std::string> readSmallFile(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec))
        return std::nullopt;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size > kMaxStaticFile)
        return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string data(static_cast<std::size_t>(size), '\0');
    in.read(data.data(), static_cast<std::streamsize>(size));
    if (static_cast<std::uintmax_t>(in.gcount()) != size)
        return std::nullopt;
    return data;
}

HttpResponse fileResponse(const HttpRequest& req, const Core& core, const std::string& name)
{
    const auto type = contentTypeFor(name);
    auto data = type ? readSmallFile(std::filesystem::path(core.webRoot) / name) : std::nullopt;
    if (!data)
        return textResponse(req, http::status::not_found, "not found\n");
    HttpResponse res = makeResponse(req, http::status::ok, *type, std::move(*data));
    res.set(http::field::cache_control, "no-cache");
    return res;
}

HttpResponse methodNotAllowed(const HttpRequest& req)
{
    HttpResponse res = textResponse(req, http::status::method_not_allowed, "method not allowed\n");
    res.set(http::field::allow, "GET, HEAD");
    return res;
}

bool isGetOrHead(const HttpRequest& req)
{
    return req.method() == http::verb::get || req.method() == http::verb::head;
}

const char* refusalText(JoinResult r)
{
    switch (r)
    {
        case JoinResult::RoomLimit:
            return "the relay has reached its room limit\n";
        case JoinResult::RoomFull:
            return "this room has reached its listener limit\n";
        case JoinResult::RelayFull:
            return "the relay has reached its listener limit\n";
        case JoinResult::Joined:
            break;
    }
    return "\n";
}

} // namespace

HttpResponse makeResponse(const HttpRequest& req, http::status status, std::string_view contentType,
                          std::string body)
{
    HttpResponse res{status, req.version()};
    res.set(http::field::server, kServerName);
    res.set(http::field::content_type, contentType);
    res.set("X-Content-Type-Options", "nosniff");
    res.keep_alive(req.keep_alive());
    if (req.method() == http::verb::head)
    {
        res.content_length(body.size());
    }
    else
    {
        res.body() = std::move(body);
        res.prepare_payload();
    }
    return res;
}

HttpResponse textResponse(const HttpRequest& req, http::status status, std::string text)
{
    return makeResponse(req, status, "text/plain; charset=utf-8", std::move(text));
}

HttpResponse answerRoute(const HttpRequest& req, const Route& route, Core& core)
{
    if (!isGetOrHead(req))
    {
        core.metrics.countReject(RequestReject::MethodNotAllowed);
        return methodNotAllowed(req);
    }
    switch (route.kind)
    {
        case RouteKind::Health:
            if (core.cluster != nullptr)
                return textResponse(req,
                                    core.cluster->healthy() ? http::status::ok
                                                            : http::status::service_unavailable,
                                    core.cluster->healthText());
            return textResponse(req, http::status::ok, "ok\n");
        case RouteKind::Metrics:
        {
            std::string text = renderMetrics(core.metrics, core.registry);
            if (core.cluster != nullptr)
                text += core.cluster->metricsText();
            return makeResponse(req, http::status::ok, kMetricsContentType, std::move(text));
        }
        case RouteKind::RoomPage:
            return fileResponse(req, core, "index.html");
        case RouteKind::StaticFile:
            return fileResponse(req, core, route.argument);
        case RouteKind::RoomSlash:
        {
            HttpResponse res = textResponse(req, http::status::moved_permanently, "moved\n");
            res.set(http::field::location, "/orlune/" + route.argument);
            return res;
        }
        case RouteKind::RoomSocket:
            return textResponse(req, http::status::upgrade_required,
                                "this address takes WebSocket connections\n");
        case RouteKind::NotFound:
            break;
    }
    return textResponse(req, http::status::not_found, "not found\n");
}

HttpResponse listenerRefusal(const HttpRequest& req, JoinResult verdict)
{
    return textResponse(req, http::status::service_unavailable, refusalText(verdict));
}

HttpResponse tooManyRequests(const HttpRequest& req, std::string text, const char* retryAfter)
{
    HttpResponse res = textResponse(req, http::status::too_many_requests, std::move(text));
    res.set(http::field::retry_after, retryAfter);
    return res;
}

HttpResponse bodyRefusal(const HttpRequest& req)
{
    if (isGetOrHead(req))
        return textResponse(req, http::status::bad_request,
                            "GET and HEAD requests carry no body here\n");
    return methodNotAllowed(req);
}

RequestReject bodyRefusalReason(const HttpRequest& req)
{
    return isGetOrHead(req) ? RequestReject::BodyNotAllowed : RequestReject::MethodNotAllowed;
}

HttpResponse bodyTooLarge(const HttpRequest& req)
{
    return textResponse(req, http::status::payload_too_large,
                        "request bodies are not accepted here\n");
}

} // namespace orlune::relay
