#include "http/listener_session.h"

#include "tiers/listener_quality.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>

namespace orlune::relay
{

namespace http = beast::http;
namespace websocket = beast::websocket;

namespace
{

constexpr std::size_t kExtraTextMessages = 64; // queued control messages beyond the audio queue

// ----------------------------------------------------------------------------------------------
// One listener: a WebSocket connection attached to a room.
//
// Beast performs the opening handshake; after that the session frames its own messages so that
// everything queued for a listener goes out in one gathered write. At 187.5 messages a second
// per listener the cost of the relay is mostly one system call per write, and a relay under
// load writes several messages per call instead of falling behind. Server frames are never
// masked and never fragmented; incoming frames are read for ping, pong and close, and text
// frames for quality requests (listener_quality.h).

constexpr std::size_t kMaxBatch = 64;           // messages per gathered write
constexpr std::size_t kMaxIncomingFrame = 4096; // listeners have nothing to say
constexpr auto kCloseHandshakeLimit = std::chrono::seconds(5);

enum : std::uint8_t
{
    kOpText = 0x1,
    kOpBinary = 0x2,
    kOpClose = 0x8,
    kOpPing = 0x9,
    kOpPong = 0xA,
};

template <class Stream>
class WebSocketSession : public ListenerSink,
                         public SocketSession,
                         public std::enable_shared_from_this<WebSocketSession<Stream>>
{
public:
    WebSocketSession(Stream&& stream, Core& core, Seat seat, std::optional<QualityChoice> quality,
                     ClientLease lease)
        : ws_(std::move(stream))
        , core_(core)
        , seat_(std::move(seat))
        , lease_(std::move(lease))
        , quality_(quality)
        , switchTimer_(ws_.get_executor())
    {
        core_.connectionOpened();
        core_.sockets.insert(this);
    }

    ~WebSocketSession() override
    {
        leaveRoom();
        core_.sockets.erase(this);
        core_.connectionClosed();
    }

    void start(http::request<http::empty_body> request)
    {
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(10);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, kServerName); }));
        ws_.async_accept(request, beast::bind_front_handler(&WebSocketSession::onAccept, self()));
    }

    void deliverAudio(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queuedAudio_ >= audioQueueLimit())
            skipAhead();
        enqueue(kOpBinary, message);
        ++queuedAudio_;
        // Written when the relay has taken in every datagram waiting, so that a relay that
        // fell behind catches up with one write per listener instead of one per datagram.
        if (!flushPending_)
        {
            flushPending_ = true;
            core_.pendingFlush.push_back(this);
        }
    }

    void onTier(Tier tier) override { audioTier_ = tier; }

    void deliverText(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (queue_.size() >= core_.config.listenerQueue + kExtraTextMessages)
        {
            // Not reading even control messages: give up on this listener.
            fail();
            return;
        }
        enqueue(kOpText, message);
        writeNext();
    }

    void close() override { goAway(); }

    void goAway() override { beginClose(websocket::close_code::going_away); }

    void flush() override
    {
        flushPending_ = false;
        if (stepDownDue_)
            stepDown(); // not earlier: the room was handing out audio
        writeNext();
    }

    void tick(TimePoint now) override
    {
        if (!open_)
            return;
        const auto idle = core_.config.websocketIdle;
        if (writing_ && now - writeStarted_ > idle)
            return fail(); // nothing written for a whole idle period: the listener is stuck
        if (closing_)
        {
            if (now - closeStarted_ > kCloseHandshakeLimit)
                fail();
            return;
        }
        if (now - lastInput_ > 2 * idle)
            return fail();
        if (now - lastInput_ > idle && !pingSent_)
        {
            pingSent_ = true;
            enqueue(kOpPing, std::make_shared<const std::string>());
            writeNext();
        }
    }

