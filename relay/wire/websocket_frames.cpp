#include "wire/websocket_frames.h"

#include <utility>

namespace orlune::relay
{
namespace
{

constexpr std::size_t kMaxControlPayload = 125;

bool isControl(std::uint8_t opcode)
{
    return (opcode & 0x8) != 0;
}

bool isKnownOpcode(std::uint8_t opcode)
{
    return opcode <= 0x2 || (opcode >= 0x8 && opcode <= 0xA);
}

// Codes a peer may put in a close frame: those defined for use on the wire, and the ranges
// kept for libraries and applications.
bool isSendableCloseCode(std::uint16_t code)
{
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

} // namespace

WsFrameReader::WsFrameReader(std::size_t maxMessage, bool masked)
    : maxMessage_(maxMessage)
    , masked_(masked)
{
}

void WsFrameReader::feed(const std::uint8_t* data, std::size_t size)
{
    if (finished_ || size == 0)
        return;
    if (at_ > 0 && at_ == buffer_.size())
    {
        buffer_.clear();
        at_ = 0;
    }
    else if (at_ >= 4096 && at_ * 2 >= buffer_.size())
    {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at_));
        at_ = 0;
    }
    buffer_.insert(buffer_.end(), data, data + size);
}

WsEvent WsFrameReader::fail(std::uint16_t code, std::string_view why)
{
    finished_ = true;
    buffer_.clear();
    at_ = 0;
    message_.clear();
    WsEvent event;
    event.kind = WsEvent::Kind::Error;
    event.code = code;
    event.why = why;
    return event;
}

WsEvent WsFrameReader::next()
{
    for (;;)
    {
        if (finished_)
            return {};
        const std::size_t available = buffer_.size() - at_;
        if (available < 2)
            return {};
        const std::uint8_t* p = buffer_.data() + at_;
        const bool fin = (p[0] & 0x80) != 0;
        const std::uint8_t opcode = p[0] & 0x0f;
        const bool masked = (p[1] & 0x80) != 0;

        // Everything that can be judged from the first two bytes is judged before waiting for
        // more, so a peer cannot hold a broken frame open.
        if ((p[0] & 0x70) != 0)
            return fail(ws_close::kProtocolError, "reserved bits set: no extension was agreed");
        if (!isKnownOpcode(opcode))
            return fail(ws_close::kProtocolError, "reserved opcode");
        if (masked != masked_)
        {
            WsEvent event = fail(ws_close::kProtocolError, masked_ ? "unmasked frame from a client"
                                                                   : "masked frame from a server");
            event.answer = !masked_;
            return event;
        }
        std::uint64_t length = p[1] & 0x7f;
        if (isControl(opcode))
        {
            if (!fin)
                return fail(ws_close::kProtocolError, "fragmented control frame");
            if (length > kMaxControlPayload)
                return fail(ws_close::kProtocolError, "control frame over 125 bytes");
        }
        else if (opcode == static_cast<std::uint8_t>(WsOpcode::Continuation))
        {
            if (!fragmented_)
                return fail(ws_close::kProtocolError, "continuation with no message started");
        }
        else if (fragmented_)
        {
            return fail(ws_close::kProtocolError, "new message inside a fragmented one");
        }

        const auto frame = peekWsFrame(p, available);
        if (!frame)
            return {};
        length = frame->payloadSize;
        if ((length >> 63) != 0)
            return fail(ws_close::kProtocolError, "length beyond 2^63");
        if (!frame->minimalLength)
            return fail(ws_close::kProtocolError, "length not in its shortest form");
        if (!isControl(opcode) && length > maxMessage_ - message_.size())
            return fail(ws_close::kMessageTooBig, "message over the limit");
        const std::size_t payloadAt = frame->headerSize;
        if (available - payloadAt < length)
            return {};

        std::string payload(reinterpret_cast<const char*>(p + payloadAt),
                            static_cast<std::size_t>(length));
        if (masked_)
        {
            const std::uint8_t* k = p + payloadAt - 4;
            std::array<std::uint8_t, 4> key{k[0], k[1], k[2], k[3]};
            wsMaskPayload(payload, key);
        }
        at_ += payloadAt + static_cast<std::size_t>(length);

        WsEvent event;
        switch (static_cast<WsOpcode>(opcode))
        {
            case WsOpcode::Ping:
                event.kind = WsEvent::Kind::Ping;
                event.payload = std::move(payload);
                return event;
            case WsOpcode::Pong:
                event.kind = WsEvent::Kind::Pong;
                event.payload = std::move(payload);
                return event;
            case WsOpcode::Close:
            {
                if (payload.size() == 1)
                    return fail(ws_close::kProtocolError, "close frame of one byte");
                event.kind = WsEvent::Kind::Close;
                event.code = ws_close::kNoStatus;
                if (payload.size() >= 2)
                {
                    event.code =
                        static_cast<std::uint16_t>((static_cast<std::uint8_t>(payload[0]) << 8) |
                                                   static_cast<std::uint8_t>(payload[1]));
                    if (!isSendableCloseCode(event.code))
                        return fail(ws_close::kProtocolError, "close code not for the wire");
                    event.payload = payload.substr(2);
                    if (!isValidUtf8(event.payload))
                        return fail(ws_close::kInvalidPayload, "close reason not UTF-8");
                }
                finished_ = true;
                buffer_.clear();
                at_ = 0;
                return event;
            }
            case WsOpcode::Text:
            case WsOpcode::Binary:
                fragmentedText_ = opcode == static_cast<std::uint8_t>(WsOpcode::Text);
                message_ = std::move(payload);
                frames_ = 1;
                break;
            case WsOpcode::Continuation:
                message_ += payload;
                ++frames_;
                break;
        }
        fragmented_ = !fin;
        if (!fin)
            continue;
        if (fragmentedText_ && !isValidUtf8(message_))
            return fail(ws_close::kInvalidPayload, "text message not UTF-8");
        event.kind = WsEvent::Kind::Message;
        event.text = fragmentedText_;
        event.payload = std::move(message_);
        event.frames = frames_;
        message_.clear();
        return event;
    }
}

