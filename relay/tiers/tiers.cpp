#include "tiers/tiers.h"

#include <array>

namespace orlune::relay
{
namespace
{

// Frames per message from the bytes each message costs on the wire (docs/relay-protocol.md,
// "Quality tiers"): the fewer the messages, the less WebSocket and TCP/IP overhead, and each
// frame more in a message adds 10 ms of delay. At 48 kbit/s the overhead of 2 frames a
// message would be over a third of the stream; at 128 kbit/s and above 2 frames are enough.
constexpr std::array<TierProfile, kTierCount> kProfiles = {{
    {"low", "opus", 48000, 480, 4},
    {"standard", "opus", 128000, 480, 2},
    {"high", "opus", 256000, 480, 2},
    {"lossless", "pcm-f32", 3072000, 256, 1},
}};

} // namespace

const std::array<TierProfile, kTierCount>& tierProfiles()
{
    return kProfiles;
}

const TierProfile& tierProfile(Tier tier)
{
    return kProfiles[tierIndex(tier)];
}

std::string_view tierName(Tier tier)
{
    return tierProfile(tier).name;
}

std::optional<Tier> lowerTier(Tier tier)
{
    switch (tier)
    {
        case Tier::Lossless:
            return Tier::High;
        case Tier::High:
            return Tier::Standard;
        case Tier::Standard:
            return Tier::Low;
        case Tier::Low:
            break;
    }
    return std::nullopt;
}

std::optional<QualityChoice> parseQuality(std::string_view name)
{
    if (name == "auto")
        return QualityChoice{kAutoStartTier, true};
    for (std::size_t i = 0; i < kTierCount; ++i)
        if (kProfiles[i].name == name)
            return QualityChoice{tierAt(i), false};
    return std::nullopt;
}

std::string qualityNameList()
{
    std::string list = "auto";
    for (const TierProfile& s : kProfiles)
    {
        list += ", ";
        list += s.name;
    }
    return list;
}

ClientRequest parseClientRequest(std::string_view text)
{
    const QualityRequest request = decodeQualityRequest(text);
    ClientRequest result;
    if (!request.isQuality)
        return result;
    result.kind = ClientRequest::Kind::BadQuality;
    if (!request.tier)
        return result;
    if (auto choice = parseQuality(*request.tier))
    {
        result.kind = ClientRequest::Kind::Quality;
        result.choice = *choice;
    }
    return result;
}

std::string tierHelloMessage(std::string_view room, bool live, Tier tier)
{
    return tierHelloMessage(room, live, tierProfile(tier), kProfiles.data(), kProfiles.size());
}

std::string codecMessage(Tier tier, std::string_view reason)
{
    return codecMessage(tierProfile(tier), reason);
}

} // namespace orlune::relay
