// Counters: the one kind of figure the relay keeps, and the figures of one quality tier.
#pragma once

#include <atomic>
#include <cstdint>

namespace orlune::relay
{

// A count with one writing thread that any thread may read. Relaxed load and store, no
// read-modify-write: on the writer it costs what a plain integer costs, and a reader on another
// thread sees a recent value without a data race.
class Counter
{
public:
    Counter() = default;
    Counter(const Counter& other)
        : value_(other.get())
    {
    }
    Counter& operator=(const Counter& other)
    {
        set(other.get());
        return *this;
    }
    Counter& operator=(std::uint64_t v)
    {
        set(v);
        return *this;
    }
    Counter& operator++()
    {
        set(get() + 1);
        return *this;
    }
    Counter& operator--()
    {
        set(get() - 1);
        return *this;
    }
    Counter& operator+=(std::uint64_t n)
    {
        set(get() + n);
        return *this;
    }
    operator std::uint64_t() const { return get(); }
    std::uint64_t get() const { return value_.load(std::memory_order_relaxed); }

private:
    void set(std::uint64_t v) { value_.store(v, std::memory_order_relaxed); }
    std::atomic<std::uint64_t> value_{0};
};

// Figures of one quality tier, over all rooms. Encoder figures count once per room, not per
// listener; the sent figures count what reached listeners.
struct TierMetrics
{
    Counter listeners; // gauge: listeners on the tier now
    Counter encoders;  // gauge: rooms encoding the tier here now
    Counter encodersCreated;
    Counter framesEncoded;
    Counter framesMissing;  // sent with length 0: source loss, for the player to conceal
    Counter encodedBytes;   // Opus packet bytes
    Counter messagesBuilt;  // binary messages made here (once per room)
    Counter remoteMessages; // already-encoded messages received from elsewhere
    Counter encodeNanoseconds;
    Counter samplesSanitised; // non-finite or beyond full scale, changed before encoding
    Counter messagesSent;     // completed binary writes to listeners
    Counter bytesSent;        // their WebSocket payload bytes
    Counter stepDowns;        // listeners the relay moved down from this tier
    Counter switchRequests;   // listeners' requests for this tier
    Counter switchesSpliced;  // listeners moved here with no gap
    Counter switchesCut;      // moved here with nothing to splice onto, or after the wait
};

} // namespace orlune::relay
