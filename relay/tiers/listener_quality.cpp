#include "tiers/listener_quality.h"

namespace orlune::relay
{

ListenerQuality::ListenerQuality(std::optional<QualityChoice> choice)
    : tier_(choice ? choice->tier : Tier::Lossless)
    , announced_(choice.has_value())
    , mayStepDown_(choice && choice->mayStepDown)
{
}

ListenerQuality::Verdict ListenerQuality::onText(std::string_view text)
{
    if (!announced_)
        return Verdict::Ignored;
    const ClientRequest request = parseClientRequest(text);
    switch (request.kind)
    {
        case ClientRequest::Kind::Ignored:
            return Verdict::Ignored;
        case ClientRequest::Kind::BadQuality:
            return Verdict::Unknown;
        case ClientRequest::Kind::Quality:
            break;
    }
    wanted_ = request.choice;
    return Verdict::Accepted;
}

std::optional<TimePoint> ListenerQuality::switchDueAt() const
{
    if (!wanted_)
        return std::nullopt;
    if (!lastSwitch_)
        return TimePoint{};
    return *lastSwitch_ + kSwitchSpacing;
}

std::optional<Tier> ListenerQuality::takeDueSwitch(TimePoint now)
{
    const auto due = switchDueAt();
    if (!due || now < *due)
        return std::nullopt;
    return takeSwitch();
}

std::optional<Tier> ListenerQuality::takeSwitch()
{
    if (!wanted_)
        return std::nullopt;
    const QualityChoice choice = *wanted_;
    wanted_.reset();
    // A fixed tier is the listener's own decision; only Auto lets the relay step it down.
    mayStepDown_ = choice.mayStepDown;
    return choice.tier;
}

void ListenerQuality::switched(Tier tier, TimePoint now)
{
    tier_ = tier;
    lastSwitch_ = now;
    skips_.clear();
}

bool ListenerQuality::noteSkip(TimePoint now)
{
    if (!mayStepDown_ || !lowerTier(tier_))
        return false;
    skips_.push_back(now);
    while (now - skips_.front() > kStepDownWindow)
        skips_.pop_front();
    if (skips_.size() < kStepDownSkips)
        return false;
    skips_.clear();
    return true;
}

std::optional<Tier> ListenerQuality::stepDownTier() const
{
    return mayStepDown_ ? lowerTier(tier_) : std::nullopt;
}

} // namespace orlune::relay
