// orlune_room_listener: listens to one room of a relay over its WebSocket, as the web
// player does, and checks what arrives: the hello, audio messages of 256 stereo frames with
// rising sequence numbers and sample positions 256 frames apart per step, and in them the
// stream demo's sine (its frequency and peak level).
//
//   orlune_room_listener --port N --room CODE [--messages N] [--seconds S]
//                        [--tone HZ] [--level DBFS]
//
// Exits 0 when N audio messages came within S seconds and the sine is the one sent.

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace
{
namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::size_t audioMessageBytes = 16 + 256 * 2 * 4;
constexpr double streamRate = 48000.0;

struct Options
{
    unsigned short port = 0;
    std::string room;
    int messages = 375; // two seconds of audio
    double seconds = 30.0;
    double tone = 1000.0;
    double level = -12.0;
};

std::optional<Options> parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--port")
            o.port = static_cast<unsigned short>(std::stoi(value));
        else if (name == "--room")
            o.room = value;
        else if (name == "--messages")
            o.messages = std::stoi(value);
        else if (name == "--seconds")
            o.seconds = std::stod(value);
        else if (name == "--tone")
            o.tone = std::stod(value);
        else if (name == "--level")
            o.level = std::stod(value);
        else
            return std::nullopt;
    }
    if (argc % 2 == 0 || o.port == 0 || o.room.empty() || o.messages < 50)
        return std::nullopt;
    return o;
}

template <typename T> T readLe(const char* bytes)
{
    T value{};
    std::memcpy(&value, bytes, sizeof value); // the relay's framing is little-endian, as is x86
    return value;
}

// Runs one asynchronous operation to its end or to the deadline.
template <typename Start>
beast::error_code runOne(net::io_context& ioc, std::chrono::steady_clock::time_point deadline,
                         Start start)
{
    beast::error_code result = net::error::timed_out;
    bool done = false;
    start(
        [&](beast::error_code ec, auto&&...)
        {
            result = ec;
            done = true;
        });
    ioc.restart();
    ioc.run_until(deadline);
    if (!done)
    {
        ioc.stop();
        return net::error::timed_out;
    }
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    const auto options = parse(argc, argv);
    if (!options)
    {
        std::fprintf(stderr, "usage: orlune_room_listener --port N --room CODE [--messages N] "
                             "[--seconds S] [--tone HZ] [--level DBFS]\n");
        return 2;
    }
    const Options& o = *options;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(static_cast<long long>(o.seconds * 1000));
    const auto fail = [](const std::string& why)
    {
        std::fprintf(stderr, "listener: %s\n", why.c_str());
        return 1;
    };

    net::io_context ioc;
    beast::websocket::stream<beast::tcp_stream> ws(ioc);
    const tcp::endpoint relay(net::ip::make_address("127.0.0.1"), o.port);
    if (auto ec = runOne(ioc, deadline,
                         [&](auto handler)
                         { beast::get_lowest_layer(ws).async_connect(relay, handler); }))
        return fail("connect: " + ec.message());
    const std::string host = "127.0.0.1:" + std::to_string(o.port);
    const std::string target = "/orlune/" + o.room + "/ws";
    if (auto ec =
            runOne(ioc, deadline, [&](auto handler) { ws.async_handshake(host, target, handler); }))
        return fail("WebSocket upgrade of " + target + ": " + ec.message());

    beast::flat_buffer buffer;
    bool hello = false;
    int audio = 0;
    int gaps = 0;
    std::optional<std::int64_t> lastSequence;
    std::int64_t lastPosition = 0;
    std::vector<float> left;
    while (audio < o.messages)
    {
        buffer.clear();
        if (auto ec = runOne(ioc, deadline, [&](auto handler) { ws.async_read(buffer, handler); }))
            return fail("after " + std::to_string(audio) + " audio messages: " + ec.message());
        const std::string data = beast::buffers_to_string(buffer.data());
        if (ws.got_text())
        {
            std::printf("listener: text %s\n", data.c_str());
            if (!hello)
            {
                if (data.find("\"type\":\"hello\"") == std::string::npos ||
                    data.find("\"room\":\"" + o.room + "\"") == std::string::npos)
                    return fail("the first message is not the room's hello");
                hello = true;
            }
            continue;
        }
        if (!hello)
            return fail("audio before the hello");
        if (data.size() != audioMessageBytes)
            return fail("audio message of " + std::to_string(data.size()) + " bytes");
        const auto sequence = readLe<std::int64_t>(data.data());
        const auto position = readLe<std::int64_t>(data.data() + 8);
        if (lastSequence)
        {
            if (sequence <= *lastSequence)
                return fail("sequence " + std::to_string(sequence) + " after " +
                            std::to_string(*lastSequence));
            if (position - lastPosition != 256 * (sequence - *lastSequence))
                return fail("sample position " + std::to_string(position) + " after " +
                            std::to_string(lastPosition));
            gaps += sequence - *lastSequence > 1 ? 1 : 0;
        }
        lastSequence = sequence;
        lastPosition = position;
        for (int frame = 0; frame < 256; ++frame)
            left.push_back(readLe<float>(data.data() + 16 + frame * 8));
        ++audio;
    }
    beast::error_code ignored;
    ws.close(beast::websocket::close_code::normal, ignored);

    // The sine, past the first 16 messages (the sender's resampler settling): its peak and,
    // from the rising zero crossings, its frequency.
    const std::size_t from = 16 * 256;
    float peak = 0.0f;
    std::size_t first = 0, last = 0, crossings = 0;
    for (std::size_t i = from; i < left.size(); ++i)
    {
        peak = std::max(peak, std::fabs(left[i]));
        if (i > from && left[i - 1] < 0.0f && left[i] >= 0.0f)
        {
            if (crossings == 0)
                first = i;
            last = i;
            ++crossings;
        }
    }
    const double peakDb = 20.0 * std::log10(std::max(peak, 1e-9f));
    const double frequency =
        crossings > 1 ? static_cast<double>(crossings - 1) * streamRate / double(last - first)
                      : 0.0;
    std::printf("listener: %d audio messages (%d gaps), last sequence %lld, sine %.1f Hz at %.2f "
                "dBFS peak\n",
                audio, gaps, static_cast<long long>(lastSequence.value_or(-1)), frequency, peakDb);
    if (std::fabs(frequency - o.tone) > o.tone * 0.01)
        return fail("expected a sine of " + std::to_string(o.tone) + " Hz");
    if (std::fabs(peakDb - o.level) > 0.5)
        return fail("expected a peak of " + std::to_string(o.level) + " dBFS");
    return 0;
}
