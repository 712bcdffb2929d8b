#include "server.h"

#include "datagram.h"
#include "http_routes.h"
#include "metrics.h"
#include "rooms.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <array>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <type_traits>

namespace orlune::relay
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using udp = net::ip::udp;

namespace
{

constexpr std::size_t kMaxRequestHeader = 80 * 1024; // room codes may be long
constexpr std::size_t kMaxIncomingMessage = 4096;    // listeners have nothing to say
constexpr std::uintmax_t kMaxStaticFile = 16 * 1024 * 1024;
constexpr std::size_t kExtraTextMessages = 64; // queued control messages beyond the audio queue
constexpr auto kShutdownGrace = std::chrono::seconds(2);
constexpr char kServerName[] = "orlune-relay";

template <class T> struct IsTls : std::false_type
{
};
template <class T> struct IsTls<beast::ssl_stream<T>> : std::true_type
{
};

} // namespace

// State shared by every connection. Lives as long as the Relay, longer than the io_context.
struct Core
{
    Config config;
    Metrics metrics;
    RoomRegistry registry;
    std::string webRoot;
    bool stopping = false;
    std::function<void()> onLastConnectionClosed;

    explicit Core(Config c)
        : config(std::move(c))
        , registry(config.limits, metrics)
    {
    }

    TimePoint now() const { return config.clock(); }

    void connectionOpened() { ++metrics.connectionsOpen; }
    void connectionClosed()
    {
        --metrics.connectionsOpen;
        if (stopping && metrics.connectionsOpen == 0 && onLastConnectionClosed)
            onLastConnectionClosed();
    }
};

namespace
{

// ----------------------------------------------------------------------------------------------
// One listener: a WebSocket connection attached to a room.

template <class Stream>
class WebSocketSession : public ListenerSink,
                         public std::enable_shared_from_this<WebSocketSession<Stream>>
{
public:
    WebSocketSession(Stream&& stream, Core& core, std::string room)
        : ws_(std::move(stream))
        , core_(core)
        , room_(std::move(room))
    {
        core_.connectionOpened();
    }

    ~WebSocketSession() override
    {
        leaveRoom();
        core_.connectionClosed();
    }

    void start(http::request<http::empty_body> request)
    {
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(10);
        timeouts.idle_timeout = core_.config.websocketIdle;
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        ws_.read_message_max(kMaxIncomingMessage);
        ws_.auto_fragment(false);
        ws_.async_accept(request, beast::bind_front_handler(&WebSocketSession::onAccept, self()));
    }

    void deliverAudio(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queuedAudio_ >= core_.config.listenerQueue)
            skipAhead();
        queue_.push_back({message, true});
        ++queuedAudio_;
        writeNext();
    }

    void deliverText(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queue_.size() >= core_.config.listenerQueue + kExtraTextMessages)
        {
            // Not reading even control messages: give up on this listener.
            close();
            return;
        }
        queue_.push_back({message, false});
        writeNext();
    }

    void close() override
    {
        if (closing_)
            return;
        closing_ = true;
        queue_.clear();
        queuedAudio_ = 0;
        if (!writing_ && accepted_)
            sendClose();
    }

