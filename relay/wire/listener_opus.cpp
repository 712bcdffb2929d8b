#include "wire/listener_opus.h"

#include <cstring>

namespace orlune::relay
{

void OpusMessageWriter::reserve(int frames)
{
    message_.reserve(kOpusHeaderSize + static_cast<std::size_t>(frames) * (2 + kLargestOpusPacket));
}

void OpusMessageWriter::begin(std::int64_t frameSequence, std::int64_t position, int frameSamples)
{
    message_.assign(kOpusHeaderSize, '\0');
    writeLe(message_.data(), static_cast<std::uint64_t>(frameSequence), 8);
    writeLe(message_.data() + 8, static_cast<std::uint64_t>(position), 8);
    writeLe(message_.data() + 16, static_cast<std::uint64_t>(frameSamples), 2);
    frames_ = 0;
}

void OpusMessageWriter::addFrame(const std::uint8_t* packet, std::size_t length)
{
    const std::size_t at = message_.size();
    message_.resize(at + 2 + length);
    writeLe(message_.data() + at, length, 2);
    if (length > 0)
        std::memcpy(message_.data() + at + 2, packet, length);
    ++frames_;
}

SharedFrame OpusMessageWriter::finish()
{
    message_[18] = static_cast<char>(frames_);
    frames_ = 0;
    return SharedFrame(WsOpcode::Binary, message_);
}

std::optional<OpusMessageHeader> decodeOpusHeader(std::string_view bytes)
{
    if (bytes.size() < kOpusHeaderSize)
        return std::nullopt;
    OpusMessageHeader h;
    h.sequence = readLe64(bytes.data());
    h.position = readLe64(bytes.data() + 8);
    h.frameSamples = static_cast<int>(readLe(bytes.data() + 16, 2));
    h.frames = static_cast<int>(readLe(bytes.data() + 18, 1));
    return h;
}

namespace
{

// Walks the frames of a well-formed message, handing each packet to `frame`; false when the
// message is not well formed.
template <class Frame> bool walkFrames(std::string_view bytes, Frame&& frame)
{
    const auto header = decodeOpusHeader(bytes);
    if (!header || header->frames == 0 || bytes[19] != 0)
        return false;
    std::size_t at = kOpusHeaderSize;
    for (int i = 0; i < header->frames; ++i)
    {
        if (bytes.size() - at < 2)
            return false;
        const auto length = static_cast<std::size_t>(readLe(bytes.data() + at, 2));
        at += 2;
        if (length > kLargestOpusPacket || bytes.size() - at < length)
            return false;
        frame(bytes.substr(at, length));
        at += length;
    }
    return at == bytes.size();
}

} // namespace

std::optional<OpusMessage> decodeOpusMessage(std::string_view bytes)
{
    OpusMessage m;
    if (!walkFrames(bytes, [&m](std::string_view packet) { m.frames.push_back(packet); }))
        return std::nullopt;
    m.header = *decodeOpusHeader(bytes);
    return m;
}

bool opusMessageIsWellFormed(const char* data, std::size_t size)
{
    return data != nullptr && walkFrames(std::string_view(data, size), [](std::string_view) {});
}

bool startsTierStream(std::string_view message)
{
    return message.size() >= 8 && readLe64(message.data()) == 0;
}

} // namespace orlune::relay
