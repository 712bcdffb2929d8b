// One event loop of the relay: an io_context run by one thread, with the Core of the
// connections it carries and its own housekeeping.
//
// A relay runs N of them (--threads). Loop 0, the home loop, also takes the datagrams, holds the
// authoritative rooms (ownership, sequence rules), the cluster link and the acceptor; it hands
// each accepted connection to a loop in turn. Every other loop is a shard: it carries its share
// of the listeners, and its registry is fed the rooms they are in by the home loop (loop_link.h).
// Nothing of a loop's Core is touched from another thread except through io_context::post, the
// relay-wide guards (ClientGuard, RelayAdmission: mutexes) and the counters (relaxed atomics).
#pragma once

#include "loop/core.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <optional>
#include <thread>

namespace orlune::relay
{

class EventLoop
{
public:
    // Every loop's listeners take their places in `admission`; the home loop's registry asks it
    // for every room it creates.
    EventLoop(std::size_t index, Config config, ClientGuard& clients, RelayAdmission& admission);
    ~EventLoop();

    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    std::size_t index() const { return index_; }
    bool isHome() const { return index_ == 0; }
    net::io_context& ioc() { return ioc_; }
    Core& core() { return core_; }
    const Core& core() const { return core_; }

    // Starts the housekeeping sweep; `extra` runs in each sweep after the loop's own work.
    void startSweep(std::function<void(TimePoint)> extra = {});

    // On this loop's thread: stops the sweep and closes every listener with "going away";
    // `finished` runs once no connection is left (or the grace period has passed, when the loop
    // stops at once).
    void beginShutdown(std::function<void()> finished = {});

    // A shard runs on a thread of its own, kept running until its shutdown; the home loop runs on
    // the thread that calls Relay::run().
    void startThread();
    void joinThread();

private:
    void scheduleSweep();
    void finishShutdown();

    const std::size_t index_;
    Core core_; // before the io_context: sessions that die with it still reach their Core
    net::io_context ioc_{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work_;
    net::steady_timer sweepTimer_{ioc_};
    net::steady_timer graceTimer_{ioc_};
    std::function<void(TimePoint)> extraSweep_;
    std::function<void()> finished_;
    std::thread thread_;
    bool destroying_ = false;
};

// Adds every counter of `from` to `into`.

} // namespace orlune::relay
