// Fan-out cost of the relay: one room, N WebSocket listeners on loopback, the plug-in's rate of
// 187.5 datagrams per second in; listeners of the float32 stream (asking no quality) or of an
// Opus tier (`?quality=standard`: one encoder for the room, the same message to everyone).
//
// For each N the relay runs on its own thread and its thread CPU time is measured; the
// listeners run on another thread and check that every datagram arrives, in order, without a
// skip. The baseline writes the same bytes to N plain TCP sockets with one send() each, which
// is what the kernel costs at the least (for a tier: messages of the tier's mean size at its
// message rate); the ratio says what the relay adds on top of that.
//
//   orlune_relay_bench                          short run (about a minute)
//   orlune_relay_bench --seconds=10 --max-listeners=4000   longer, further search
//   orlune_relay_bench --search-tier=standard --max-listeners=8000   capacity of a tier
//   orlune_relay_bench --pin                    the measured thread (relay or baseline) alone on
//                                               the last CPU, everything else on the first:
//                                               the listeners and the sender no longer take
//                                               turns with it on one core
//
// Google Benchmark flags (--benchmark_filter=... etc.) work as usual.
#include "app/config.h"
#include "app/server.h"
#include "guards/source_guard.h"
#include "rooms/rooms.h"
#include "stream_test_support.h"
#include "wire/datagram.h"
#include "wire/websocket_frames.h"

#include <benchmark/benchmark.h>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>

#include <poll.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace net = boost::asio;
namespace beast = boost::beast;
using tcp = net::ip::tcp;
using udp = net::ip::udp;
using namespace orlune::relay;
using namespace std::chrono_literals;

namespace
{

double gSeconds = 2.0;            // audio sent per measurement
std::size_t gMaxListeners = 3000; // where the capacity search stops
std::optional<Tier> gSearchTier;  // the capacity search's tier (none: float32, no quality)
int gMeasuredCpu = -1;            // --pin: the CPU of the measured thread (-1: not pinned)
constexpr double kPacketsPerSecond = 48000.0 / 256.0;
constexpr std::size_t kMessageSize = 2064;

// What the listeners of a run ask for: none (float32, today's stream) or an Opus tier.
struct Stream
{
    std::optional<Tier> tier;
    bool opus() const { return tier && isOpus(*tier); }
    std::string target() const
    {
        return tier ? "/orlune/bench/ws?quality=" + std::string(tierName(*tier))
                    : "/orlune/bench/ws";
    }
    // Audio messages every listener gets for `datagrams` datagrams.
    std::int64_t messages(std::int64_t datagrams) const
    {
        if (!opus())
            return datagrams;
        const TierProfile& profile = tierProfile(*tier);
        return datagrams * 256 / profile.frameSamples / profile.framesPerMessage;
    }
    double messagesPerSecond() const
    {
        if (!opus())
            return kPacketsPerSecond;
        const TierProfile& profile = tierProfile(*tier);
        return 48000.0 / (profile.frameSamples * profile.framesPerMessage);
    }
};

std::optional<Tier> tierArg(std::int64_t arg)
{
    return arg < 0 ? std::nullopt : std::optional<Tier>(tierAt(static_cast<std::size_t>(arg)));
}

// Pins the calling thread to one CPU; threads it starts later inherit that.
void pinSelfTo(int cpu)
{
    if (cpu < 0)
        return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (pthread_setaffinity_np(pthread_self(), sizeof set, &set) != 0)
        std::fprintf(stderr, "could not pin a thread to CPU %d\n", cpu);
}

double threadCpuSeconds(std::thread& t)
{
    clockid_t id{};
    pthread_getcpuclockid(t.native_handle(), &id);
    timespec ts{};
    clock_gettime(id, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::uint8_t> makeDatagram(std::int64_t seq)
{
    return test::sineDatagram("bench", seq);
}

// Sends `count` datagrams at the plug-in's pace; returns when the last one is out.
void paceDatagrams(udp::socket& socket, const udp::endpoint& to, std::int64_t count)
{
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / kPacketsPerSecond));
    auto next = std::chrono::steady_clock::now();
    for (std::int64_t seq = 0; seq < count; ++seq)
    {
        std::this_thread::sleep_until(next);
        socket.send_to(net::buffer(makeDatagram(seq)), to);
        next += period;
    }
}

// N WebSocket listeners on one io_context thread, each checking its own stream.
class Listeners
{
public:
    Listeners(std::uint16_t port, std::size_t count, const Stream& stream)
    {
        clients_.reserve(count);
        for (std::size_t i = 0; i < count; ++i)
            clients_.push_back(std::make_unique<Client>(ioc_, stream));
        // Connect in batches so the accept backlog never overflows.
        for (std::size_t start = 0; start < count; start += 200)
        {
            std::atomic<std::size_t> done{0};
            const std::size_t end = std::min(count, start + 200);
            for (std::size_t i = start; i < end; ++i)
                clients_[i]->connect(port, done);
            ioc_.restart();
            while (done < end - start)
                ioc_.run_one_for(100ms);
        }
        for (auto& c : clients_)
            if (c->connected)
                ++connected_;
        ioc_.restart();
        for (auto& c : clients_)
            if (c->connected)
                c->readHello();
        thread_ = std::thread([this] { ioc_.run(); });
    }