private:
    struct Outgoing
    {
        SharedBytes data;
        std::array<std::uint8_t, 4> header{};
        std::uint8_t headerSize = 0;
        std::uint8_t opcode = 0;
        Tier tier = Tier::Lossless; // of a binary message
    };

    std::shared_ptr<WebSocketSession> self() { return this->shared_from_this(); }
    auto& io() { return ws_.next_layer(); }

    void onAccept(beast::error_code ec)
    {
        if (ec)
            return;
        open_ = true;
        lastInput_ = core_.now();
        readNext();
        if (core_.stopping)
            return goAway();
        audioTier_ = quality_.tier();
        if (core_.join(seat_, this, quality_.joinOptions()) != JoinResult::Joined)
            return beginClose(websocket::close_code::try_again_later);
        joined_ = true;
    }

    void enqueue(std::uint8_t opcode, const SharedBytes& data, bool front = false)
    {
        Outgoing out;
        out.data = data;
        out.opcode = opcode;
        out.tier = audioTier_;
        out.header[0] = static_cast<std::uint8_t>(0x80 | opcode);
        const std::size_t size = data->size();
        if (size < 126)
        {
            out.header[1] = static_cast<std::uint8_t>(size);
            out.headerSize = 2;
        }
        else
        {
            // Nothing the relay sends reaches 64 KiB: the 16-bit length form always fits.
            out.header[1] = 126;
            out.header[2] = static_cast<std::uint8_t>(size >> 8);
            out.header[3] = static_cast<std::uint8_t>(size & 0xff);
            out.headerSize = 4;
        }
        if (front)
            queue_.push_front(std::move(out));
        else
            queue_.push_back(std::move(out));
    }

    // Drops every queued audio message (not those being written) so the next one sent is
    // live audio, and tells the listener how many it missed.
    void skipAhead()
    {
        std::size_t dropped = 0;
        std::deque<Outgoing> kept;
        for (auto& item : queue_)
        {
            if (item.opcode == kOpBinary)
                ++dropped;
            else
                kept.push_back(std::move(item));
        }
        queue_.swap(kept);
        queuedAudio_ = 0;
        ++core_.metrics.listenerSkips;
        core_.metrics.listenerSkippedMessages += dropped;
        enqueue(kOpText, std::make_shared<const std::string>(skipMessage(dropped)));
        if (quality_.noteSkip(core_.now()))
            stepDownDue_ = true;
    }

    // The same lag in time on every tier: --listener-queue counts 256-frame messages.
    std::size_t audioQueueLimit() const
    {
        const TierProfile& profile = tierProfile(audioTier_);
        const std::size_t frames =
            static_cast<std::size_t>(profile.frameSamples * profile.framesPerMessage);
        return std::max<std::size_t>(1, core_.config.listenerQueue * 256 / frames);
    }

    void onClientText(const std::string& text)
    {
        switch (quality_.onText(text))
        {
            case ListenerQuality::Verdict::Ignored:
                return;
            case ListenerQuality::Verdict::Unknown:
                ++core_.metrics.badQualityRequests;
                deliverText(std::make_shared<const std::string>(
                    errorMessage("unknown quality tier; the tiers are: " + qualityNameList())));
                return;
            case ListenerQuality::Verdict::Accepted:
                break;
        }
        if (const auto tier = quality_.wantedTier())
            ++core_.metrics.tier(*tier).switchRequests;
        if (const auto tier = quality_.takeDueSwitch(core_.now()))
            return moveTo(*tier, "requested");
        // Too soon after the last switch: the latest request waits for its turn.
        if (switchTimerArmed_)
            return;
        const auto due = quality_.switchDueAt();
        switchTimerArmed_ = true;
        switchTimer_.expires_after(
            std::max<Clock::duration>(Clock::duration::zero(), *due - core_.now()));
        switchTimer_.async_wait(
            [self = self()](beast::error_code ec)
            {
                self->switchTimerArmed_ = false;
                if (ec || self->closing_)
                    return;
                if (const auto tier = self->quality_.takeSwitch())
                    self->moveTo(*tier, "requested");
            });
    }

    // A listener on Auto that keeps falling behind is moved down a tier, so that a client
    // with no adaptation of its own still ends up on a tier its link carries.
    void stepDown()
    {
        stepDownDue_ = false;
        const auto lower = quality_.stepDownTier();
        if (!lower)
            return;
        ++core_.metrics.tier(quality_.tier()).stepDowns;
        moveTo(*lower, "step-down");
    }

    void moveTo(Tier tier, std::string_view reason)
    {
        if (!joined_ || closing_)
            return;
        quality_.switched(tier, core_.now());
        core_.registry.setTier(seat_.room(), this, tier, reason, core_.now());
    }

    void writeNext()
    {
        if (writing_ || queue_.empty() || !open_ || failed_)
            return;
        inFlight_.clear();
        buffers_.clear();
        while (!queue_.empty() && inFlight_.size() < kMaxBatch)
        {
            inFlight_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            if (inFlight_.back().opcode == kOpBinary)
                --queuedAudio_;
            if (inFlight_.back().opcode == kOpClose)
                break; // nothing may follow a close frame
        }
        // Only now that inFlight_ will not grow again do the headers have fixed addresses.
        for (const Outgoing& item : inFlight_)
        {
            buffers_.emplace_back(item.header.data(), item.headerSize);
            buffers_.emplace_back(item.data->data(), item.data->size());
        }
        writing_ = true;
        writeStarted_ = core_.now();
        net::async_write(io(), buffers_,
                         beast::bind_front_handler(&WebSocketSession::onWrite, self()));
    }

    void onWrite(beast::error_code ec, std::size_t)
    {
        writing_ = false;
        if (ec)
            return fail();
        bool closeWritten = false;
        for (const Outgoing& item : inFlight_)
        {
            if (item.opcode == kOpBinary)
            {
                ++core_.metrics.audioMessagesSent;
                TierMetrics& tier = core_.metrics.tier(item.tier);
                ++tier.messagesSent;
                tier.bytesSent += item.data->size();
            }
            else if (item.opcode == kOpText)
                ++core_.metrics.textMessagesSent;
            if (item.opcode == kOpBinary || item.opcode == kOpText)
                core_.metrics.bytesSent += item.data->size();
            closeWritten = closeWritten || item.opcode == kOpClose;
        }
        inFlight_.clear();
        if (closeWritten)
        {
            closeSent_ = true;
            if (peerClosed_)
                return shutdown();
            return; // wait for the listener's close frame (tick() limits the wait)
        }
        writeNext();
    }

    void readNext()
    {
        io().async_read_some(net::buffer(readChunk_),
                             beast::bind_front_handler(&WebSocketSession::onRead, self()));
    }

    void onRead(beast::error_code ec, std::size_t size)
    {
        if (ec)
            return fail(); // closed, reset or cancelled
        lastInput_ = core_.now();
        pingSent_ = false;
        incoming_.insert(incoming_.end(), readChunk_.begin(),
                         readChunk_.begin() + static_cast<std::ptrdiff_t>(size));
        if (!parseIncoming())
            return fail();
        if (!failed_)
            readNext();
    }

    // Consumes whole frames from `incoming_`; false on a protocol violation.
    bool parseIncoming()
    {
        std::size_t at = 0;
        while (incoming_.size() - at >= 2)
        {
            const std::uint8_t* p = incoming_.data() + at;
            const bool fin = (p[0] & 0x80) != 0;
            const std::uint8_t opcode = p[0] & 0x0f;
            const bool masked = (p[1] & 0x80) != 0;
            if ((p[0] & 0x70) != 0 || !masked)
                return false; // no extensions were agreed; clients must mask
            std::uint64_t length = p[1] & 0x7f;
            std::size_t headerSize = 2;
            if (length == 126 || length == 127)
            {
                const std::size_t extra = length == 126 ? 2 : 8;
                if (incoming_.size() - at < 2 + extra)
                    break;
                length = 0;
                for (std::size_t i = 0; i < extra; ++i)
                    length = (length << 8) | p[2 + i];
                headerSize += extra;
            }
            if (length > kMaxIncomingFrame)
                return false;
            const std::size_t frameSize = headerSize + 4 + static_cast<std::size_t>(length);
            if (incoming_.size() - at < frameSize)
                break;

            const std::uint8_t* mask = p + headerSize;
            std::string payload(static_cast<std::size_t>(length), '\0');
            for (std::size_t i = 0; i < payload.size(); ++i)
                payload[i] = static_cast<char>(mask[i % 4] ^ p[headerSize + 4 + i]);
            at += frameSize;

            const bool control = (opcode & 0x8) != 0;
            if (control && (!fin || length > 125))
                return false;
            switch (opcode)
            {
                case kOpPing:
                    if (!closing_)
                    {
                        enqueue(kOpPong, std::make_shared<const std::string>(std::move(payload)),
                                true);
                        writeNext();
                    }
                    break;
                case kOpClose:
                    peerClosed_ = true;
                    leaveRoom();
                    if (closeSent_)
                    {
                        shutdown();
                        return true;
                    }
                    if (!closing_)
                    {
                        // Echo the listener's status code, as the protocol asks.
                        std::string body = payload.size() >= 2 ? payload.substr(0, 2) : "";
                        startClosing(std::move(body));
                    }
                    break;
                case kOpText:
                    if (fin && joined_ && !closing_)
                        onClientText(payload);
                    break;
                case kOpPong:
                case kOpBinary:
                case 0x0: // continuation
                    break;
                default:
                    return false;
            }
        }
        incoming_.erase(incoming_.begin(), incoming_.begin() + static_cast<std::ptrdiff_t>(at));
        return true;
    }

    void beginClose(websocket::close_code code)
    {
        const auto value = static_cast<std::uint16_t>(code);
        std::string body(2, '\0');
        body[0] = static_cast<char>(value >> 8);
        body[1] = static_cast<char>(value & 0xff);
        startClosing(std::move(body));
    }

    void startClosing(std::string body)
    {
        if (closing_ || failed_)
            return;
        closing_ = true;
        closeStarted_ = core_.now();
        leaveRoom();
        queue_.clear();
        queuedAudio_ = 0;
        if (!open_)
            return fail();
        enqueue(kOpClose, std::make_shared<const std::string>(std::move(body)));
        writeNext();
    }

    void shutdown()
    {
        if (failed_)
            return;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        fail();
    }

    // Ends the connection at once; pending operations complete with errors and release it.
    void fail()
    {
        if (failed_)
            return;
        failed_ = true;
        closing_ = true;
        switchTimer_.cancel();
        leaveRoom();
        queue_.clear();
        queuedAudio_ = 0;
        beast::get_lowest_layer(ws_).close();
    }

    void leaveRoom()
    {
        if (!joined_)
            return;
        joined_ = false;
        core_.leave(seat_, this);
    }

    websocket::stream<Stream> ws_; // handshake only; frames are read and written on io()
    Core& core_;
    Seat seat_; // the listener's place in its room, given back when it leaves
    ClientLease lease_;
    ListenerQuality quality_;
    Tier audioTier_ = Tier::Lossless; // of the audio the registry hands this listener now
    net::steady_timer switchTimer_;
    bool switchTimerArmed_ = false;
    bool stepDownDue_ = false;
    std::deque<Outgoing> queue_;
    std::vector<Outgoing> inFlight_;
    std::vector<net::const_buffer> buffers_;
    std::array<std::uint8_t, 2048> readChunk_{};
    std::vector<std::uint8_t> incoming_;
    std::size_t queuedAudio_ = 0;
    TimePoint lastInput_{};
    TimePoint writeStarted_{};
    TimePoint closeStarted_{};
    bool open_ = false;
    bool joined_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool peerClosed_ = false;
    bool pingSent_ = false;
    bool failed_ = false;
    bool flushPending_ = false;
};

template <class Stream>
void startSession(Stream&& stream, Core& core, Seat seat, std::optional<QualityChoice> quality,
                  UpgradeRequest request, ClientLease lease)
{
    std::make_shared<WebSocketSession<Stream>>(std::move(stream), core, std::move(seat), quality,
                                               std::move(lease))
        ->start(std::move(request));
}

} // namespace

void startListenerSession(PlainStream&& stream, Core& core, Seat seat,
                          std::optional<QualityChoice> quality, UpgradeRequest request,
                          ClientLease lease)
{
    startSession(std::move(stream), core, std::move(seat), quality, std::move(request),
                 std::move(lease));
}

void startListenerSession(TlsStream&& stream, Core& core, Seat seat,
                          std::optional<QualityChoice> quality, UpgradeRequest request,
                          ClientLease lease)
{
    startSession(std::move(stream), core, std::move(seat), quality, std::move(request),
                 std::move(lease));
}

} // namespace orlune::relay
