// What a listener is sent, below the session: batches of framed messages, what a slow listener
// loses, and the write that goes straight to the socket and leaves the rest for later.
#include "http/listener_outbox.h"
#include "wire/listener_audio.h"
#include "wire/listener_opus.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <array>
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

// Payloads whose frames use each length form: 2, 4 and 10 header bytes.
std::vector<std::string> payloadsOfEveryLength()
{
    std::vector<std::string> out;
    for (std::size_t size : {5, 300, 70000})
    {
        std::string p(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            p[i] = static_cast<char>('a' + (i * 13 + size) % 26);
        out.push_back(p);
    }
    return out;
}

// The float32 and Opus messages come framed from where they are made, with the bytes a frame
// written for one listener would have; every listener writes that one buffer, not a copy.
TEST(ListenerOutbox, EveryListenerWritesTheOneFrameTheRoomBuiltAsOneBuffer)
{
    const std::array<std::uint8_t, kSampleBytes> samples{1, 2, 3};
    const SharedFrame audio = encodeAudioMessage(7, 7 * 256, samples.data());
    OpusMessageWriter writer;
    writer.begin(0, 480, 480);
    const std::uint8_t packet[] = {0xfc, 0x01, 0x02};
    writer.addFrame(packet, sizeof packet);
    const SharedFrame opus = writer.finish();
    for (const SharedFrame* f : {&audio, &opus})
        EXPECT_EQ(f->bytes(), wsFrame(WsOpcode::Binary, f->payload()));

    Metrics metrics;
    ListenerOutbox first(metrics);
    ListenerOutbox second(metrics);
    for (ListenerOutbox* outbox : {&first, &second})
    {
        outbox->push(audio, Tier::Lossless);
        outbox->push(opus, Tier::Standard);
        const auto& buffers = outbox->takeBatch();
        ASSERT_EQ(buffers.size(), 2u) << "one buffer per message, no header of its own";
        EXPECT_EQ(buffers[0].data(), audio.bytes().data());
        EXPECT_EQ(buffers[1].data(), opus.bytes().data());
        EXPECT_EQ(flatten(buffers), std::string(audio.bytes()) + std::string(opus.bytes()));
        EXPECT_FALSE(outbox->batchWritten());
    }
}

// A socket may stop anywhere in a frame: in its header, at its end, one byte into the next.
// What was taken and what is left add up to the batch, byte for byte, over several writes.
TEST(ListenerOutbox, APartialWriteMayEndAnywhereInAFrame)
{
    const auto payloads = payloadsOfEveryLength();
    std::vector<SharedFrame> frames;
    std::string wire;
    for (const std::string& p : payloads)
    {
        frames.emplace_back(WsOpcode::Binary, p);
        wire += frames.back().bytes();
    }
    const std::size_t end0 = frames[0].bytes().size();
    const std::size_t end1 = end0 + frames[1].bytes().size();
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, end0 - 1, end0, end0 + 1, end0 + 3,
                            end0 + 4, end1 - 1, end1, end1 + 9, end1 + 10, wire.size() - 1})
    {
        Metrics metrics;
        ListenerOutbox outbox(metrics);
        for (const SharedFrame& f : frames)
            outbox.push(f, Tier::Lossless);
        ASSERT_EQ(flatten(outbox.takeBatch()), wire);
        const std::string rest = flatten(outbox.batchWrittenUpTo(cut));
        EXPECT_EQ(rest, wire.substr(cut)) << cut;
        // And then the rest of it in two more writes.
        const std::size_t more = (wire.size() - cut) / 2;
        EXPECT_EQ(flatten(outbox.batchWrittenUpTo(more)), wire.substr(cut + more)) << cut;
        EXPECT_EQ(metrics.bytesSent, 0u) << "nothing counted before the whole batch is written";
        EXPECT_TRUE(outbox.batchWrittenUpTo(wire.size() - cut - more).empty()) << cut;
        EXPECT_FALSE(outbox.batchWritten());
        EXPECT_EQ(metrics.audioMessagesSent, frames.size());
    }
}

// The figures count payload bytes, not the frames' headers, by the tier each message was
// queued for; text counts in the bytes, control frames in nothing.
TEST(ListenerOutbox, WrittenMessagesAreCountedByPayloadAndTier)
{
    const auto payloads = payloadsOfEveryLength();
    Metrics metrics;
    ListenerOutbox outbox(metrics);
    outbox.push(SharedFrame(WsOpcode::Binary, payloads[0]), Tier::Lossless);
    outbox.push(SharedFrame(WsOpcode::Binary, payloads[1]), Tier::Standard);
    outbox.push(WsOpcode::Text, bytes("{\"type\":\"codec\"}"), Tier::Standard);
    outbox.push(SharedFrame(WsOpcode::Binary, payloads[2]), Tier::Standard);
    outbox.push(WsOpcode::Ping, bytes("ping"), Tier::Standard);
    outbox.push(WsOpcode::Pong, bytes("pong"), Tier::Standard, true);
    outbox.takeBatch();
    EXPECT_FALSE(outbox.batchWritten());

    EXPECT_EQ(metrics.audioMessagesSent, 3u);
    EXPECT_EQ(metrics.textMessagesSent, 1u);
    EXPECT_EQ(metrics.bytesSent, 5u + 300u + 70000u + 16u);
    EXPECT_EQ(metrics.tier(Tier::Lossless).messagesSent, 1u);
    EXPECT_EQ(metrics.tier(Tier::Lossless).bytesSent, 5u);
    EXPECT_EQ(metrics.tier(Tier::Standard).messagesSent, 2u);
    EXPECT_EQ(metrics.tier(Tier::Standard).bytesSent, 70300u);
    EXPECT_EQ(metrics.tier(Tier::High).messagesSent, 0u);

    // A batch given up (the connection failed) and replaced by the next is not counted.
    outbox.push(SharedFrame(WsOpcode::Binary, payloads[0]), Tier::High);
    outbox.takeBatch();
    outbox.push(SharedFrame(WsOpcode::Binary, payloads[1]), Tier::High);
    outbox.takeBatch();
    outbox.batchWritten();
    EXPECT_EQ(metrics.tier(Tier::High).messagesSent, 1u);
    EXPECT_EQ(metrics.tier(Tier::High).bytesSent, 300u);
}

