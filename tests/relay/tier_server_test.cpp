// The quality tiers end to end: real datagrams in, WebSocket listeners asking for tiers out.
#include "opus_probe.h"
#include "relay_fixture.h"
#include "test_support.h"
#include "tiers/tiers.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using test::RawWsClient;
using test::WsClient;

class TierServer : public test::RelayFixture
{
protected:
    std::vector<std::uint8_t> datagram(std::int64_t seq)
    {
        test::DatagramFields f;
        f.room = "band";
        f.sequence = seq;
        f.samplePosition = seq * 256;
        const auto tone = test::stereoTone(1000, 0.5, 256, static_cast<std::size_t>(seq) * 256);
        f.samples.assign(tone.begin(), tone.end());
        return test::buildDatagram(f);
    }
};

// Checks that every binary frame is in the codec the latest hello or codec event named.
struct FormatTracker
{
    Tier tier = Tier::Lossless;
    int codecEvents = 0;
    int errors = 0;
    int binary = 0;
    std::vector<std::string> reasons;

    void text(const std::string& t)
    {
        for (std::size_t i = 0; i < kTierCount; ++i)
            if ((t.rfind(R"({"type":"codec")", 0) == 0 || t.rfind(R"({"type":"hello")", 0) == 0) &&
                t.find(R"("tier":")" + std::string(tierName(tierAt(i))) + '"') != std::string::npos)
                tier = tierAt(i);
        if (t.rfind(R"({"type":"codec")", 0) == 0)
        {
            ++codecEvents;
            reasons.push_back(t.substr(t.find(R"("reason":)")));
        }
        if (t.rfind(R"({"type":"error")", 0) == 0)
            ++errors;
    }
    void audio(const std::string& bytes)
    {
        ++binary;
        if (tier == Tier::Lossless)
        {
            EXPECT_EQ(bytes.size(), 2064u) << "float32 after a lossless announcement";
            return;
        }
        const auto view = test::parseOpusMessage(bytes);
        ASSERT_TRUE(view) << "an Opus message after an Opus announcement";
        EXPECT_EQ(view->frameSamples, 480);
        EXPECT_LE(view->packets.size(),
                  static_cast<std::size_t>(tierProfile(tier).framesPerMessage));
    }
};

TEST_F(TierServer, UnknownQualityIsRefusedWith400NamingTheTiers)
{
    auto& r = start();
    const std::map<std::string, std::string> upgrade = {
        {"Upgrade", "websocket"},
        {"Connection", "Upgrade"},
        {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
        {"Sec-WebSocket-Version", "13"}};
    for (const char* q : {"ultra", "", "Standard", "low%20"})
    {
        const auto reply = test::httpRequest(
            r.httpPort(), std::string("/orlune/band/ws?x=1&quality=") + q, "GET", upgrade);
        EXPECT_EQ(reply.status, 400) << q;
        EXPECT_EQ(reply.body, "unknown quality; the tiers are: auto, low, standard, high, "
                              "lossless\n");
    }
    WsClient fine(r.httpPort(), "/orlune/band/ws?quality=low");
    EXPECT_TRUE(fine.connected());
    EXPECT_EQ(test::scrapeMetrics(r.metricsPort()).at("orlune_relay_listeners"), 1);
}

TEST_F(TierServer, OpusListenerDecodesTheToneWhileAPlainListenerGetsTodaysBytes)
{
    auto& r = start();
    WsClient plain(r.httpPort(), "/orlune/band/ws");
    WsClient opus(r.httpPort(), "/orlune/band/ws?quality=standard");
    auto hello = plain.read();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->data, R"({"type":"hello","room":"band","sampleRate":48000,"channels":2,)"
                           R"("framesPerPacket":256,"live":false})");
    hello = opus.read();
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->data, R"({"type":"hello","room":"band","sampleRate":48000,"channels":2,)"
                           R"("framesPerPacket":256,"live":false,"tier":"standard","codec":"opus",)"
                           R"("bitrate":128000,"frameSamples":480,"framesPerMessage":2,"tiers":[)"
                           R"({"name":"low","codec":"opus","bitrate":48000},)"
                           R"({"name":"standard","codec":"opus","bitrate":128000},)"
                           R"({"name":"high","codec":"opus","bitrate":256000},)"
                           R"({"name":"lossless","codec":"pcm-f32","bitrate":3072000}]})");

