#include "wire/listener_audio.h"

#include <cstring>
#include <string>

namespace orlune::relay
{

SharedBytes encodeAudioMessage(std::int64_t sequence, std::int64_t position,
                               const std::uint8_t* samples)
{
    auto message = std::make_shared<std::string>(kAudioMessageSize, '\0');
    char* out = message->data();
    writeLe(out, static_cast<std::uint64_t>(sequence), 8);
    writeLe(out + 8, static_cast<std::uint64_t>(position), 8);
    std::memcpy(out + kAudioHeaderSize, samples, kSampleBytes);
    return message;
}

SharedBytes encodeAudioMessage(const Datagram& datagram)
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
