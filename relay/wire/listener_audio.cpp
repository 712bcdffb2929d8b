#include "wire/listener_audio.h"

#include <string_view>

namespace orlune::relay
{

SharedFrame encodeAudioMessage(std::int64_t sequence, std::int64_t position,
                               const std::uint8_t* samples)
{
    char header[kAudioHeaderSize];
    writeLe(header, static_cast<std::uint64_t>(sequence), 8);
    writeLe(header + 8, static_cast<std::uint64_t>(position), 8);
    return SharedFrame(WsOpcode::Binary,
                       {std::string_view(header, kAudioHeaderSize),
                        std::string_view(reinterpret_cast<const char*>(samples), kSampleBytes)});
}

SharedFrame encodeAudioMessage(const Datagram& datagram)
{
    return encodeAudioMessage(datagram.sequence, datagram.samplePosition, datagram.samples);
}

std::optional<AudioMessage> decodeAudioMessage(std::string_view bytes)
{
    if (bytes.size() != kAudioMessageSize)
        return std::nullopt;
    AudioMessage m;
    m.sequence = readLe64(bytes.data());
    m.position = readLe64(bytes.data() + 8);
    m.samples = reinterpret_cast<const std::uint8_t*>(bytes.data()) + kAudioHeaderSize;
    return m;
}

} // namespace orlune::relay
