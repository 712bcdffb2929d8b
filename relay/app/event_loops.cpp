#include "app/event_loops.h"

#include <boost/beast/core/error.hpp>

#include <chrono>
#include <utility>
#include <vector>

namespace orlune::relay
{

namespace
{
constexpr auto kShutdownGrace = std::chrono::seconds(2);
} // namespace

EventLoop::EventLoop(std::size_t index, Config config, ClientGuard& clients,
                     RelayAdmission& admission)
    : index_(index)
    , core_(std::move(config), clients, &admission)
{
    // A shard's rooms are the home loop's rooms that its listeners are in: counted there.
    if (isHome())
        core_.registry.setRoomGate(&admission);
    core_.onLastConnectionClosed = [this]
    {
        if (!destroying_)
            finishShutdown();
    };
    if (!isHome())
        work_.emplace(ioc_.get_executor());
}

EventLoop::~EventLoop()
{
    // Sessions still owned by pending handlers die with the io_context; they must not touch
    // the timers, which are gone by then.
    destroying_ = true;
    joinThread();
}

void EventLoop::startSweep(std::function<void(TimePoint)> extra)
{
    extraSweep_ = std::move(extra);
    scheduleSweep();
}

void EventLoop::scheduleSweep()
{
    auto period = core_.config.limits.sourceSilence / 8;
    if (period > std::chrono::milliseconds(250))
        period = std::chrono::milliseconds(250);
    if (period < std::chrono::milliseconds(5))
        period = std::chrono::milliseconds(5);
    sweepTimer_.expires_after(period);
    sweepTimer_.async_wait(
        [this](beast::error_code ec)
        {
            if (ec || core_.stopping)
                return;
            const TimePoint now = core_.now();
            core_.registry.sweep(now);
            if (extraSweep_)
                extraSweep_(now);
            for (SocketSession* session :
                 std::vector<SocketSession*>(core_.sockets.begin(), core_.sockets.end()))
                session->tick(now);
            scheduleSweep();
        });
}

void EventLoop::beginShutdown(std::function<void()> finished)
{
    if (core_.stopping)
        return;
    core_.stopping = true;
    finished_ = std::move(finished);
    sweepTimer_.cancel();
    for (SocketSession* session :
         std::vector<SocketSession*>(core_.sockets.begin(), core_.sockets.end()))
        session->goAway();
    if (core_.metrics.connectionsOpen == 0)
        return finishShutdown();
    graceTimer_.expires_after(kShutdownGrace);
    graceTimer_.async_wait(
        [this](beast::error_code ec)
        {
            if (!ec)
                ioc_.stop();
        });
}

// Every connection is gone: drop the remaining waits so the loop's run() returns.
void EventLoop::finishShutdown()
{
    graceTimer_.cancel();
    work_.reset();
    if (finished_)
        std::exchange(finished_, nullptr)();
}

void EventLoop::startThread()
{
    thread_ = std::thread([this] { ioc_.run(); });
}

void EventLoop::joinThread()
{
    if (thread_.joinable())
        thread_.join();
}

void addMetrics(Metrics& into, const Metrics& from)
{
    // Every field is a Counter or an array of them; a new field must be added here too.
    static_assert(sizeof(Metrics) ==
                      sizeof(Counter) *
                          (12 + kParseErrorCount + kRoomDropCount + kListenerRejectCount +
                           kSourceDropCount + kConnectionRejectCount + kRequestRejectCount + 1 +
                           kTierCount * (sizeof(TierMetrics) / sizeof(Counter))),
                  "addMetrics() must add every counter of Metrics");
    auto addAll = [](auto& a, const auto& b)
    {
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] += b[i];
    };
    into.datagramsReceived += from.datagramsReceived;
    into.bytesReceived += from.bytesReceived;
    into.datagramsForwarded += from.datagramsForwarded;
    addAll(into.malformed, from.malformed);
    addAll(into.roomDrops, from.roomDrops);
    into.audioMessagesSent += from.audioMessagesSent;
    into.textMessagesSent += from.textMessagesSent;
    into.bytesSent += from.bytesSent;
    into.listenerSkips += from.listenerSkips;
    into.listenerSkippedMessages += from.listenerSkippedMessages;
    into.listenersAccepted += from.listenersAccepted;
    addAll(into.listenerRejects, from.listenerRejects);
    into.httpRequests += from.httpRequests;
    into.connectionsOpen += from.connectionsOpen;
    addAll(into.sourceDrops, from.sourceDrops);
    addAll(into.connectionRejects, from.connectionRejects);
    addAll(into.requestRejects, from.requestRejects);
    into.badQualityRequests += from.badQualityRequests;
    into.loopHandOversDropped += from.loopHandOversDropped;
    static_assert(sizeof(TierMetrics) == 16 * sizeof(Counter),
                  "addMetrics() must add every counter of TierMetrics");
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierMetrics& a = into.tiers[t];
        const TierMetrics& b = from.tiers[t];
        a.listeners += b.listeners;
        a.encoders += b.encoders;
        a.encodersCreated += b.encodersCreated;
        a.framesEncoded += b.framesEncoded;
        a.framesMissing += b.framesMissing;
        a.encodedBytes += b.encodedBytes;
        a.messagesBuilt += b.messagesBuilt;
        a.remoteMessages += b.remoteMessages;
        a.encodeNanoseconds += b.encodeNanoseconds;
        a.samplesSanitised += b.samplesSanitised;
        a.messagesSent += b.messagesSent;
        a.bytesSent += b.bytesSent;
        a.stepDowns += b.stepDowns;
        a.switchRequests += b.switchRequests;
        a.switchesSpliced += b.switchesSpliced;
        a.switchesCut += b.switchesCut;
    }
}

} // namespace orlune::relay
