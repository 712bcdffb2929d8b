// A listener's quality requests as its session acts on them: a request naming no tier is
// answered with an error, one too soon after the last switch waits on a timer for its turn,
// and every switch that is due goes to the session's `move`. Counted in the relay's figures.
#pragma once

#include "loop/core.h"
#include "tiers/listener_quality.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orlune::relay
{

class ListenerTierRequests
{
public:
    using Move = std::function<void(Tier tier, std::string_view reason)>;
    using Reply = std::function<void(const SharedBytes& text)>;

    ListenerTierRequests(Metrics& metrics, std::optional<QualityChoice> quality,
                         const net::any_io_executor& executor);

    ListenerQuality& quality() { return quality_; }

    // A text message from the listener. `keepAlive` is held while a request waits for its turn.
    void onText(const std::string& text, TimePoint now, std::shared_ptr<void> keepAlive,
                const Move& move, const Reply& reply);

    // The listener is going: a waiting request is dropped.
    void cancel() { timer_.cancel(); }

private:
    Metrics& metrics_;
    ListenerQuality quality_;
    net::steady_timer timer_;
    bool timerArmed_ = false;
};

} // namespace orlune::relay
