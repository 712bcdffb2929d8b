// What relays of a cluster send one another: subjects and the message formats.
#pragma once

#include "wire/bytes.h"
#include "wire/websocket_frames.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orlune::relay
{

// Bytes in front of the listener message on the wire between relays: 'O' 'R', version 1,
// flags (bit 0: first message of a new source or restarted stream), origin length n, n bytes of
// the ingesting relay's id.
inline constexpr std::size_t kClusterHeaderFixed = 5;
// The float32 tier: every relay with listeners in a room takes it, whatever their tiers, because
// it carries the room's sequence, and so its liveness and ownership.
inline constexpr char kLosslessTier[] = "lossless";
// The Opus tiers the ingest relay may publish, each on a subject of its own.
inline constexpr std::string_view kOpusTierNames[] = {"low", "standard", "high"};
bool isClusterTier(std::string_view tier);

// orlune.room.<code>.<tier>: one room's messages in one tier.
std::string clusterSubject(std::string_view room, std::string_view tier);
struct SubjectParts
{
    std::string room;
    std::string tier;
};
// The room and tier of a subject this relay subscribes to; none when it is not one.
std::optional<SubjectParts> parseSubject(std::string_view subject);

std::string encodeClusterMessage(std::string_view origin, bool streamStart,
                                 std::string_view message);
struct ClusterMessage
{
    bool ok = false;
    bool streamStart = false;
    std::string origin;
    SharedFrame message; // the listener message, framed as local listeners of the tier get it
};
// Checks the header and the listener message (wire/listener_audio.h for lossless,
// wire/listener_opus.h for the others): nothing else is trusted.
ClusterMessage decodeClusterMessage(const char* data, std::size_t size, std::string_view tier);

// orlune.interest.<code>: a relay whose listeners want Opus tiers of a room it does not ingest
// says so about once a second, so that the ingest relay encodes them. The message is the
// relay's id, a space, and the tiers separated by commas.
std::string interestSubject(std::string_view room);
inline constexpr char kInterestWildcard[] = "orlune.interest.*";
std::string roomOfInterestSubject(std::string_view subject);
std::string encodeInterest(std::string_view relayId, const std::vector<std::string>& tiers);
struct Interest
{
    bool ok = false;
    std::string relay;
    std::vector<std::string> tiers; // Opus tier names only
};
Interest decodeInterest(const char* data, std::size_t size);

} // namespace orlune::relay
