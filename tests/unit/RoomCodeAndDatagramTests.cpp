// The room-code rule and the datagram writer, byte for byte.

#include "PcmDatagram.h"
#include "RoomCode.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace
{
std::vector<std::uint8_t> datagramFor(const juce::String& room, juce::int64 sequence,
                                      juce::int64 position, const juce::AudioBuffer<float>& block)
{
    juce::MemoryOutputStream out(256);
    vesk::pcm::writeDatagram(out, room, sequence, position, block);
    const auto* data = static_cast<const std::uint8_t*>(out.getData());
    return {data, data + out.getDataSize()};
}

std::vector<std::uint8_t> bytes(std::initializer_list<int> values)
{
    std::vector<std::uint8_t> v;
    for (int b : values)
        v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& d, size_t from, size_t count)
{
    return {d.begin() + static_cast<std::ptrdiff_t>(from),
            d.begin() + static_cast<std::ptrdiff_t>(from + count)};
}
} // namespace

TEST(RoomCode, SanitisesTypedText)
{
    EXPECT_EQ(vesk::sanitiseRoomCode("  My Room!  "), "myroom");
    EXPECT_EQ(vesk::sanitiseRoomCode("ABC-123_x"), "abc-123_x");
    EXPECT_EQ(vesk::sanitiseRoomCode("a.b/c"), "abc");
    EXPECT_EQ(vesk::sanitiseRoomCode(juce::String(juce::CharPointer_UTF8("\xc3\x9cn\xc3\xaf"
                                                                         "code"))),
              "ncode");
    EXPECT_EQ(vesk::sanitiseRoomCode(""), "default");
    EXPECT_EQ(vesk::sanitiseRoomCode("     "), "default");
    EXPECT_EQ(vesk::sanitiseRoomCode("!!!"), "default");
    EXPECT_EQ(vesk::sanitiseRoomCode("tab\there\nnewline"), "tabherenewline");

    const juce::String longCode = juce::String::repeatedString("ab-_9", 40);
    EXPECT_EQ(vesk::sanitiseRoomCode(longCode), longCode)
        << "200 allowed characters are kept whole";
}

TEST(PcmDatagram, FirstAndSecondDatagramOfDefaultRoom)
{
    juce::AudioBuffer<float> silence(2, 256);
    silence.clear();

    const auto first = datagramFor("default", 0, 0, silence);
    ASSERT_EQ(first.size(), 2102u);
    EXPECT_EQ(std::memcmp(first.data(), "VESKORLUNE_PCM_V3\0default\0", 26), 0);
    EXPECT_EQ(slice(first, 26, 16), std::vector<std::uint8_t>(16, 0));
    EXPECT_EQ(slice(first, 42, 12), bytes({0x80, 0xBB, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(slice(first, 54, 2048), std::vector<std::uint8_t>(2048, 0));

    const auto second = datagramFor("default", 1, 256, silence);
    EXPECT_EQ(slice(second, 26, 8), bytes({1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(slice(second, 34, 8), bytes({0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(PcmDatagram, SizeIs2095PlusRoomCodeBytes)
{
    juce::AudioBuffer<float> block(2, 256);
    block.clear();
    for (const auto* room :
         {"a", "default", "band_room-2x9q", "x0123456789012345678901234567890123456789"})
        EXPECT_EQ(datagramFor(room, 5, 1280, block).size(), 2095u + std::strlen(room)) << room;

    const auto big = datagramFor(juce::String::repeatedString("z", 1000), -1, 1LL << 40, block);
    EXPECT_EQ(big.size(), 3095u);
    EXPECT_EQ(slice(big, 1019, 8), bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_EQ(slice(big, 1027, 8), bytes({0, 0, 0, 0, 0, 1, 0, 0}));
}

TEST(PcmDatagram, SamplesInterleavedWithTheirExactBits)
{
    juce::AudioBuffer<float> block(2, 256);
    block.clear();
    juce::FloatVectorOperations::fill(block.getWritePointer(0), 1.0f, 256);
    block.setSample(1, 1, -0.0f);
    block.setSample(0, 255, std::numeric_limits<float>::quiet_NaN());
    block.setSample(1, 255, 3.5f);

    const auto d = datagramFor("default", 0, 0, block);
    EXPECT_EQ(slice(d, 54, 8), bytes({0, 0, 0x80, 0x3F, 0, 0, 0, 0})) << "1.0 left, 0.0 right";
    EXPECT_EQ(slice(d, 54 + 12, 4), bytes({0, 0, 0, 0x80})) << "-0.0 keeps its sign bit";

    float lastLeft = 0, lastRight = 0;
    std::memcpy(&lastLeft, d.data() + 54 + 255 * 8, 4);
    std::memcpy(&lastRight, d.data() + 54 + 255 * 8 + 4, 4);
    EXPECT_TRUE(std::isnan(lastLeft));
    EXPECT_EQ(lastRight, 3.5f);
}
