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

#include <algorithm>
#include <array>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
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

// An upgraded connection, as the relay's housekeeping sees it.
class SocketSession
{
public:
    virtual ~SocketSession() = default;
    virtual void tick(TimePoint now) = 0; // timeouts and keep-alive pings
    virtual void goAway() = 0;            // relay shutting down
    virtual void flush() = 0;             // start writing what was queued
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
    std::set<SocketSession*> sockets; // every upgraded connection
    // Sessions with audio queued but not yet written. Flushed before the handler that queued
    // it returns, so a session in it is always alive.
    std::vector<SocketSession*> pendingFlush;

    void flushPending()
    {
        for (SocketSession* session : pendingFlush)
            session->flush();
        pendingFlush.clear();
    }

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
//
// Beast performs the opening handshake; after that the session frames its own messages so that
// everything queued for a listener goes out in one gathered write. At 187.5 messages a second
// per listener the cost of the relay is mostly one system call per write, and a relay under
// load writes several messages per call instead of falling behind. Server frames are never
// masked and never fragmented; incoming frames are read only for ping, pong and close.

constexpr std::size_t kMaxBatch = 64;           // messages per gathered write
constexpr std::size_t kMaxIncomingFrame = 4096; // listeners have nothing to say
constexpr auto kCloseHandshakeLimit = std::chrono::seconds(5);

enum : std::uint8_t
{
    kOpText = 0x1,
    kOpBinary = 0x2,
    kOpClose = 0x8,
    kOpPing = 0x9,
    kOpPong = 0xA,
};

template <class Stream>
class WebSocketSession : public ListenerSink,
                         public SocketSession,
                         public std::enable_shared_from_this<WebSocketSession<Stream>>
{
public:
    WebSocketSession(Stream&& stream, Core& core, std::string room)
        : ws_(std::move(stream))
        , core_(core)
        , room_(std::move(room))
    {
        core_.connectionOpened();
        core_.sockets.insert(this);
    }

    ~WebSocketSession() override
    {
        leaveRoom();
        core_.sockets.erase(this);
        core_.connectionClosed();
    }

    void start(http::request<http::empty_body> request)
    {
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(10);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        ws_.async_accept(request, beast::bind_front_handler(&WebSocketSession::onAccept, self()));
    }

    void deliverAudio(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queuedAudio_ >= core_.config.listenerQueue)
            skipAhead();
        enqueue(kOpBinary, message);
        ++queuedAudio_;
        // Written when the relay has taken in every datagram waiting, so that a relay that
        // fell behind catches up with one write per listener instead of one per datagram.
        if (!flushPending_)
        {
            flushPending_ = true;
            core_.pendingFlush.push_back(this);
        }
    }

    void deliverText(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queue_.size() >= core_.config.listenerQueue + kExtraTextMessages)
        {
            // Not reading even control messages: give up on this listener.
            fail();
            return;
        }
        enqueue(kOpText, message);
        writeNext();
    }

    void close() override { goAway(); }

    void goAway() override { beginClose(websocket::close_code::going_away); }

    void flush() override
    {
        flushPending_ = false;
        writeNext();
    }

    void tick(TimePoint now) override
    {
        if (!open_)
            return;
        const auto idle = core_.config.websocketIdle;
        if (writing_ && now - writeStarted_ > idle)
            return fail(); // nothing written for a whole idle period: the listener is stuck
        if (closing_)
        {
            if (now - closeStarted_ > kCloseHandshakeLimit)
                fail();
            return;
        }
        if (now - lastInput_ > 2 * idle)
            return fail();
        if (now - lastInput_ > idle && !pingSent_)
        {
            pingSent_ = true;
            enqueue(kOpPing, std::make_shared<const std::string>());
            writeNext();
        }
    }