    ~Listeners()
    {
        net::post(ioc_,
                  [this]
                  {
                      for (auto& c : clients_)
                      {
                          beast::error_code ec;
                          c->socket.close(ec);
                      }
                  });
        thread_.join();
    }

    std::size_t connected() const { return connected_; }

    // Waits (bounded) until every listener has `expected` audio messages.
    void waitFor(std::int64_t expected, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline)
        {
            bool all = true;
            for (auto& c : clients_)
                all = all && c->audio.load() >= expected;
            if (all)
                return;
            std::this_thread::sleep_for(5ms);
        }
    }

    // Listeners that skipped, missed or reordered audio, or did not get all of it.
    std::size_t behind(std::int64_t expected) const
    {
        std::size_t n = 0;
        std::int64_t minAudio = expected, maxFaults = 0;
        std::size_t disconnected = 0;
        for (auto& c : clients_)
        {
            if (!c->connected || c->faults.load() > 0 || c->audio.load() != expected)
                ++n;
            minAudio = std::min<std::int64_t>(minAudio, c->audio.load());
            maxFaults = std::max<std::int64_t>(maxFaults, c->faults.load());
            disconnected += c->connected ? 0 : 1;
        }
        if (n > 0 && std::getenv("ORLUNE_BENCH_DEBUG"))
            std::fprintf(
                stderr,
                "behind: %zu (min audio %lld of %lld, max faults %lld, %zu not connected)\n", n,
                static_cast<long long>(minAudio), static_cast<long long>(expected),
                static_cast<long long>(maxFaults), disconnected);
        return n;
    }

private:
    struct Client
    {
        Client(net::io_context& ioc, const Stream& stream)
            : socket(ioc)
            , opus(stream.opus())
            , target(stream.target())
        {
        }

        // The upgrade is done by hand and frames are parsed straight from large socket reads,
        // so the listeners cost far less CPU than the relay and the measurement is the relay's.
        void connect(std::uint16_t port, std::atomic<std::size_t>& done)
        {
            socket.async_connect(
                tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                [this, &done](beast::error_code ec)
                {
                    if (ec)
                        return void(++done);
                    request = test::wsUpgradeRequest(target);
                    net::async_write(
                        socket, net::buffer(request),
                        [this, &done](beast::error_code e, std::size_t)
                        {
                            if (e)
                                return void(++done);
                            net::async_read_until(
                                socket, net::dynamic_buffer(response), "\r\n\r\n",
                                [this, &done](beast::error_code e2, std::size_t headerEnd)
                                {
                                    connected = !e2 && test::wsUpgradeAccepted(std::string_view(
                                                           response.data(), headerEnd));
                                    if (connected)
                                    {
                                        // Bytes after the headers are already frames.
                                        pending.assign(response.begin() +
                                                           static_cast<long>(headerEnd),
                                                       response.end());
                                        filled = pending.size();
                                    }
                                    ++done;
                                });
                        });
                });
        }

