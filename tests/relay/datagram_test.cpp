#include "test_support.h"
#include "wire/datagram.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

namespace orlune::relay
{
namespace
{

using test::buildDatagram;
using test::DatagramFields;

// Parses an exact-size heap copy so that any read past the end shows up under AddressSanitizer.
ParseResult parseCopy(const std::vector<std::uint8_t>& bytes, std::size_t size)
{
    std::vector<std::uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<long>(size));
    exact.shrink_to_fit();
    ParseResult r = parseDatagram(exact.data(), exact.size());
    r.datagram = {}; // views into `exact` die with it
    return r;
}

TEST(DatagramParser, ReadsEveryFieldOfTheDefaultRoomDatagram)
{
    DatagramFields f;
    f.sequence = 1;
    f.samplePosition = 256;
    f.samples = test::patternSamples(7);
    const auto bytes = buildDatagram(f);
    ASSERT_EQ(bytes.size(), 2102u);

    const ParseResult r = parseDatagram(bytes.data(), bytes.size());
    ASSERT_TRUE(r.ok()) << parseErrorName(r.error);
    EXPECT_EQ(r.datagram.room, "default");
    EXPECT_EQ(r.datagram.sequence, 1);
    EXPECT_EQ(r.datagram.samplePosition, 256);
    EXPECT_EQ(r.datagram.samples, bytes.data() + 54);
    EXPECT_EQ(std::memcmp(r.datagram.samples, bytes.data() + 54, kSampleBytes), 0);
}

TEST(DatagramParser, DecodesCountersAsSignedLittleEndian)
{
    DatagramFields f;
    f.sequence = std::numeric_limits<std::int64_t>::min();
    f.samplePosition = 0x0102030405060708;
    auto bytes = buildDatagram(f);
    ParseResult r = parseDatagram(bytes.data(), bytes.size());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.datagram.sequence, std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(r.datagram.samplePosition, 0x0102030405060708);
    EXPECT_EQ(bytes[34], 0x08); // sample position's low byte comes first
}

TEST(DatagramParser, RejectsEachWrongConstantWithItsOwnReason)
{
    struct Case
    {
        std::int32_t rate, channels, frames;
        ParseError expected;
    };
    const Case cases[] = {
        {44100, 2, 256, ParseError::BadSampleRate},   {0, 2, 256, ParseError::BadSampleRate},
        {48000, 1, 256, ParseError::BadChannelCount}, {48000, 2, 128, ParseError::BadFrameCount},
        {-48000, 2, 256, ParseError::BadSampleRate},  {48000, 2, 512, ParseError::BadFrameCount},
    };
    for (const auto& c : cases)
    {
        DatagramFields f;
        f.sampleRate = c.rate;
        f.channels = c.channels;
        f.frames = c.frames;
        const auto bytes = buildDatagram(f);
        EXPECT_EQ(parseDatagram(bytes.data(), bytes.size()).error, c.expected)
            << c.rate << "/" << c.channels << "/" << c.frames;
    }
}

TEST(DatagramParser, AnyChangedMagicByteOrMissingNulIsBadMagic)
{
    const auto good = buildDatagram({});
    for (std::size_t i = 0; i < kMagicFieldSize; ++i)
    {
        auto bytes = good;
        bytes[i] ^= 0x20;
        EXPECT_EQ(parseDatagram(bytes.data(), bytes.size()).error, ParseError::BadMagic) << i;
    }
    // An older format version.
    auto bytes = good;
    bytes[16] = '2';
    EXPECT_EQ(parseDatagram(bytes.data(), bytes.size()).error, ParseError::BadMagic);
}

TEST(DatagramParser, RoomCodeAlphabet)
{
    DatagramFields f;
    f.room = "abcdefghijklmnopqrstuvwxyz0123456789-_";
    auto bytes = buildDatagram(f);
    ParseResult r = parseDatagram(bytes.data(), bytes.size());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.datagram.room, f.room);

    for (const std::string bad :
         {"Default", "a.b", "a/b", "a b", "caf\xc3\xa9", "x+y", "..", "%2e"})
    {
        f.room = bad;
        bytes = buildDatagram(f);
        EXPECT_EQ(parseDatagram(bytes.data(), bytes.size()).error, ParseError::BadRoomCode) << bad;
    }

    f.room = "";
    bytes = buildDatagram(f);
    EXPECT_EQ(parseDatagram(bytes.data(), bytes.size()).error, ParseError::BadRoomCode);
}

TEST(DatagramParser, SizeMustBeExactly2095PlusRoomLength)
{
    for (const std::string& room : std::vector<std::string>{"a", "default", std::string(300, 'z')})
    {
        DatagramFields f;
        f.room = room;
        auto bytes = buildDatagram(f);
        ASSERT_EQ(bytes.size(), 2095 + room.size());
        EXPECT_TRUE(parseCopy(bytes, bytes.size()).ok()) << room.size();

        auto longer = bytes;
        longer.push_back(0);
        EXPECT_EQ(parseCopy(longer, longer.size()).error, ParseError::Oversized);
        longer.resize(bytes.size() + 4096, 0xff);
        EXPECT_EQ(parseCopy(longer, longer.size()).error, ParseError::Oversized);
    }
}

TEST(DatagramParser, EveryTruncationIsRejectedWithoutReadingPastTheEnd)
{
    const auto bytes = buildDatagram({});
    for (std::size_t size = 0; size < bytes.size(); ++size)
        EXPECT_EQ(parseCopy(bytes, size).error, ParseError::Truncated) << size;
    EXPECT_EQ(parseDatagram(nullptr, 0).error, ParseError::Truncated);
}

TEST(DatagramParser, RoomCodeWithoutTerminatorIsTruncated)
{
    std::vector<std::uint8_t> bytes(kMagic.begin(), kMagic.end());
    bytes.push_back(0);
    bytes.resize(3000, 'a'); // room code runs to the end of the datagram
    EXPECT_EQ(parseCopy(bytes, bytes.size()).error, ParseError::Truncated);
}

TEST(DatagramParser, LargestRoomCodeThatFitsInUdpIsAccepted)
{
    DatagramFields f;
    f.room = std::string(63412, 'q'); // 2095 + 63412 = 65507, the largest IPv4 UDP payload
    const auto bytes = buildDatagram(f);
    const ParseResult r = parseCopy(bytes, bytes.size());
    EXPECT_TRUE(r.ok());
}

} // namespace
} // namespace orlune::relay