private:
    struct Outgoing
    {
        SharedBytes data;
        std::array<std::uint8_t, 4> header{};
        std::uint8_t headerSize = 0;
        std::uint8_t opcode = 0;
    };

    std::shared_ptr<WebSocketSession> self() { return this->shared_from_this(); }
    auto& io() { return ws_.next_layer(); }

    void onAccept(beast::error_code ec)
    {
        if (ec)
            return;
        open_ = true;
        lastInput_ = core_.now();
        readNext();
        if (core_.stopping)
            return goAway();
        if (core_.registry.addListener(room_, this, core_.now()) != JoinResult::Joined)
            return beginClose(websocket::close_code::try_again_later);
        joined_ = true;
    }

    void enqueue(std::uint8_t opcode, const SharedBytes& data, bool front = false)
    {
        Outgoing out;
        out.data = data;
        out.opcode = opcode;
        out.header[0] = static_cast<std::uint8_t>(0x80 | opcode);
        const std::size_t size = data->size();
        if (size < 126)
        {
            out.header[1] = static_cast<std::uint8_t>(size);
            out.headerSize = 2;
        }
        else
        {
            // Nothing the relay sends reaches 64 KiB: the 16-bit length form always fits.
            out.header[1] = 126;
            out.header[2] = static_cast<std::uint8_t>(size >> 8);
            out.header[3] = static_cast<std::uint8_t>(size & 0xff);
            out.headerSize = 4;
        }
        if (front)
            queue_.push_front(std::move(out));
        else
            queue_.push_back(std::move(out));
    }

    // Drops every queued audio message (not those being written) so the next one sent is
    // live audio, and tells the listener how many it missed.
    void skipAhead()
    {
        std::size_t dropped = 0;
        std::deque<Outgoing> kept;
        for (auto& item : queue_)
        {
            if (item.opcode == kOpBinary)
                ++dropped;
            else
                kept.push_back(std::move(item));
        }
        queue_.swap(kept);
        queuedAudio_ = 0;
        ++core_.metrics.listenerSkips;
        core_.metrics.listenerSkippedMessages += dropped;
        enqueue(kOpText, std::make_shared<const std::string>(R"({"type":"skip","dropped":)" +
                                                             std::to_string(dropped) + "}"));
    }

    void writeNext()
    {
        if (writing_ || queue_.empty() || !open_ || failed_)
            return;
        inFlight_.clear();
        buffers_.clear();
        while (!queue_.empty() && inFlight_.size() < kMaxBatch)
        {
            inFlight_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            if (inFlight_.back().opcode == kOpBinary)
                --queuedAudio_;
            if (inFlight_.back().opcode == kOpClose)
                break; // nothing may follow a close frame
        }
        // Only now that inFlight_ will not grow again do the headers have fixed addresses.
        for (const Outgoing& item : inFlight_)
        {
            buffers_.emplace_back(item.header.data(), item.headerSize);
            buffers_.emplace_back(item.data->data(), item.data->size());
        }
        writing_ = true;
        writeStarted_ = core_.now();
        net::async_write(io(), buffers_,
                         beast::bind_front_handler(&WebSocketSession::onWrite, self()));
    }

    void onWrite(beast::error_code ec, std::size_t)
    {
        writing_ = false;
        if (ec)
            return fail();
        bool closeWritten = false;
        for (const Outgoing& item : inFlight_)
        {
            if (item.opcode == kOpBinary)
                ++core_.metrics.audioMessagesSent;
            else if (item.opcode == kOpText)
                ++core_.metrics.textMessagesSent;
            if (item.opcode == kOpBinary || item.opcode == kOpText)
                core_.metrics.bytesSent += item.data->size();
            closeWritten = closeWritten || item.opcode == kOpClose;
        }
        inFlight_.clear();
        if (closeWritten)
        {
            closeSent_ = true;
            if (peerClosed_)
                return shutdown();
            return; // wait for the listener's close frame (tick() limits the wait)
        }
        writeNext();
    }

    void readNext()
    {
        io().async_read_some(net::buffer(readChunk_),
                             beast::bind_front_handler(&WebSocketSession::onRead, self()));
    }

    void onRead(beast::error_code ec, std::size_t size)
    {
        if (ec)
            return fail(); // closed, reset or cancelled
        lastInput_ = core_.now();
        pingSent_ = false;
        incoming_.insert(incoming_.end(), readChunk_.begin(),
                         readChunk_.begin() + static_cast<std::ptrdiff_t>(size));
        if (!parseIncoming())
            return fail();
        if (!failed_)
            readNext();
    }

    // Consumes whole frames from `incoming_`; false on a protocol violation.
    bool parseIncoming()
    {
        std::size_t at = 0;
        while (incoming_.size() - at >= 2)
        {
            const std::uint8_t* p = incoming_.data() + at;
            const bool fin = (p[0] & 0x80) != 0;
            const std::uint8_t opcode = p[0] & 0x0f;
            const bool masked = (p[1] & 0x80) != 0;
            if ((p[0] & 0x70) != 0 || !masked)
                return false; // no extensions were agreed; clients must mask
            std::uint64_t length = p[1] & 0x7f;
            std::size_t headerSize = 2;
            if (length == 126 || length == 127)
            {
                const std::size_t extra = length == 126 ? 2 : 8;
                if (incoming_.size() - at < 2 + extra)
                    break;
                length = 0;
                for (std::size_t i = 0; i < extra; ++i)
                    length = (length << 8) | p[2 + i];
                headerSize += extra;
            }
            if (length > kMaxIncomingFrame)
                return false;
            const std::size_t frameSize = headerSize + 4 + static_cast<std::size_t>(length);
            if (incoming_.size() - at < frameSize)
                break;

            const std::uint8_t* mask = p + headerSize;
            std::string payload(static_cast<std::size_t>(length), '\0');
            for (std::size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(mask[i % 4] ^ p[headerSize + 4 + i]);
            at += frameSize;

            const bool control = (opcode & 0x8) != 0;
            if (control && (!fin || length > 125))
                return false;
            switch (opcode)
            {
                case kOpPing:
                    if (!closing_)
                    {
                        enqueue(kOpPong, std::make_shared<const std::string>(std::move(payload)),
                                true);
                        writeNext();
                    }
                    break;
                case kOpClose:
                    peerClosed_ = true;
                    leaveRoom();
                    if (closeSent_)
                    {
                        shutdown();
                        return true;
                    }
                    if (!closing_)
                    {
                        // Echo the listener's status code, as the protocol asks.
                        std::string body = payload.size() >= 2 ? payload.substr(0, 2) : "";
                        startClosing(std::move(body));
                    }
                    break;
                case kOpPong:
                case kOpText:
                case kOpBinary:
                case 0x0: // continuation
                    break;
                default:
                    return false;
            }
        }
        incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }

    void beginClose(websocket::close_code code)
    {
        const auto value = static_cast<std::uint16_t>(code);
        std::string body(2, '\0');
        body[0] = static_cast<char>(value >> 8);
        body[1] = static_cast<char>(value & 0xff);
        startClosing(std::move(body));
    }

    void startClosing(std::string body)
    {
        if (closing_ || failed_)
            return;
        closing_ = true;
        closeStarted_ = core_.now();
        leaveRoom();
        queue_.clear();
        queuedAudio_ = 0;
        if (!open_)
            return fail();
        enqueue(kOpClose, std::make_shared<const std::string>(std::move(body)));
        writeNext();
    }

    void shutdown()
    {
        if (failed_)
            return;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        fail();
    }

    // Ends the connection at once; pending operations complete with errors and release it.
    void fail()
    {
        if (failed_)
            return;
        failed_ = true;
        closing_ = true;
        leaveRoom();
        queue_.clear();
        queuedAudio_ = 0;
        beast::get_lowest_layer(ws_).close();
    }

    void leaveRoom()
    {
        if (!joined_)
            return;
        joined_ = false;
        core_.registry.removeListener(room_, this, core_.now());
    }

    websocket::stream<Stream> ws_; // handshake only; frames are read and written on io()
    Core& core_;
    std::string room_;
    std::deque<Outgoing> queue_;
    std::vector<Outgoing> inFlight_;
    std::vector<net::const_buffer> buffers_;
    std::array<std::uint8_t, 2048> readChunk_{};
    std::vector<std::uint8_t> incoming_;
    std::size_t queuedAudio_ = 0;
    TimePoint lastInput_{};
    TimePoint writeStarted_{};
    TimePoint closeStarted_{};
    bool open_ = false;
    bool joined_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool peerClosed_ = false;
    bool pingSent_ = false;
    bool failed_ = false;
    bool flushPending_ = false;
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
        udpSocket.non_blocking(true);

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
                                         {
                                             onDatagram(size);
                                             drainDatagrams();
                                         }
                                         core.flushPending();
                                         receiveNext();
                                     });
    }

    // Takes in some of the datagrams already waiting without going back to the event loop:
    // at most half a listener queue, so a catching-up relay does not itself overflow the
    // queues of listeners that are keeping up.
    void drainDatagrams()
    {
        const std::size_t limit = std::clamp<std::size_t>(core.config.listenerQueue / 2, 1, 32);
        for (std::size_t i = 1; i < limit; ++i)
        {
            beast::error_code ec;
            const std::size_t size =
                udpSocket.receive_from(net::buffer(datagram), datagramFrom, 0, ec);
            if (ec)
                return; // would_block: nothing more waiting
            onDatagram(size);
        }
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
                const TimePoint now = core.now();
                core.registry.sweep(now);
                for (SocketSession* session :
                     std::vector<SocketSession*>(core.sockets.begin(), core.sockets.end()))
                    session->tick(now);
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
        for (SocketSession* session :
             std::vector<SocketSession*>(core.sockets.begin(), core.sockets.end()))
            session->goAway();
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
