// What a second event loop buys: one room, N WebSocket listeners on loopback, the plug-in's
// 187.5 datagrams per second in, for a relay with --threads 1 and --threads 2 in the same run.
//
// For each thread count N is raised until a listener falls behind (any byte short of the exact
// stream after the last datagram plus 3 s: a skip, a missed or a dropped message) or the relay's
// threads need more than 90 % of the cores they have. The relay runs in this process; its
// threads' CPU time is read from /proc/self/task/<tid>/schedstat, so the listeners' and the
// sender's CPU is not counted as the relay's.
//
// The listeners are made as cheap as the kernel allows, because on a machine of two cores they
// share the cores with the relay they measure: one thread, one epoll set, and recv(MSG_TRUNC),
// which discards TCP data in the kernel without copying it out; a listener is carried when its
// byte count is exactly the hello, the live event and every audio frame. Ordering and bit
// exactness are the tests' business (event_loops_test.cpp); this measures capacity.
//
//   orlune_relay_threads_bench [--seconds=3] [--start=500] [--step=500] [--max=6000]
//                              [--threads=1,2]
#include "app/config.h"
#include "app/server.h"
#include "rooms/rooms.h"
#include "stream_test_support.h"
#include "wire/listener_events.h"

#include <boost/asio/ip/udp.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace net = boost::asio;
using namespace orlune::relay;
using namespace std::chrono_literals;

