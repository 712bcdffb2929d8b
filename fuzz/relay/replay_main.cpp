// Runs a fuzz target's checks over saved inputs without libFuzzer, so that the
// ordinary (and sanitizer) builds replay the seeds and every input that once
// made a target fail:
//
//   orlune_relay_datagram_replay DIR_OR_FILE...
//
// A failing check aborts, which fails the test.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace
{
namespace fs = std::filesystem;

void replay(const fs::path& file, int& count)
{
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                          std::istreambuf_iterator<char>()};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    ++count;
}
} // namespace

int main(int argc, char** argv)
{
    int count = 0;
    for (int i = 1; i < argc; ++i)
    {
        const fs::path path(argv[i]);
        if (fs::is_directory(path))
        {
            for (const auto& entry : fs::recursive_directory_iterator(path))
                if (entry.is_regular_file() && entry.path().filename().string().front() != '.')
                    replay(entry.path(), count);
        }
        else if (fs::is_regular_file(path))
        {
            replay(path, count);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
