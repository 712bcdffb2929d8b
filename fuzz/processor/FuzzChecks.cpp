#include "FuzzChecks.h"

#include "PcmDatagram.h"
#include "RoomCode.h"

#include <cstring>
#include <iterator>
#include <vector>

namespace vesk::fuzz
{
namespace
{
// Reads the input front to back; past its end every read gives zeros.
struct Reader
{
    const std::uint8_t* data;
    size_t size;
    size_t pos = 0;

    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }

    template <typename T> T value()
    {
        static_assert(sizeof(T) <= 8);
        std::uint64_t bits = 0;
        for (size_t b = 0; b < sizeof(T); ++b)
            bits |= static_cast<std::uint64_t>(byte()) << (8 * b);
        T v{};
        std::memcpy(&v, &bits, sizeof(T)); // little-endian: the low bytes come first
        return v;
    }

    size_t remaining() const { return size - pos; }
};

constexpr juce::juce_wchar awkwardCharacters[] = {
    ' ',  '\t',  '\n',  '\r',   0x0B,  0x0C,   0xA0,   0x2003, 0x3000,  0xFEFF, 'A',  'Z',
    'a',  'z',   '0',   '9',    '-',   '_',    '.',    '/',    '!',     '+',    0xDC, 0xFC,
    0xEF, 0x130, 0x131, 0x212A, 0x17F, 0x1E9E, 0xFF21, 0x0394, 0x1F3B5, 0x7F,   0x80, 0x10FFFF};

bool inAlphabet(juce::juce_wchar c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::string describe(const juce::String& s)
{
    return "'" + s.toStdString() + "'";
}

// Strict UTF-8 (RFC 3629): no overlong forms, no surrogates, nothing above
// U+10FFFF, every continuation byte 10xxxxxx. The framework's own validity
// test lets through sequences whose continuation bytes are not.
bool isStrictUtf8(const std::uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count;)
    {
        const std::uint8_t b = bytes[i];
        int extra = 0;
        std::uint32_t cp = 0;
        if (b < 0x80)
        {
            ++i;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF)
            extra = 1, cp = b & 0x1Fu;
        else if (b >= 0xE0 && b <= 0xEF)
            extra = 2, cp = b & 0x0Fu;
        else if (b >= 0xF0 && b <= 0xF4)
            extra = 3, cp = b & 0x07u;
        else
            return false;
        if (i + static_cast<size_t>(extra) >= count)
            return false;
        for (int k = 1; k <= extra; ++k)
        {
            const std::uint8_t c = bytes[i + static_cast<size_t>(k)];
            if ((c & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if ((extra == 2 && cp < 0x800) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += static_cast<size_t>(extra) + 1;
    }
    return true;
}

// Text from raw bytes. A juce::String must hold valid UTF-8 (the framework
// reads past the end of one that does not), and every string the editor hands
// over is built by the framework, so bytes that are not strict UTF-8 are taken
// as Latin-1 code points instead. The text ends at the first zero byte.
juce::String textFromBytes(const std::uint8_t* bytes, size_t count)
{
    size_t length = 0;
    while (length < count && bytes[length] != 0)
        ++length;
    if (isStrictUtf8(bytes, length))
        return juce::String::fromUTF8(reinterpret_cast<const char*>(bytes),
                                      static_cast<int>(length));

    std::vector<juce::juce_wchar> codePoints(bytes, bytes + length);
    codePoints.push_back(0);
    return juce::String(juce::CharPointer_UTF32(codePoints.data()));
}

template <typename T> T readLittleEndian(const std::uint8_t* p)
{
    T v{};
    std::memcpy(&v, p, sizeof(T)); // the build targets little-endian machines only
    return v;
}
} // namespace

juce::String typedTextFrom(const std::uint8_t* data, size_t size)
{
    Reader in{data, size};
    const int mode = in.byte() % 3;
    if (mode == 0)
        return textFromBytes(data + in.pos, in.remaining());

    std::vector<juce::juce_wchar> chars;
    while (in.remaining() > 0)
    {
        juce::juce_wchar c = 0;
        if (mode == 1)
        {
            c = static_cast<juce::juce_wchar>(in.value<std::uint32_t>() % 0x110000u);
            if (c == 0 || (c >= 0xD800 && c <= 0xDFFF))
                continue;
        }
        else
        {
            c = awkwardCharacters[in.byte() % std::size(awkwardCharacters)];
        }
        chars.push_back(c);
    }
    chars.push_back(0);
    return juce::String(juce::CharPointer_UTF32(chars.data()));
}

std::string checkRoomCode(const std::uint8_t* data, size_t size)
{
    const juce::String text = typedTextFrom(data, size);
    const juce::String code = sanitiseRoomCode(text);

    if (code.isEmpty())
        return "empty room code from " + describe(text);
    for (auto c : code)
        if (!inAlphabet(c))
            return "room code " + describe(code) + " holds a character outside the alphabet";
    if (static_cast<size_t>(code.length()) != code.getNumBytesAsUTF8())
        return "room code " + describe(code) + " is not plain ASCII";
    if (sanitiseRoomCode(code) != code)
        return "the rule changes its own result " + describe(code);

    juce::String kept;
    for (auto c : text.toLowerCase())
        if (inAlphabet(c))
            kept += c;
    if (kept.isEmpty() ? code != "default" : code != kept)
        return "from " + describe(text) + " the rule gave " + describe(code) + ", keeping " +
               describe(kept);
    return {};
}

std::string checkDatagram(const std::uint8_t* data, size_t size)
{
    Reader in{data, size};
    const std::uint8_t shape = in.byte();
    const int channels = 2 + (shape & 3) % 3;
    const int frames = pcm::framesPerPacket + ((shape >> 2) & 3) * 7;
    const size_t prefix = (shape & 0x10) ? in.byte() % 64 : 0;

    const size_t roomBytes = std::min<size_t>(in.value<std::uint16_t>(), in.remaining());
    juce::String room = textFromBytes(data + in.pos, roomBytes);
    in.pos += roomBytes;
    if (shape & 0x20)
        room = sanitiseRoomCode(room);

    const auto sequence = in.value<std::int64_t>();
    const auto position = in.value<std::int64_t>();

    // Sample bit patterns come from the rest of the input, over and over.
    juce::AudioBuffer<float> block(channels, frames);
    const std::uint8_t* rest = data + in.pos;
    const size_t restSize = in.remaining();
    size_t r = 0;
    for (int ch = 0; ch < channels; ++ch)
        for (int i = 0; i < frames; ++i)
        {
            std::uint32_t bits = 0;
            for (int b = 0; b < 4 && restSize > 0; ++b, ++r)
                bits |= static_cast<std::uint32_t>(rest[r % restSize]) << (8 * b);
            std::memcpy(block.getWritePointer(ch) + i, &bits, 4);
        }

    juce::MemoryOutputStream out(256);
    for (size_t i = 0; i < prefix; ++i)
        out.writeByte(static_cast<char>(0xA5));
    pcm::writeDatagram(out, room, sequence, position, block);

    const auto* bytes = static_cast<const std::uint8_t*>(out.getData());
    const size_t n = room.getNumBytesAsUTF8();
    if (out.getDataSize() != prefix + 2095 + n)
        return "datagram of " + std::to_string(out.getDataSize() - prefix) +
               " bytes for a room code of " + std::to_string(n) + " bytes";
    for (size_t i = 0; i < prefix; ++i)
        if (bytes[i] != 0xA5)
            return "the bytes before the datagram were changed";
    const std::uint8_t* d = bytes + prefix;
    if (std::memcmp(d, "VESKORLUNE_PCM_V3\0", 18) != 0)
        return "magic";
    if (std::memcmp(d + 18, room.toRawUTF8(), n) != 0 || d[18 + n] != 0)
        return "room code bytes differ from " + describe(room);
    const std::uint8_t* h = d + 19 + n;
    if (readLittleEndian<std::int64_t>(h) != sequence)
        return "packet sequence";
    if (readLittleEndian<std::int64_t>(h + 8) != position)
        return "sample position";
    if (readLittleEndian<std::int32_t>(h + 16) != 48000 ||
        readLittleEndian<std::int32_t>(h + 20) != 2 ||
        readLittleEndian<std::int32_t>(h + 24) != 256)
        return "format constants";
    const std::uint8_t* s = h + 28;
    for (int i = 0; i < pcm::framesPerPacket; ++i)
        for (int ch = 0; ch < 2; ++ch)
        {
            std::uint32_t sent = 0, fed = 0;
            std::memcpy(&sent, s + (static_cast<size_t>(i) * 2 + static_cast<size_t>(ch)) * 4, 4);
            std::memcpy(&fed, block.getReadPointer(ch) + i, 4);
            if (sent != fed)
                return "sample " + std::to_string(i) + " of channel " + std::to_string(ch) +
                       " went out as " + std::to_string(sent) + " instead of " +
                       std::to_string(fed);
        }
    return {};
}
} // namespace vesk::fuzz
