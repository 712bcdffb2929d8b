#include "http/listener_outbox.h"

#include <algorithm>
#include <utility>

namespace orlune::relay
{

void ListenerOutbox::push(WsOpcode opcode, const SharedBytes& data, Tier tier, bool atFront)
{
    Outgoing out;
    out.data = data;
    out.opcode = opcode;
    out.tier = tier;
    out.header = wsFrameHeader(opcode, data->size());
    if (opcode == WsOpcode::Binary)
        ++queuedAudio_;
    if (atFront)
        queue_.push_front(std::move(out));
    else
        queue_.push_back(std::move(out));
}

std::size_t ListenerOutbox::dropQueuedAudio()
{
    std::deque<Outgoing> kept;
    for (auto& item : queue_)
    {
        if (item.opcode != WsOpcode::Binary)
            kept.push_back(std::move(item));
    }
    queue_.swap(kept);
    const std::size_t dropped = queuedAudio_;
    queuedAudio_ = 0;
    return dropped;
}

void ListenerOutbox::clear()
{
    queue_.clear();
    queuedAudio_ = 0;
}

const std::vector<boost::asio::const_buffer>& ListenerOutbox::takeBatch()
{
    batch_.clear();
    buffers_.clear();
    while (!queue_.empty() && batch_.size() < kMaxBatch)
    {
        batch_.push_back(std::move(queue_.front()));
        queue_.pop_front();
        if (batch_.back().opcode == WsOpcode::Binary)
            --queuedAudio_;
        if (batch_.back().opcode == WsOpcode::Close)
            break; // nothing may follow a close frame
    }
    // Only now that the batch will not grow again do the headers have fixed addresses.
    for (const Outgoing& item : batch_)
    {
        buffers_.emplace_back(item.header.bytes.data(), item.header.size);
        buffers_.emplace_back(item.data->data(), item.data->size());
    }
    return buffers_;
}

const std::vector<boost::asio::const_buffer>& ListenerOutbox::batchWrittenUpTo(std::size_t bytes)
{
    auto first = buffers_.begin();
    while (first != buffers_.end() && bytes >= first->size())
    {
        bytes -= first->size();
        ++first;
    }
    if (first != buffers_.end())
        *first += bytes;
    buffers_.erase(buffers_.begin(), first);
    return buffers_;
}

std::size_t ListenerOutbox::audioLimit(Tier tier, std::size_t listenerQueue)
{
    const TierProfile& profile = tierProfile(tier);
    const auto frames = static_cast<std::size_t>(profile.frameSamples * profile.framesPerMessage);
    return std::max<std::size_t>(1, listenerQueue * 256 / frames);
}

bool ListenerOutbox::batchWritten()
{
    bool closeWritten = false;
    for (const Outgoing& item : batch_)
    {
        if (item.opcode == WsOpcode::Binary)
        {
            ++metrics_.audioMessagesSent;
            TierMetrics& tier = metrics_.tier(item.tier);
            ++tier.messagesSent;
            tier.bytesSent += item.data->size();
        }
        else if (item.opcode == WsOpcode::Text)
            ++metrics_.textMessagesSent;
        if (item.opcode == WsOpcode::Binary || item.opcode == WsOpcode::Text)
            metrics_.bytesSent += item.data->size();
        closeWritten = closeWritten || item.opcode == WsOpcode::Close;
    }
    batch_.clear();
    buffers_.clear();
    return closeWritten;
}

} // namespace orlune::relay