std::optional<WsFrameView> peekWsFrame(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return std::nullopt;
    WsFrameView frame;
    frame.fin = (data[0] & 0x80) != 0;
    frame.reserved = data[0] & 0x70;
    frame.opcode = data[0] & 0x0f;
    frame.masked = (data[1] & 0x80) != 0;
    frame.payloadSize = data[1] & 0x7f;
    std::size_t at = 2;
    if (frame.payloadSize >= 126)
    {
        const std::size_t extra = frame.payloadSize == 126 ? 2 : 8;
        if (size < 2 + extra)
            return std::nullopt;
        std::uint64_t length = 0;
        for (std::size_t i = 0; i < extra; ++i)
            length = (length << 8) | data[2 + i];
        frame.payloadSize = length;
        frame.minimalLength = length >= (extra == 2 ? 126u : 65536u);
        at += extra;
    }
    frame.headerSize = at + (frame.masked ? 4 : 0);
    if (size < frame.headerSize)
        return std::nullopt;
    return frame;
}

WsFrameHeader wsFrameHeader(WsOpcode opcode, std::size_t payloadSize, bool fin,
                            const std::array<std::uint8_t, 4>* mask)
{
    WsFrameHeader header;
    auto& b = header.bytes;
    b[0] = static_cast<std::uint8_t>((fin ? 0x80 : 0) | static_cast<std::uint8_t>(opcode));
    const std::uint8_t maskBit = mask ? 0x80 : 0;
    std::size_t at = 2;
    if (payloadSize < 126)
    {
        b[1] = static_cast<std::uint8_t>(maskBit | payloadSize);
    }
    else if (payloadSize <= 0xffff)
    {
        b[1] = static_cast<std::uint8_t>(maskBit | 126);
        b[2] = static_cast<std::uint8_t>(payloadSize >> 8);
        b[3] = static_cast<std::uint8_t>(payloadSize & 0xff);
        at = 4;
    }
    else
    {
        b[1] = static_cast<std::uint8_t>(maskBit | 127);
        const auto size = static_cast<std::uint64_t>(payloadSize);
        for (std::size_t i = 0; i < 8; ++i)
            b[2 + i] = static_cast<std::uint8_t>(size >> (8 * (7 - i)));
        at = 10;
    }
    if (mask)
    {
        for (std::size_t i = 0; i < 4; ++i)
            b[at + i] = (*mask)[i];
        at += 4;
    }
    header.size = static_cast<std::uint8_t>(at);
    return header;
}

SharedFrame::SharedFrame(WsOpcode opcode, std::initializer_list<std::string_view> parts)
{
    std::size_t payloadSize = 0;
    for (std::string_view part : parts)
        payloadSize += part.size();
    const WsFrameHeader header = wsFrameHeader(opcode, payloadSize);
    auto buffer = std::make_shared<std::string>();
    buffer->reserve(header.size + payloadSize);
    buffer->append(reinterpret_cast<const char*>(header.bytes.data()), header.size);
    for (std::string_view part : parts)
        buffer->append(part);
    buffer_ = std::move(buffer);
    headerSize_ = header.size;
    opcode_ = opcode;
}

void wsMaskPayload(std::string& payload, const std::array<std::uint8_t, 4>& mask)
{
    for (std::size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<char>(static_cast<std::uint8_t>(payload[i]) ^ mask[i % 4]);
}

std::string wsFrame(WsOpcode opcode, std::string_view payload, bool fin,
                    const std::array<std::uint8_t, 4>* mask)
{
    const WsFrameHeader header = wsFrameHeader(opcode, payload.size(), fin, mask);
    std::string body(payload);
    if (mask)
        wsMaskPayload(body, *mask);
    std::string frame(reinterpret_cast<const char*>(header.bytes.data()), header.size);
    return frame + body;
}

std::string wsClosePayload(std::uint16_t code, std::string_view reason)
{
    std::string body;
    body += static_cast<char>(code >> 8);
    body += static_cast<char>(code & 0xff);
    body += reason;
    return body;
}

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n)
    {
        const auto c = static_cast<std::uint8_t>(text[i]);
        if (c < 0x80)
        {
            ++i;
            continue;
        }
        std::size_t extra = 0;
        std::uint32_t value = 0;
        std::uint32_t least = 0;
        if ((c & 0xe0) == 0xc0)
        {
            extra = 1;
            value = c & 0x1f;
            least = 0x80;
        }
        else if ((c & 0xf0) == 0xe0)
        {
            extra = 2;
            value = c & 0x0f;
            least = 0x800;
        }
        else if ((c & 0xf8) == 0xf0)
        {
            extra = 3;
            value = c & 0x07;
            least = 0x10000;
        }
        else
        {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k)
        {
            const auto cont = static_cast<std::uint8_t>(text[i + k]);
            if ((cont & 0xc0) != 0x80)
                return false;
            value = (value << 6) | (cont & 0x3f);
        }
        if (value < least || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff))
            return false;
        i += extra + 1;
    }
    return true;
}

} // namespace orlune::relay
