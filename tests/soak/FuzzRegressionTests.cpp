// Replays every input the fuzzers keep in the tree (seeds and the inputs of
// past failures) through the same checks, under the ordinary build. Room-code
// inputs also go through the processor's own setRoomCode.

#include "FuzzChecks.h"
#include "RoomCode.h"
#include "VeskOrluneAudioProcessor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace
{
namespace fs = std::filesystem;

std::vector<fs::path> savedInputs(const char* target)
{
    std::vector<fs::path> files;
    for (const char* kind : {"seeds", "regressions"})
    {
        const fs::path dir = fs::path(VESK_FUZZ_INPUTS) / kind / target;
        if (fs::is_directory(dir))
            for (const auto& entry : fs::directory_iterator(dir))
                if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                    files.push_back(entry.path());
    }
    return files;
}

std::vector<std::uint8_t> bytesOf(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
} // namespace

TEST(FuzzRegressions, RoomCodeInputs)
{
    const auto files = savedInputs("room_code");
    ASSERT_FALSE(files.empty());
    VeskOrluneAudioProcessor processor;
    for (const auto& file : files)
    {
        const auto bytes = bytesOf(file);
        EXPECT_EQ(vesk::fuzz::checkRoomCode(bytes.data(), bytes.size()), "") << file;

        const auto text = vesk::fuzz::typedTextFrom(bytes.data(), bytes.size());
        processor.setRoomCode(text);
        EXPECT_EQ(processor.getRoomCode(), vesk::sanitiseRoomCode(text)) << file;
    }
}

TEST(FuzzRegressions, DatagramInputs)
{
    const auto files = savedInputs("datagram");
    ASSERT_FALSE(files.empty());
    for (const auto& file : files)
    {
        const auto bytes = bytesOf(file);
        EXPECT_EQ(vesk::fuzz::checkDatagram(bytes.data(), bytes.size()), "") << file;
    }
}
