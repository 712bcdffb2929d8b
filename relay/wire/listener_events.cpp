#include "wire/listener_events.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

namespace orlune::relay
{
namespace
{

std::string plainHello(std::string_view room, bool live)
{
    std::string text = R"({"type":"hello","room":")";
    text += room;
    text += R"(","sampleRate":48000,"channels":2,"framesPerPacket":256,"live":)";
    text += live ? "true" : "false";
    return text;
}

void appendTierFields(std::string& text, const TierFormat& s)
{
    text += R"("tier":")";
    text += s.name;
    text += R"(","codec":")";
    text += s.codec;
    text += R"(","bitrate":)" + std::to_string(s.bitrate);
    text += R"(,"frameSamples":)" + std::to_string(s.frameSamples);
    text += R"(,"framesPerMessage":)" + std::to_string(s.framesPerMessage);
}

} // namespace

std::string helloMessage(std::string_view room, bool live)
{
    return plainHello(room, live) + "}";
}

std::string tierHelloMessage(std::string_view room, bool live, const TierFormat& tier,
                             const TierFormat* tiers, std::size_t count)
{
    std::string text = plainHello(room, live);
    text += ',';
    appendTierFields(text, tier);
    text += R"(,"tiers":[)";
    for (std::size_t i = 0; i < count; ++i)
    {
        text += i == 0 ? R"({"name":")" : R"(,{"name":")";
        text += tiers[i].name;
        text += R"(","codec":")";
        text += tiers[i].codec;
        text += R"(","bitrate":)" + std::to_string(tiers[i].bitrate) + "}";
    }
    text += "]}";
    return text;
}

std::string sourceMessage(bool live)
{
    return live ? R"({"type":"source","live":true})" : R"({"type":"source","live":false})";
}

std::string skipMessage(std::size_t dropped)
{
    return R"({"type":"skip","dropped":)" + std::to_string(dropped) + "}";
}

std::string codecMessage(const TierFormat& tier, std::string_view reason)
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

QualityRequest decodeQualityRequest(std::string_view text)
{
    boost::system::error_code ec;
    const boost::json::value value = boost::json::parse(text, ec);
    QualityRequest request;
    const boost::json::object* object = ec ? nullptr : value.if_object();
    if (object == nullptr)
        return request;
    const auto* type = object->if_contains("type");
    if (type == nullptr || !type->is_string() || type->get_string() != "quality")
        return request;
    request.isQuality = true;
    const auto* tier = object->if_contains("tier");
    if (tier != nullptr && tier->is_string())
        request.tier = std::string(tier->get_string().data(), tier->get_string().size());
    return request;
}

} // namespace orlune::relay
