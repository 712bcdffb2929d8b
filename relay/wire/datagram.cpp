#include "wire/datagram.h"

#include <cstring>

namespace orlune::relay
{
namespace
{

std::uint64_t readU64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

std::uint32_t readU32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::int64_t readI64(const std::uint8_t* p)
{
    return static_cast<std::int64_t>(readU64(p));
}
std::int32_t readI32(const std::uint8_t* p)
{
    return static_cast<std::int32_t>(readU32(p));
}

ParseResult failure(ParseError e)
{
    ParseResult r;
    r.error = e;
    return r;
}

} // namespace

std::string_view parseErrorName(ParseError error)
{
    switch (error)
    {
        case ParseError::None:
            return "none";
        case ParseError::Truncated:
            return "truncated";
        case ParseError::Oversized:
            return "oversized";
        case ParseError::BadMagic:
            return "bad_magic";
        case ParseError::BadRoomCode:
            return "bad_room_code";
        case ParseError::BadSampleRate:
            return "bad_sample_rate";
        case ParseError::BadChannelCount:
            return "bad_channel_count";
        case ParseError::BadFrameCount:
            return "bad_frame_count";
    }
    return "unknown";
}

bool isRoomCodeChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

bool isRoomCode(std::string_view text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (!isRoomCodeChar(c))
            return false;
    return true;
}

ParseResult parseDatagram(const std::uint8_t* data, std::size_t size)
{
    if (data == nullptr)
        return failure(ParseError::Truncated);

    // Magic and its NUL; a short datagram whose prefix already differs is reported as bad magic.
    const std::size_t magicPrefix = size < kMagicFieldSize ? size : kMagicFieldSize;
    if (std::memcmp(data, kMagic.data(),
                    magicPrefix < kMagic.size() ? magicPrefix : kMagic.size()) != 0)
        return failure(ParseError::BadMagic);
    if (magicPrefix == kMagicFieldSize && data[kMagic.size()] != 0)
        return failure(ParseError::BadMagic);
    if (size < kMagicFieldSize)
        return failure(ParseError::Truncated);

    // Room code up to its NUL.
    std::size_t n = 0;
    for (;;)
    {
        const std::size_t at = kMagicFieldSize + n;
        if (at >= size)
            return failure(ParseError::Truncated);
        const char c = static_cast<char>(data[at]);
        if (c == '\0')
            break;
        if (!isRoomCodeChar(c))
            return failure(ParseError::BadRoomCode);
        ++n;
    }
    if (n == 0)
        return failure(ParseError::BadRoomCode);

    const std::size_t expected = kFixedBytes + n;
    if (size < expected)
        return failure(ParseError::Truncated);
    if (size > expected)
        return failure(ParseError::Oversized);

    const std::uint8_t* p = data + kMagicFieldSize + n + 1;
    if (readI32(p + 16) != kSampleRate)
        return failure(ParseError::BadSampleRate);
    if (readI32(p + 20) != kChannels)
        return failure(ParseError::BadChannelCount);
    if (readI32(p + 24) != kFramesPerPacket)
        return failure(ParseError::BadFrameCount);

    ParseResult r;
    r.datagram.room = std::string_view(reinterpret_cast<const char*>(data) + kMagicFieldSize, n);
    r.datagram.sequence = readI64(p);
    r.datagram.samplePosition = readI64(p + 8);
    r.datagram.samples = p + 28;
    return r;
}

} // namespace orlune::relay
