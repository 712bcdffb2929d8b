// Shared by the cluster test and the cluster benchmark: a cluster as scripts/cluster starts it,
// a paced source, listeners on threads and a crowd of reconnecting listeners on one thread.
#pragma once

#include "test_support.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace orlune::relay::clustertest
{

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

inline constexpr auto kPeriod = std::chrono::microseconds(5333); // 256 frames at 48 kHz
inline const std::string kLive = R"({"type":"source","live":true})";
inline const std::string kOffline = R"({"type":"source","live":false})";

inline std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq,
                                          std::uint32_t seed)
{
    test::DatagramFields f;
    f.room = room;
    f.sequence = seq;
    f.samplePosition = seq * 256;
    f.samples = test::patternSamples(seed + static_cast<std::uint32_t>(seq));
    return test::buildDatagram(f);
}

// A 1 kHz tone at -12 dBFS on both channels, continuous across datagrams.
inline std::vector<std::uint8_t> toneDatagram(const std::string& room, std::int64_t seq)
{
    test::DatagramFields f;
    f.room = room;
    f.sequence = seq;
    f.samplePosition = seq * 256;
    for (std::size_t i = 0; i < 256; ++i)
    {
        const double t = static_cast<double>(seq * 256 + static_cast<std::int64_t>(i)) / 48000.0;
        const float v = static_cast<float>(0.25 * std::sin(2.0 * 3.14159265358979 * 1000.0 * t));
        f.samples[2 * i] = v;
        f.samples[2 * i + 1] = v;
    }
    return test::buildDatagram(f);
}

inline bool samplesMatch(const std::string& message, std::int64_t seq, std::uint32_t seed)
{
    const auto sent = datagram("x", seq, seed);
    return message.size() == 2064 &&
           std::memcmp(message.data() + 16, sent.data() + sent.size() - 2048, 2048) == 0;
}

// The relay under test: ORLUNE_RELAY (a sanitizer build, say) or the one built beside this.
inline std::string relayBinary()
{
    const char* chosen = std::getenv("ORLUNE_RELAY");
    return chosen != nullptr && *chosen != '\0' ? chosen : ORLUNE_RELAY_BINARY;
}

