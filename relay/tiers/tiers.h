// Quality tiers: what each one is, what a listener may ask for, and the text messages that
// announce a tier to listeners.
//
// `lossless` is the float32 stream exactly as the datagrams carry it; the Opus tiers are
// encoded once per room (tier_stream.h) and every listener of a tier gets the same message.
#pragma once

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

struct TierProfile
{
    std::string_view name;  // wire name
    std::string_view codec; // "opus" or "pcm-f32"
    int bitrate;            // bit/s of the codec (lossless: the raw float32 rate)
    int frameSamples;       // samples per channel in one frame
    int framesPerMessage;   // frames carried by one binary message
};

const TierProfile& tierProfile(Tier tier);
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

// Listener events (JSON). The tier hello is the plain hello plus the tier fields.
std::string tierHelloMessage(std::string_view room, bool live, Tier tier);
std::string codecMessage(Tier tier, std::string_view reason);
std::string errorMessage(std::string_view text);

} // namespace orlune::relay
