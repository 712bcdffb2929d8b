// Arbitrary bytes from a WebSocket client. The first two bytes choose how the rest is cut into
// reads; the events must be the same whatever the cuts, within the limits the reader promises,
// and every message must survive being written again with the frame writer and read back.
#include "wire/websocket_frames.h"

#include <cstdlib>
#include <string>
#include <vector>

using namespace orlune::relay;

namespace
{

constexpr std::size_t kMaxMessage = 600; // small, so that the 1009 paths are reached

// `seed` 0: everything in one read.
std::vector<WsEvent> readInPieces(const std::uint8_t* data, std::size_t size, std::uint32_t seed,
                                  bool masked)
{
    WsFrameReader reader(kMaxMessage, masked);
    std::vector<WsEvent> events;
    std::size_t at = 0;
    while (at < size)
    {
        std::size_t piece = size;
        if (seed != 0)
        {
            seed = seed * 1103515245u + 12345u;
            piece = 1 + (seed >> 16) % 37;
        }
        const std::size_t n = piece < size - at ? piece : size - at;
        reader.feed(data + at, n);
        at += n;
        for (WsEvent e = reader.next(); e.kind != WsEvent::Kind::NeedMore; e = reader.next())
            events.push_back(std::move(e));
        if (reader.buffered() > kMaxMessage + 14 + 37)
            std::abort(); // more kept than one frame's worth
    }
    return events;
}

bool same(const WsEvent& a, const WsEvent& b)
{
    return a.kind == b.kind && a.text == b.text && a.payload == b.payload && a.code == b.code &&
           a.frames == b.frames && a.answer == b.answer;
}

void check(const std::vector<WsEvent>& events)
{
    for (std::size_t i = 0; i < events.size(); ++i)
    {
        const WsEvent& e = events[i];
        const bool last = i + 1 == events.size();
        switch (e.kind)
        {
            case WsEvent::Kind::NeedMore:
                std::abort();
            case WsEvent::Kind::Message:
            {
                if (e.payload.size() > kMaxMessage || e.frames == 0)
                    std::abort();
                if (e.text && !isValidUtf8(e.payload))
                    std::abort();
                // Written again as a client would, in one frame, it reads back the same.
                static const std::array<std::uint8_t, 4> mask{0xde, 0xad, 0xbe, 0xef};
                WsFrameReader again(kMaxMessage);
                again.feed(
                    wsFrame(e.text ? WsOpcode::Text : WsOpcode::Binary, e.payload, true, &mask));
                const WsEvent back = again.next();
                if (back.kind != WsEvent::Kind::Message || back.payload != e.payload ||
                    back.text != e.text)
                    std::abort();
                break;
            }
            case WsEvent::Kind::Ping:
            case WsEvent::Kind::Pong:
                if (e.payload.size() > 125)
                    std::abort();
                break;
            case WsEvent::Kind::Close:
            case WsEvent::Kind::Error:
                if (!last || e.code < 1000 || e.code >= 5000)
                    std::abort(); // nothing follows the end of a stream
                if (e.kind == WsEvent::Kind::Error && e.code != ws_close::kProtocolError &&
                    e.code != ws_close::kInvalidPayload && e.code != ws_close::kMessageTooBig)
                    std::abort();
                break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const std::uint32_t seed = data[0] | (static_cast<std::uint32_t>(data[1]) << 8);
    data += 2;
    size -= 2;
    for (const bool masked : {true, false})
    {
        const auto whole = readInPieces(data, size, 0, masked);
        const auto pieces = readInPieces(data, size, seed | 1, masked);
        if (whole.size() != pieces.size())
            std::abort();
        for (std::size_t i = 0; i < whole.size(); ++i)
            if (!same(whole[i], pieces[i]))
                std::abort();
        check(whole);
    }
    return 0;
}
