// A relay cluster as scripts/cluster starts it (three NATS servers, three relays, HAProxy), each
// test on its own: a source streams into relay a, listeners hear it on b and c, directly and
// through HAProxy, while relays and NATS servers are killed. Runs inside a private network
// namespace (see run-in-netns); every address is 127.0.0.1.
#include "test_support.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr auto kPeriod = std::chrono::microseconds(5333); // 256 frames at 48 kHz
const std::string kLive = R"({"type":"source","live":true})";
const std::string kOffline = R"({"type":"source","live":false})";

std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq, std::uint32_t seed)
{
    test::DatagramFields f;
    f.room = room;
    f.sequence = seq;
    f.samplePosition = seq * 256;
    f.samples = test::patternSamples(seed + static_cast<std::uint32_t>(seq));
    return test::buildDatagram(f);
}

bool samplesMatch(const std::string& message, std::int64_t seq, std::uint32_t seed)
{
    const auto sent = datagram("x", seq, seed);
    return message.size() == 2064 &&
           std::memcmp(message.data() + 16, sent.data() + sent.size() - 2048, 2048) == 0;
}

// The processes of one cluster, started and stopped through scripts/cluster.
class Cluster
{
public:
    explicit Cluster(int slot)
        : base_(20000 + slot * 100)
        , udp_(30000 + slot * 10)
    {
        const std::string command = std::string(ORLUNE_CLUSTER_SCRIPT) + " --detach --dir " +
                                    dir_.path().string() + " --base-port " + std::to_string(base_) +
                                    " --udp-port " + std::to_string(udp_) + " --relay " +
                                    ORLUNE_RELAY_BINARY + " > " +
                                    (dir_.path() / "script.log").string() + " 2>&1";
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
    std::uint16_t udp(int relay) const { return static_cast<std::uint16_t>(udp_ + relay); }
    void kill(const std::string& name)
    {
        std::ifstream in(dir_.path() / (name + ".pid"));
        pid_t pid = 0;
        in >> pid;
        ASSERT_GT(pid, 0) << name;
        ::kill(pid, SIGKILL);
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
                    sender_.send(datagram(room, firstSeq + i, seed));
                    last_ = SteadyClock::now().time_since_epoch().count();
                    ++sent_;
                }
            });
    }
    ~Source() { stop(); }
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

    Listener(std::uint16_t port, const std::string& room, std::uint32_t seed)
        : client_(port, "/orlune/" + room + "/ws")
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
                        audio_.push_back({seq, now, samplesMatch(m->data, seq, seed)});
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
    std::mutex mutex_;
    std::vector<Audio> audio_;
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
        m.socket = boost::asio::ip::tcp::socket(ioc_);
        m.socket.async_connect({boost::asio::ip::make_address("127.0.0.1"), port_},
                               [this, &m](boost::system::error_code ec)
                               {
                                   if (ec)
                                       return again(m);
                                   const std::string request =
                                       "GET /orlune/" + room_ +
                                       "/ws HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                       "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                       "Sec-WebSocket-Version: 13\r\n\r\n";
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
            if (m.in.rfind("HTTP/1.1 101", 0) != 0)
                ++m.faults;
            m.upgraded = true;
            m.in.erase(0, end + 4);
        }
        std::size_t at = 0;
        while (m.in.size() - at >= 2)
        {
            const auto* h = reinterpret_cast<const unsigned char*>(m.in.data() + at);
            std::size_t length = h[1] & 0x7f, header = 2;
            if (length == 126)
            {
                if (m.in.size() - at < 4)
                    break;
                length = (std::size_t(h[2]) << 8) | h[3];
                header = 4;
            }
            if (m.in.size() - at < header + length)
                break;
            if ((h[0] & 0x0f) == 0x2)
            {
                const std::string payload = m.in.substr(at + header, length);
                const std::int64_t seq = payload.size() == 2064 ? test::readLe64(payload, 0) : -1;
                if (seq <= m.lastSeq || seq < 0 || seq >= std::int64_t(expected_.size()) ||
                    payload.compare(16, 2048, expected_[std::size_t(seq)]) != 0)
                    ++m.faults;
                else if (m.lastSeq >= 0 && seq != m.lastSeq + 1)
                    ++m.gaps;
                m.lastSeq = std::max(m.lastSeq, seq);
                ++m.messages;
            }
            at += header + length;
        }
        m.in.erase(0, at);
    }

    boost::asio::io_context ioc_;
    std::uint16_t port_;
    std::string room_;
    std::vector<std::string> expected_;
    std::vector<std::unique_ptr<Member>> members_;
    bool stopping_ = false;
    std::thread thread_;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

// The longest pause between two audio messages, from the first one on.
SteadyClock::duration longestGap(const std::vector<Listener::Audio>& audio)
{
    SteadyClock::duration gap{};
    for (std::size_t i = 1; i < audio.size(); ++i)
        gap = std::max(gap, audio[i].at - audio[i - 1].at);
    return gap;
}

#define START_CLUSTER(cluster, slot)                                                               \
    Cluster cluster(slot);                                                                         \
    ASSERT_TRUE(cluster.started()) << cluster.log()