// While a batch is being written, the queue behind it changes (pongs jump ahead, audio is
// dropped, the queue grows, the connection closes): the batch's bytes stay as they were.
TEST(ListenerOutbox, TheBatchBeingWrittenOutlivesEveryChangeToTheQueue)
{
    Metrics metrics;
    ListenerOutbox outbox(metrics);
    std::string wire;
    for (int i = 0; i < 5; ++i)
    {
        const SharedFrame f(WsOpcode::Binary, "batch" + std::to_string(i));
        wire += f.bytes();
        outbox.push(f, Tier::Low);
    }
    const auto& buffers = outbox.takeBatch();
    ASSERT_EQ(flatten(buffers), wire);
    EXPECT_EQ(outbox.queued(), 0u);
    EXPECT_FALSE(outbox.hasQueued());

    outbox.push(WsOpcode::Text, bytes("text"), Tier::Low);
    outbox.push(SharedFrame(WsOpcode::Binary, "a"), Tier::Low);
    outbox.push(WsOpcode::Pong, bytes("pong"), Tier::Low, true);
    for (int i = 0; i < 200; ++i) // far past the ring's first size
        outbox.push(SharedFrame(WsOpcode::Binary, "late" + std::to_string(i)), Tier::Low);
    EXPECT_EQ(outbox.queued(), 203u);
    EXPECT_EQ(outbox.queuedAudio(), 201u);
    EXPECT_EQ(flatten(buffers), wire) << "the batch's buffers still hold its frames";
    EXPECT_EQ(outbox.dropQueuedAudio(), 201u);
    EXPECT_EQ(outbox.queued(), 2u);
    EXPECT_EQ(flatten(outbox.batchWrittenUpTo(3)), wire.substr(3));

    EXPECT_FALSE(outbox.batchWritten());
    EXPECT_EQ(metrics.tier(Tier::Low).messagesSent, 5u) << "the batch, and only it";
    EXPECT_EQ(messagesIn(flatten(outbox.takeBatch())), (std::vector<std::string>{"pong", "text"}));
    outbox.batchWritten();

    // Closing while a batch is out: the queue goes, the batch is still written and counted.
    outbox.push(SharedFrame(WsOpcode::Binary, "last"), Tier::Low);
    outbox.takeBatch();
    outbox.push(SharedFrame(WsOpcode::Binary, "never"), Tier::Low);
    outbox.clear();
    outbox.push(WsOpcode::Close, bytes(wsClosePayload(ws_close::kGoingAway)), Tier::Low);
    EXPECT_FALSE(outbox.batchWritten());
    EXPECT_EQ(metrics.tier(Tier::Low).messagesSent, 6u);
    EXPECT_EQ(messagesIn(flatten(outbox.takeBatch())), (std::vector<std::string>{"close"}));
    EXPECT_TRUE(outbox.batchWritten());
    EXPECT_FALSE(outbox.hasQueued());
}

// Many batches through one outbox: the ring wraps and grows with messages in it, and every
// message comes out once, in order, whatever is dropped on the way.
TEST(ListenerOutbox, MessagesComeOutInOrderAsTheQueueWrapsAndGrows)
{
    Metrics metrics;
    ListenerOutbox outbox(metrics);
    std::vector<std::string> expected;
    std::vector<std::string> received;
    int next = 0;
    for (int round = 0; round < 60; ++round)
    {
        // Up to 90 queued at once: past the batch limit and past the ring's sizes.
        const int count = (round * 37) % 91;
        for (int i = 0; i < count; ++i, ++next)
        {
            const std::string text = "m" + std::to_string(next);
            outbox.push(SharedFrame(WsOpcode::Binary, text), Tier::Lossless);
            expected.push_back(text);
        }
        if (round % 7 == 3) // a skip-ahead: the audio queued goes, an event takes its place
        {
            expected.resize(expected.size() - outbox.dropQueuedAudio());
            outbox.push(WsOpcode::Text, bytes("skip"), Tier::Lossless);
            expected.push_back("skip");
        }
        if (round % 2 == 0)
            continue; // written next round, with more behind it
        while (outbox.hasQueued())
        {
            const auto batch = messagesIn(flatten(outbox.takeBatch()));
            EXPECT_LE(batch.size(), ListenerOutbox::kMaxBatch);
            received.insert(received.end(), batch.begin(), batch.end());
            outbox.batchWritten();
        }
        EXPECT_EQ(outbox.queuedAudio(), 0u);
    }
    EXPECT_EQ(received, expected);
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
