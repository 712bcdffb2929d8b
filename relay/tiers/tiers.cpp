#include "tiers/tiers.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

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

void appendTierFields(std::string& text, Tier tier)
{
    const TierProfile& s = tierProfile(tier);
    text += R"("tier":")";
    text += s.name;
    text += R"(","codec":")";
    text += s.codec;
    text += R"(","bitrate":)" + std::to_string(s.bitrate);
    text += R"(,"frameSamples":)" + std::to_string(s.frameSamples);
    text += R"(,"framesPerMessage":)" + std::to_string(s.framesPerMessage);
}

} // namespace

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
    boost::system::error_code ec;
    const boost::json::value value = boost::json::parse(text, ec);
    ClientRequest result;
    const boost::json::object* object = ec ? nullptr : value.if_object();
    if (object == nullptr)
        return result;
    const auto* type = object->if_contains("type");
    if (type == nullptr || !type->is_string() || type->get_string() != "quality")
        return result;
    result.kind = ClientRequest::Kind::BadQuality;
    const auto* tier = object->if_contains("tier");
    if (tier == nullptr || !tier->is_string())
        return result;
    const auto& name = tier->get_string();
    if (auto choice = parseQuality(std::string_view(name.data(), name.size())))
    {
        result.kind = ClientRequest::Kind::Quality;
        result.choice = *choice;
    }
    return result;
}

std::string tierHelloMessage(std::string_view room, bool live, Tier tier)
{
    // Room codes are limited to [a-z0-9_-], so they need no JSON escaping.
    std::string text = R"({"type":"hello","room":")";
    text += room;
    text += R"(","sampleRate":48000,"channels":2,"framesPerPacket":256,"live":)";
    text += live ? "true," : "false,";
    appendTierFields(text, tier);
    text += R"(,"tiers":[)";
    for (std::size_t i = 0; i < kTierCount; ++i)
    {
        text += i == 0 ? R"({"name":")" : R"(,{"name":")";
        text += kProfiles[i].name;
        text += R"(","codec":")";
        text += kProfiles[i].codec;
        text += R"(","bitrate":)" + std::to_string(kProfiles[i].bitrate) + "}";
    }
    text += "]}";
    return text;
}

std::string codecMessage(Tier tier, std::string_view reason)
{
    std::string text = R"({"type":"codec",)";
    appendTierFields(text, tier);
    text += R"(,"reason":")";
    text += reason;
    text += R"("})";
    return text;
}

std::string errorMessage(std::string_view text)
{
    boost::json::object object;
    object["type"] = "error";
    object["message"] = boost::json::string_view(text.data(), text.size());
    return boost::json::serialize(object);
}

} // namespace orlune::relay
