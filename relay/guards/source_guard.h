// Who may send datagrams into the relay, and how much: the allow-list, a datagram budget per
// sending address and the number of rooms an address may hold at once.
//
// Pure bookkeeping on an injected clock, like the rooms: every call that depends on time takes
// `now`. Runs on the relay's event-loop thread.
#pragma once

#include "guards/cidr.h"
#include "rooms/rooms.h"
#include "rooms/token_bucket.h"

#include <boost/asio/ip/address.hpp>

#include <cstddef>
#include <unordered_map>

namespace orlune::relay
{

struct SourceLimits
{
    CidrList allow; // empty: every address may send
    // Rooms one address may hold (own, live or silent, until the room is taken or forgotten).
    // A studio behind one NAT runs several plug-in instances.
    std::size_t maxRoomsPerSource = 32;
    // Datagrams a second an address may send for each room it holds (at least one room's
    // worth), up to two seconds' worth at once. Checked before a datagram is parsed.
    double datagramRate = 1000;
    // Addresses remembered at once; datagrams from further addresses count as over the rate.
    std::size_t maxTracked = 65536;
};

enum class SourceVerdict
{
    Admitted,
    NotAllowed,
    RateLimited,
};

class SourceGuard : public RoomOwnership
{
public:
    explicit SourceGuard(SourceLimits limits);

    // One datagram from `from`, before it is parsed.
    SourceVerdict admit(const boost::asio::ip::address& from, TimePoint now);

    bool mayHoldAnother(const boost::asio::ip::address& source) const override;
    void held(const boost::asio::ip::address& source) override;
    void released(const boost::asio::ip::address& source) override;

    // Forgets addresses that hold no room and whose budget has refilled.
    void sweep(TimePoint now);

    std::size_t trackedSources() const { return sources_.size(); }
    std::size_t roomsHeldBy(const boost::asio::ip::address& source) const;
    const SourceLimits& limits() const { return limits_; }

private:
    struct Source
    {
        std::size_t rooms = 0;
        TokenBucket budget;
    };
    double rateFor(const Source& s) const;

    SourceLimits limits_;
    std::unordered_map<boost::asio::ip::address, Source> sources_;
};

} // namespace orlune::relay