TEST(RelayCluster, EveryRelayAndTheFrontDoorCarryTheRoomBitForBitInOrder)
{
    START_CLUSTER(cluster, 1);
    constexpr std::uint32_t kSeed = 7;
    constexpr std::int64_t kCount = 600; // 3.2 s
    Listener onA(cluster.http(0), "party", kSeed);
    Listener onB(cluster.http(1), "party", kSeed);
    Listener onC(cluster.http(2), "party", kSeed);
    Listener front1(cluster.haproxy(), "party", kSeed);
    Listener front2(cluster.haproxy(), "party", kSeed);
    std::this_thread::sleep_for(300ms); // subscriptions reach every NATS server
    Source source(cluster.udp(0), "party", 0, kSeed, kCount);
    for (Listener* l : {&onA, &onB, &onC, &front1, &front2})
        EXPECT_TRUE(l->waitForAudio(kCount, 10s));
    source.stop();

    const auto a = onA.audio();
    for (Listener* l : {&onA, &onB, &onC, &front1, &front2})
    {
        const auto audio = l->audio();
        ASSERT_EQ(audio.size(), static_cast<std::size_t>(kCount));
        for (std::int64_t i = 0; i < kCount; ++i)
        {
            ASSERT_EQ(audio[static_cast<std::size_t>(i)].seq, i);
            ASSERT_TRUE(audio[static_cast<std::size_t>(i)].intact) << i;
        }
        const auto events = l->events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[1].first, kLive) << "announced before the first audio";
        EXPECT_EQ(events[1].second, 0u);
    }

    // What the NATS hop adds: arrival on b and c against arrival on a, message by message.
    std::vector<double> hop;
    for (Listener* l : {&onB, &onC})
    {
        const auto audio = l->audio();
        for (std::size_t i = 0; i < audio.size(); ++i)
            hop.push_back(std::chrono::duration<double, std::milli>(audio[i].at - a[i].at).count());
    }
    const double p50 = percentile(hop, 0.5), p99 = percentile(hop, 0.99);
    std::printf("NATS hop over listeners on relay a: p50 %.3f ms, p99 %.3f ms (%zu messages)\n",
                p50, p99, hop.size());
    EXPECT_LE(p99, 2.0);

    const auto metricsA = test::scrapeMetrics(cluster.http(0));
    const auto metricsB = test::scrapeMetrics(cluster.http(1));
    EXPECT_EQ(metricsA.at("orlune_relay_nats_messages_out_total"), kCount);
    EXPECT_EQ(metricsA.at("orlune_relay_cluster_leases_held"), 1);
    EXPECT_GE(metricsB.at("orlune_relay_nats_messages_in_total"), kCount);
    EXPECT_EQ(metricsB.at("orlune_relay_nats_messages_out_total"), 0) << "nothing republished";
    EXPECT_EQ(metricsB.at("orlune_relay_nats_connected"), 1);
    EXPECT_EQ(test::httpRequest(cluster.http(1), "/healthz").status, 200);
}

TEST(RelayCluster, RelayWithoutListenersInARoomReceivesNothingOfIt)
{
    START_CLUSTER(cluster, 2);
    Listener onB(cluster.http(1), "party", 1);
    std::this_thread::sleep_for(300ms);
    Source source(cluster.udp(0), "party", 0, 1, 200);
    EXPECT_TRUE(onB.waitForAudio(200, 5s));
    source.stop();
    EXPECT_EQ(test::scrapeMetrics(cluster.http(2)).at("orlune_relay_nats_messages_in_total"), 0);
    EXPECT_EQ(test::scrapeMetrics(cluster.http(2)).at("orlune_relay_nats_subscriptions"), 0);
}

TEST(RelayCluster, TwoSourcesForOneRoomOnTwoRelaysTheClusterKeepsOneAndHandsOver)
{
    START_CLUSTER(cluster, 3);
    Listener onC(cluster.http(2), "duel", 1);
    std::this_thread::sleep_for(300ms);
    Source first(cluster.udp(0), "duel", 0, 1, 2000);
    ASSERT_TRUE(onC.waitForAudio(50, 5s));
    Source second(cluster.udp(1), "duel", 50000, 1, 2000);
    std::this_thread::sleep_for(1500ms);
    first.stop();
    const auto firstStopped = first.lastSent();
    std::this_thread::sleep_for(3500ms);
    second.stop();
    onC.stop();

    const auto audio = onC.audio();
    ASSERT_FALSE(audio.empty());
    std::size_t switchAt = 0;
    for (std::size_t i = 1; i < audio.size(); ++i)
    {
        ASSERT_TRUE(audio[i].intact) << i;
        if (audio[i].seq >= 50000 && audio[i - 1].seq < 50000)
        {
            ASSERT_EQ(switchAt, 0u) << "the two streams never interleave";
            switchAt = i;
        }
        else
            ASSERT_EQ(audio[i].seq, audio[i - 1].seq + 1) << i;
    }
    ASSERT_GT(switchAt, 0u) << "the second source took over";
    EXPECT_EQ(audio[switchAt - 1].seq, first.sent() - 1) << "the first source was heard to its end";
    const double handover =
        std::chrono::duration<double>(audio[switchAt].at - firstStopped).count();
    std::printf("Handover to the second source: %.3f s after the first fell silent\n", handover);
    EXPECT_GE(handover, 1.9);
    EXPECT_LE(handover, 3.0);
    // The listener was told: the first source went away, then a new one started.
    std::vector<std::string> around;
    for (const auto& [text, before] : onC.events())
        if (before == switchAt)
            around.push_back(text);
    EXPECT_EQ(around, (std::vector<std::string>{kOffline, kLive}));

    const auto b = test::scrapeMetrics(cluster.http(1));
    EXPECT_GE(b.at("orlune_relay_cluster_leases_denied_total"), 1);
    EXPECT_GT(b.at("orlune_relay_room_foreign_dropped_total{room=\"duel\"}"), 100);
    EXPECT_EQ(b.at("orlune_relay_cluster_leases_granted_total"), 1);
}

