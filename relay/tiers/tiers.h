// Quality tiers: what each one is, what a listener may ask for, and the text messages that
// announce a tier to listeners.
//
// `lossless` is the float32 stream exactly as the datagrams carry it; the Opus tiers are
// encoded once per room (tier_stream.h) and every listener of a tier gets the same message.
#pragma once

#include "wire/listener_events.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orlune::relay
{

enum class Tier : std::uint8_t
{
    Low,
    Standard,
    High,
    Lossless,
};
inline constexpr std::size_t kTierCount = 4;
inline constexpr Tier kAutoStartTier = Tier::Standard;

using TierProfile = TierFormat;

const TierProfile& tierProfile(Tier tier);
// Every tier, in Tier order.
const std::array<TierProfile, kTierCount>& tierProfiles();
inline std::size_t tierIndex(Tier tier)
{
    return static_cast<std::size_t>(tier);
}
inline Tier tierAt(std::size_t index)
{
    return static_cast<Tier>(index);
}
inline bool isOpus(Tier tier)
{
    return tier != Tier::Lossless;
}
std::string_view tierName(Tier tier);
// The next tier down that a struggling link may be moved to (none below low).
std::optional<Tier> lowerTier(Tier tier);

// What a listener asked for, at connect time (`?quality=`) or in a `quality` message.
struct QualityChoice
{
    Tier tier = Tier::Lossless;
    bool mayStepDown = false; // "auto": the relay may move the listener down by itself
};

// "low", "standard", "high", "lossless" or "auto" (standard, may be stepped down).
std::optional<QualityChoice> parseQuality(std::string_view name);
// Names every valid quality, for refusals: "auto, low, standard, high, lossless".
std::string qualityNameList();

// How a listener joins: its tier, and whether its hello names it. A listener that asked for
// no quality gets lossless audio and the hello exactly as before tiers existed.
struct ListenerOptions
{
    Tier tier = Tier::Lossless;
    bool announceTier = false;
};

// A text message from a listener. Anything that is not a `quality` request is ignored.
struct ClientRequest
{
    enum class Kind
    {
        Ignored,
        Quality,
        BadQuality, // a quality request naming no known tier
    };
    Kind kind = Kind::Ignored;
    QualityChoice choice;
};
ClientRequest parseClientRequest(std::string_view text);

// Listener events (JSON, wire/listener_events.h) that name a tier.
std::string tierHelloMessage(std::string_view room, bool live, Tier tier);
std::string codecMessage(Tier tier, std::string_view reason);

} // namespace orlune::relay
