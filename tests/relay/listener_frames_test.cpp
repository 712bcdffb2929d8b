// What listeners send, end to end through a real relay: fragmented messages, control frames
// between fragments, and frames that break the protocol, which cost only the listener that
// sent them. Registered for both the default loops and --threads 1 (CMakeLists.txt).
#include "relay_fixture.h"
#include "stream_test_support.h"

#include <gtest/gtest.h>
#include <thread>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using test::RawWsClient;

const std::array<std::uint8_t, 4> kMask{0x0f, 0xa0, 0x55, 0x3c};

class ListenerFrames : public test::RelayFixture
{
protected:
    std::vector<std::uint8_t> datagram(const std::string& room, std::int64_t seq)
    {
        return test::streamDatagram(room, seq);
    }

    // Reads until a text frame containing `needle` (skipping audio); its payload, or nothing.
    static std::optional<std::string> textWith(RawWsClient& c, std::string_view needle)
    {
        for (int i = 0; i < 400; ++i)
        {
            auto f = c.readFrame(2s);
            if (!f)
                return std::nullopt;
            if (f->opcode == 0x1 && f->payload.find(needle) != std::string::npos)
                return f->payload;
        }
        return std::nullopt;
    }

    // The close frame the relay sends: its code, or 0 if it sent none before ending; read on
    // until the connection ends (or 2 s pass).
    static int closeCodeOf(RawWsClient& c)
    {
        int code = 0;
        while (auto f = c.readFrame(2s))
            if (f->opcode == 0x8 && f->payload.size() >= 2)
                code = (static_cast<std::uint8_t>(f->payload[0]) << 8) |
                       static_cast<std::uint8_t>(f->payload[1]);
        return code;
    }
};

TEST_F(ListenerFrames, AQualityRequestInFragmentsReachesTheQualityLogic)
{
    auto& r = start();
    RawWsClient c(r.httpPort(), "/orlune/band/ws?quality=auto");
    ASSERT_TRUE(c.upgraded());
    ASSERT_TRUE(textWith(c, R"("type":"hello")"));

    // An unknown tier, in three fragments sent a byte at a time with a ping between them: the
    // ping is answered at once, the request with an error once it is whole.
    const std::string bogus = R"({"type":"quality","tier":"bogus"})";
    c.sendBytes(wsFrame(WsOpcode::Text, bogus.substr(0, 9), false, &kMask), 1);
    c.sendBytes(wsFrame(WsOpcode::Continuation, bogus.substr(9, 10), false, &kMask), 1);
    c.send(WsOpcode::Ping, "between");
    auto pong = c.readFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->opcode, 0xA);
    EXPECT_EQ(pong->payload, "between");
    c.sendBytes(wsFrame(WsOpcode::Continuation, bogus.substr(19), true, &kMask), 1);
    EXPECT_TRUE(textWith(c, R"("type":"error")"));

    // A known tier in fragments switches the listener.
    const std::string high = R"({"type":"quality","tier":"high"})";
    c.send(WsOpcode::Text, high.substr(0, 12), false);
    c.send(WsOpcode::Continuation, high.substr(12), true);
    test::UdpSender sender(r.udpPort());
    for (int seq = 0; seq < 40; ++seq)
    {
        // Paced as a source sends: a switch waits for the new tier's stream to overlap the old.
        sender.send(datagram("band", seq));
        std::this_thread::sleep_for(5ms);
    }
    const auto codec = textWith(c, R"("type":"codec")");
    ASSERT_TRUE(codec);
    EXPECT_NE(codec->find(R"("tier":"high")"), std::string::npos) << *codec;
    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at(R"(orlune_relay_tier_switch_requests_total{tier="high"})"), 1);
    EXPECT_EQ(m.at("orlune_relay_quality_requests_rejected_total"), 1);
}

TEST_F(ListenerFrames, BrokenFramesGetTheirCloseCodeAndCostNothingElse)
{
    auto& r = start();
    // Listeners in this room and another keep their audio throughout.
    RawWsClient bystander(r.httpPort(), "/orlune/band/ws");
    RawWsClient elsewhere(r.httpPort(), "/orlune/other/ws");
    ASSERT_TRUE(bystander.readFrame());
    ASSERT_TRUE(elsewhere.readFrame());

    struct Case
    {
        const char* name;
        std::string bytes;
        int code; // 0: disconnected without a close frame
    };
    const std::string half(3000, 'x');
    const std::vector<Case> cases{
        {"fragments over the message limit",
         wsFrame(WsOpcode::Text, half, false, &kMask) +
             wsFrame(WsOpcode::Continuation, half, true, &kMask),
         1009},
        {"one frame over the limit",
         wsFrame(WsOpcode::Binary, std::string(100000, 'z'), true, &kMask), 1009},
        {"continuation with no message", wsFrame(WsOpcode::Continuation, "x", true, &kMask), 1002},
        {"new message inside a fragmented one",
         wsFrame(WsOpcode::Text, "a", false, &kMask) + wsFrame(WsOpcode::Text, "b", true, &kMask),
         1002},
        {"fragmented ping", wsFrame(WsOpcode::Ping, "p", false, &kMask), 1002},
        {"text not UTF-8", wsFrame(WsOpcode::Text, "\xff\xfe", true, &kMask), 1007},
        {"unmasked", wsFrame(WsOpcode::Text, "hello"), 0},
    };
    std::int64_t seq = 0;
    test::UdpSender sender(r.udpPort());
    for (const Case& c : cases)
    {
        RawWsClient bad(r.httpPort(), "/orlune/band/ws");
        ASSERT_TRUE(bad.readFrame()) << c.name;
        bad.sendBytes(c.bytes);
        EXPECT_EQ(closeCodeOf(bad), c.code) << c.name;
        EXPECT_TRUE(bad.closedByPeer()) << c.name << ": the relay ends the connection";

        {
            // Paced as a source sends: a switch waits for the new tier's stream to overlap the old.
            sender.send(datagram("band", seq));
            std::this_thread::sleep_for(5ms);
        }
        sender.send(datagram("other", seq));
        ++seq;
        for (RawWsClient* fine : {&bystander, &elsewhere})
        {
            std::optional<RawWsClient::Frame> f;
            do
                f = fine->readFrame();
            while (f && f->opcode != 0x2);
            ASSERT_TRUE(f) << c.name;
            EXPECT_EQ(test::readLe64(f->payload, 0), seq - 1) << c.name;
        }
    }
    const auto m = test::scrapeMetrics(r.metricsPort());
    EXPECT_EQ(m.at(R"(orlune_relay_listener_protocol_errors_total{code="1009"})"), 2);
    EXPECT_EQ(m.at(R"(orlune_relay_listener_protocol_errors_total{code="1002"})"), 4);
    EXPECT_EQ(m.at(R"(orlune_relay_listener_protocol_errors_total{code="1007"})"), 1);
    EXPECT_EQ(m.at("orlune_relay_listeners"), 2);
}

} // namespace
} // namespace orlune::relay
