#include "http/listener_outbox.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace orlune::relay
{

namespace
{
constexpr std::size_t kFirstRingSize = 16; // a power of two, as every size after it
} // namespace

ListenerOutbox::ListenerOutbox(Metrics& metrics)
    : metrics_(metrics)
{
    buffers_.reserve(kMaxBatch);
}

void ListenerOutbox::grow()
{
    std::vector<Outgoing> bigger(ring_.empty() ? kFirstRingSize : 2 * ring_.size());
    for (std::size_t i = 0; i < count_; ++i)
        bigger[i] = std::move(at(i));
    // The batch's buffers point into the frames, which stay where they are.
    ring_.swap(bigger);
    head_ = 0;
}

void ListenerOutbox::push(const SharedFrame& frame, Tier tier, bool atFront)
{
    if (count_ == ring_.size())
        grow();
    if (frame.opcode() == WsOpcode::Binary)
        ++queuedAudio_;
    if (!atFront || count_ == inBatch_)
    {
        at(count_++) = Outgoing{frame, tier};
        return;
    }
    // First after the batch: the batch's entries move down one place to make room.
    head_ = (head_ + ring_.size() - 1) & (ring_.size() - 1);
    ++count_;
    for (std::size_t i = 0; i < inBatch_; ++i)
        at(i) = std::move(at(i + 1));
    at(inBatch_) = Outgoing{frame, tier};
}

std::size_t ListenerOutbox::dropQueuedAudio()
{
    std::size_t kept = inBatch_;
    for (std::size_t i = inBatch_; i < count_; ++i)
    {
        Outgoing& item = at(i);
        if (item.frame.opcode() == WsOpcode::Binary)
        {
            item.frame = SharedFrame();
            continue;
        }
        if (kept != i)
            at(kept) = std::move(item);
        ++kept;
    }
    count_ = kept;
    const std::size_t dropped = queuedAudio_;
    queuedAudio_ = 0;
    return dropped;
}

void ListenerOutbox::clear()
{
    for (std::size_t i = inBatch_; i < count_; ++i)
        at(i).frame = SharedFrame();
    count_ = inBatch_;
    queuedAudio_ = 0;
}

void ListenerOutbox::releaseBatch()
{
    for (std::size_t i = 0; i < inBatch_; ++i)
        at(i).frame = SharedFrame();
    if (inBatch_ > 0)
        head_ = (head_ + inBatch_) & (ring_.size() - 1);
    count_ -= inBatch_;
    inBatch_ = 0;
    buffers_.clear();
    unwritten_ = 0;
}

const std::vector<boost::asio::const_buffer>& ListenerOutbox::takeBatch()
{
    releaseBatch(); // a batch given up unwritten, if any: not counted
    while (inBatch_ < count_ && inBatch_ < kMaxBatch)
    {
        const Outgoing& item = at(inBatch_++);
        const std::string_view bytes = item.frame.bytes();
        buffers_.emplace_back(bytes.data(), bytes.size());
        unwritten_ += bytes.size();
        if (item.frame.opcode() == WsOpcode::Binary)
            --queuedAudio_;
        else if (item.frame.opcode() == WsOpcode::Close)
            break; // nothing may follow a close frame
    }
    return buffers_;
}

const std::vector<boost::asio::const_buffer>& ListenerOutbox::batchWrittenUpTo(std::size_t bytes)
{
    if (bytes >= unwritten_)
    {
        buffers_.clear(); // the usual case: the socket took it all
        unwritten_ = 0;
        return buffers_;
    }
    unwritten_ -= bytes;
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
    // Added up here and given to the shared figures once per batch, not once per message.
    std::array<std::uint64_t, kTierCount> tierMessages{};
    std::array<std::uint64_t, kTierCount> tierBytes{};
    std::uint64_t textMessages = 0;
    std::uint64_t textBytes = 0;
    bool closeWritten = false;
    for (std::size_t i = 0; i < inBatch_; ++i)
    {
        const Outgoing& item = at(i);
        switch (item.frame.opcode())
        {
            case WsOpcode::Binary:
                ++tierMessages[tierIndex(item.tier)];
                tierBytes[tierIndex(item.tier)] += item.frame.payloadSize();
                break;
            case WsOpcode::Text:
                ++textMessages;
                textBytes += item.frame.payloadSize();
                break;
            case WsOpcode::Close:
                closeWritten = true;
                break;
            default:
                break;
        }
    }
    std::uint64_t audioMessages = 0;
    std::uint64_t bytes = textBytes;
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        if (tierMessages[t] == 0)
            continue;
        TierMetrics& tier = metrics_.tiers[t];
        tier.messagesSent += tierMessages[t];
        tier.bytesSent += tierBytes[t];
        audioMessages += tierMessages[t];
        bytes += tierBytes[t];
    }
    if (audioMessages > 0)
        metrics_.audioMessagesSent += audioMessages;
    if (textMessages > 0)
        metrics_.textMessagesSent += textMessages;
    if (bytes > 0)
        metrics_.bytesSent += bytes;
    releaseBatch();
    return closeWritten;
}

} // namespace orlune::relay
