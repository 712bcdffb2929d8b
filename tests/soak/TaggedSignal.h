#pragma once

// A test signal whose every stereo frame names its own position in the feed,
// so that a datagram at 48 kHz can be matched to the frames it came from by
// content alone, and every sample compared with what was fed.
//
// Frame f (a running count over everything fed) is
//   left  = the float with bits 0x40000000 | (f mod 2^23)   (in [2, 4))
//   right = the float with bits 0x3F800000 | hash(f mod 2^23) (in [1, 2))
// Some blocks replace a few left samples with quiet NaNs whose payload is
// also derived from f, some are mono (both ring channels get the left), some
// are flagged clear (zeros).

#include <cstdint>
#include <cstring>
#include <optional>

namespace soak
{
constexpr std::uint32_t tagBits = 23;
constexpr std::uint64_t tagMask = (std::uint64_t{1} << tagBits) - 1;

inline std::uint32_t floatBits(float value) noexcept
{
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof(bits));
    return bits;
}

inline float floatFromBits(std::uint32_t bits) noexcept
{
    float value;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
}

inline std::uint32_t mix(std::uint64_t x) noexcept
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x);
}

inline std::uint32_t leftTagBits(std::uint64_t f) noexcept
{
    return 0x40000000u | static_cast<std::uint32_t>(f & tagMask);
}

inline std::uint32_t rightTagBits(std::uint64_t f) noexcept
{
    return 0x3F800000u | (mix(f & tagMask) & static_cast<std::uint32_t>(tagMask));
}

// In blocks that carry NaNs, about one left sample in eight is a quiet NaN
// with a payload, positive or negative.
inline bool isNaNFrame(std::uint64_t f) noexcept
{
    return (mix(f * 3 + 1) & 7u) == 0;
}

inline std::uint32_t nanBits(std::uint64_t f) noexcept
{
    const std::uint32_t sign = (f & 1) ? 0x80000000u : 0u;
    return sign | 0x7FC00000u | (mix(f) & 0x3FFFFFu);
}

// The position, modulo 2^23, that a left/right pair names; nothing when the
// pair is not an intact stereo tag (mono, clear, NaN or resampled frames).
inline std::optional<std::uint64_t> tagOf(std::uint32_t left, std::uint32_t right) noexcept
{
    if ((left & ~static_cast<std::uint32_t>(tagMask)) != 0x40000000u)
        return std::nullopt;
    const std::uint64_t f = left & tagMask;
    if (right != rightTagBits(f))
        return std::nullopt;
    return f;
}

enum class BlockKind : std::uint8_t
{
    stereo,    // two channels of tags
    wide,      // four channels: tags on 0 and 1, noise on 2 and 3
    mono,      // one channel: both ring channels get the left tag
    clear,     // two channels flagged clear
    stereoNaN, // stereo tags with some left samples replaced by NaNs
};

struct FrameBits
{
    std::uint32_t left = 0, right = 0;
};

// What the ring receives for frame f of a block of the given kind.
inline FrameBits expectedFrame(BlockKind kind, std::uint64_t f) noexcept
{
    switch (kind)
    {
        case BlockKind::clear:
            return {0u, 0u};
        case BlockKind::mono:
            return {leftTagBits(f), leftTagBits(f)};
        case BlockKind::stereoNaN:
            return {isNaNFrame(f) ? nanBits(f) : leftTagBits(f), rightTagBits(f)};
        case BlockKind::stereo:
        case BlockKind::wide:
            break;
    }
    return {leftTagBits(f), rightTagBits(f)};
}
} // namespace soak
