#include "http/http_session.h"

#include "http/http_answers.h"
#include "http/listener_session.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <memory>
#include <optional>

namespace orlune::relay
{

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace
{

constexpr std::size_t kMaxRequestHeader = 80 * 1024; // room codes may be long
// Request bodies are never used: one this size is read and thrown away so that the connection
// stays usable; a larger one is refused (413) and the connection closed.
constexpr std::size_t kMaxDiscardedBody = 64 * 1024;
// After refusing a request, the connection is closed once the client has stopped sending, or
// after this long or this much, so that the client reads the answer instead of a reset.
constexpr auto kLingerTime = std::chrono::seconds(2);
constexpr std::size_t kMaxLingerBytes = 1024 * 1024;

// Who a connection came to: the public HTTP port (pages, sockets, health) or the metrics
// address (figures and health).
enum class HttpRole
{
    Public,
    Monitoring,
};

using Request = HttpRequest;
using Response = HttpResponse;

// One HTTP connection: answers requests (http_answers.h) until it is upgraded to a WebSocket
// or closed.
template <class Stream> class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>>
{
public:
    template <class... Args>
    explicit HttpSession(Core& core, HttpRole role, ClientLease lease, bool overRate,
                         Args&&... streamArgs)
        : stream_(std::forward<Args>(streamArgs)...)
        , core_(core)
        , role_(role)
        , lease_(std::move(lease))
        , overRate_(overRate)
    {
        core_.connectionOpened();
        beast::error_code ec;
        const auto peer = beast::get_lowest_layer(stream_).socket().remote_endpoint(ec);
        if (!ec && role_ == HttpRole::Public && core_.clients.isTrustedProxy(peer.address()))
            proxy_ = peer.address();
    }

    ~HttpSession() { core_.connectionClosed(); }

    void run()
    {
        if constexpr (IsTls<Stream>::value)
        {
            beast::get_lowest_layer(stream_).expires_after(core_.config.httpTimeout);
            stream_.async_handshake(
                ssl::stream_base::server,
                beast::bind_front_handler(&HttpSession::onHandshake, this->shared_from_this()));
        }
        else
        {
            readNext();
        }
    }

private:
    void onHandshake(beast::error_code ec)
    {
        if (!ec)
            readNext();
    }

    void readNext()
    {
        if (core_.stopping)
            return closeConnection();
        parser_.emplace();
        parser_->header_limit(kMaxRequestHeader);
        parser_->body_limit(boost::none); // bodies are judged by refuseBody(), never read here
        beast::get_lowest_layer(stream_).expires_after(core_.config.httpTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            beast::bind_front_handler(&HttpSession::onRead, this->shared_from_this()));
    }

    void onRead(beast::error_code ec, std::size_t)
    {
        if (ec == http::error::end_of_stream)
            return closeConnection();
        if (ec)
            return;
        ++core_.metrics.httpRequests;

        Request& req = parser_->get();
        if (!admitClient(req))
            return;
        if (!parser_->is_done())
            return refuseBody();
        Route route = routeTarget(std::string_view(req.target().data(), req.target().size()));
        // The figures name every room (the only key to a stream) and where its audio comes
        // from: they are served on the metrics address only. That address serves nothing else
        // but the health check.
        if (role_ == HttpRole::Public
                ? route.kind == RouteKind::Metrics
                : route.kind != RouteKind::Metrics && route.kind != RouteKind::Health)
            route = Route{};

        if (websocket::is_upgrade(req))
        {
            if (route.kind != RouteKind::RoomSocket)
                return send(textResponse(req, http::status::not_found, "not found\n"));
            if (core_.stopping)
                return send(textResponse(req, http::status::service_unavailable,
                                         "the relay is shutting down\n"));
            std::optional<QualityChoice> quality;
            const auto target = std::string_view(req.target().data(), req.target().size());
            if (const auto asked = queryParameter(target, "quality"))
            {
                quality = parseQuality(*asked);
                if (!quality)
                    return send(textResponse(
                        req, http::status::bad_request,
                        "unknown quality; the tiers are: " + qualityNameList() + "\n"));
            }
            // The listener's place is taken now, relay-wide, so that a refusal is always this
            // answer and never a closed WebSocket.
            Seat seat;
            const JoinResult verdict = core_.reserve(route.argument, seat);
            if (verdict != JoinResult::Joined)
                return send(listenerRefusal(req, verdict));
            beast::get_lowest_layer(stream_).expires_never();
            startListenerSession(std::move(stream_), core_, std::move(seat), quality,
                                 parser_->release(), std::move(lease_));
            return;
        }

        if (route.kind == RouteKind::Metrics && core_.renderRelayMetrics &&
            (req.method() == http::verb::get || req.method() == http::verb::head))
            return sendRelayMetrics(req);
        send(answerRoute(req, route, core_));
    }

    // Several event loops: the figures are gathered on the home loop, then answered here.
    void sendRelayMetrics(const Request& req)
    {
        core_.renderRelayMetrics(
            [self = this->shared_from_this(), req](std::string text) {
                self->send(
                    makeResponse(req, http::status::ok, kMetricsContentType, std::move(text)));
            });
    }

    // Behind a trusted proxy, counts the client the request speaks for (again whenever a
    // kept-alive proxy connection carries another client's request). Answers 429 and returns
    // false when the client is over a limit.
    bool admitClient(const Request& req)
    {
        if (proxy_)
        {
            std::string forwarded;
            const auto [first, last] = req.equal_range("X-Forwarded-For");
            for (auto field = first; field != last; ++field)
            {
                if (!forwarded.empty())
                    forwarded += ',';
                forwarded.append(field->value().data(), field->value().size());
            }
            const auto client = addressGroup(
                clientAddress(*proxy_, forwarded, core_.clients.limits().trustedProxies));
            if (!lease_ || lease_.client() != client)
            {
                ClientLease lease;
                switch (core_.clients.admit(client, core_.now(), lease))
                {
                    case ClientVerdict::Admitted:
                        break;
                    case ClientVerdict::TooManyOpen:
                        core_.metrics.countReject(ConnectionReject::ClientConnections);
                        lease_ = ClientLease{};
                        refuse(
                            tooManyRequests(req, "too many connections from your address\n", "5"));
                        return false;
                    case ClientVerdict::RateLimited:
                        core_.metrics.countReject(ConnectionReject::ClientRate);
                        overRate_ = true;
                        break;
                }
                lease_ = std::move(lease);
            }
        }
        if (overRate_)
        {
            refuse(tooManyRequests(req, "too many new connections from your address\n", "1"));
            return false;
        }
        return true;
    }

    // A request with a body: nothing here takes one. A small body is read and discarded and
    // the connection kept; a large one (or one the client waits to be asked for) is refused
    // without reading it, and the connection closed.
    void refuseBody()
    {
        const Request& req = parser_->get();
        const auto length = parser_->content_length();
        if (length && *length > kMaxDiscardedBody)
        {
            core_.metrics.countReject(RequestReject::BodyTooLarge);
            return refuse(bodyTooLarge(req));
        }
        if (beast::iequals(req[http::field::expect], "100-continue"))
        {
            core_.metrics.countReject(bodyRefusalReason(req));
            return refuse(bodyRefusal(req));
        }
        head_.emplace(req.base());
        bodyParser_.emplace(std::move(*parser_));
        bodyParser_->body_limit(kMaxDiscardedBody);
        http::async_read(stream_, buffer_, *bodyParser_,
                         beast::bind_front_handler(&HttpSession::onBody, this->shared_from_this()));
    }

    void onBody(beast::error_code ec, std::size_t)
    {
        const Request head = std::move(*head_);
        head_.reset();
        bodyParser_.reset();
        if (ec == http::error::body_limit)
        {
            // Chunked, so its size was not known up front.
            core_.metrics.countReject(RequestReject::BodyTooLarge);
            return refuse(bodyTooLarge(head));
        }
        if (ec)
            return;
        core_.metrics.countReject(bodyRefusalReason(head));
        send(bodyRefusal(head));
    }

    // Answers and closes, reading whatever the client still sends until it stops.
    void refuse(Response&& res)
    {
        res.keep_alive(false);
        linger_ = true;
        send(std::move(res));
    }

    void send(Response&& res)
    {
        response_ = std::move(res);
        http::async_write(
            stream_, *response_,
            beast::bind_front_handler(&HttpSession::onWrite, this->shared_from_this()));
    }

    void onWrite(beast::error_code ec, std::size_t)
    {
        if (ec)
            return;
        const bool keepAlive = response_->keep_alive();
        response_.reset();
        if (!keepAlive)
            return closeConnection();
        readNext();
    }

    void closeConnection()
    {
        if constexpr (IsTls<Stream>::value)
        {
            beast::get_lowest_layer(stream_).expires_after(std::chrono::seconds(5));
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {});
        }
        else
        {
            beast::error_code ec;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
            if (linger_)
            {
                stream_.expires_after(kLingerTime);
                lingerRead();
            }
        }
    }

    void lingerRead()
    {
        buffer_.clear();
        stream_.async_read_some(
            buffer_.prepare(16 * 1024),
            [self = this->shared_from_this()](beast::error_code ec, std::size_t n)
            {
                self->lingered_ += n;
                if (!ec && self->lingered_ < kMaxLingerBytes)
                    self->lingerRead();
            });
    }

    Stream stream_;
    Core& core_;
    HttpRole role_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::optional<http::request_parser<http::string_body>> bodyParser_;
    std::optional<Request> head_; // the header of a request whose body is being discarded
    std::optional<Response> response_;
    ClientLease lease_;
    bool overRate_ = false;
    std::optional<boost::asio::ip::address> proxy_; // the peer, when it is a trusted proxy
    bool linger_ = false;
    std::size_t lingered_ = 0;
};

} // namespace

void startHttpSession(Core& core, tcp::socket socket, ssl::context* tls, ClientLease lease,
                      bool overRate)
{
    if (tls)
        std::make_shared<HttpSession<TlsStream>>(core, HttpRole::Public, std::move(lease), overRate,
                                                 std::move(socket), *tls)
            ->run();
    else
        std::make_shared<HttpSession<PlainStream>>(core, HttpRole::Public, std::move(lease),
                                                   overRate, std::move(socket))
            ->run();
}

void startMonitoringSession(Core& core, tcp::socket socket)
{
    std::make_shared<HttpSession<PlainStream>>(core, HttpRole::Monitoring, ClientLease{}, false,
                                               std::move(socket))
        ->run();
}

} // namespace orlune::relay