        void readHello()
        {
            parseFrames();
            readRaw();
        }

        void readRaw()
        {
            if (pending.size() < filled + 65536)
                pending.resize(filled + 65536);
            socket.async_read_some(net::buffer(pending.data() + filled, 65536),
                                   [this](beast::error_code ec, std::size_t n)
                                   {
                                       if (ec)
                                           return;
                                       filled += n;
                                       parseFrames();
                                       readRaw();
                                   });
        }

        void parseFrames()
        {
            std::size_t at = 0;
            for (;;)
            {
                if (filled - at < 2)
                    break;
                const auto frame = peekWsFrame(
                    reinterpret_cast<const std::uint8_t*>(pending.data() + at), filled - at);
                if (!frame)
                    break;
                if (frame->masked || frame->payloadSize > 65535)
                {
                    ++faults; // the relay never masks, nor sends anything this large
                    return;
                }
                const int opcode = frame->opcode;
                const std::size_t header = frame->headerSize;
                const auto length = static_cast<std::size_t>(frame->payloadSize);
                if (filled - at < header + length)
                    break;
                const char* payload = pending.data() + at + header;
                if (opcode == 2 && opus)
                {
                    // Frame sequences run on without a jump: nothing skipped, nothing lost.
                    std::int64_t seq = -2;
                    if (length >= 22)
                        std::memcpy(&seq, payload, 8);
                    if (seq < 0 || (nextFrame >= 0 && seq != nextFrame))
                        ++faults;
                    nextFrame = seq + static_cast<unsigned char>(payload[18]);
                    ++audio;
                }
                else if (opcode == 2)
                {
                    std::int64_t seq = -2;
                    if (length == kMessageSize)
                        std::memcpy(&seq, payload, 8);
                    if (seq != lastSeq + 1)
                        ++faults;
                    lastSeq = seq;
                    ++audio;
                }
                else if (opcode == 1 &&
                         std::string_view(payload, length).find("skip") != std::string_view::npos)
                {
                    ++faults;
                }
                at += header + length;
            }
            std::memmove(pending.data(), pending.data() + at, filled - at);
            filled -= at;
        }

        tcp::socket socket;
        bool opus = false;
        std::string target;
        std::int64_t nextFrame = -1;
        std::string request;
        std::string response;
        std::vector<char> pending;
        std::size_t filled = 0;
        bool connected = false;
        std::int64_t lastSeq = -1;
        std::atomic<std::int64_t> audio{0};
        std::atomic<std::int64_t> faults{0};
    };

    net::io_context ioc_{1};
    std::vector<std::unique_ptr<Client>> clients_;
    std::size_t connected_ = 0;
    std::thread thread_;
};

struct RunResult
{
    std::size_t listeners = 0;
    double cpuSeconds = 0;   // relay (or baseline) thread
    double audioSeconds = 0; // stream time sent
    std::size_t behind = 0;
    double cpuPerListenerUs() const
    {
        return cpuSeconds / audioSeconds / static_cast<double>(listeners) * 1e6;
    }
    double coreLoad() const { return cpuSeconds / audioSeconds; }
};

void dumpMetrics(std::uint16_t port)
{
    net::io_context ioc;
    tcp::socket s(ioc);
    s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    const std::string req = "GET /metrics HTTP/1.0\r\n\r\n";
    net::write(s, net::buffer(req));
    std::string out;
    beast::error_code ec;
    char buf[4096];
    for (;;)
    {
        const auto n = s.read_some(net::buffer(buf), ec);
        if (ec)
            break;
        out.append(buf, n);
    }
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line[0] != '#' && line.find(" 0") == std::string::npos)
            std::fprintf(stderr, "  %s\n", line.c_str());
}