private:
    struct Outgoing
    {
        SharedBytes data;
        bool binary = false;
    };

    std::shared_ptr<WebSocketSession> self() { return this->shared_from_this(); }

    void onAccept(beast::error_code ec)
    {
        if (ec)
            return;
        accepted_ = true;
        if (core_.stopping)
        {
            closing_ = true;
            sendClose(websocket::close_code::going_away);
            readNext();
            return;
        }
        if (core_.registry.addListener(room_, this, core_.now()) != JoinResult::Joined)
        {
            closing_ = true;
            queue_.clear();
            sendClose(websocket::close_code::try_again_later);
            readNext();
            return;
        }
        joined_ = true;
        readNext();
    }

    // Listeners send nothing we use, but reading keeps pings, pongs and close frames flowing.
    void readNext()
    {
        ws_.async_read(readBuffer_, beast::bind_front_handler(&WebSocketSession::onRead, self()));
    }

    void onRead(beast::error_code ec, std::size_t)
    {
        if (ec)
        {
            // Closed by the peer (Beast has answered its close frame), timed out or broken.
            leaveRoom();
            closing_ = true;
            closeSent_ = true;
            queue_.clear();
            return;
        }
        readBuffer_.consume(readBuffer_.size());
        readNext();
    }

    // Drops every queued audio message (not the one being written) so the next one sent is
    // live audio, and tells the listener how many it missed.
    void skipAhead()
    {
        std::size_t dropped = 0;
        std::deque<Outgoing> kept;
        for (auto& item : queue_)
        {
            if (item.binary)
                ++dropped;
            else
                kept.push_back(std::move(item));
        }
        queue_.swap(kept);
        queuedAudio_ = 0;
        ++core_.metrics.listenerSkips;
        core_.metrics.listenerSkippedMessages += dropped;
        queue_.push_back({std::make_shared<const std::string>(R"({"type":"skip","dropped":)" +
                                                              std::to_string(dropped) + "}"),
                          false});
    }

    void writeNext()
    {
        if (writing_ || queue_.empty() || !accepted_)
            return;
        writing_ = true;
        inFlight_ = std::move(queue_.front());
        queue_.pop_front();
        if (inFlight_.binary)
            --queuedAudio_;
        ws_.binary(inFlight_.binary);
        ws_.async_write(net::buffer(*inFlight_.data),
                        beast::bind_front_handler(&WebSocketSession::onWrite, self()));
    }

    void onWrite(beast::error_code ec, std::size_t bytes)
    {
        writing_ = false;
        const bool binary = inFlight_.binary;
        inFlight_.data.reset();
        if (ec)
        {
            leaveRoom();
            closing_ = true;
            queue_.clear();
            return;
        }
        if (binary)
            ++core_.metrics.audioMessagesSent;
        else
            ++core_.metrics.textMessagesSent;
        core_.metrics.bytesSent += bytes;

        if (closing_)
        {
            if (!closeSent_)
                sendClose();
            return;
        }
        writeNext();
    }

    void sendClose(websocket::close_code code = websocket::close_code::going_away)
    {
        if (closeSent_)
            return;
        closeSent_ = true;
        leaveRoom();
        ws_.async_close(code, [keep = self()](beast::error_code) {});
    }

    void leaveRoom()
    {
        if (!joined_)
            return;
        joined_ = false;
        core_.registry.removeListener(room_, this, core_.now());
    }

    websocket::stream<Stream> ws_;
    Core& core_;
    std::string room_;
    beast::flat_buffer readBuffer_;
    std::deque<Outgoing> queue_;
    Outgoing inFlight_;
    std::size_t queuedAudio_ = 0;
    bool accepted_ = false;
    bool joined_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
};

// ----------------------------------------------------------------------------------------------
// One HTTP connection: answers requests until it is upgraded to a WebSocket or closed.

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

using Request = http::request<http::empty_body>;
using Response = http::response<http::string_body>;

