#include "test_support.h"

#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>

namespace orlune::relay::test
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using udp = net::ip::udp;

namespace
{

template <typename T> void appendLe(std::vector<std::uint8_t>& out, T value)
{
    using U = std::make_unsigned_t<T>;
    auto v = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i)
    {
        out.push_back(static_cast<std::uint8_t>(v & 0xff));
        v = static_cast<U>(v >> 8);
    }
}

// Runs the io_context until `done` or the timeout; returns whether it finished in time.
bool runUntil(net::io_context& ioc, const bool& done, std::chrono::milliseconds timeout)
{
    ioc.restart();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && std::chrono::steady_clock::now() < deadline)
        ioc.run_one_for(std::chrono::milliseconds(20));
    return done;
}

// One read of whatever arrives within `timeout`, appended to `into`. A read that times out is
// cancelled and waited for, so nothing refers to the stack afterwards.
struct ReadSome
{
    beast::error_code error;
    bool timedOut = false;
};
ReadSome readSomeWithin(net::io_context& ioc, net::ip::tcp::socket& socket, std::string& into,
                        std::chrono::milliseconds timeout)
{
    char chunk[4096];
    bool done = false;
    ReadSome result;
    std::size_t got = 0;
    socket.async_read_some(net::buffer(chunk),
                           [&](beast::error_code ec, std::size_t n)
                           {
                               result.error = ec;
                               got = n;
                               done = true;
                           });
    if (!runUntil(ioc, done, timeout))
    {
        socket.cancel();
        runUntil(ioc, done, std::chrono::seconds(5));
        result.timedOut = true;
        return result;
    }
    if (!result.error)
        into.append(chunk, got);
    return result;
}

} // namespace

std::vector<std::uint8_t> buildDatagram(const DatagramFields& f)
{
    const std::string_view magic = "VESKORLUNE_PCM_V3";
    std::vector<std::uint8_t> out(18 + f.room.size() + 1, 0); // both NULs are in place
    std::memcpy(out.data(), magic.data(), magic.size());
    std::memcpy(out.data() + 18, f.room.data(), f.room.size());
    appendLe(out, f.sequence);
    appendLe(out, f.samplePosition);
    appendLe(out, f.sampleRate);
    appendLe(out, f.channels);
    appendLe(out, f.frames);
    for (float s : f.samples)
    {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &s, 4);
        appendLe(out, bits);
    }
    return out;
}

bool offerDatagram(RoomRegistry& registry, const std::string& room, std::int64_t sequence,
                   std::int64_t position, const float* samples, const Endpoint& from, TimePoint now)
{
    DatagramFields f;
    f.room = room;
    f.sequence = sequence;
    f.samplePosition = position;
    f.samples.assign(samples, samples + 512);
    const auto bytes = buildDatagram(f);
    const ParseResult parsed = parseDatagram(bytes.data(), bytes.size());
    if (!parsed.ok())
        throw std::logic_error("a test datagram did not parse");
    return registry.onDatagram(parsed.datagram, from, now);
}

std::vector<float> patternSamples(std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.5f, 1.5f);
    std::vector<float> s(512);
    for (auto& v : s)
        v = dist(rng);
    s[0] = -0.0f;
    s[1] = std::numeric_limits<float>::quiet_NaN();
    s[2] = std::numeric_limits<float>::denorm_min();
    s[3] = std::numeric_limits<float>::infinity();
    s[4] = static_cast<float>(seed);
    return s;
}