RunResult runRelay(std::size_t listeners, double seconds, const Stream& stream = {})
{
    // One loop: the CPU measured is that one thread's (threads_bench.cpp for more).
    Config config = test::loadTestConfig(1);
    Relay relay(config);
    std::thread relayThread(
        [&]
        {
            pinSelfTo(gMeasuredCpu);
            relay.run();
        });

    RunResult result;
    result.listeners = listeners;
    {
        Listeners clients(relay.httpPort(), listeners, stream);
        net::io_context ioc;
        udp::socket sender(ioc, udp::endpoint(udp::v4(), 0));
        const udp::endpoint to(net::ip::make_address("127.0.0.1"), relay.udpPort());
        const auto count = static_cast<std::int64_t>(seconds * kPacketsPerSecond);

        std::this_thread::sleep_for(50ms); // let the hello messages settle
        const double cpuBefore = threadCpuSeconds(relayThread);
        const auto sendStart = std::chrono::steady_clock::now();
        paceDatagrams(sender, to, count);
        if (std::getenv("ORLUNE_BENCH_DEBUG"))
            std::fprintf(stderr, "sent %lld in %.3f s\n", static_cast<long long>(count),
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - sendStart)
                             .count());
        clients.waitFor(stream.messages(count), 3000ms);
        result.cpuSeconds = threadCpuSeconds(relayThread) - cpuBefore;
        result.audioSeconds = static_cast<double>(count) / kPacketsPerSecond;
        result.behind = clients.behind(stream.messages(count)) + (listeners - clients.connected());
        if (result.behind > 0 && std::getenv("ORLUNE_BENCH_DEBUG"))
            dumpMetrics(relay.metricsPort());
    }
    relay.stop();
    relayThread.join();
    return result;
}

// The floor: the same message bytes to N plain TCP sockets, one blocking send() each, paced
// like the relay. Readers on another thread drain them.
RunResult runBaseline(std::size_t listeners, double seconds, std::size_t messageSize = kMessageSize,
                      double messagesPerSecond = kPacketsPerSecond)
{
    net::io_context ioc;
    tcp::acceptor acceptor(ioc, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    std::vector<tcp::socket> writers;
    std::vector<tcp::socket> readers;
    for (std::size_t i = 0; i < listeners; ++i)
    {
        readers.emplace_back(ioc);
        readers.back().connect(acceptor.local_endpoint());
        writers.push_back(acceptor.accept());
        writers.back().set_option(tcp::no_delay(true));
    }

    const auto count = static_cast<std::int64_t>(seconds * messagesPerSecond);
    const std::size_t frameSize = messageSize + (messageSize < 126 ? 2 : 4);
    const auto expectedBytes = static_cast<std::int64_t>(frameSize) * count;
    std::atomic<bool> done{false};
    std::vector<std::int64_t> received(listeners, 0);
    std::thread drain(
        [&]
        {
            std::vector<char> sink(1 << 16);
            std::vector<pollfd> fds;
            for (auto& r : readers)
                fds.push_back({r.native_handle(), POLLIN, 0});
            while (!done)
            {
                if (::poll(fds.data(), fds.size(), 20) <= 0)
                    continue;
                for (std::size_t i = 0; i < fds.size(); ++i)
                    if (fds[i].revents & POLLIN)
                    {
                        const auto n = ::recv(fds[i].fd, sink.data(), sink.size(), MSG_DONTWAIT);
                        if (n > 0)
                            received[i] += n;
                    }
            }
        });

    double cpuSeconds = 0;
    std::thread fanOut(
        [&]
        {
            pinSelfTo(gMeasuredCpu);
            std::vector<char> message(frameSize);
            message[0] = static_cast<char>(0x82); // final binary frame
            if (messageSize < 126)
            {
                message[1] = static_cast<char>(messageSize);
            }
            else
            {
                message[1] = 126; // length in 16 bits
                message[2] = static_cast<char>(messageSize >> 8);
                message[3] = static_cast<char>(messageSize & 0xff);
            }
            timespec a{}, b{};
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &a);
            const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(1.0 / messagesPerSecond));
            auto next = std::chrono::steady_clock::now();
            for (std::int64_t seq = 0; seq < count; ++seq)
            {
                std::this_thread::sleep_until(next);
                next += period;
                for (auto& w : writers)
                    ::send(w.native_handle(), message.data(), message.size(), MSG_NOSIGNAL);
            }
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &b);
            cpuSeconds = static_cast<double>(b.tv_sec - a.tv_sec) +
                         static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9;
        });
    fanOut.join();
    std::this_thread::sleep_for(200ms);
    done = true;
    drain.join();

    RunResult result;
    result.listeners = listeners;
    result.cpuSeconds = cpuSeconds;
    result.audioSeconds = static_cast<double>(count) / messagesPerSecond;
    for (auto r : received)
        if (r != expectedBytes)
            ++result.behind;
    return result;
}

