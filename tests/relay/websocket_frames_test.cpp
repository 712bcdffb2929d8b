// The WebSocket frame reader and writer on their own: bytes in, events out.
#include "wire/websocket_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orlune::relay
{
namespace
{

using Kind = WsEvent::Kind;

const std::array<std::uint8_t, 4> kKey{0x12, 0x34, 0x56, 0x78};

// A client's frame: masked, as the reader of a server expects.
std::string clientFrame(WsOpcode opcode, std::string_view payload, bool fin = true)
{
    return wsFrame(opcode, payload, fin, &kKey);
}

// Feeds `bytes` in pieces of `step` bytes, taking every event as soon as it is there.
std::vector<WsEvent> readAll(std::string_view bytes, std::size_t step = 0,
                             std::size_t maxMessage = 4096)
{
    WsFrameReader reader(maxMessage);
    std::vector<WsEvent> events;
    if (step == 0)
        step = bytes.size() == 0 ? 1 : bytes.size();
    for (std::size_t at = 0; at < bytes.size(); at += step)
    {
        reader.feed(bytes.substr(at, step));
        for (WsEvent e = reader.next(); e.kind != Kind::NeedMore; e = reader.next())
            events.push_back(std::move(e));
    }
    return events;
}

WsEvent onlyEvent(std::string_view bytes, std::size_t maxMessage = 4096)
{
    const auto events = readAll(bytes, 0, maxMessage);
    EXPECT_EQ(events.size(), 1u);
    return events.empty() ? WsEvent{} : events.front();
}

TEST(WebSocketFrames, FragmentedMessageIsReassembledFromAnyReadSizes)
{
    const std::string request = R"({"type":"quality","tier":"standard"})";
    const std::string bytes = clientFrame(WsOpcode::Text, request.substr(0, 5), false) +
                              clientFrame(WsOpcode::Continuation, request.substr(5, 20), false) +
                              clientFrame(WsOpcode::Ping, "hi") +
                              clientFrame(WsOpcode::Continuation, request.substr(25), true) +
                              clientFrame(WsOpcode::Binary, std::string(300, 'b'));
    for (std::size_t step : {1, 2, 3, 7, 64, 4096})
    {
        const auto events = readAll(bytes, step);
        ASSERT_EQ(events.size(), 3u) << "step " << step;
        EXPECT_EQ(events[0].kind, Kind::Ping) << "control frames are answered between fragments";
        EXPECT_EQ(events[0].payload, "hi");
        EXPECT_EQ(events[1].kind, Kind::Message);
        EXPECT_TRUE(events[1].text);
        EXPECT_EQ(events[1].payload, request);
        EXPECT_EQ(events[2].kind, Kind::Message);
        EXPECT_FALSE(events[2].text);
        EXPECT_EQ(events[2].payload, std::string(300, 'b'));
    }
}

TEST(WebSocketFrames, MessageLimitAppliesToTheWholeMessageBeforeItsPayloadArrives)
{
    const std::string half(3000, 'x');
    EXPECT_EQ(onlyEvent(clientFrame(WsOpcode::Text, std::string(4096, 'x'))).kind, Kind::Message);

    const std::string twoHalves =
        clientFrame(WsOpcode::Text, half, false) + clientFrame(WsOpcode::Continuation, half, true);
    const WsEvent tooBig = onlyEvent(twoHalves);
    EXPECT_EQ(tooBig.kind, Kind::Error);
    EXPECT_EQ(tooBig.code, ws_close::kMessageTooBig);

    // The header of a huge frame is enough: nothing of it is buffered.
    WsFrameReader reader(4096);
    const WsFrameHeader header = wsFrameHeader(WsOpcode::Binary, 1u << 30, true, &kKey);
    reader.feed(header.bytes.data(), header.size);
    const WsEvent event = reader.next();
    EXPECT_EQ(event.kind, Kind::Error);
    EXPECT_EQ(event.code, ws_close::kMessageTooBig);
    EXPECT_EQ(reader.buffered(), 0u);
    EXPECT_TRUE(reader.finished());
}

TEST(WebSocketFrames, BrokenFramingIsAProtocolError)
{
    const std::string ok = clientFrame(WsOpcode::Text, "x");
    std::string reserved = ok;
    reserved[0] = static_cast<char>(reserved[0] | 0x40);
    std::string badOpcode = ok;
    badOpcode[0] = static_cast<char>(0x83);
    std::string nonMinimal16 = "\x82\xfe";
    nonMinimal16 += std::string("\x00\x05", 2) + "abcd" + "hello";
    std::string nonMinimal64 = "\x82\xff";
    nonMinimal64 += std::string("\x00\x00\x00\x00\x00\x00\x00\x05", 8) + "abcd" + "hello";
    std::string beyond63 = "\x82\xff";
    beyond63 += std::string("\x80\x00\x00\x00\x00\x00\x00\x05", 8) + "abcd";

    const std::vector<std::pair<const char*, std::string>> cases{
        {"reserved bit", reserved},
        {"reserved opcode", badOpcode},
        {"16-bit length not minimal", nonMinimal16},
        {"64-bit length not minimal", nonMinimal64},
        {"length beyond 2^63", beyond63},
        {"ping over 125 bytes", clientFrame(WsOpcode::Ping, std::string(126, 'p'))},
        {"fragmented ping", clientFrame(WsOpcode::Ping, "p", false)},
        {"continuation first", clientFrame(WsOpcode::Continuation, "x")},
        {"new message inside a fragmented one",
         clientFrame(WsOpcode::Text, "a", false) + clientFrame(WsOpcode::Text, "b")},
        {"close of one byte", clientFrame(WsOpcode::Close, "\x03")},
        {"close code never sent", clientFrame(WsOpcode::Close, wsClosePayload(1005))},
        {"close code out of range", clientFrame(WsOpcode::Close, wsClosePayload(999))},
    };
    for (const auto& [name, bytes] : cases)
    {
        for (std::size_t step : {std::size_t{1}, bytes.size()})
        {
            const auto events = readAll(bytes + ok, step);
            ASSERT_EQ(events.size(), 1u) << name << ": nothing after the error";
            EXPECT_EQ(events[0].kind, Kind::Error) << name;
            EXPECT_EQ(events[0].code, ws_close::kProtocolError) << name;
            EXPECT_TRUE(events[0].answer) << name;
        }
    }

    const WsEvent unmasked = onlyEvent(wsFrame(WsOpcode::Text, "hello"));
    EXPECT_EQ(unmasked.kind, Kind::Error);
    EXPECT_EQ(unmasked.code, ws_close::kProtocolError);
    EXPECT_FALSE(unmasked.answer) << "an unmasked client is disconnected without a word";
}

TEST(WebSocketFrames, TextMustBeUtf8EvenWhenSplitInsideACharacter)
{
    const std::string euro = "\xe2\x82\xac"; // U+20AC
    const auto events = readAll(clientFrame(WsOpcode::Text, "a" + euro.substr(0, 1), false) +
                                clientFrame(WsOpcode::Continuation, euro.substr(1)));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload, "a" + euro);

    for (const std::string bad :
         {"\xff", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82"})
    {
        const WsEvent e = onlyEvent(clientFrame(WsOpcode::Text, "ok" + bad));
        EXPECT_EQ(e.kind, Kind::Error);
        EXPECT_EQ(e.code, ws_close::kInvalidPayload);
    }
    // Binary messages are anything.
    EXPECT_EQ(onlyEvent(clientFrame(WsOpcode::Binary, "\xff\xfe")).kind, Kind::Message);
}

TEST(WebSocketFrames, CloseCarriesItsCodeAndEndsTheStream)
{
    auto events = readAll(clientFrame(WsOpcode::Close, wsClosePayload(1000, "bye")) +
                          clientFrame(WsOpcode::Text, "after"));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Close);
    EXPECT_EQ(events[0].code, 1000);
    EXPECT_EQ(events[0].payload, "bye");

    const WsEvent bare = onlyEvent(clientFrame(WsOpcode::Close, ""));
    EXPECT_EQ(bare.kind, Kind::Close);
    EXPECT_EQ(bare.code, ws_close::kNoStatus);

    const WsEvent badReason = onlyEvent(clientFrame(WsOpcode::Close, wsClosePayload(4000, "\xff")));
    EXPECT_EQ(badReason.kind, Kind::Error);
    EXPECT_EQ(badReason.code, ws_close::kInvalidPayload);
}

TEST(WebSocketFrames, WriterUsesTheShortestLengthAndAClientReaderReadsItBack)
{
    for (std::size_t size : {0, 125, 126, 65535, 65536})
    {
        const std::string payload(size, 'q');
        const std::string frame = wsFrame(WsOpcode::Binary, payload);
        const std::size_t header = size < 126 ? 2 : size <= 65535 ? 4 : 10;
        EXPECT_EQ(frame.size(), header + size) << size;

        WsFrameReader client(1 << 20, false);
        client.feed(frame);
        const WsEvent e = client.next();
        ASSERT_EQ(e.kind, Kind::Message) << size;
        EXPECT_EQ(e.payload, payload);

        WsFrameReader server(1 << 20);
        server.feed(clientFrame(WsOpcode::Binary, payload));
        EXPECT_EQ(server.next().payload, payload) << size;
    }
    WsFrameReader client(4096, false);
    client.feed(clientFrame(WsOpcode::Text, "masked"));
    const WsEvent e = client.next();
    EXPECT_EQ(e.kind, Kind::Error);
    EXPECT_TRUE(e.answer);
}

// A message framed once for every listener: the bytes a listener is sent are, header and
// payload, those of the frame written for it alone, in every length form.
TEST(WebSocketFrames, ASharedFrameHoldsTheSameBytesAsAFrameWrittenForOneListener)
{
    struct Golden
    {
        std::size_t size;
        std::vector<std::uint8_t> header;
    };
    const std::vector<Golden> cases = {
        {0, {0x82, 0x00}},
        {5, {0x82, 0x05}},
        {125, {0x82, 0x7d}},
        {126, {0x82, 0x7e, 0x00, 0x7e}},
        {2064, {0x82, 0x7e, 0x08, 0x10}}, // a float32 audio message
        {65535, {0x82, 0x7e, 0xff, 0xff}},
        {70000, {0x82, 0x7f, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x11, 0x70}},
    };
    for (const Golden& c : cases)
    {
        std::string payload(c.size, '\0');
        for (std::size_t i = 0; i < c.size; ++i)
            payload[i] = static_cast<char>(i * 7 + 3);
        const SharedFrame frame(WsOpcode::Binary, payload);
        const std::string header(c.header.begin(), c.header.end());
        EXPECT_EQ(frame.bytes(), header + payload) << c.size;
        EXPECT_EQ(frame.bytes(), wsFrame(WsOpcode::Binary, payload)) << c.size;
        EXPECT_EQ(frame.headerSize(), c.header.size()) << c.size;
        EXPECT_EQ(frame.payload(), payload) << c.size;
        EXPECT_EQ(frame.payloadSize(), c.size) << c.size;
        EXPECT_EQ(frame.opcode(), WsOpcode::Binary);
    }

    // Built from parts, as the audio messages are: one payload, the parts in order.
    const SharedFrame parts(WsOpcode::Text, {"ab", "", "cde"});
    EXPECT_EQ(parts.bytes(), wsFrame(WsOpcode::Text, "abcde"));
    EXPECT_EQ(parts.opcode(), WsOpcode::Text);

    const SharedFrame copy = parts;
    EXPECT_EQ(copy, parts) << "a copy shares the buffer";
    EXPECT_EQ(copy.bytes().data(), parts.bytes().data());
    EXPECT_NE(SharedFrame(WsOpcode::Text, "abcde"), parts) << "equal bytes, another buffer";

    const SharedFrame none;
    EXPECT_FALSE(none);
    EXPECT_TRUE(none.bytes().empty());
    EXPECT_TRUE(none.payload().empty());
}

} // namespace
} // namespace orlune::relay