TempDir::TempDir()
{
    static int counter = 0;
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("orlune-relay-test-" + std::to_string(rd()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const
{
    std::filesystem::create_directories((path_ / name).parent_path());
    std::ofstream(path_ / name, std::ios::binary) << content;
}

Config loopbackConfig(const std::filesystem::path& webRoot)
{
    Config c;
    c.udpAddress = "127.0.0.1";
    c.udpPort = 0;
    c.httpAddress = "127.0.0.1";
    c.httpPort = 0;
    c.metricsAddress = "127.0.0.1";
    c.metricsPort = 0;
    c.webRoot = webRoot.string();
    c.quiet = true;
    // Two event loops unless the suite is run for one (ORLUNE_RELAY_TEST_THREADS=1; CTest
    // registers the server suites both ways).
    const char* loops = std::getenv("ORLUNE_RELAY_TEST_THREADS");
    c.threads = loops != nullptr ? static_cast<std::size_t>(std::atoi(loops)) : 2;
    return c;
}

RunningRelay::RunningRelay(Config config)
    : relay_(std::make_unique<Relay>(std::move(config)))
    , udpPort_(relay_->udpPort())
    , httpPort_(relay_->httpPort())
    , metricsPort_(relay_->metricsPort())
{
    thread_ = std::thread([this] { relay_->run(); });
}

RunningRelay::~RunningRelay()
{
    stop();
}

void RunningRelay::stop()
{
    if (!thread_.joinable())
        return;
    relay_->stop();
    thread_.join();
}

UdpSender::UdpSender(std::uint16_t relayPort, const std::string& from)
    : socket_(ioc_, udp::endpoint(net::ip::make_address(from), 0))
    , relay_(net::ip::make_address("127.0.0.1"), relayPort)
{
}

void UdpSender::send(const std::vector<std::uint8_t>& bytes)
{
    socket_.send_to(net::buffer(bytes), relay_);
}

std::uint16_t UdpSender::localPort() const
{
    return socket_.local_endpoint().port();
}

HttpReply httpRequest(std::uint16_t port, const std::string& target, const std::string& method,
                      const std::map<std::string, std::string>& extraHeaders)
{
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.expires_after(std::chrono::seconds(5));
    HttpReply reply;

    http::request<http::empty_body> req{http::string_to_verb(method), target, 11};
    req.set(http::field::host, "127.0.0.1");
    req.set(http::field::connection, "close");
    for (const auto& [k, v] : extraHeaders)
        req.set(k, v);
    http::response_parser<http::string_body> parser;
    parser.skip(method == "HEAD");
    beast::flat_buffer buffer;
    bool done = false;

    stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                         [&](beast::error_code ec)
                         {
                             if (ec)
                             {
                                 done = true;
                                 return;
                             }
                             http::async_write(
                                 stream, req,
                                 [&](beast::error_code ec2, std::size_t)
                                 {
                                     if (ec2)
                                     {
                                         done = true;
                                         return;
                                     }
                                     http::async_read(
                                         stream, buffer, parser,
                                         [&](beast::error_code ec3, std::size_t)
                                         {
                                             done = true;
                                             if (ec3)
                                                 return;
                                             const auto& res = parser.get();
                                             reply.status = res.result_int();
                                             for (const auto& field : res)
                                             {
                                                 std::string name(field.name_string());
                                                 for (auto& c : name)
                                                     c = static_cast<char>(std::tolower(c));
                                                 reply.headers[name] = std::string(field.value());
                                             }
                                             reply.body = res.body();
                                         });
                                 });
                         });
    ioc.run();
    return reply;
}

RawHttpClient::RawHttpClient(std::uint16_t port, const std::string& from)
    : socket_(ioc_)
{
    beast::error_code ec;
    socket_.open(tcp::v4(), ec);
    if (!ec)
        socket_.bind(tcp::endpoint(net::ip::make_address(from), 0), ec);
    if (!ec)
        socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
    connected_ = !ec;
}

void RawHttpClient::send(const std::string& bytes)
{
    beast::error_code ec;
    net::write(socket_, net::buffer(bytes), ec);
}

bool RawHttpClient::fill(std::chrono::milliseconds timeout)
{
    const ReadSome read = readSomeWithin(ioc_, socket_, in_, timeout);
    if (read.timedOut)
    {
        timedOut_ = true;
        return false;
    }
    if (read.error)
    {
        reset_ = read.error != net::error::eof;
        return false;
    }
    return true;
}

HttpReply RawHttpClient::readResponse(std::chrono::milliseconds timeout)
{
    HttpReply reply;
    while (in_.find("\r\n\r\n") == std::string::npos)
        if (!fill(timeout))
            return reply;
    const auto end = in_.find("\r\n\r\n");
    std::istringstream head(in_.substr(0, end));
    std::string line;
    std::getline(head, line);
    if (line.rfind("HTTP/1.1 ", 0) != 0)
        return reply;
    const int status = std::atoi(line.c_str() + 9);
    while (std::getline(head, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        for (auto& c : name)
            c = static_cast<char>(std::tolower(c));
        reply.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    const std::size_t length =
        static_cast<std::size_t>(std::atol(reply.headers["content-length"].c_str()));
    while (in_.size() < end + 4 + length)
        if (!fill(timeout))
            return reply;
    reply.body = in_.substr(end + 4, length);
    in_.erase(0, end + 4 + length);
    reply.status = status;
    return reply;
}

bool RawHttpClient::closedCleanly(std::chrono::milliseconds timeout)
{
    while (fill(timeout))
        ;
    return !reset_ && !timedOut_ && in_.empty();
}

int httpsGetStatus(std::uint16_t port, const std::string& target, const std::string& caFile)
{
    namespace ssl = net::ssl;
    net::io_context ioc;
    ssl::context ctx(ssl::context::tls_client);
    ctx.load_verify_file(caFile);
    ctx.set_verify_mode(ssl::verify_peer);
    beast::ssl_stream<beast::tcp_stream> stream(ioc, ctx);
    stream.set_verify_callback(ssl::host_name_verification("localhost"));
    beast::get_lowest_layer(stream).expires_after(std::chrono::seconds(5));

    http::request<http::empty_body> req{http::verb::get, target, 11};
    req.set(http::field::host, "localhost");
    req.set(http::field::connection, "close");
    http::response<http::string_body> res;
    beast::flat_buffer buffer;
    int status = 0;

    beast::get_lowest_layer(stream).async_connect(
        tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
        [&](beast::error_code ec)
        {
            if (ec)
                return;
            stream.async_handshake(
                ssl::stream_base::client,
                [&](beast::error_code ec2)
                {
                    if (ec2)
                        return;
                    http::async_write(stream, req,
                                      [&](beast::error_code ec3, std::size_t)
                                      {
                                          if (ec3)
                                              return;
                                          http::async_read(stream, buffer, res,
                                                           [&](beast::error_code ec4, std::size_t)
                                                           {
                                                               if (!ec4)
                                                                   status = res.result_int();
                                                           });
                                      });
                });
        });
    ioc.run();
    return status;
}

std::map<std::string, double> scrapeMetrics(std::uint16_t port)
{
    std::map<std::string, double> values;
    const HttpReply reply = httpRequest(port, "/metrics");
    if (reply.status != 200)
        std::fprintf(stderr,
                     "GET /metrics on port %u answered %d: the figures are on the relay's "
                     "metrics port (RunningRelay::metricsPort()), not its HTTP port\n",
                     unsigned(port), reply.status);
    std::istringstream in(reply.body);
    std::string line;
    while (std::getline(in, line))
    {
        if (line.empty() || line[0] == '#')
            continue;
        const auto space = line.rfind(' ');
        values[line.substr(0, space)] = std::stod(line.substr(space + 1));
    }
    return values;
}

WsClient::WsClient(std::uint16_t port, const std::string& target, int receiveBuffer)
    : ws_(ioc_)
{
    auto& socket = ws_.next_layer();
    socket.open(tcp::v4());
    if (receiveBuffer > 0)
        socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
    beast::error_code ec;
    socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
    if (ec)
        return;

    websocket::response_type response;
    bool done = false;
    ws_.async_handshake(response, "127.0.0.1", target,
                        [&](beast::error_code e)
                        {
                            done = true;
                            connected_ = !e;
                            if (e == websocket::error::upgrade_declined)
                                refusedStatus_ = response.result_int();
                        });
    if (!runUntil(ioc_, done, std::chrono::seconds(5)))
    {
        socket.close(ec);
        runUntil(ioc_, done, std::chrono::seconds(5));
        connected_ = false;
    }
}

WsClient::~WsClient()
{
    beast::error_code ec;
    ws_.next_layer().close(ec);
}

std::optional<WsMessage> WsClient::read(std::chrono::milliseconds timeout)
{
    if (!connected_)
        return std::nullopt;
    buffer_.clear();
    bool done = false;
    beast::error_code error;
    ws_.async_read(buffer_,
                   [&](beast::error_code ec, std::size_t)
                   {
                       error = ec;
                       done = true;
                   });
    if (!runUntil(ioc_, done, timeout))
    {
        beast::error_code ignored;
        ws_.next_layer().close(ignored);
        runUntil(ioc_, done, std::chrono::seconds(5));
        connected_ = false;
        return std::nullopt;
    }
    if (error)
    {
        if (error == websocket::error::closed)
            closeCode_ = static_cast<int>(ws_.reason().code);
        connected_ = false;
        return std::nullopt;
    }
    return WsMessage{ws_.got_text(), beast::buffers_to_string(buffer_.data())};
}

std::string wsUpgradeRequest(const std::string& target)
{
    return "GET " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

bool wsUpgradeAccepted(std::string_view responseHead)
{
    return responseHead.rfind("HTTP/1.1 101", 0) == 0 &&
           responseHead.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=") != std::string_view::npos;
}

RawWsClient::RawWsClient(std::uint16_t port, const std::string& target)
    : socket_(ioc_)
{
    beast::error_code ec;
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port), ec);
    if (ec)
        return;
    net::write(socket_, net::buffer(wsUpgradeRequest(target)), ec);
    while (!ec && in_.find("\r\n\r\n") == std::string::npos)
        if (!fill(std::chrono::seconds(5)))
            return;
    const auto end = in_.find("\r\n\r\n");
    upgraded_ = wsUpgradeAccepted(std::string_view(in_).substr(0, end));
    reader_.feed(std::string_view(in_).substr(end + 4));
    in_.clear();
}

bool RawWsClient::fill(std::chrono::milliseconds timeout)
{
    const ReadSome read = readSomeWithin(ioc_, socket_, in_, timeout);
    if (read.timedOut)
        return false;
    if (read.error)
    {
        closed_ = true;
        return false;
    }
    return true;
}

void RawWsClient::sendFrame(std::uint8_t firstByte, const std::string& payload, bool masked)
{
    static const std::array<std::uint8_t, 4> key{0x12, 0x34, 0x56, 0x78};
    std::string frame = wsFrame(static_cast<WsOpcode>(firstByte & 0x0f), payload,
                                (firstByte & 0x80) != 0, masked ? &key : nullptr);
    frame[0] = static_cast<char>(firstByte);
    sendBytes(frame);
}

void RawWsClient::send(WsOpcode opcode, std::string_view payload, bool fin)
{
    sendFrame(static_cast<std::uint8_t>((fin ? 0x80 : 0) | static_cast<std::uint8_t>(opcode)),
              std::string(payload));
}

void RawWsClient::sendBytes(std::string_view bytes, std::size_t step)
{
    if (step == 0)
        step = std::max<std::size_t>(1, bytes.size());
    for (std::size_t at = 0; at < bytes.size(); at += step)
    {
        beast::error_code ec;
        net::write(socket_, net::buffer(bytes.substr(at, step)), ec);
        if (ec)
            return;
        if (at + step < bytes.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::optional<RawWsClient::Frame> RawWsClient::readFrame(std::chrono::milliseconds timeout)
{
    for (;;)
    {
        WsEvent event = reader_.next();
        Frame f;
        f.fin = event.frames <= 1;
        f.payload = std::move(event.payload);
        switch (event.kind)
        {
            case WsEvent::Kind::NeedMore:
                break;
            case WsEvent::Kind::Error:
                return std::nullopt;
            case WsEvent::Kind::Message:
                f.opcode =
                    static_cast<std::uint8_t>(event.text ? WsOpcode::Text : WsOpcode::Binary);
                return f;
            case WsEvent::Kind::Ping:
                f.opcode = static_cast<std::uint8_t>(WsOpcode::Ping);
                return f;
            case WsEvent::Kind::Pong:
                f.opcode = static_cast<std::uint8_t>(WsOpcode::Pong);
                return f;
            case WsEvent::Kind::Close:
                f.opcode = static_cast<std::uint8_t>(WsOpcode::Close);
                if (event.code != ws_close::kNoStatus)
                    f.payload = wsClosePayload(event.code, f.payload);
                return f;
        }
        if (reader_.finished() || !fill(timeout))
        {
            // After a close frame: whether the relay then ends the connection.
            if (reader_.finished() && !closed_)
                while (fill(timeout))
                    in_.clear();
            return std::nullopt;
        }
        reader_.feed(in_);
        in_.clear();
    }
}

std::int64_t readLe64(std::string_view bytes, std::size_t offset)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(bytes.at(offset + static_cast<std::size_t>(i)));
    return static_cast<std::int64_t>(v);
}

} // namespace orlune::relay::test
