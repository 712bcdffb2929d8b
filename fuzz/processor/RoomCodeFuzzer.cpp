// libFuzzer target: the room-code rule on arbitrary typed text.

#include "FuzzChecks.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    const auto failure = vesk::fuzz::checkRoomCode(data, size);
    if (!failure.empty())
    {
        std::fprintf(stderr, "room code: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
