// One listener's quality tier: what it asked for when it connected, the switches it asks for
// since, and the relay's own step-down for listeners on Auto. Pure rules, no socket: the
// listener session applies what this decides.
#pragma once

#include "tiers/tiers.h"
#include "wire/clock.h"

#include <chrono>
#include <deque>
#include <optional>
#include <string_view>

namespace orlune::relay
{

// Switches are applied at most this often; of requests in between, the latest wins.
inline constexpr auto kSwitchSpacing = std::chrono::milliseconds(250);
// A listener on Auto skipped ahead this often within the window moves one tier down.
inline constexpr std::size_t kStepDownSkips = 3;
inline constexpr auto kStepDownWindow = std::chrono::seconds(10);

class ListenerQuality
{
public:
    // `choice`: none for a listener that named no quality, which keeps the float32 stream
    // and the plain hello, and whose text messages are ignored as they always were.
    explicit ListenerQuality(std::optional<QualityChoice> choice);

    Tier tier() const { return tier_; }
    bool announced() const { return announced_; }
    ListenerOptions joinOptions() const { return {tier_, announced_}; }

    enum class Verdict
    {
        Ignored,  // not a quality request (or this listener may not make one)
        Accepted, // waiting for switchDue()/takeSwitch()
        Unknown,  // a quality request naming no tier: answer with an error event
    };
    Verdict onText(std::string_view text);
    std::optional<Tier> wantedTier() const
    {
        return wanted_ ? std::optional<Tier>(wanted_->tier) : std::nullopt;
    }

    // The tier a waiting request asks for, if one waits and the last switch is at least
    // kSwitchSpacing back; taken, so asked once.
    std::optional<Tier> takeDueSwitch(TimePoint now);
    // The waiting request regardless of spacing (its timer ran out).
    std::optional<Tier> takeSwitch();
    // When the waiting request becomes due; none if none waits.
    std::optional<TimePoint> switchDueAt() const;
    // The listener now is on `tier` (a switch or a step-down was applied).
    void switched(Tier tier, TimePoint now);

    // The listener was skipped ahead. True when the relay should step it down now (Auto only,
    // and not below low); stepDownTier() then names where to.
    bool noteSkip(TimePoint now);
    std::optional<Tier> stepDownTier() const;

private:
    Tier tier_;
    bool announced_;
    bool mayStepDown_;
    std::optional<QualityChoice> wanted_;
    std::optional<TimePoint> lastSwitch_;
    std::deque<TimePoint> skips_;
};

} // namespace orlune::relay
