// What relays of a cluster send one another: subjects and the message format.
#pragma once

#include "rooms.h"

#include <string>
#include <string_view>

namespace orlune::relay
{

// Bytes in front of the listener message on the wire between relays: 'O' 'R', version 1,
// flags (bit 0: first message of a new source or restarted stream), origin length n, n bytes of
// the ingesting relay's id.
inline constexpr std::size_t kClusterHeaderFixed = 5;
// The only tier carried so far: the float32 messages.
inline constexpr char kClusterTier[] = "lossless";

std::string clusterSubject(std::string_view room, std::string_view tier);
std::string encodeClusterMessage(std::string_view origin, bool streamStart,
                                 const std::string& message);
struct ClusterMessage
{
    bool ok = false;
    bool streamStart = false;
    std::string origin;
    SharedBytes message; // the listener message, kAudioMessageSize bytes
};
// Checks the header and the size; nothing else is trusted.
ClusterMessage decodeClusterMessage(const char* data, std::size_t size);
// The room of a subject this relay subscribes to; empty when it is not one.
std::string roomOfSubject(std::string_view subject);

} // namespace orlune::relay
