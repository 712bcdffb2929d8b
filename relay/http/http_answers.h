// The HTTP responses the relay gives: pages and files from the web root, health and metrics,
// and the refusals (a full relay, too many connections, a body or method it does not take).
// Built here; the session (http_session.h) decides which and writes them.
#pragma once

#include "http/http_routes.h"
#include "loop/core.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <string>
#include <string_view>

namespace orlune::relay
{

using HttpRequest = beast::http::request<beast::http::empty_body>;
using HttpResponse = beast::http::response<beast::http::string_body>;

inline constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";

// Kept alive as the request asks; a HEAD request gets the length without the body.
HttpResponse makeResponse(const HttpRequest& req, beast::http::status status,
                          std::string_view contentType, std::string body);
HttpResponse textResponse(const HttpRequest& req, beast::http::status status, std::string text);

// The answer to a GET or HEAD of a route that is not a WebSocket upgrade (405 for any other
// method, counted): health, this loop's metrics, the player's page and files, redirects.
HttpResponse answerRoute(const HttpRequest& req, const Route& route, Core& core);

// 503 for a listener the relay-wide limits refuse.
HttpResponse listenerRefusal(const HttpRequest& req, JoinResult verdict);

// 429 with a Retry-After of `retryAfter` seconds.
HttpResponse tooManyRequests(const HttpRequest& req, std::string text, const char* retryAfter);

// A request that came with a body: 400 for GET and HEAD, else 405; and the reason counted.
HttpResponse bodyRefusal(const HttpRequest& req);
RequestReject bodyRefusalReason(const HttpRequest& req);

// 413 for a body too large to read and discard.
HttpResponse bodyTooLarge(const HttpRequest& req);

} // namespace orlune::relay