TEST(RelayCluster, OneOfThreeNatsServersKilledCostsNoRelayMoreThanASecond)
{
    START_CLUSTER(cluster, 4);
    Listener onA(cluster.http(0), "gig", 3);
    Listener onB(cluster.http(1), "gig", 3);
    Listener onC(cluster.http(2), "gig", 3);
    std::this_thread::sleep_for(300ms);
    Source source(cluster.udp(0), "gig", 0, 3, 1500); // 8 s
    ASSERT_TRUE(onB.waitForAudio(200, 5s));
    cluster.kill("nats-a"); // the ingesting relay's own server
    std::this_thread::sleep_for(4s);
    const std::size_t atEnd = onA.audio().size() + 900;
    onB.waitForAudio(atEnd - 200, 6s);
    source.stop();
    std::this_thread::sleep_for(200ms);
    for (Listener* l : {&onA, &onB, &onC})
    {
        const auto audio = l->audio();
        ASSERT_GT(audio.size(), 1000u);
        for (std::size_t i = 1; i < audio.size(); ++i)
        {
            ASSERT_GT(audio[i].seq, audio[i - 1].seq) << i;
            ASSERT_TRUE(audio[i].intact) << i;
        }
        const double gap = std::chrono::duration<double>(longestGap(audio)).count();
        std::printf("longest pause %.3f s, %zu of %lld messages\n", gap, audio.size(),
                    static_cast<long long>(source.sent()));
        EXPECT_LT(gap, 1.0);
        EXPECT_EQ(audio.back().seq, source.sent() - 1);
    }
    const auto a = test::scrapeMetrics(cluster.http(0));
    EXPECT_GE(a.at("orlune_relay_nats_reconnects_total"), 1);
    for (int relay = 0; relay < 3; ++relay)
        EXPECT_EQ(test::scrapeMetrics(cluster.http(relay)).at("orlune_relay_nats_connected"), 1);
}

TEST(RelayCluster, ListenersOfAKilledEdgeRelayReconnectThroughTheFrontDoorAndPlayOn)
{
    START_CLUSTER(cluster, 5);
    constexpr std::int64_t kCount = 1700; // 9 s
    Crowd crowd(cluster.haproxy(), "live-set", 5, 100, kCount);
    std::this_thread::sleep_for(1s);
    Source source(cluster.udp(0), "live-set", 0, 5, kCount);
    std::this_thread::sleep_for(3s);
    const auto onC = test::scrapeMetrics(cluster.http(2)).at("orlune_relay_listeners");
    EXPECT_GE(onC, 10) << "HAProxy spreads the listeners over the relays";
    cluster.kill("relay-c");
    std::this_thread::sleep_for(4s);
    const auto a = test::scrapeMetrics(cluster.http(0)).at("orlune_relay_listeners");
    const auto b = test::scrapeMetrics(cluster.http(1)).at("orlune_relay_listeners");
    EXPECT_EQ(a + b, 100) << "every listener is back, on a relay that is alive";
    source.stop();
    std::this_thread::sleep_for(300ms);
    crowd.stop();

    int moved = 0;
    std::int64_t worstMissed = 0;
    for (const auto& m : crowd.members())
    {
        if (m->reconnects > 0)
            worstMissed = std::max(worstMissed, source.sent() - m->messages.load());
        EXPECT_EQ(m->faults, 0) << "nothing out of order or damaged";
        EXPECT_EQ(m->lastSeq, source.sent() - 1) << "every listener plays to the end";
        EXPECT_LE(m->gaps, m->reconnects) << "nothing lost but the reconnection gap";
        EXPECT_GT(m->messages.load(), kCount / 2);
        moved += m->reconnects > 0 ? 1 : 0;
    }
    std::printf("%d of 100 listeners moved from the killed relay (it had %.0f); the longest gap "
                "was %lld messages (%.0f ms)\n",
                moved, onC, static_cast<long long>(worstMissed),
                static_cast<double>(worstMissed) * 5.333);
    EXPECT_EQ(moved, static_cast<int>(onC));
}

} // namespace
} // namespace orlune::relay
