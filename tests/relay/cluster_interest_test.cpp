// Opus tiers between relays: the tier messages on the wire, and who wants which tier of a room.
#include "cluster/cluster_interest.h"
#include "cluster/cluster_wire.h"
#include "tiers/tiers.h"
#include "wire/listener_opus.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace orlune::relay
{
namespace
{

using namespace std::chrono_literals;
using Change = ClusterInterest::Change;

// An Opus listener message with the given packet lengths (0: a missing frame).
std::string opusMessage(const std::vector<std::size_t>& lengths)
{
    std::string m(20, '\0');
    m[16] = static_cast<char>(480 & 0xff);
    m[17] = static_cast<char>(480 >> 8);
    m[18] = static_cast<char>(lengths.size());
    for (std::size_t length : lengths)
    {
        m += static_cast<char>(length & 0xff);
        m += static_cast<char>(length >> 8);
        m += std::string(length, '\x5a');
    }
    return m;
}

bool has(const std::vector<Change>& changes, const std::string& room, const std::string& tier,
         bool wanted)
{
    return std::any_of(changes.begin(), changes.end(),
                       [&](const Change& c)
                       { return c.room == room && c.tier == tier && c.wanted == wanted; });
}

TEST(ClusterWireTiers, OpusMessagesTravelWholeAndMalformedOnesAreRefused)
{
    const std::string good = opusMessage({120, 0, 1275});
    const std::string wire = encodeClusterMessage("relay-a", false, good);
    const ClusterMessage m = decodeClusterMessage(wire.data(), wire.size(), "standard");
    ASSERT_TRUE(m.ok);
    EXPECT_EQ(m.message.payload(), good);
    EXPECT_FALSE(m.streamStart);
    // The float32 tier's size rule does not apply to Opus, nor the other way round.
    EXPECT_FALSE(decodeClusterMessage(wire.data(), wire.size(), "lossless").ok);

    std::vector<std::string> bad = {
        opusMessage({}),                 // no frame
        opusMessage({1276}),             // longer than any Opus packet
        good.substr(0, good.size() - 1), // last packet cut short
        good + "x",                      // bytes after the last packet
        good.substr(0, 21),              // a length cut in half
    };
    std::string reserved = good;
    reserved[19] = 1;
    bad.push_back(reserved);
    for (const std::string& b : bad)
    {
        EXPECT_FALSE(opusMessageIsWellFormed(b.data(), b.size())) << b.size();
        const std::string w = encodeClusterMessage("relay-a", false, b);
        EXPECT_FALSE(decodeClusterMessage(w.data(), w.size(), "high").ok) << b.size();
    }
}

TEST(ClusterWireTiers, InterestMessagesNameOnlyOpusTiers)
{
    // The wire's tier names are the listeners' tier names.
    for (std::size_t i = 0; i < kTierCount; ++i)
    {
        EXPECT_TRUE(isClusterTier(tierName(tierAt(i))));
        EXPECT_EQ(isOpus(tierAt(i)), tierName(tierAt(i)) != kLosslessTier);
    }

    EXPECT_EQ(interestSubject("jam"), "orlune.interest.jam");
    EXPECT_EQ(roomOfInterestSubject("orlune.interest.jam"), "jam");
    EXPECT_EQ(roomOfInterestSubject("orlune.interest.J!"), "");
    EXPECT_EQ(roomOfInterestSubject("orlune.room.jam.low"), "");

    const std::string text = encodeInterest("edge-2", {"low", "high"});
    const Interest i = decodeInterest(text.data(), text.size());
    ASSERT_TRUE(i.ok);
    EXPECT_EQ(i.relay, "edge-2");
    EXPECT_EQ(i.tiers, (std::vector<std::string>{"low", "high"}));
    const std::string none = encodeInterest("edge-2", {});
    EXPECT_TRUE(decodeInterest(none.data(), none.size()).ok) << "no tiers: interest withdrawn";

    for (const std::string& b : std::vector<std::string>{
             "edge-2", " low", "edge-2 lossless", "edge-2 low,", "edge-2 low,,high", "Edge low",
             "edge-2 ultra", std::string(300, 'a') + " low"})
        EXPECT_FALSE(decodeInterest(b.data(), b.size()).ok) << b;
    EXPECT_EQ(decodeInterest("e low,low", 9).tiers.size(), 1u);
}

TEST(ClusterInterestBook, EdgeSaysItsTiersOnChangeAndThenOnceASecond)
{
    ClusterInterest book;
    const auto t0 = ClusterInterest::Clock::time_point{} + 100s;
    book.localTier("jam", "standard", true);
    book.localTier("jam", "low", true);
    auto due = book.due(t0);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_EQ(due[0].first, "jam");
    EXPECT_EQ(due[0].second, (std::vector<std::string>{"low", "standard"}));
    EXPECT_TRUE(book.due(t0 + 500ms).empty());
    EXPECT_EQ(book.due(t0 + 1s).size(), 1u);

    book.localTier("jam", "low", true); // no change: nothing more to say yet
    EXPECT_TRUE(book.due(t0 + 1100ms).empty());
    book.localTier("jam", "low", false);
    book.localTier("jam", "standard", false);
    due = book.due(t0 + 1200ms);
    ASSERT_EQ(due.size(), 1u);
    EXPECT_TRUE(due[0].second.empty()) << "said once with no tiers, then forgotten";
    EXPECT_EQ(book.localRoomCount(), 0u);
    EXPECT_TRUE(book.due(t0 + 5s).empty());
    book.localTier("other", "high", false); // never present: nothing
    EXPECT_TRUE(book.due(t0 + 6s).empty());
}

TEST(ClusterInterestBook, IngestKeepsATierWhileAnyRelayWantsItAndLetsItGoWhenNoneRenews)
{
    ClusterInterest book;
    const auto t0 = ClusterInterest::Clock::time_point{} + 100s;
    auto c = book.heard("jam", "edge-b", {"standard"}, t0);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(has(c, "jam", "standard", true));
    EXPECT_TRUE(book.heard("jam", "edge-c", {"standard", "high"}, t0 + 100ms).size() == 1);
    EXPECT_TRUE(book.wanted("jam", "high"));
    EXPECT_EQ(book.remoteCount(), 3u);
    EXPECT_EQ(book.wantedTiers("jam"), (std::vector<std::string>{"high", "standard"}));

    // c drops high (still wants standard): high goes, standard stays for b and c.
    c = book.heard("jam", "edge-c", {"standard"}, t0 + 1s);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(has(c, "jam", "high", false));

    // b keeps renewing, c goes quiet (crashed): standard stays.
    EXPECT_TRUE(book.heard("jam", "edge-b", {"standard"}, t0 + 3s).empty());
    EXPECT_TRUE(book.expire(t0 + 4600ms).empty());
    EXPECT_EQ(book.remoteCount(), 1u);
    // b quiet too: standard goes once, and only once.
    c = book.expire(t0 + 6600ms);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_TRUE(has(c, "jam", "standard", false));
    EXPECT_TRUE(book.expire(t0 + 10s).empty());
    EXPECT_FALSE(book.wanted("jam", "standard"));

    // An edge whose last listener left says so with no tiers: the tier goes at once.
    book.heard("jam", "edge-b", {"low"}, t0 + 20s);
    c = book.heard("jam", "edge-b", {}, t0 + 20500ms);
    EXPECT_TRUE(has(c, "jam", "low", false));
    EXPECT_EQ(book.remoteCount(), 0u);
}

} // namespace
} // namespace orlune::relay