// The processes of one cluster, started and stopped through scripts/cluster.
class Cluster
{
public:
    explicit Cluster(int slot)
        : base_(20000 + slot * 100)
        , udp_(30000 + slot * 10)
    {
        const std::string command =
            std::string(ORLUNE_CLUSTER_SCRIPT) + " --detach --dir " + dir_.path().string() +
            " --base-port " + std::to_string(base_) + " --udp-port " + std::to_string(udp_) +
            " --relay " + relayBinary() + " > " + (dir_.path() / "script.log").string() + " 2>&1";
        started_ = std::system(command.c_str()) == 0;
    }
    ~Cluster()
    {
        const std::string command =
            std::string(ORLUNE_CLUSTER_SCRIPT) + " --stop " + dir_.path().string();
        std::system(command.c_str());
    }
    bool started() const { return started_; }
    std::string log() const
    {
        std::ifstream in(dir_.path() / "script.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::uint16_t haproxy() const { return static_cast<std::uint16_t>(base_); }
    std::uint16_t http(int relay) const { return static_cast<std::uint16_t>(base_ + 1 + relay); }
    // Where a relay serves /metrics: apart from its HTTP port, never behind HAProxy.
    std::uint16_t metrics(int relay) const
    {
        return static_cast<std::uint16_t>(base_ + 31 + relay);
    }
    std::uint16_t udp(int relay) const { return static_cast<std::uint16_t>(udp_ + relay); }
    pid_t pid(const std::string& name) const
    {
        std::ifstream in(dir_.path() / (name + ".pid"));
        pid_t pid = 0;
        in >> pid;
        return pid;
    }
    bool kill(const std::string& name)
    {
        const pid_t p = pid(name);
        return p > 0 && ::kill(p, SIGKILL) == 0;
    }

private:
    test::TempDir dir_;
    int base_;
    int udp_;
    bool started_ = false;
};

// Sends datagrams at the plug-in's pace on its own thread, at most `limit` of them.
class Source
{
public:
    // A seed of kTone sends toneDatagram()s instead of patterns.
    static constexpr std::uint32_t kTone = 0xffffffffu;

    Source(std::uint16_t port, std::string room, std::int64_t firstSeq, std::uint32_t seed,
           std::int64_t limit)
        : sender_(port)
    {
        thread_ = std::thread(
            [this, room, firstSeq, seed, limit]
            {
                auto next = SteadyClock::now();
                for (std::int64_t i = 0; i < limit && !stop_; ++i)
                {
                    std::this_thread::sleep_until(next);
                    next += kPeriod;
                    sender_.send(seed == kTone ? toneDatagram(room, firstSeq + i)
                                               : datagram(room, firstSeq + i, seed));
                    last_ = SteadyClock::now().time_since_epoch().count();
                    ++sent_;
                }
            });
    }
    ~Source() { stop(); }
    // Until every datagram is out.
    void finish()
    {
        if (thread_.joinable())
            thread_.join();
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    std::int64_t sent() const { return sent_; }
    SteadyClock::time_point lastSent() const
    {
        return SteadyClock::time_point(SteadyClock::duration(last_.load()));
    }

private:
    test::UdpSender sender_;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> sent_{0};
    std::atomic<SteadyClock::rep> last_{0};
    std::thread thread_;
};

// One WebSocket listener reading on its own thread, keeping what it heard and when.
class Listener
{
public:
    struct Audio
    {
        std::int64_t seq;
        SteadyClock::time_point at;
        bool intact;
    };

    // `query` ("?quality=standard", say) asks for a tier; its binary messages are kept whole.
    Listener(std::uint16_t port, const std::string& room, std::uint32_t seed,
             const std::string& query = "")
        : client_(port, "/orlune/" + room + "/ws" + query)
        , keepWhole_(!query.empty())
    {
        thread_ = std::thread(
            [this, seed]
            {
                while (!stop_)
                {
                    auto m = client_.read(4s);
                    if (!m)
                        break;
                    const auto now = SteadyClock::now();
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (m->text)
                        events_.push_back({m->data, audio_.size()});
                    else
                    {
                        const auto seq = test::readLe64(m->data, 0);
                        audio_.push_back(
                            {seq, now, !keepWhole_ && samplesMatch(m->data, seq, seed)});
                        if (keepWhole_)
                            whole_.push_back(m->data);
                    }
                }
            });
    }
    ~Listener() { stop(); }
    bool connected() const { return client_.connected() || !audio_.empty(); }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<Audio> audio()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return audio_;
    }
    // The binary messages as received, for a listener that asked for a tier.
    std::vector<std::string> whole()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return whole_;
    }
    // Text messages with the number of audio messages before each.
    std::vector<std::pair<std::string, std::size_t>> events()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    bool waitForAudio(std::size_t count, std::chrono::milliseconds limit)
    {
        const auto deadline = SteadyClock::now() + limit;
        while (SteadyClock::now() < deadline)
        {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (audio_.size() >= count)
                    return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

private:
    test::WsClient client_;
    const bool keepWhole_;
    std::mutex mutex_;
    std::vector<Audio> audio_;
    std::vector<std::string> whole_;
    std::vector<std::pair<std::string, std::size_t>> events_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Many listeners on one thread, through the front door, each reconnecting (at most 20 times,
// 100 ms apart) when its connection ends, as the web player does.
class Crowd
{
public:
    struct Member
    {
        explicit Member(boost::asio::io_context& ioc)
            : socket(ioc)
            , retry(ioc)
        {
        }
        boost::asio::ip::tcp::socket socket;
        boost::asio::steady_timer retry;
        std::string in;
        bool upgraded = false;
        WsFrameReader frames{1 << 20, false};
        int reconnects = 0;
        std::int64_t lastSeq = -1;
        std::atomic<std::int64_t> messages{0};
        std::int64_t gaps = 0;   // jumps forward in sequence
        std::int64_t faults = 0; // backwards, damaged or malformed
        char chunk[16384];
    };

    Crowd(std::uint16_t port, std::string room, std::uint32_t seed, std::size_t count,
          std::int64_t maxSeq)
        : port_(port)
        , room_(std::move(room))
    {
        for (std::int64_t seq = 0; seq < maxSeq; ++seq)
        {
            const auto d = datagram("x", seq, seed);
            expected_.emplace_back(d.end() - 2048, d.end());
        }
        for (std::size_t i = 0; i < count; ++i)
            members_.push_back(std::make_unique<Member>(ioc_));
        for (auto& m : members_)
            connect(*m);
        thread_ = std::thread([this] { ioc_.run(); });
    }
    ~Crowd() { stop(); }
    void stop()
    {
        boost::asio::post(ioc_,
                          [this]
                          {
                              stopping_ = true;
                              for (auto& m : members_)
                              {
                                  boost::system::error_code ec;
                                  m->socket.close(ec);
                                  m->retry.cancel();
                              }
                          });
        if (thread_.joinable())
            thread_.join();
    }
    // Read only after stop().
    const std::vector<std::unique_ptr<Member>>& members() const { return members_; }

private:
    void connect(Member& m)
    {
        m.in.clear();
        m.upgraded = false;
        m.frames = WsFrameReader(1 << 20, false);
        m.socket = boost::asio::ip::tcp::socket(ioc_);
        m.socket.async_connect({boost::asio::ip::make_address("127.0.0.1"), port_},
                               [this, &m](boost::system::error_code ec)
                               {
                                   if (ec)
                                       return again(m);
                                   const std::string request =
                                       test::wsUpgradeRequest("/orlune/" + room_ + "/ws");
                                   boost::system::error_code e;
                                   boost::asio::write(m.socket, boost::asio::buffer(request), e);
                                   if (e)
                                       return again(m);
                                   read(m);
                               });
    }

    void again(Member& m)
    {
        if (stopping_ || m.reconnects >= 20)
            return;
        ++m.reconnects;
        m.retry.expires_after(100ms);
        m.retry.async_wait(
            [this, &m](boost::system::error_code ec)
            {
                if (!ec && !stopping_)
                    connect(m);
            });
    }

    void read(Member& m)
    {
        m.socket.async_read_some(boost::asio::buffer(m.chunk),
                                 [this, &m](boost::system::error_code ec, std::size_t n)
                                 {
                                     if (ec)
                                         return again(m);
                                     m.in.append(m.chunk, n);
                                     parse(m);
                                     read(m);
                                 });
    }

    void parse(Member& m)
    {
        if (!m.upgraded)
        {
            const auto end = m.in.find("\r\n\r\n");
            if (end == std::string::npos)
                return;
            if (!test::wsUpgradeAccepted(std::string_view(m.in).substr(0, end)))
                ++m.faults;
            m.upgraded = true;
            m.in.erase(0, end + 4);
        }
        m.frames.feed(m.in);
        m.in.clear();
        for (WsEvent e = m.frames.next(); e.kind != WsEvent::Kind::NeedMore; e = m.frames.next())
        {
            if (e.kind == WsEvent::Kind::Error)
                ++m.faults;
            if (e.kind != WsEvent::Kind::Message || e.text)
                continue;
            const std::string& payload = e.payload;
            const std::int64_t seq = payload.size() == 2064 ? test::readLe64(payload, 0) : -1;
            if (seq <= m.lastSeq || seq < 0 || seq >= std::int64_t(expected_.size()) ||
                payload.compare(16, 2048, expected_[std::size_t(seq)]) != 0)
                ++m.faults;
            else if (m.lastSeq >= 0 && seq != m.lastSeq + 1)
                ++m.gaps;
            m.lastSeq = std::max(m.lastSeq, seq);
            ++m.messages;
        }
    }

    boost::asio::io_context ioc_;
    std::uint16_t port_;
    std::string room_;
    std::vector<std::string> expected_;
    std::vector<std::unique_ptr<Member>> members_;
    bool stopping_ = false;
    std::thread thread_;
};

inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// The longest pause between two audio messages, from the first one on.
inline SteadyClock::duration longestGap(const std::vector<Listener::Audio>& audio)
{
    SteadyClock::duration gap{};
    for (std::size_t i = 1; i < audio.size(); ++i)
        gap = std::max(gap, audio[i].at - audio[i - 1].at);
    return gap;
}

// CPU time (user and system) a process has used so far, in seconds.
inline double processCpuSeconds(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i)
    {
        if (i == 14)
            utime = std::stod(field);
        if (i == 15)
        {
            stime = std::stod(field);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A child process, killed and reaped when the object goes away.
class Child
{
public:
    explicit Child(std::vector<std::string> args)
    {
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            pid_ = 0;
    }
    ~Child()
    {
        if (pid_ > 0)
        {
            ::kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = 0;
};

} // namespace orlune::relay::clustertest
