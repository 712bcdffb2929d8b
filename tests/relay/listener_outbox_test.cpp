// What a listener is sent, below the session: batches of framed messages, what a slow listener
// loses, and the write that goes straight to the socket and leaves the rest for later.
#include "http/listener_outbox.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>
#include <vector>

namespace orlune::relay
{
namespace
{

SharedBytes bytes(std::string text)
{
    return std::make_shared<const std::string>(std::move(text));
}

// The bytes of `buffers`, concatenated.
std::string flatten(const std::vector<boost::asio::const_buffer>& buffers)
{
    std::string out;
    for (const auto& b : buffers)
        out.append(static_cast<const char*>(b.data()), b.size());
    return out;
}

// Every message a client reads from `wire` (server frames: unmasked).
std::vector<std::string> messagesIn(const std::string& wire)
{
    WsFrameReader reader(1 << 20, false);
    reader.feed(wire);
    std::vector<std::string> out;
    for (WsEvent e = reader.next(); e.kind != WsEvent::Kind::NeedMore; e = reader.next())
        out.push_back(e.kind == WsEvent::Kind::Close ? "close" : e.payload);
    return out;
}

TEST(ListenerOutbox, BatchesStopAtTheLimitAndAfterACloseAndAreCountedWhenWritten)
{
    Metrics metrics;
    ListenerOutbox outbox(metrics);
    for (std::size_t i = 0; i < ListenerOutbox::kMaxBatch + 3; ++i)
        outbox.push(WsOpcode::Binary, bytes("audio" + std::to_string(i)), Tier::Standard);
    outbox.push(WsOpcode::Close, bytes(wsClosePayload(ws_close::kGoingAway)), Tier::Standard);
    outbox.push(WsOpcode::Text, bytes("after the close"), Tier::Standard);

    const auto first = messagesIn(flatten(outbox.takeBatch()));
    ASSERT_EQ(first.size(), ListenerOutbox::kMaxBatch);
    EXPECT_EQ(first.front(), "audio0");
    EXPECT_FALSE(outbox.batchWritten());
    EXPECT_EQ(metrics.audioMessagesSent, ListenerOutbox::kMaxBatch);
    EXPECT_EQ(metrics.tier(Tier::Standard).messagesSent, ListenerOutbox::kMaxBatch);

    const auto second = messagesIn(flatten(outbox.takeBatch()));
    EXPECT_EQ(second, (std::vector<std::string>{"audio64", "audio65", "audio66", "close"}))
        << "nothing after a close frame in the same batch";
    EXPECT_TRUE(outbox.batchWritten());
    EXPECT_EQ(outbox.queued(), 1u);
    EXPECT_EQ(metrics.textMessagesSent, 0u);
}

TEST(ListenerOutbox, DroppingAudioKeepsControlMessagesInOrder)
{
    Metrics metrics;
    ListenerOutbox outbox(metrics);
    outbox.push(WsOpcode::Binary, bytes("a1"), Tier::Lossless);
    outbox.push(WsOpcode::Text, bytes("event"), Tier::Lossless);
    outbox.push(WsOpcode::Binary, bytes("a2"), Tier::Lossless);
    outbox.push(WsOpcode::Pong, bytes("p"), Tier::Lossless, true);
    EXPECT_EQ(outbox.queuedAudio(), 2u);
    EXPECT_EQ(outbox.dropQueuedAudio(), 2u);
    EXPECT_EQ(outbox.queuedAudio(), 0u);
    EXPECT_EQ(messagesIn(flatten(outbox.takeBatch())), (std::vector<std::string>{"p", "event"}));
}

TEST(ListenerOutbox, AudioLimitIsTheSameLagInTimeOnEveryTier)
{
    EXPECT_EQ(ListenerOutbox::audioLimit(Tier::Lossless, 64), 64u);
    const TierProfile& standard = tierProfile(Tier::Standard);
    EXPECT_EQ(ListenerOutbox::audioLimit(Tier::Standard, 64),
              64u * 256 /
                  static_cast<std::size_t>(standard.frameSamples * standard.framesPerMessage));
    EXPECT_EQ(ListenerOutbox::audioLimit(Tier::Standard, 1), 1u) << "never none";
}

// A socket that takes only part of a batch: what it took and what is left add up to the batch,
// byte for byte, and the rest can be written later.
TEST(ListenerOutbox, AWriteTheSocketTakesInPartLeavesExactlyTheRestToWrite)
{
    boost::asio::io_context io;
    boost::asio::local::stream_protocol::socket writer(io);
    boost::asio::local::stream_protocol::socket reader(io);
    boost::asio::local::connect_pair(writer, reader);
    writer.set_option(boost::asio::socket_base::send_buffer_size(4096));
    reader.set_option(boost::asio::socket_base::receive_buffer_size(4096));
    const int readerFd = reader.native_handle();
    const int writerFd = writer.native_handle();

    Metrics metrics;
    ListenerOutbox outbox(metrics);
    std::vector<std::string> sent;
    for (int i = 0; i < 40; ++i)
    {
        sent.push_back(
            std::string(1000 + static_cast<std::size_t>(i), static_cast<char>('a' + i % 26)));
        outbox.push(WsOpcode::Binary, bytes(sent.back()), Tier::Lossless);
    }
    boost::system::error_code ec;
    const auto rest = outbox.writeBatchNow(writer, ec);
    ASSERT_FALSE(ec) << ec.message();
    ASSERT_FALSE(rest.empty()) << "the socket took all of it: make the buffers smaller";
    const std::string left = flatten(rest);

    std::string wire;
    char chunk[65536];
    for (;;)
    {
        const auto n = ::recv(readerFd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n <= 0)
            break;
        wire.append(chunk, static_cast<std::size_t>(n));
    }
    EXPECT_FALSE(wire.empty());
    EXPECT_EQ(messagesIn(wire + left), sent);

    // A full socket takes nothing and that is no error; a closed one is.
    std::string fill(1 << 16, 'x');
    while (::send(writerFd, fill.data(), fill.size(), MSG_DONTWAIT) > 0)
    {
    }
    EXPECT_EQ(writeWithoutWaiting(writer, rest, ec), 0u);
    EXPECT_EQ(ec, boost::asio::error::would_block);
    reader.close();
    writeWithoutWaiting(writer, rest, ec);
    EXPECT_TRUE(ec && ec != boost::asio::error::would_block);
}

} // namespace
} // namespace orlune::relay
