// A registry with one room "r" and sinks that record what they are given, for the tier tests.
#pragma once

#include "loop/metrics.h"
#include "opus_probe.h"
#include "rooms/rooms.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace orlune::relay::test
{

using namespace std::chrono_literals;

struct Sink : ListenerSink
{
    std::vector<SharedFrame> audio;
    std::vector<std::string> texts;
    std::vector<std::string> all; // "text:..." or "audio"
    std::function<void(Sink&)> onText;
    std::function<void(Sink&)> onAudio;

    void deliverAudio(const SharedFrame& m) override
    {
        audio.push_back(m);
        all.push_back("audio");
        if (onAudio)
            onAudio(*this);
    }
    void deliverText(const SharedBytes& m) override
    {
        texts.push_back(*m);
        all.push_back("text:" + *m);
        if (onText)
            onText(*this);
    }
    // Audio messages after the last text message equal to `text` (all if none).
    std::size_t audioAfter(const std::string& text) const
    {
        std::size_t n = 0;
        for (const auto& entry : all)
            n = entry == "text:" + text ? 0 : n + (entry == "audio" ? 1 : 0);
        return n;
    }
};

struct Events : RoomEvents
{
    std::vector<std::pair<Tier, SharedFrame>> tierMessages;
    std::vector<std::string> presence; // "<tier>:1" / "<tier>:0", "room:1" / "room:0"
    void onLocalForward(std::string_view, const SharedFrame&, bool) override {}
    void onListenersPresent(std::string_view, bool present) override
    {
        presence.push_back(std::string("room:") + (present ? "1" : "0"));
    }
    void onTierMessage(std::string_view, Tier tier, const SharedFrame& m) override
    {
        tierMessages.emplace_back(tier, m);
    }
    void onTierListenersPresent(std::string_view, Tier tier, bool present) override
    {
        presence.push_back(std::string(tierName(tier)) + (present ? ":1" : ":0"));
    }
};

const std::string kLive = R"({"type":"source","live":true})";
const std::string kOffline = R"({"type":"source","live":false})";
constexpr Tier kOpusTiers[] = {Tier::Low, Tier::Standard, Tier::High};

class Tiers : public ::testing::Test
{
protected:
    ListenerOptions on(Tier tier) { return {tier, true}; }

    // Feeds datagram `seq` at position `pos` with 256 frames of `samples` (interleaved stereo),
    // at the stream's own pace.
    bool feed(std::int64_t seq, std::int64_t pos, const float* samples,
              const Endpoint& from = source(40001))
    {
        now += 5333us;
        return offerDatagram(registry, room, seq, pos, samples, from, now);
    }

    // Feeds a whole signal as datagrams from sequence `seq0`, position `pos0`; `skip` says
    // which datagram indices never arrive.
    void feedSignal(const std::vector<float>& signal, std::int64_t seq0 = 0, std::int64_t pos0 = 0,
                    const std::function<bool(std::size_t)>& skip = {})
    {
        for (std::size_t d = 0; d * 512 < signal.size(); ++d)
        {
            if (skip && skip(d))
            {
                now += 5333us;
                continue;
            }
            feed(seq0 + static_cast<std::int64_t>(d), pos0 + static_cast<std::int64_t>(d) * 256,
                 signal.data() + d * 512);
        }
    }

    static Endpoint source(std::uint16_t port)
    {
        return {boost::asio::ip::make_address("127.0.0.1"), port};
    }

    static void decodeAll(const Sink& sink, OpusProbe& probe)
    {
        for (const auto& m : sink.audio)
            ASSERT_TRUE(probe.decode(m.payload()));
    }

    std::string room = "r"; // the one feed() sends to
    RoomLimits limits;
    Metrics metrics;
    RoomRegistry registry{limits, metrics};
    TimePoint now = TimePoint{} + 1000s;
};

} // namespace orlune::relay::test