Response makeResponse(const Request& req, http::status status, std::string_view contentType,
                      std::string body)
{
    Response res{status, req.version()};
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

Response textResponse(const Request& req, http::status status, std::string text)
{
    return makeResponse(req, status, "text/plain; charset=utf-8", std::move(text));
}

Response fileResponse(const Request& req, const Core& core, const std::string& name)
{
    const auto type = contentTypeFor(name);
    auto data = type ? readSmallFile(std::filesystem::path(core.webRoot) / name) : std::nullopt;
    if (!data)
        return textResponse(req, http::status::not_found, "not found\n");
    Response res = makeResponse(req, http::status::ok, *type, std::move(*data));
    res.set(http::field::cache_control, "no-cache");
    return res;
}

const char* rejectText(JoinResult r)
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

ListenerReject toReject(JoinResult r)
{
    switch (r)
    {
        case JoinResult::RoomLimit:
            return ListenerReject::RoomLimit;
        case JoinResult::RoomFull:
            return ListenerReject::RoomFull;
        default:
            return ListenerReject::RelayFull;
    }
}

template <class Stream> class HttpSession : public std::enable_shared_from_this<HttpSession<Stream>>
{
public:
    template <class... Args>
    explicit HttpSession(Core& core, Args&&... streamArgs)
        : stream_(std::forward<Args>(streamArgs)...)
        , core_(core)
    {
        core_.connectionOpened();
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
        beast::get_lowest_layer(stream_).expires_after(core_.config.httpTimeout);
        http::async_read(stream_, buffer_, *parser_,
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
        const Route route = routeTarget(std::string_view(req.target().data(), req.target().size()));

        if (websocket::is_upgrade(req))
        {
            if (route.kind != RouteKind::RoomSocket)
                return send(textResponse(req, http::status::not_found, "not found\n"));
            if (core_.stopping)
                return send(textResponse(req, http::status::service_unavailable,
                                         "the relay is shutting down\n"));
            const JoinResult verdict = core_.registry.canJoin(route.argument);
            if (verdict != JoinResult::Joined)
            {
                core_.metrics.countReject(toReject(verdict));
                return send(
                    textResponse(req, http::status::service_unavailable, rejectText(verdict)));
            }
            beast::get_lowest_layer(stream_).expires_never();
            std::make_shared<WebSocketSession<Stream>>(std::move(stream_), core_, route.argument)
                ->start(parser_->release());
            return;
        }

        send(handle(req, route));
    }

    Response handle(const Request& req, const Route& route)
    {
        if (req.method() != http::verb::get && req.method() != http::verb::head)
        {
            Response res =
                textResponse(req, http::status::method_not_allowed, "method not allowed\n");
            res.set(http::field::allow, "GET, HEAD");
            return res;
        }
        switch (route.kind)
        {
            case RouteKind::Health:
                return textResponse(req, http::status::ok, "ok\n");
            case RouteKind::Metrics:
                return makeResponse(req, http::status::ok,
                                    "text/plain; version=0.0.4; charset=utf-8",
                                    renderMetrics(core_.metrics, core_.registry));
            case RouteKind::RoomPage:
                return fileResponse(req, core_, "index.html");
            case RouteKind::StaticFile:
                return fileResponse(req, core_, route.argument);
            case RouteKind::RoomSlash:
            {
                Response res = textResponse(req, http::status::moved_permanently, "moved\n");
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
        }
    }

    Stream stream_;
    Core& core_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::optional<Response> response_;
};

} // namespace

// ----------------------------------------------------------------------------------------------

struct Relay::Impl
{
    Core core;
    std::optional<ssl::context> tls;
    net::io_context ioc{1};
    udp::socket udpSocket{ioc};
    tcp::acceptor acceptor{ioc};
    net::steady_timer sweepTimer{ioc};
    net::steady_timer acceptRetryTimer{ioc};
    net::steady_timer graceTimer{ioc};
    std::optional<net::signal_set> signals;
    std::array<std::uint8_t, 65536> datagram{};
    udp::endpoint datagramFrom;
    bool destroying = false;
    std::uint16_t udpPort = 0;
    std::uint16_t httpPort = 0;

    explicit Impl(Config config)
        : core(std::move(config))
    {
        core.webRoot = core.config.webRoot.empty() ? defaultWebRoot({}) : core.config.webRoot;

        if (!core.config.tlsCert.empty())
        {
            tls.emplace(ssl::context::tls_server);
            tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
            tls->use_certificate_chain_file(core.config.tlsCert);
            tls->use_private_key_file(core.config.tlsKey, ssl::context::pem);
        }

        const udp::endpoint udpAt(net::ip::make_address(core.config.udpAddress),
                                  core.config.udpPort);
        udpSocket.open(udpAt.protocol());
        beast::error_code ignored;
        udpSocket.set_option(net::socket_base::receive_buffer_size(4 * 1024 * 1024), ignored);
        udpSocket.bind(udpAt);

        const tcp::endpoint httpAt(net::ip::make_address(core.config.httpAddress),
                                   core.config.httpPort);
        acceptor.open(httpAt.protocol());
        acceptor.set_option(net::socket_base::reuse_address(true));
        acceptor.bind(httpAt);
        acceptor.listen(net::socket_base::max_listen_connections);
        udpPort = udpSocket.local_endpoint().port();
        httpPort = acceptor.local_endpoint().port();

        core.onLastConnectionClosed = [this]
        {
            if (!destroying)
                finishShutdown();
        };
    }

    ~Impl()
    {
        // Sessions still owned by pending handlers die with the io_context below; they must
        // not touch the timers, which are gone by then.
        destroying = true;
    }

    void start()
    {
        receiveNext();
        acceptNext();
        scheduleSweep();
    }

    void receiveNext()
    {
        udpSocket.async_receive_from(net::buffer(datagram), datagramFrom,
                                     [this](beast::error_code ec, std::size_t size)
                                     {
                                         if (ec == net::error::operation_aborted || core.stopping)
                                             return;
                                         if (!ec)
                                             onDatagram(size);
                                         receiveNext();
                                     });
    }

    void onDatagram(std::size_t size)
    {
        ++core.metrics.datagramsReceived;
        core.metrics.bytesReceived += size;
        const ParseResult parsed = parseDatagram(datagram.data(), size);
        if (!parsed.ok())
        {
            core.metrics.countMalformed(parsed.error);
            return;
        }
        core.registry.onDatagram(parsed.datagram, datagramFrom, core.now());
    }

    void acceptNext()
    {
        acceptor.async_accept(
            [this](beast::error_code ec, tcp::socket socket)
            {
                if (ec == net::error::operation_aborted || core.stopping)
                    return;
                if (ec)
                {
                    // Typically out of file descriptors: back off instead of spinning.
                    acceptRetryTimer.expires_after(std::chrono::milliseconds(100));
                    acceptRetryTimer.async_wait(
                        [this](beast::error_code e)
                        {
                            if (!e && !core.stopping)
                                acceptNext();
                        });
                    return;
                }
                onAccepted(std::move(socket));
                acceptNext();
            });
    }

    void onAccepted(tcp::socket socket)
    {
        if (core.metrics.connectionsOpen >= core.config.maxConnections)
        {
            ++core.metrics.connectionsRejected;
            beast::error_code ignored;
            socket.close(ignored);
            return;
        }
        beast::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        if (tls)
            std::make_shared<HttpSession<beast::ssl_stream<beast::tcp_stream>>>(
                core, std::move(socket), *tls)
                ->run();
        else
            std::make_shared<HttpSession<beast::tcp_stream>>(core, std::move(socket))->run();
    }

    void scheduleSweep()
    {
        auto period = core.config.limits.sourceSilence / 8;
        if (period > std::chrono::milliseconds(250))
            period = std::chrono::milliseconds(250);
        if (period < std::chrono::milliseconds(5))
            period = std::chrono::milliseconds(5);
        sweepTimer.expires_after(period);
        sweepTimer.async_wait(
            [this](beast::error_code ec)
            {
                if (ec || core.stopping)
                    return;
                core.registry.sweep(core.now());
                scheduleSweep();
            });
    }

    void beginShutdown()
    {
        if (core.stopping)
            return;
        core.stopping = true;
        beast::error_code ignored;
        acceptor.close(ignored);
        udpSocket.close(ignored);
        sweepTimer.cancel();
        acceptRetryTimer.cancel();
        core.registry.forEachListener([](ListenerSink* sink) { sink->close(); });
        if (core.metrics.connectionsOpen == 0)
            return finishShutdown();
        graceTimer.expires_after(kShutdownGrace);
        graceTimer.async_wait(
            [this](beast::error_code ec)
            {
                if (!ec)
                    ioc.stop();
            });
    }

    // Every connection is gone: drop the remaining waits so run() returns.
    void finishShutdown()
    {
        graceTimer.cancel();
        if (signals)
        {
            beast::error_code ignored;
            signals->cancel(ignored);
        }
    }

    void watchSignals()
    {
        signals.emplace(ioc, SIGINT, SIGTERM);
        signals->async_wait(
            [this](beast::error_code ec, int)
            {
                if (ec)
                    return;
                // A second signal means "now".
                signals->async_wait(
                    [this](beast::error_code e, int)
                    {
                        if (!e)
                            ioc.stop();
                    });
                beginShutdown();
            });
    }
};

Relay::Relay(Config config)
    : impl_(std::make_unique<Impl>(std::move(config)))
{
    impl_->start();
}

Relay::~Relay() = default;

std::uint16_t Relay::udpPort() const
{
    return impl_->udpPort;
}
std::uint16_t Relay::httpPort() const
{
    return impl_->httpPort;
}
bool Relay::usesTls() const
{
    return impl_->tls.has_value();
}
const std::string& Relay::webRoot() const
{
    return impl_->core.webRoot;
}

void Relay::handleSignals()
{
    net::post(impl_->ioc, [impl = impl_.get()] { impl->watchSignals(); });
}

void Relay::run()
{
    impl_->ioc.run();
    if (impl_->signals)
    {
        beast::error_code ignored;
        impl_->signals->cancel(ignored);
    }
}

void Relay::stop()
{
    net::post(impl_->ioc, [impl = impl_.get()] { impl->beginShutdown(); });
}

} // namespace orlune::relay
