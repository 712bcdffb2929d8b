#include "cluster/room_leases.h"

#include <boost/asio/post.hpp>

#include <cstring>
#include <sstream>

namespace orlune::relay
{

RoomLeases::RoomLeases(net::io_context& ioc, Core& core, std::string relayId,
                       std::shared_ptr<LeaseStore> store)
    : ioc_(ioc)
    , core_(core)
    , relayId_(std::move(relayId))
    , store_(std::move(store))
{
    worker_ = std::thread([this] { workerLoop(); });
}

RoomLeases::~RoomLeases()
{
    {
        std::lock_guard<std::mutex> lock(jobsMutex_);
        stopping_ = true;
        jobsReady_.notify_one();
    }
    worker_.join();
}

void RoomLeases::runJob(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(jobsMutex_);
    jobs_.push_back(std::move(job));
    jobsReady_.notify_one();
}

void RoomLeases::workerLoop()
{
    for (;;)
    {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(jobsMutex_);
            jobsReady_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
            if (jobs_.empty())
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        job();
    }
}

bool RoomLeases::owns(std::string_view room) const
{
    auto it = leases_.find(room);
    return !stopped_ && it != leases_.end() && it->second.state == State::Ours;
}

std::size_t RoomLeases::held() const
{
    std::size_t n = 0;
    for (const auto& entry : leases_)
        n += entry.second.state == State::Ours ? 1 : 0;
    return n;
}

bool RoomLeases::admit(const Datagram& datagram, const Endpoint& from, bool storeReachable)
{
    if (stopped_)
        return true;
    const TimePoint now = core_.now();
    auto it = leases_.find(datagram.room);
    if (it == leases_.end())
    {
        // No more rooms are asked for than the relay may hold.
        if (leases_.size() >= core_.config.limits.maxRooms)
        {
            ++counters_.tableFull;
            return false;
        }
        it = leases_.emplace(std::string(datagram.room), Lease{}).first;
    }
    Lease& lease = it->second;
    lease.lastDatagram = now;
    if (lease.state != State::Ours || lease.source.empty())
    {
        std::ostringstream source;
        source << from;
        lease.source = source.str();
    }

    switch (lease.state)
    {
        case State::Ours:
            return true;
        case State::LocalOnly:
            if (storeReachable && !lease.busy && now - lease.lastAttempt >= kRetryLocal)
                ask(it->first, lease, false);
            return true;
        case State::Theirs:
            core_.registry.countForeign(datagram.room, now);
            if (!lease.busy && now - lease.lastAttempt >= kRetryTheirs)
                ask(it->first, lease, false);
            return false;
        case State::None:
            if (!storeReachable)
            {
                lease.state = State::LocalOnly;
                lease.lastAttempt = now;
                return true;
            }
            lease.state = State::Pending;
            ask(it->first, lease, false);
            [[fallthrough]];
        case State::Pending:
            hold(lease, datagram, from);
            return false;
    }
    return true;
}

void RoomLeases::hold(Lease& lease, const Datagram& datagram, const Endpoint& from)
{
    if (lease.held.size() >= kMaxHeld || heldTotal_ >= kMaxHeldTotal)
    {
        ++counters_.heldDropped;
        if (lease.held.empty())
            return;
        lease.held.pop_front(); // the newest are kept
        --heldTotal_;
    }
    Held& h = lease.held.emplace_back();
    h.sequence = datagram.sequence;
    h.samplePosition = datagram.samplePosition;
    std::memcpy(h.samples.data(), datagram.samples, kSampleBytes);
    h.from = from;
    ++heldTotal_;
}

void RoomLeases::ask(const std::string& room, Lease& lease, bool release)
{
    lease.busy = true;
    lease.lastAttempt = core_.now();
    std::weak_ptr<char> alive = alive_;
    auto answer = [this, alive, room](LeaseAnswer a)
    {
        net::post(ioc_,
                  [this, alive, room, a = std::move(a)]
                  {
                      if (alive.lock())
                          onAnswer(room, a);
                  });
    };
    if (release)
    {
        runJob([this, room, rev = lease.revision, answer]
               { answer(releaseLease(*store_, room, rev)); });
        return;
    }
    const std::uint64_t rev = lease.state == State::Ours ? lease.revision : 0;
    runJob([this, room, source = lease.source, rev, answer]
           { answer(acquireLease(*store_, room, relayId_, source, rev)); });
}

void RoomLeases::onAnswer(const std::string& room, const LeaseAnswer& answer)
{
    auto it = leases_.find(room);
    if (it == leases_.end())
        return;
    Lease& lease = it->second;
    lease.busy = false;
    if (stopped_)
        return;
    const State before = lease.state;
    switch (answer.outcome)
    {
        case LeaseOutcome::Granted:
            if (before != State::Ours)
                ++counters_.granted;
            lease.state = State::Ours;
            lease.revision = answer.revision;
            lease.owner = relayId_;
            if (!giveBack(room, lease, true))
            {
                // The registry refused the room after all (its limits filled meanwhile): the
                // lease goes back, so a source elsewhere may have the room.
                ++counters_.givenBack;
                ask(room, lease, true);
                return;
            }
            if (before != State::Ours && onGranted)
                onGranted(room);
            break;
        case LeaseOutcome::Denied:
            if (before == State::Ours)
                ++counters_.lost;
            else if (before != State::Theirs)
                ++counters_.denied;
            lease.state = State::Theirs;
            lease.owner = answer.owner;
            giveBack(room, lease, false);
            break;
        case LeaseOutcome::Unavailable:
            ++counters_.unavailable;
            // An owner keeps serving and publishing; anyone else serves its own listeners.
            if (before != State::Ours && before != State::Theirs)
                lease.state = State::LocalOnly;
            giveBack(room, lease, true);
            break;
        case LeaseOutcome::Released:
            heldTotal_ -= lease.held.size();
            leases_.erase(it);
            break;
    }
}

bool RoomLeases::giveBack(const std::string& room, Lease& lease, bool admitted)
{
    std::deque<Held> held;
    held.swap(lease.held);
    heldTotal_ -= held.size();
    if (held.empty())
        return true;
    const TimePoint now = core_.now();
    for (const Held& h : held)
    {
        if (admitted)
            core_.registry.onDatagram(
                Datagram{room, h.sequence, h.samplePosition, h.samples.data()}, h.from, now);
        else
            core_.registry.countForeign(room, now);
    }
    core_.flushPending();
    const auto stats = core_.registry.stats(room);
    return !admitted || (stats && stats->source && *stats->source == held.back().from);
}

void RoomLeases::tick(bool storeReachable)
{
    if (storeReachable && !storeReady_ && !readyAsked_.exchange(true))
        runJob(
            [this]
            {
                if (store_->ready())
                    storeReady_ = true;
                readyAsked_ = false;
            });
    const TimePoint now = core_.now();
    const auto silence = core_.config.limits.sourceSilence;
    for (auto it = leases_.begin(); it != leases_.end();)
    {
        Lease& lease = it->second;
        const bool silent = now - lease.lastDatagram >= silence;
        if (lease.busy)
        {
            ++it;
            continue;
        }
        if (lease.state == State::Ours && silent)
            ask(it->first, lease, true); // the takeover time has passed: free the room
        else if (lease.state == State::Ours && now - lease.lastAttempt >= kRefresh)
            ask(it->first, lease, false);
        else if (silent && lease.state != State::Ours)
        {
            heldTotal_ -= it->second.held.size();
            it = leases_.erase(it);
            continue;
        }
        ++it;
    }
}

void RoomLeases::shutdown()
{
    if (stopped_)
        return;
    stopped_ = true;
    for (auto& [room, lease] : leases_)
        if (lease.state == State::Ours && !lease.busy)
        {
            lease.busy = true;
            runJob([this, key = room, rev = lease.revision] { releaseLease(*store_, key, rev); });
        }
}

} // namespace orlune::relay
