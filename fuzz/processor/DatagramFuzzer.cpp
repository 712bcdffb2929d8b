// libFuzzer target: the datagram writer on arbitrary room codes, counters and
// sample bit patterns.

#include "FuzzChecks.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    const auto failure = vesk::fuzz::checkDatagram(data, size);
    if (!failure.empty())
    {
        std::fprintf(stderr, "datagram: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
