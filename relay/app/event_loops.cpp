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

} // namespace orlune::relay