void report(benchmark::State& state, const RunResult& r)
{
    state.SetIterationTime(r.cpuSeconds);
    state.counters["listeners"] = static_cast<double>(r.listeners);
    state.counters["cpu_us_per_listener_s"] = r.cpuPerListenerUs();
    state.counters["core_load"] = r.coreLoad();
    state.counters["behind"] = static_cast<double>(r.behind);
}

// Relay thread CPU for one room of N listeners; iteration time is that CPU time.
void BM_RelayFanOut(benchmark::State& state)
{
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state)
    {
        const RunResult relay = runRelay(n, gSeconds);
        report(state, relay);
        if (n >= 100)
        {
            const RunResult base = runBaseline(n, gSeconds);
            state.counters["baseline_us_per_listener_s"] = base.cpuPerListenerUs();
            state.counters["ratio_to_baseline"] =
                relay.cpuPerListenerUs() / base.cpuPerListenerUs();
        }
    }
}
BENCHMARK(BM_RelayFanOut)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Interleaved stereo with something for a codec to do: three tones and a little noise.
std::vector<float> musicLike(std::int64_t seq)
{
    std::vector<float> out(512);
    std::uint32_t noise = static_cast<std::uint32_t>(seq) * 2654435761u;
    for (int i = 0; i < 256; ++i)
    {
        const double t = static_cast<double>(seq * 256 + i) / 48000.0;
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.05;
        const double v = 0.3 * std::sin(2 * M_PI * 220 * t) + 0.15 * std::sin(2 * M_PI * 1760 * t) +
                         0.08 * std::sin(2 * M_PI * 5300 * t);
        out[static_cast<std::size_t>(2 * i)] = static_cast<float>(v + n);
        out[static_cast<std::size_t>(2 * i + 1)] = static_cast<float>(0.8 * v - n);
    }
    return out;
}

// The tier's messages for `seconds` of musicLike() audio, encoded as a room would.
std::vector<SharedFrame> tierMessages(Tier tier, double seconds)
{
    TierStream stream(tier);
    TierMetrics counters;
    std::vector<SharedFrame> out;
    const auto count = static_cast<std::int64_t>(seconds * kPacketsPerSecond);
    for (std::int64_t seq = 0; seq < count; ++seq)
        stream.push(seq * 256, musicLike(seq).data(), counters, out);
    return out;
}

double meanSize(const std::vector<SharedFrame>& messages)
{
    double bytes = 0;
    for (const auto& m : messages)
        bytes += static_cast<double>(m.payloadSize());
    return bytes / static_cast<double>(messages.size());
}

