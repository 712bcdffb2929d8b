// The JSON text messages between the relay and a listener.
//
// Relay -> listener:
//   {"type":"hello","room":..,"sampleRate":48000,"channels":2,"framesPerPacket":256,"live":..}
//       first message after connecting; a listener that named a quality gets the tier fields
//       after `live` and the list of tiers (tierHelloMessage)
//   {"type":"source","live":true|false}   a new or restarted source / the source fell silent
//   {"type":"skip","dropped":N}           the N oldest unsent audio messages were dropped
//   {"type":"codec",<tier fields>,"reason":..}  binary messages are in this codec from now on
//   {"type":"error","message":..}         a bad request; the connection stays open
// Listener -> relay:
//   {"type":"quality","tier":"<tier or auto>"}; any other text is ignored
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace orlune::relay
{

// What the events say of a tier's stream.
struct TierFormat
{
    std::string_view name;  // wire name
    std::string_view codec; // "opus" or "pcm-f32"
    int bitrate;            // bit/s of the codec (lossless: the raw float32 rate)
    int frameSamples;       // samples per channel in one frame
    int framesPerMessage;   // frames carried by one binary message
};

// Room codes are limited to [a-z0-9_-], so they need no JSON escaping.
std::string helloMessage(std::string_view room, bool live);
// The hello of a listener that named a quality: the plain hello plus the fields of its `tier`
// and the list of every tier (`tiers`, `count` of them).
std::string tierHelloMessage(std::string_view room, bool live, const TierFormat& tier,
                             const TierFormat* tiers, std::size_t count);
std::string sourceMessage(bool live);
std::string skipMessage(std::size_t dropped);
std::string codecMessage(const TierFormat& tier, std::string_view reason);
std::string errorMessage(std::string_view text);

// A text message from a listener, as far as the wire goes: whether it is a quality request,
// and the tier it names if that is a string.
struct QualityRequest
{
    bool isQuality = false;
    std::optional<std::string> tier;
};
QualityRequest decodeQualityRequest(std::string_view text);

} // namespace orlune::relay
