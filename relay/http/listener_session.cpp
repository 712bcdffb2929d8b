#include "http/listener_session.h"

#include "http/listener_outbox.h"
#include "http/listener_tier_requests.h"
#include "wire/websocket_frames.h"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <array>
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
// Beast performs the opening handshake; after that the session writes its own frames so that
// everything queued for a listener goes out in one gathered write (listener_outbox.h): audio
// as the room framed it, once for all its listeners, and its own events and control frames. At
// 187.5 messages a second per listener the cost of the relay is mostly one system call per write,
// and a relay under load writes several messages per call instead of falling behind. Incoming
// frames are read by a WsFrameReader (websocket_frames.h): pings are answered, a close is
// echoed, text messages (whole or in fragments) carry quality requests (listener_quality.h),
// and a listener that breaks the protocol gets a close frame with the reader's code and is
// disconnected.

constexpr std::size_t kMaxIncomingMessage = 4096; // listeners have little to say
constexpr auto kCloseHandshakeLimit = std::chrono::seconds(5);

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
        , tierRequests_(core.metrics, quality, ws_.get_executor())
        , outbox_(core.metrics)
    {
        setAudioTier(audioTier_);
        core_.connectionOpened();
        core_.sockets.insert(this);
    }

    ~WebSocketSession() override
    {
        leaveRoom();
        // Audio can be queued from handlers that do not flush (a quality request, a timer):
        // such a session waits in the list for the next datagram and may end before it.
        if (flushPending_)
            core_.forgetPendingFlush(this);
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

    void deliverAudio(const SharedFrame& message) override
    {
        if (closing_)
            return;
        if (outbox_.queuedAudio() >= audioLimit_)
            skipAhead();
        outbox_.push(message, audioTier_);
        // Written when the relay has taken in every datagram waiting, so that a relay that
        // fell behind catches up with one write per listener instead of one per datagram.
        if (!flushPending_)
        {
            flushPending_ = true;
            core_.pendingFlush.push_back(this);
        }
    }

    void onTier(Tier tier) override { setAudioTier(tier); }

    void deliverText(const SharedBytes& message) override
    {
        if (closing_)
            return;
        if (outbox_.queued() >= core_.config.listenerQueue + kExtraTextMessages)
        {
            // Not reading even control messages: give up on this listener.
            fail();
            return;
        }
        enqueue(WsOpcode::Text, *message);
        writeNext();
    }

    void close() override { goAway(); }

    void goAway() override { startClosing(wsClosePayload(ws_close::kGoingAway)); }

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
            enqueue(WsOpcode::Ping, std::string_view());
            writeNext();
        }
    }