    test::UdpSender sender(r.udpPort());
    constexpr int kCount = 150; // 0.8 s: 80 frames
    for (int seq = 0; seq < kCount; ++seq)
    {
        const auto bytes = datagram(seq);
        sender.send(bytes);
        std::optional<test::WsMessage> m;
        while ((m = plain.read()) && m->text)
        {
        }
        ASSERT_TRUE(m) << seq;
        ASSERT_EQ(m->data.size(), 2064u);
        EXPECT_EQ(test::readLe64(m->data, 0), seq);
        EXPECT_EQ(m->data.compare(16, 2048,
                                  reinterpret_cast<const char*>(bytes.data()) + bytes.size() - 2048,
                                  2048),
                  0)
            << "the float32 samples exactly as sent";
    }
    test::OpusProbe probe;
    while (probe.frames < kCount * 256 / 480)
    {
        auto m = opus.read();
        ASSERT_TRUE(m) << "after " << probe.frames << " frames";
        if (!m->text)
        {
            ASSERT_TRUE(probe.decode(m->data));
        }
    }
    EXPECT_EQ(probe.concealed, 0);
    EXPECT_NEAR(test::toneFrequency(probe.output, 0, 4800, 480 * 60), 1000, 1);
    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_listeners{tier="standard"})"), 1);
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_encoders{tier="standard"})"), 1);
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_frames_encoded_total{tier="standard"})"), 80);
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_messages_sent_total{tier="lossless"})"), kCount);
}

TEST_F(TierServer, AStormOfSwitchesIsCoalescedAndNeverInterleavesCodecs)
{
    auto& r = start();
    RawWsClient c(r.httpPort(), "/orlune/band/ws?quality=auto");
    ASSERT_TRUE(c.upgraded());
    FormatTracker track;
    auto frame = c.readFrame();
    ASSERT_TRUE(frame);
    track.text(frame->payload);
    EXPECT_EQ(track.tier, Tier::Standard);

    test::UdpSender sender(r.udpPort());
    const char* tiers[] = {"low", "high", "lossless", "standard", "bogus"};
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < 300; ++i)
    {
        c.sendFrame(0x81, R"({"type":"quality","tier":")" + std::string(tiers[i % 5]) + R"("})");
        sender.send(datagram(i));
        std::this_thread::sleep_for(2ms);
        if (i % 25 == 24)
            while (auto f = c.readFrame(1ms))
                f->opcode == 1 ? track.text(f->payload) : track.audio(f->payload);
    }
    c.sendFrame(0x81, R"({"type":"quality","tier":"high"})");
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    std::this_thread::sleep_for(300ms);
    for (int i = 300; i < 340; ++i)
        sender.send(datagram(i));
    while (auto f = c.readFrame(500ms))
        f->opcode == 1 ? track.text(f->payload) : track.audio(f->payload);

    EXPECT_EQ(track.errors, 60) << "each unknown tier answered, the connection kept";
    EXPECT_EQ(track.tier, Tier::High) << "the latest request wins";
    // At most one switch per 250 ms, the first at once and the last after the loop; one more
    // for the loops' timers landing either side of a boundary. 240 would mean no coalescing.
    EXPECT_LE(track.codecEvents, 3 + static_cast<int>(seconds.count() / 0.25));
    EXPECT_GE(track.codecEvents, 2);
    EXPECT_GT(track.binary, 0);
    EXPECT_FALSE(c.closedByPeer());
    const auto metrics = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_switch_requests_total{tier="low"})"), 60);
    EXPECT_EQ(metrics.at("orlune_relay_quality_requests_rejected_total"), 60);
    EXPECT_EQ(metrics.at(R"(orlune_relay_tier_listeners{tier="high"})"), 1);
}

TEST_F(TierServer, AutoListenerThatKeepsFallingBehindIsSteppedDown)
{
    config.listenerQueue = 8;
    config.limits.streamRate = 100000;
    auto& r = start();
    WsClient slow(r.httpPort(), "/orlune/band/ws?quality=auto", 4096);
    WsClient fixed(r.httpPort(), "/orlune/band/ws?quality=standard", 4096);
    ASSERT_TRUE(slow.read());
    ASSERT_TRUE(fixed.read());
    test::UdpSender sender(r.udpPort());
    // Neither listener reads: the datagrams go by until the relay has stepped one down (a
    // loaded or instrumented relay takes longer and drops some), at most 40000 of them.
    const std::string stepDowns = R"(orlune_relay_tier_step_downs_total{tier="standard"})";
    for (int seq = 0; seq < 40000; ++seq)
    {
        sender.send(datagram(seq));
        if (seq % 100 == 99)
            std::this_thread::sleep_for(3ms);
        if (seq % 2000 == 1999 && test::scrapeMetrics(r.metricsPort()).at(stepDowns) >= 1)
            break;
    }
    std::this_thread::sleep_for(200ms);
    FormatTracker track;
    track.tier = Tier::Standard;
    while (auto m = slow.read(500ms))
        m->text ? track.text(m->data) : track.audio(m->data);
    ASSERT_GE(track.codecEvents, 1);
    EXPECT_EQ(track.reasons[0], R"("reason":"step-down"})");
    EXPECT_EQ(track.tier, Tier::Low);

    FormatTracker kept;
    kept.tier = Tier::Standard;
    while (auto m = fixed.read(500ms))
        m->text ? kept.text(m->data) : kept.audio(m->data);
    EXPECT_EQ(kept.codecEvents, 0) << "a listener that fixed its tier keeps it";
    EXPECT_GE(test::scrapeMetrics(r.metricsPort()).at(stepDowns), 1);
}

} // namespace
} // namespace orlune::relay