// Relay thread CPU for one room of N listeners of an Opus tier, against the raw-TCP floor for
// messages of the tier's mean size at its rate (and the float32 floor for comparison).
void BM_TierFanOut(benchmark::State& state)
{
    const Stream stream{tierArg(state.range(0))};
    const auto n = static_cast<std::size_t>(state.range(1));
    const auto size = static_cast<std::size_t>(meanSize(tierMessages(*stream.tier, 2.0)));
    for (auto _ : state)
    {
        const RunResult relay = runRelay(n, gSeconds, stream);
        report(state, relay);
        if (n >= 100)
        {
            const RunResult base = runBaseline(n, gSeconds, size, stream.messagesPerSecond());
            state.counters["baseline_us_per_listener_s"] = base.cpuPerListenerUs();
            state.counters["ratio_to_baseline"] =
                relay.cpuPerListenerUs() / base.cpuPerListenerUs();
        }
    }
}
BENCHMARK(BM_TierFanOut)
    ->ArgNames({"tier", "listeners"})
    ->Args({static_cast<int>(Tier::Standard), 1})
    ->Args({static_cast<int>(Tier::Standard), 1000})
    ->Args({static_cast<int>(Tier::Standard), 5000})
    ->Args({static_cast<int>(Tier::Low), 1000})
    ->Args({static_cast<int>(Tier::High), 1000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// One room's encoder for a tier: CPU per datagram, and the share of a core it takes at the
// stream's 187.5 datagrams a second.
void BM_TierEncode(benchmark::State& state)
{
    const Tier tier = tierAt(static_cast<std::size_t>(state.range(0)));
    TierStream stream(tier);
    TierMetrics counters;
    std::vector<std::vector<float>> signal;
    for (std::int64_t seq = 0; seq < 375; ++seq)
        signal.push_back(musicLike(seq));
    std::vector<SharedFrame> out;
    std::int64_t seq = 0;
    for (auto _ : state)
    {
        stream.push(seq * 256, signal[static_cast<std::size_t>(seq % 375)].data(), counters, out);
        ++seq;
        out.clear();
    }
    // Seconds of audio encoded per second of CPU: how many rooms one core encodes the tier for.
    state.counters["rooms_per_core"] = benchmark::Counter(
        static_cast<double>(state.iterations()) / kPacketsPerSecond, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TierEncode)
    ->ArgName("tier")
    ->Arg(static_cast<int>(Tier::Low))
    ->Arg(static_cast<int>(Tier::Standard))
    ->Arg(static_cast<int>(Tier::High));

// Cost per datagram of the checks on who sends: the same datagrams (one room, no listener,
// each 5.3 ms after the last on the injected clock) through parse and rooms, without any source
// check and with them (an allow-list of four networks, the source's budget, its room count).
void BM_DatagramPath(benchmark::State& state)
{
    const bool guarded = state.range(0) != 0;
    const auto bytes = makeDatagram(1);
    Metrics metrics;
    SourceLimits sourceLimits;
    if (guarded && !sourceLimits.allow.add("10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,127.0.0.0/8"))
        std::abort();
    SourceGuard sources(sourceLimits);
    RoomLimits limits;
    RoomRegistry rooms(limits, metrics, guarded ? &sources : nullptr);
    const Endpoint from(net::ip::make_address("127.0.0.1"), 40000);
    auto now = std::chrono::steady_clock::time_point{} + 1000s;
    const auto period = std::chrono::microseconds(5333);
    std::int64_t seq = 0;
    std::int64_t forwarded = 0;
    for (auto _ : state)
    {
        now += period;
        if (guarded && sources.admit(from.address(), now) != SourceVerdict::Admitted)
            continue;
        ParseResult parsed = parseDatagram(bytes.data(), bytes.size());
        parsed.datagram.sequence = seq++;
        forwarded += rooms.onDatagram(parsed.datagram, from, now) ? 1 : 0;
    }
    if (forwarded != static_cast<std::int64_t>(state.iterations()))
        state.SkipWithError("a datagram was not forwarded");
}
BENCHMARK(BM_DatagramPath)->ArgName("guarded")->Arg(0)->Arg(1);

// The allow-list and budget alone, for an address outside the list (a stranger's flood).
void BM_SourceAdmitRefused(benchmark::State& state)
{
    SourceLimits sourceLimits;
    if (!sourceLimits.allow.add("10.0.0.0/8,172.16.0.0/12,192.168.0.0/16,127.0.0.2"))
        std::abort();
    SourceGuard sources(sourceLimits);
    const auto from = net::ip::make_address("203.0.113.7");
    const auto now = std::chrono::steady_clock::time_point{} + 1000s;
    for (auto _ : state)
        benchmark::DoNotOptimize(sources.admit(from, now));
}
BENCHMARK(BM_SourceAdmitRefused);

// What a counter costs in the per-listener path (three per message written): a plain integer,
// the relay's Counter (relaxed load and store, one writing thread, readable from any), and an
// atomic read-modify-write, which a counter shared by the loops would need.
void BM_CounterIncrement(benchmark::State& state)
{
    const int kind = static_cast<int>(state.range(0));
    std::uint64_t plain = 0;
    Counter counter;
    std::atomic<std::uint64_t> shared{0};
    for (auto _ : state)
    {
        for (int i = 0; i < 64; ++i)
        {
            if (kind == 0)
                benchmark::DoNotOptimize(++plain);
            else if (kind == 1)
                ++counter;
            else
                shared.fetch_add(1, std::memory_order_relaxed);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_CounterIncrement)->ArgName("plain0_counter1_fetchadd2")->Arg(0)->Arg(1)->Arg(2);

// Bytes on the wire per listener and second for every tier: the WebSocket payload as
// measured on musicLike() audio, its frame header, and 52 bytes of TCP/IP (IPv4 and TCP with
// timestamps) per message, each message going out in a segment of its own when the
// listener keeps up (ACKs in the other direction not counted).
void wireBytesTable()
{
    std::printf("\nBytes on the wire per listener-second (payload + WebSocket + TCP/IP):\n");
    std::printf("  %-9s %9s %12s %14s %12s %10s\n", "tier", "msgs/s", "payload B", "wire B/s",
                "kbit/s", "overhead");
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        const Tier tier = tierAt(t);
        const Stream stream{tier};
        const double size = isOpus(tier) ? meanSize(tierMessages(tier, 10.0)) : kMessageSize;
        const double perSecond = stream.messagesPerSecond();
        const double ws = size < 126 ? 2 : 4;
        const double wire = perSecond * (size + ws + 52);
        std::printf("  %-9s %9.1f %12.1f %14.0f %12.1f %9.1f%%\n",
                    std::string(tierName(tier)).c_str(), perSecond, size, wire, wire * 8 / 1000,
                    100 * (wire - perSecond * (size - (isOpus(tier) ? 20 : 16))) / wire);
    }
}

// Raises N until any listener falls behind; prints the largest N that passed with the relay
// thread under 90 % of a core.
void capacitySearch()
{
    const Stream stream{gSearchTier};
    std::cout << "\nCapacity search (one room, "
              << (gSearchTier ? std::string(tierName(*gSearchTier)) : "float32") << ", " << gSeconds
              << " s of audio per step):\n";
    std::size_t best = 0;
    for (std::size_t n = 500; n <= gMaxListeners; n += (n < 2000 ? 500 : 1000))
    {
        const RunResult r = runRelay(n, gSeconds, stream);
        std::printf("  N=%5zu  relay CPU %.1f%% of a core, %.2f us/s per listener, %zu behind\n", n,
                    r.coreLoad() * 100, r.cpuPerListenerUs(), r.behind);
        std::fflush(stdout);
        // The relay's cost per listener falls as N grows (more messages per write once the loop
        // is busy), so a step over 90 % does not end the search; a listener behind does.
        if (r.behind > 0)
            break;
        if (r.coreLoad() <= 0.9)
            best = n;
    }
    std::printf("Largest N carried with no listener behind, under 90%% of a core: %zu%s\n", best,
                best == gMaxListeners ? " (search limit; raise --max-listeners)" : "");
}

void raiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    bool search = true;
    bool pin = false;
    for (int i = 0; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg.rfind("--seconds=", 0) == 0)
            gSeconds = std::stod(arg.substr(10));
        else if (arg.rfind("--max-listeners=", 0) == 0)
            gMaxListeners = std::stoul(arg.substr(16));
        else if (arg == "--no-search")
            search = false;
        else if (arg == "--pin")
            pin = true;
        else if (arg.rfind("--search-tier=", 0) == 0)
        {
            const auto quality = parseQuality(arg.substr(14));
            if (!quality || quality->mayStepDown)
            {
                std::fprintf(stderr, "--search-tier: low, standard, high or lossless\n");
                return 2;
            }
            gSearchTier = quality->tier;
        }
        else
            rest.push_back(argv[i]);
    }
    raiseFileLimit();
    const auto cpus = static_cast<int>(std::thread::hardware_concurrency());
    if (pin && cpus >= 2)
    {
        pinSelfTo(0); // the sender, the listeners and the baseline's readers
        gMeasuredCpu = cpus - 1;
    }
    else if (pin)
        std::fprintf(stderr, "--pin needs two CPUs; running unpinned\n");
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    wireBytesTable();
    if (search)
        capacitySearch();
    return 0;
}
