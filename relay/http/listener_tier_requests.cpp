#include "http/listener_tier_requests.h"

#include "wire/listener_events.h"

#include <algorithm>

namespace orlune::relay
{

ListenerTierRequests::ListenerTierRequests(Metrics& metrics, std::optional<QualityChoice> quality,
                                           const net::any_io_executor& executor)
    : metrics_(metrics)
    , quality_(quality)
    , timer_(executor)
{
}

void ListenerTierRequests::onText(const std::string& text, TimePoint now,
                                  std::shared_ptr<void> keepAlive, const Move& move,
                                  const Reply& reply)
{
    switch (quality_.onText(text))
    {
        case ListenerQuality::Verdict::Ignored:
            return;
        case ListenerQuality::Verdict::Unknown:
            ++metrics_.badQualityRequests;
            reply(std::make_shared<const std::string>(
                errorMessage("unknown quality tier; the tiers are: " + qualityNameList())));
            return;
        case ListenerQuality::Verdict::Accepted:
            break;
    }
    if (const auto tier = quality_.wantedTier())
        ++metrics_.tier(*tier).switchRequests;
    if (const auto tier = quality_.takeDueSwitch(now))
        return move(*tier, "requested");
    // Too soon after the last switch: the latest request waits for its turn.
    if (timerArmed_)
        return;
    const auto due = quality_.switchDueAt();
    timerArmed_ = true;
    timer_.expires_after(std::max<Clock::duration>(Clock::duration::zero(), *due - now));
    timer_.async_wait(
        [this, keepAlive = std::move(keepAlive), move](boost::system::error_code ec)
        {
            timerArmed_ = false;
            if (ec)
                return;
            if (const auto tier = quality_.takeSwitch())
                move(*tier, "requested");
        });
}

} // namespace orlune::relay
