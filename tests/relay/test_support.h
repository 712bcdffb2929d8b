// Helpers for the relay tests: datagram building, a relay on ephemeral loopback ports, and
// small HTTP and WebSocket clients with time limits so a fault fails a test instead of hanging it.
#pragma once

#include "app/config.h"
#include "app/server.h"
#include "rooms/rooms.h"
#include "wire/websocket_frames.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orlune::relay::test
{

struct DatagramFields
{
    std::string room = "default";
    std::int64_t sequence = 0;
    std::int64_t samplePosition = 0;
    std::int32_t sampleRate = 48000;
    std::int32_t channels = 2;
    std::int32_t frames = 256;
    std::vector<float> samples = std::vector<float>(512, 0.0f);
};

std::vector<std::uint8_t> buildDatagram(const DatagramFields& fields);
// Datagram `sequence` of a stream in `room`: 256 frames of `samples` (interleaved stereo) at
// `position`, handed to `registry` as from `from` at `now`. Returns whether it was forwarded.
bool offerDatagram(RoomRegistry& registry, const std::string& room, std::int64_t sequence,
                   std::int64_t position, const float* samples, const Endpoint& from,
                   TimePoint now);
// 512 distinct samples derived from `seed`, including awkward values (NaN, -0, denormals).
std::vector<float> patternSamples(std::uint32_t seed);

// A temporary folder removed when the object goes away.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    void write(const std::string& name, const std::string& content) const;

private:
    std::filesystem::path path_;
};

// A relay serving on 127.0.0.1 with ports chosen by the system, run on its own thread.
class RunningRelay
{
public:
    explicit RunningRelay(Config config);
    ~RunningRelay();
    void stop(); // graceful stop and join
    std::uint16_t udpPort() const { return udpPort_; }
    std::uint16_t httpPort() const { return httpPort_; }
    std::uint16_t metricsPort() const { return metricsPort_; } // /metrics is served there only
    Relay& relay() { return *relay_; }

private:
    std::unique_ptr<Relay> relay_;
    std::thread thread_;
    std::uint16_t udpPort_ = 0;
    std::uint16_t httpPort_ = 0;
    std::uint16_t metricsPort_ = 0;
};

Config loopbackConfig(const std::filesystem::path& webRoot);

class UdpSender
{
public:
    // `from`: the loopback address to send from (the whole of 127.0.0.0/8 is loopback).
    explicit UdpSender(std::uint16_t relayPort, const std::string& from = "127.0.0.1");
    void send(const std::vector<std::uint8_t>& bytes);
    std::uint16_t localPort() const;

private:
    boost::asio::io_context ioc_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint relay_;
};

struct HttpReply
{
    int status = 0;
    std::map<std::string, std::string> headers; // lower-case names
    std::string body;
};

// One request on a fresh connection; status 0 if the exchange failed or timed out.
HttpReply httpRequest(std::uint16_t port, const std::string& target,
                      const std::string& method = "GET",
                      const std::map<std::string, std::string>& extraHeaders = {});

// GET over TLS, verifying the server against `caFile` for the name "localhost".
int httpsGetStatus(std::uint16_t port, const std::string& target, const std::string& caFile);

// Parses the Prometheus text into "name{labels}" -> value; empty (and said on stderr) unless
// the port answered 200.
std::map<std::string, double> scrapeMetrics(std::uint16_t port);

// A plain HTTP/1.1 connection from a chosen loopback address, written and read as raw bytes.
class RawHttpClient
{
public:
    RawHttpClient(std::uint16_t port, const std::string& from = "127.0.0.1");
    bool connected() const { return connected_; }
    void send(const std::string& bytes);
    // One response (status, headers, Content-Length body); status 0 when none came in time.
    HttpReply readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Whether the server closes the connection (EOF, not a reset) within the timeout.
    bool closedCleanly(std::chrono::milliseconds timeout = std::chrono::seconds(5));

private:
    bool fill(std::chrono::milliseconds timeout);
    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::socket socket_;
    std::string in_;
    bool connected_ = false;
    bool reset_ = false;
    bool timedOut_ = false;
};

struct WsMessage
{
    bool text = false;
    std::string data;
};

class WsClient
{
public:
    // Connects and completes the upgrade; `receiveBuffer` > 0 shrinks the socket's receive
    // buffer first (a listener that reads slowly).
    WsClient(std::uint16_t port, const std::string& target, int receiveBuffer = 0);
    ~WsClient();

    bool connected() const { return connected_; }
    // The HTTP status of a refused upgrade (0 if it was accepted or failed otherwise).
    int refusedStatus() const { return refusedStatus_; }

    std::optional<WsMessage> read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The close code once the server has closed the connection (read() returned nothing).
    std::optional<int> closeCode() const { return closeCode_; }

private:
    boost::asio::io_context ioc_;
    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws_;
    boost::beast::flat_buffer buffer_;
    bool connected_ = false;
    int refusedStatus_ = 0;
    std::optional<int> closeCode_;
};

// The opening request of a WebSocket client for `target`, and whether `responseHead` (up to
// the blank line) accepts it. Every raw client of the tests and benchmarks upgrades with these.
std::string wsUpgradeRequest(const std::string& target);
bool wsUpgradeAccepted(std::string_view responseHead);

// A WebSocket client that writes and reads raw frames, for checking the relay's own framing:
// it writes with the relay's frame writer and reads with a client's WsFrameReader, which
// insists that the relay never masks.
class RawWsClient
{
public:
    RawWsClient(std::uint16_t port, const std::string& target);
    bool upgraded() const { return upgraded_; }
    // A masked frame whose first byte is `firstByte` (FIN, reserved bits and opcode as given).
    void sendFrame(std::uint8_t firstByte, const std::string& payload, bool masked = true);
    // A masked frame, FIN set unless `fin` is false.
    void send(WsOpcode opcode, std::string_view payload, bool fin = true);
    // Bytes as they are, `step` at a time (0: at once), with a pause between the pieces.
    void sendBytes(std::string_view bytes, std::size_t step = 0);
    struct Frame
    {
        std::uint8_t opcode = 0;
        bool fin = false;    // false for a message that came in fragments
        std::string payload; // of a close frame: its code and reason as sent
    };
    // Nothing when the connection ended, the relay broke the protocol, or nothing came within
    // the timeout.
    std::optional<Frame> readFrame(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool closedByPeer() const { return closed_; }

private:
    bool fill(std::chrono::milliseconds timeout);
    boost::asio::io_context ioc_;
    boost::asio::ip::tcp::socket socket_;
    std::string in_;
    WsFrameReader reader_{1 << 20, false};
    bool upgraded_ = false;
    bool closed_ = false;
};

// Little-endian helpers for checking listener messages.
std::int64_t readLe64(std::string_view bytes, std::size_t offset);

} // namespace orlune::relay::test