private:
    std::shared_ptr<WebSocketSession> self() { return this->shared_from_this(); }
    ListenerQuality& quality() { return tierRequests_.quality(); }
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
        setAudioTier(quality().tier());
        if (core_.join(seat_, this, quality().joinOptions()) != JoinResult::Joined)
            return startClosing(wsClosePayload(ws_close::kTryAgainLater));
        joined_ = true;
    }

    void setAudioTier(Tier tier)
    {
        audioTier_ = tier;
        audioLimit_ = ListenerOutbox::audioLimit(tier, core_.config.listenerQueue);
    }

    // A text event or control frame, framed for this listener alone.
    void enqueue(WsOpcode opcode, std::string_view payload, bool atFront = false)
    {
        outbox_.push(SharedFrame(opcode, payload), audioTier_, atFront);
    }

    // Drops every queued audio message (not those being written) so the next one sent is
    // live audio, and tells the listener how many it missed.
    void skipAhead()
    {
        const std::size_t dropped = outbox_.dropQueuedAudio();
        ++core_.metrics.listenerSkips;
        core_.metrics.listenerSkippedMessages += dropped;
        enqueue(WsOpcode::Text, skipMessage(dropped));
        if (quality().noteSkip(core_.now()))
            stepDownDue_ = true;
    }

    void onClientText(const std::string& text)
    {
        tierRequests_.onText(
            text, core_.now(), self(),
            [this](Tier tier, std::string_view why) { moveTo(tier, why); },
            [this](const SharedBytes& reply) { deliverText(reply); });
    }

    // A listener on Auto that keeps falling behind is moved down a tier, so that a client
    // with no adaptation of its own still ends up on a tier its link carries.
    void stepDown()
    {
        stepDownDue_ = false;
        const auto lower = quality().stepDownTier();
        if (!lower)
            return;
        ++core_.metrics.tier(quality().tier()).stepDowns;
        moveTo(*lower, "step-down");
    }

    void moveTo(Tier tier, std::string_view reason)
    {
        if (!joined_ || closing_)
            return;
        quality().switched(tier, core_.now());
        core_.registry.setTier(seat_.room(), this, tier, reason, core_.now());
    }

    // With nothing in flight, a plain connection is written at once: the socket nearly always
    // takes the whole batch, and only what it does not take waits for an asynchronous write.
    // (A listener's few small messages a second each cost an asynchronous operation otherwise.)
    void writeNext()
    {
        while (!writing_ && outbox_.hasQueued() && open_ && !failed_)
        {
            const std::vector<net::const_buffer>* rest = nullptr;
            if constexpr (IsTls<Stream>::value)
                rest = &outbox_.takeBatch();
            else
            {
                beast::error_code ec;
                rest = &outbox_.writeBatchNow(beast::get_lowest_layer(ws_).socket(), ec);
                if (ec)
                    return fail();
                if (rest->empty())
                {
                    if (!batchSent())
                        return;
                    continue;
                }
            }
            writing_ = true;
            writeStarted_ = core_.now();
            net::async_write(io(), *rest,
                             beast::bind_front_handler(&WebSocketSession::onWrite, self()));
        }
    }

    void onWrite(beast::error_code ec, std::size_t)
    {
        writing_ = false;
        if (ec)
            return fail();
        if (batchSent())
            writeNext();
    }

    // False when the batch ended with a close frame: nothing more is written.
    bool batchSent()
    {
        if (!outbox_.batchWritten())
            return true;
        closeSent_ = true;
        if (peerClosed_ || endAfterClose_)
            shutdown();
        // Else wait for the listener's close frame (tick() limits the wait).
        return false;
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
        reader_.feed(readChunk_.data(), size);
        if (!parseIncoming())
            return fail();
        if (!failed_ && !reader_.finished())
            readNext();
    }

    // Acts on every whole frame read so far; false when the connection has ended.
    bool parseIncoming()
    {
        for (;;)
        {
            WsEvent event = reader_.next();
            switch (event.kind)
            {
                case WsEvent::Kind::NeedMore:
                    return true;
                case WsEvent::Kind::Ping:
                    if (!closing_)
                    {
                        enqueue(WsOpcode::Pong, event.payload, true);
                        writeNext();
                    }
                    break;
                case WsEvent::Kind::Pong:
                    break;
                case WsEvent::Kind::Close:
                    peerClosed_ = true;
                    leaveRoom();
                    if (closeSent_)
                    {
                        shutdown();
                        return false;
                    }
                    // Echo the listener's status code, as the protocol asks.
                    startClosing(event.code == ws_close::kNoStatus ? std::string()
                                                                   : wsClosePayload(event.code));
                    return true;
                case WsEvent::Kind::Message:
                    if (event.text && joined_ && !closing_)
                        onClientText(event.payload);
                    break;
                case WsEvent::Kind::Error:
                    // Said once, then nothing more is read: the close frame goes out and the
                    // connection ends without waiting for an answer.
                    core_.metrics.countWebSocketError(event.code);
                    endAfterClose_ = true;
                    if (closeSent_ || !event.answer)
                        return false;
                    startClosing(wsClosePayload(event.code));
                    return !failed_;
            }
        }
    }

    void startClosing(std::string body)
    {
        if (closing_ || failed_)
            return;
        closing_ = true;
        closeStarted_ = core_.now();
        leaveRoom();
        outbox_.clear();
        if (!open_)
            return fail();
        enqueue(WsOpcode::Close, body);
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
        tierRequests_.cancel();
        leaveRoom();
        outbox_.clear();
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
    ListenerTierRequests tierRequests_;
    Tier audioTier_ = Tier::Lossless; // of the audio the registry hands this listener now
    std::size_t audioLimit_ = 1;      // audio messages it may have queued on that tier
    bool stepDownDue_ = false;
    ListenerOutbox outbox_;
    std::array<std::uint8_t, 2048> readChunk_{};
    WsFrameReader reader_{kMaxIncomingMessage};
    TimePoint lastInput_{};
    TimePoint writeStarted_{};
    TimePoint closeStarted_{};
    bool open_ = false;
    bool joined_ = false;
    bool writing_ = false;
    bool closing_ = false;
    bool closeSent_ = false;
    bool peerClosed_ = false;
    bool endAfterClose_ = false; // the listener broke the protocol: no close handshake
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
