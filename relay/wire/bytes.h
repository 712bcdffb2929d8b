// Bytes as the relay hands them around: one message built once and shared by every listener,
// loop and relay it goes to, and the little-endian integers every format here is made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orlune::relay
{

using SharedBytes = std::shared_ptr<const std::string>;

inline void writeLe(char* out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
    {
        out[i] = static_cast<char>(value & 0xff);
        value >>= 8;
    }
}

inline std::uint64_t readLe(const char* in, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(in[i]);
    return value;
}

inline std::int64_t readLe64(const char* in)
{
    return static_cast<std::int64_t>(readLe(in, 8));
}

} // namespace orlune::relay
