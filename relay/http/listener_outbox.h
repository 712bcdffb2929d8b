// What a listener session has to send: a queue of frames, and the batch of them in one gathered
// write. Server frames are never masked and never fragmented.
//
// An audio frame comes built once for every listener of its room and tier (SharedFrame): the
// outbox holds a reference to it and writes it as one buffer, header and payload together.
// Text events and control frames are framed as they are queued.
#pragma once

#include "rooms/counters.h"
#include "tiers/tiers.h"
#include "wire/bytes.h"
#include "wire/websocket_frames.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <vector>

namespace orlune::relay
{

class ListenerOutbox
{
public:
    static constexpr std::size_t kMaxBatch = 64; // messages per gathered write

    explicit ListenerOutbox(Metrics& metrics);

    // Queues a frame; `tier` is that of a binary (audio) frame. A frame `atFront` goes before
    // everything queued (a pong), not before the batch being written.
    void push(const SharedFrame& frame, Tier tier, bool atFront = false);
    // The same for a message framed here.
    void push(WsOpcode opcode, const SharedBytes& data, Tier tier, bool atFront = false)
    {
        push(SharedFrame(opcode, *data), tier, atFront);
    }

    std::size_t queued() const { return count_ - inBatch_; }
    std::size_t queuedAudio() const { return queuedAudio_; }
    bool hasQueued() const { return count_ > inBatch_; }

    // Drops every queued audio message (not those being written) and returns how many.
    std::size_t dropQueuedAudio();
    // Drops everything queued (not the batch being written).
    void clear();

    // Moves the next messages (at most kMaxBatch, nothing after a close frame) into the batch
    // and returns its buffers, one whole frame each. Only with no batch in flight.
    const std::vector<boost::asio::const_buffer>& takeBatch();

    // The first `bytes` of the batch were written: its buffers now hold the rest.
    const std::vector<boost::asio::const_buffer>& batchWrittenUpTo(std::size_t bytes);

    // Takes the next batch and writes it to the plain `socket` as far as the socket takes it
    // without waiting. Returns what is left to write (empty: all of it; batchWritten() is next),
    // or sets `ec` to the socket's error.
    template <class Socket>
    const std::vector<boost::asio::const_buffer>& writeBatchNow(Socket& socket,
                                                                boost::system::error_code& ec);

    // How many audio messages a listener of `tier` may have queued: the same lag in time on
    // every tier (`listenerQueue` counts 256-frame messages).
    static std::size_t audioLimit(Tier tier, std::size_t listenerQueue);

    // The batch was written: counts what it carried (payload bytes, as the figures have it) and
    // empties it. True when it ended with a close frame.
    bool batchWritten();

private:
    struct Outgoing
    {
        SharedFrame frame;
        Tier tier = Tier::Lossless;
    };

    // The i-th entry, oldest first: the batch being written (inBatch_ of them), then the queue.
    Outgoing& at(std::size_t i) { return ring_[(head_ + i) & (ring_.size() - 1)]; }
    void grow();
    // Releases the batch's entries, whether it was written or given up.
    void releaseBatch();

    Metrics& metrics_;
    // A ring of a power-of-two size, reused from message to message: no allocation per message
    // once it has grown to what the listener needs.
    std::vector<Outgoing> ring_;
    std::size_t head_ = 0;
    std::size_t count_ = 0;   // entries, the batch included
    std::size_t inBatch_ = 0; // the first entries, being written
    std::size_t queuedAudio_ = 0;
    std::size_t unwritten_ = 0; // bytes of the batch not yet written
    std::vector<boost::asio::const_buffer> buffers_;
};

// Writes as much of `buffers` as `socket` takes at once, without waiting; returns the bytes
// written. `ec` is would_block when it took nothing, or the socket's error. The socket is
// left in non-blocking mode, which its asynchronous operations do not mind.
template <class Socket>
std::size_t writeWithoutWaiting(Socket& socket,
                                const std::vector<boost::asio::const_buffer>& buffers,
                                boost::system::error_code& ec)
{
    ec.clear();
    if (!socket.non_blocking())
    {
        socket.non_blocking(true, ec);
        if (ec)
            return 0;
    }
    return socket.write_some(buffers, ec);
}

template <class Socket>
const std::vector<boost::asio::const_buffer>&
ListenerOutbox::writeBatchNow(Socket& socket, boost::system::error_code& ec)
{
    const auto& batch = takeBatch();
    const std::size_t written = writeWithoutWaiting(socket, batch, ec);
    if (ec == boost::asio::error::would_block)
        ec.clear();
    return batchWrittenUpTo(written);
}

} // namespace orlune::relay
