// WebSocket framing (RFC 6455), without I/O: a reader that turns the bytes of a connection into
// messages and control frames, and the writer of frame headers. The relay's listener sessions
// read with it; the tests' and benchmarks' client reads the relay's frames with it too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

enum class WsOpcode : std::uint8_t
{
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// The close codes the relay sends or names (RFC 6455 section 7.4.1).
namespace ws_close
{
inline constexpr std::uint16_t kNormal = 1000;
inline constexpr std::uint16_t kGoingAway = 1001;
inline constexpr std::uint16_t kProtocolError = 1002;
inline constexpr std::uint16_t kNoStatus = 1005; // a close frame without a code (never sent)
inline constexpr std::uint16_t kInvalidPayload = 1007;
inline constexpr std::uint16_t kMessageTooBig = 1009;
inline constexpr std::uint16_t kTryAgainLater = 1013;
} // namespace ws_close

// One thing the reader found in the byte stream.
struct WsEvent
{
    enum class Kind
    {
        NeedMore, // no complete frame yet: feed more bytes
        Message,  // a whole text or binary message, reassembled from its fragments
        Ping,
        Pong,
        Close, // the peer's close frame: `code` (kNoStatus when it gave none) and its reason
        Error, // the peer broke the protocol: close the connection with `code`
    };
    Kind kind = Kind::NeedMore;
    bool text = false;   // of a Message
    std::string payload; // the message, the ping or pong data, or the close reason
    std::uint16_t code = 0;
    std::size_t frames = 1; // of a Message: the frames it came in
    std::string_view why;   // of an Error, for logs and tests
    // Of an Error: whether to send a close frame before ending the connection. Not to a client
    // that did not mask its frames: what reads them may be an intermediary, not a WebSocket.
    bool answer = true;
};

// Reads the frames one side of a connection receives. A reader for a server (`masked`, the
// default) insists on masked frames, as clients must send; one for a client on unmasked ones.
//
// Messages may come in fragments, with control frames between them; a message whose fragments
// add up to more than `maxMessage` bytes is an error (1009) as soon as a frame header says so,
// before its payload is buffered. Broken framing (reserved bits or opcodes, a wrong mask bit,
// a length not in its shortest form or beyond 2^63, a fragmented or oversized control frame, a
// continuation with no message started, a new message inside a fragmented one, a malformed
// close frame) is 1002; a text message or close reason that is not UTF-8 is 1007. After an
// Error or a Close the reader yields nothing more.
class WsFrameReader
{
public:
    explicit WsFrameReader(std::size_t maxMessage, bool masked = true);

    void feed(const std::uint8_t* data, std::size_t size);
    void feed(std::string_view bytes)
    {
        feed(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }

    // The next event; NeedMore once the bytes fed so far are used up.
    WsEvent next();

    // Bytes fed and not yet consumed (at most one frame's worth while events are taken).
    std::size_t buffered() const { return buffer_.size() - at_; }
    bool finished() const { return finished_; }

private:
    WsEvent fail(std::uint16_t code, std::string_view why);

    std::size_t maxMessage_;
    bool masked_;
    std::vector<std::uint8_t> buffer_;
    std::size_t at_ = 0; // first unconsumed byte of buffer_
    bool fragmented_ = false;
    bool fragmentedText_ = false;
    std::string message_; // the fragments of the message being reassembled
    std::size_t frames_ = 0;
    bool finished_ = false;
};

// The header of the frame at the start of `data`, as written: nothing until all of it (mask key
// included) is there. Judges nothing; WsFrameReader does. For readers that take frames straight
// from large reads without copying them (the benchmarks' listeners).
struct WsFrameView
{
    std::uint8_t opcode = 0;
    bool fin = false;
    std::uint8_t reserved = 0; // the three reserved bits, in place
    bool masked = false;
    bool minimalLength = true;  // the length in its shortest form
    std::size_t headerSize = 0; // with the mask key
    std::uint64_t payloadSize = 0;
};
std::optional<WsFrameView> peekWsFrame(const std::uint8_t* data, std::size_t size);

// A frame header: 2 to 14 bytes.
struct WsFrameHeader
{
    std::array<std::uint8_t, 14> bytes{};
    std::uint8_t size = 0;
};

// The header of one frame carrying `payloadSize` bytes, in the shortest length form; with
// `mask` (a client's frame) the mask bit and key follow, and the payload must be masked with
// maskPayload().
WsFrameHeader wsFrameHeader(WsOpcode opcode, std::size_t payloadSize, bool fin = true,
                            const std::array<std::uint8_t, 4>* mask = nullptr);

// One whole message as a server sends it (one frame, unmasked): header and payload in one
// immutable buffer, built once and queued as it is for every listener it goes to, on whatever
// loop. Copies share the buffer. Empty when default-constructed.
class SharedFrame
{
public:
    SharedFrame() = default;
    // The frame whose payload is `parts` one after the other, copied once.
    SharedFrame(WsOpcode opcode, std::initializer_list<std::string_view> parts);
    SharedFrame(WsOpcode opcode, std::string_view payload)
        : SharedFrame(opcode, {payload})
    {
    }

    explicit operator bool() const { return buffer_ != nullptr; }
    // The whole frame, as it goes on the wire (empty for an empty SharedFrame).
    std::string_view bytes() const
    {
        return buffer_ ? std::string_view(*buffer_) : std::string_view();
    }
    std::size_t headerSize() const { return headerSize_; }
    std::string_view payload() const { return bytes().substr(headerSize_); }
    std::size_t payloadSize() const { return bytes().size() - headerSize_; }
    WsOpcode opcode() const { return opcode_; }
    // Whether both are the same buffer (not merely equal bytes), as for shared pointers.
    friend bool operator==(const SharedFrame& a, const SharedFrame& b)
    {
        return a.buffer_ == b.buffer_;
    }
    friend bool operator!=(const SharedFrame& a, const SharedFrame& b) { return !(a == b); }

private:
    std::shared_ptr<const std::string> buffer_;
    std::uint8_t headerSize_ = 0;
    WsOpcode opcode_ = WsOpcode::Continuation; // kept here too: read without touching the buffer
};

// XORs `payload` with `mask` (its own inverse).
void wsMaskPayload(std::string& payload, const std::array<std::uint8_t, 4>& mask);

// A whole frame: header and payload (masked when `mask` is given).
std::string wsFrame(WsOpcode opcode, std::string_view payload, bool fin = true,
                    const std::array<std::uint8_t, 4>* mask = nullptr);

// The payload of a close frame with `code` (and an optional reason).
std::string wsClosePayload(std::uint16_t code, std::string_view reason = {});

// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUtf8(std::string_view text);

} // namespace orlune::relay