namespace
{

double gSeconds = 3.0;
std::size_t gStart = 500, gStep = 500, gMax = 6000;
std::vector<std::size_t> gThreads{1, 2};
constexpr double kPacketsPerSecond = 48000.0 / 256.0;
// A listener is carried while it gets every message and the sampled ones arrive within this
// (99th percentile) of being sent: the player's jitter buffer starts at about 60 ms.
constexpr double kMaxDelay = 0.050;

std::set<int> tasks()
{
    std::set<int> out;
    if (DIR* dir = opendir("/proc/self/task"))
    {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                out.insert(std::atoi(e->d_name));
        closedir(dir);
    }
    return out;
}

double taskCpuSeconds(int tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns * 1e-9;
}

// Busy and total jiffies of all cores, from /proc/stat.
std::pair<double, double> machineJiffies()
{
    std::ifstream in("/proc/stat");
    std::string cpu;
    double user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    in >> cpu >> user >> nice >> system >> idle >> iowait >> irq >> softirq >> steal;
    const double busy = user + nice + system + irq + softirq + steal;
    return {busy, busy + idle + iowait};
}

double threadCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The load generator (the sender, the listeners' thread) runs at real-time priority when it may
// (as root), so that it never waits behind the relay it measures on the same cores: it needs
// little CPU, and what it times is then the relay's delay, not its own turn on a core.
bool realTime(bool on)
{
    sched_param param{};
    param.sched_priority = on ? 10 : 0;
    return pthread_setschedparam(pthread_self(), on ? SCHED_FIFO : SCHED_OTHER, &param) == 0;
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// N listeners that count bytes and copy nothing.
class DiscardListeners
{
public:
    // The first kCheckers listeners read every frame and time each audio message against its
    // send time in `sentAt` (steady-clock nanoseconds by sequence, 0 until sent).
    static constexpr std::size_t kCheckers = 8;

    DiscardListeners(std::uint16_t port, std::size_t count,
                     const std::vector<std::atomic<std::int64_t>>& sentAt)
        : sentAt_(sentAt)
        , checkers_(std::min(count, kCheckers))
        , received_(count)
    {
        epoll_ = epoll_create1(0);
        const std::string request = "GET /orlune/bench/ws HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                    "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Version: 13\r\n\r\n";
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (std::size_t i = 0; i < count; ++i)
        {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            timeval limit{2, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
            if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
                send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(request.size()))
            {
                close(fd);
                continue;
            }
            // The response headers, a byte at a time (only here), so that no frame is read.
            std::string head;
            char c = 0;
            while (head.size() < 4096 && recv(fd, &c, 1, 0) == 1)
            {
                head += c;
                if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
                    break;
            }
            if (head.rfind("HTTP/1.1 101", 0) != 0)
            {
                close(fd);
                continue;
            }
            fds_.push_back(fd);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = fds_.size() - 1;
            epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &ev);
        }
        thread_ = std::thread([this] { drain(); });
    }

    ~DiscardListeners()
    {
        stop();
        for (int fd : fds_)
            close(fd);
        close(epoll_);
    }

    std::size_t connected() const { return fds_.size(); }

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    // After stop(): the CPU time the listeners' thread used.
    double cpuSeconds() const { return cpuSeconds_; }

    // After stop(): the checkers' delays from send to arrival, in seconds, sorted.
    std::vector<double> delays()
    {
        std::sort(delays_.begin(), delays_.end());
        return delays_;
    }

    // Waits (bounded) until every listener has `bytes`; returns those that have not.
    std::size_t behind(std::int64_t bytes, std::chrono::milliseconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::size_t short_ = 0;
        do
        {
            short_ = 0;
            for (std::size_t i = 0; i < fds_.size(); ++i)
                short_ += received_[i].load() != bytes ? 1 : 0;
            if (short_ == 0)
                break;
            std::this_thread::sleep_for(20ms);
        } while (std::chrono::steady_clock::now() < deadline);
        return short_ + (received_.size() - fds_.size());
    }

private:
    void drain()
    {
        realTime(true);
        const auto cpuStart = threadCpu();
        std::vector<epoll_event> ready(1024);
        std::vector<char> sink(1 << 16);
        while (!stop_)
        {
            const int n = epoll_wait(epoll_, ready.data(), static_cast<int>(ready.size()), 20);
            for (int i = 0; i < n; ++i)
            {
                const auto at =
                    static_cast<std::size_t>(ready[static_cast<std::size_t>(i)].data.u64);
                if (at < checkers_.size())
                {
                    check(at);
                    continue;
                }
                const ssize_t got =
                    recv(fds_[at], sink.data(), sink.size(), MSG_TRUNC | MSG_DONTWAIT);
                if (got > 0)
                    received_[at] += got;
            }
            // Fewer, fuller reads: the listeners' CPU is the relay's competition here.
            std::this_thread::sleep_for(10ms);
        }
        cpuSeconds_ = threadCpu() - cpuStart;
    }

    void check(std::size_t at)
    {
        std::vector<char>& in = checkers_[at];
        const std::size_t had = in.size();
        in.resize(had + (1 << 16));
        const ssize_t got = recv(fds_[at], in.data() + had, 1 << 16, MSG_DONTWAIT);
        in.resize(had + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got <= 0)
            return;
        received_[at] += got;
        const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
        std::size_t pos = 0;
        while (in.size() - pos >= 2)
        {
            const auto* h = reinterpret_cast<const unsigned char*>(in.data() + pos);
            std::size_t length = h[1] & 0x7f;
            std::size_t header = 2;
            if (length == 126)
            {
                if (in.size() - pos < 4)
                    break;
                length = (std::size_t(h[2]) << 8) | h[3];
                header = 4;
            }
            if (in.size() - pos < header + length)
                break;
            if ((h[0] & 0x0f) == 2 && length == kAudioMessageSize)
            {
                std::int64_t seq = 0;
                std::memcpy(&seq, in.data() + pos + header, 8);
                if (seq >= 0 && static_cast<std::size_t>(seq) < sentAt_.size())
                    if (const auto sent = sentAt_[static_cast<std::size_t>(seq)].load(); sent != 0)
                        delays_.push_back(static_cast<double>(now - sent) * 1e-9);
            }
            pos += header + length;
        }
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
    }

    int epoll_ = -1;
    std::vector<int> fds_;
    const std::vector<std::atomic<std::int64_t>>& sentAt_;
    std::vector<std::vector<char>> checkers_; // unparsed bytes per checker
    std::vector<double> delays_;              // drain thread, then stop()
    double cpuSeconds_ = 0;                   // the drain thread's, after stop()
    std::vector<std::atomic<std::int64_t>> received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct Run
{
    std::size_t threads = 0;
    std::size_t listeners = 0;
    std::size_t behind = 0;
    double cores = 0;              // relay CPU per second of audio, all its threads
    std::vector<double> perThread; // the same per relay thread
    double p99 = 0, maxDelay = 0;  // the checkers' delays from send to arrival, seconds
    double listenerCores = 0;      // the listeners' thread, per second of audio
    double machine = 0;            // busy cores of the whole machine meanwhile
    double usPerListenerSecond() const { return cores / static_cast<double>(listeners) * 1e6; }
};

Run runRelay(std::size_t threads, std::size_t listeners)
{
    Config config = test::loadTestConfig(threads);

    const std::set<int> before = tasks();
    Relay relay(config);
    std::thread relayThread([&] { relay.run(); });
    std::this_thread::sleep_for(100ms);
    std::vector<int> relayTasks;
    for (int tid : tasks())
        if (!before.count(tid))
            relayTasks.push_back(tid);

    Run run;
    run.threads = threads;
    run.listeners = listeners;
    {
        const auto count = static_cast<std::int64_t>(gSeconds * kPacketsPerSecond);
        std::vector<std::atomic<std::int64_t>> sentAt(static_cast<std::size_t>(count));
        DiscardListeners clients(relay.httpPort(), listeners, sentAt);
        net::io_context ioc;
        net::ip::udp::socket sender(ioc, net::ip::udp::endpoint(net::ip::udp::v4(), 0));
        const net::ip::udp::endpoint to(net::ip::make_address("127.0.0.1"), relay.udpPort());
        std::vector<std::vector<std::uint8_t>> datagrams;
        for (std::int64_t seq = 0; seq < count; ++seq)
            datagrams.push_back(test::sineDatagram("bench", seq));
        std::this_thread::sleep_for(200ms); // hello messages out, every loop idle

        std::vector<double> cpuBefore;
        for (int tid : relayTasks)
            cpuBefore.push_back(taskCpuSeconds(tid));
        const auto machineBefore = machineJiffies();
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(1.0 / kPacketsPerSecond));
        const bool paced = realTime(true);
        auto next = std::chrono::steady_clock::now();
        for (const auto& d : datagrams)
        {
            std::this_thread::sleep_until(next);
            sentAt[static_cast<std::size_t>(&d - datagrams.data())] =
                std::chrono::steady_clock::now().time_since_epoch().count();
            sender.send_to(net::buffer(d), to);
            next += period;
        }
        if (paced)
            realTime(false);
        const auto machineAfter = machineJiffies();
        run.machine = (machineAfter.first - machineBefore.first) /
                      (machineAfter.second - machineBefore.second) *
                      std::thread::hardware_concurrency();
        const auto frame = [](std::size_t payload)
        { return static_cast<std::int64_t>(payload + (payload < 126 ? 2 : 4)); };
        const std::int64_t expected = frame(helloMessage("bench", false).size()) +
                                      frame(sourceMessage(true).size()) +
                                      count * frame(kAudioMessageSize);
        run.behind = clients.behind(expected, 3000ms) + (listeners - clients.connected());
        clients.stop();
        run.listenerCores = clients.cpuSeconds() / (static_cast<double>(count) / kPacketsPerSecond);
        const std::vector<double> delays = clients.delays();
        if (!delays.empty())
        {
            run.p99 = delays[delays.size() * 99 / 100];
            run.maxDelay = delays.back();
        }
        const double audio = static_cast<double>(count) / kPacketsPerSecond;
        for (std::size_t i = 0; i < relayTasks.size(); ++i)
        {
            const double used = (taskCpuSeconds(relayTasks[i]) - cpuBefore[i]) / audio;
            run.perThread.push_back(used);
            run.cores += used;
        }
    }
    relay.stop();
    relayThread.join();
    return run;
}

void print(const Run& r)
{
    std::printf("  threads=%zu  N=%5zu  relay %.2f cores (", r.threads, r.listeners, r.cores);
    for (std::size_t i = 0; i < r.perThread.size(); ++i)
        std::printf("%s%.0f%%", i ? " + " : "", r.perThread[i] * 100);
    std::printf("), %.0f us/listener-s, %zu behind, delay p99 %.1f max %.1f ms; listeners "
                "%.2f, machine %.2f cores busy\n",
                r.usPerListenerSecond(), r.behind, r.p99 * 1e3, r.maxDelay * 1e3, r.listenerCores,
                r.machine);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        auto value = [&](const char* name) { return arg.substr(std::strlen(name)); };
        if (arg.rfind("--seconds=", 0) == 0)
            gSeconds = std::stod(value("--seconds="));
        else if (arg.rfind("--start=", 0) == 0)
            gStart = std::stoul(value("--start="));
        else if (arg.rfind("--step=", 0) == 0)
            gStep = std::stoul(value("--step="));
        else if (arg.rfind("--max=", 0) == 0)
            gMax = std::stoul(value("--max="));
        else if (arg.rfind("--threads=", 0) == 0)
        {
            gThreads.clear();
            std::string list = value("--threads=");
            for (std::size_t at = 0; at < list.size();)
            {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                gThreads.push_back(std::stoul(list.substr(at, comma - at)));
                at = comma + 1;
            }
        }
        else
        {
            std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
            return 2;
        }
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
    {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }

    std::printf("Listeners carried with none behind, one room, %.1f s of audio per step, %u "
                "hardware threads, load %s\n",
                gSeconds, std::thread::hardware_concurrency(), loadAverage().c_str());
    std::vector<std::size_t> best;
    std::vector<Run> atBaseline;
    for (std::size_t threads : gThreads)
    {
        std::size_t carried = 0;
        for (std::size_t n = gStart; n <= gMax; n += gStep)
        {
            const Run r = runRelay(threads, n);
            print(r);
            if (r.behind > 0 || r.p99 > kMaxDelay)
                break;
            carried = n;
        }
        best.push_back(carried);
    }
    std::printf("\n");
    for (std::size_t i = 0; i < gThreads.size(); ++i)
        std::printf("threads=%zu: %zu listeners carried%s\n", gThreads[i], best[i],
                    best[i] >= gMax ? " (search limit)" : "");
    if (gThreads.size() >= 2 && best[0] > 0)
        std::printf("ratio threads=%zu / threads=%zu: %.2f\n", gThreads[1], gThreads[0],
                    static_cast<double>(best[1]) / static_cast<double>(best[0]));

    // The same load on each: what each loop costs per listener, and the capacity that implies
    // on cores of its own.
    if (!best.empty() && best[0] > 0)
    {
        std::printf("\nAt N=%zu for each thread count:\n", best[0]);
        std::vector<Run> same;
        for (std::size_t threads : gThreads)
        {
            same.push_back(runRelay(threads, best[0]));
            print(same.back());
        }
        for (std::size_t i = 1; i < same.size(); ++i)
            std::printf("capacity on %zu free cores / on 1, from CPU per listener: %.2f\n",
                        gThreads[i],
                        static_cast<double>(gThreads[i]) * same[0].usPerListenerSecond() /
                            same[i].usPerListenerSecond() / static_cast<double>(gThreads[0]));
    }
    std::printf("load after: %s\n", loadAverage().c_str());
    return 0;
}
