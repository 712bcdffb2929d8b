// A token bucket on an injected clock: `rate` tokens a second, holding at most `burst`.
#pragma once

#include <algorithm>
#include <chrono>

namespace orlune::relay
{

class TokenBucket
{
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    // Takes one token if there is one. A bucket starts full. Rate and burst are passed on each
    // call so that an allowance may change (a source's grows with the rooms it holds).
    bool take(TimePoint now, double rate, double burst)
    {
        refill(now, rate, burst);
        if (tokens_ < 1.0)
            return false;
        tokens_ -= 1.0;
        return true;
    }

    // Whether the bucket has refilled completely, i.e. remembering it makes no difference.
    bool full(TimePoint now, double rate, double burst)
    {
        refill(now, rate, burst);
        return tokens_ >= burst;
    }

    void reset() { started_ = false; }

private:
    void refill(TimePoint now, double rate, double burst)
    {
        if (!started_)
        {
            started_ = true;
            tokens_ = burst;
            last_ = now;
            return;
        }
        if (now > last_)
        {
            tokens_ = std::min(burst,
                               tokens_ + rate * std::chrono::duration<double>(now - last_).count());
            last_ = now;
        }
        tokens_ = std::min(tokens_, burst);
    }

    double tokens_ = 0;
    TimePoint last_{};
    bool started_ = false;
};

} // namespace orlune::relay
