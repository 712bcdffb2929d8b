#include "cluster/cluster_wire.h"

#include "wire/datagram.h"
#include "wire/listener_audio.h"
#include "wire/listener_opus.h"

#include <algorithm>

namespace orlune::relay
{
namespace
{

constexpr std::string_view kSubjectPrefix = "orlune.room.";
constexpr std::string_view kInterestPrefix = "orlune.interest.";
constexpr std::size_t kInterestLimit = 200;

unsigned byteAt(const char* data, std::size_t at)
{
    return static_cast<unsigned char>(data[at]);
}

} // namespace

bool isClusterTier(std::string_view tier)
{
    return tier == kLosslessTier || std::find(std::begin(kOpusTierNames), std::end(kOpusTierNames),
                                              tier) != std::end(kOpusTierNames);
}

std::string clusterSubject(std::string_view room, std::string_view tier)
{
    std::string s(kSubjectPrefix);
    s += room;
    s += '.';
    s += tier;
    return s;
}

std::optional<SubjectParts> parseSubject(std::string_view subject)
{
    if (subject.substr(0, kSubjectPrefix.size()) != kSubjectPrefix)
        return std::nullopt;
    subject.remove_prefix(kSubjectPrefix.size());
    const auto dot = subject.find('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    const std::string_view room = subject.substr(0, dot);
    const std::string_view tier = subject.substr(dot + 1);
    if (!isRoomCode(room) || !isClusterTier(tier))
        return std::nullopt;
    return SubjectParts{std::string(room), std::string(tier)};
}

std::string encodeClusterMessage(std::string_view origin, bool streamStart,
                                 std::string_view message)
{
    std::string out;
    out.reserve(kClusterHeaderFixed + origin.size() + message.size());
    out += 'O';
    out += 'R';
    out += '\x01';
    out += streamStart ? '\x01' : '\x00';
    out += static_cast<char>(origin.size());
    out += origin;
    out += message;
    return out;
}

ClusterMessage decodeClusterMessage(const char* data, std::size_t size, std::string_view tier)
{
    ClusterMessage m;
    if (data == nullptr || size < kClusterHeaderFixed || data[0] != 'O' || data[1] != 'R' ||
        data[2] != '\x01' || (byteAt(data, 3) & ~1u) != 0)
        return m;
    const std::size_t n = byteAt(data, 4);
    if (n == 0 || size < kClusterHeaderFixed + n)
        return m;
    const char* body = data + kClusterHeaderFixed + n;
    const std::size_t bodySize = size - kClusterHeaderFixed - n;
    const std::string_view payload(body, bodySize);
    const bool fits = tier == kLosslessTier ? decodeAudioMessage(payload).has_value()
                                            : opusMessageIsWellFormed(body, bodySize);
    if (!fits)
        return m;
    m.origin.assign(data + kClusterHeaderFixed, n);
    if (!isRoomCode(m.origin))
        return ClusterMessage{};
    m.streamStart = data[3] == '\x01';
    m.message = SharedFrame(WsOpcode::Binary, payload);
    m.ok = true;
    return m;
}

std::string interestSubject(std::string_view room)
{
    return std::string(kInterestPrefix) + std::string(room);
}

std::string roomOfInterestSubject(std::string_view subject)
{
    if (subject.substr(0, kInterestPrefix.size()) != kInterestPrefix)
        return {};
    const std::string_view room = subject.substr(kInterestPrefix.size());
    return isRoomCode(room) ? std::string(room) : std::string();
}

std::string encodeInterest(std::string_view relayId, const std::vector<std::string>& tiers)
{
    std::string out(relayId);
    out += ' ';
    for (std::size_t i = 0; i < tiers.size(); ++i)
    {
        if (i != 0)
            out += ',';
        out += tiers[i];
    }
    return out;
}

Interest decodeInterest(const char* data, std::size_t size)
{
    Interest interest;
    if (data == nullptr || size == 0 || size > kInterestLimit)
        return interest;
    const std::string_view text(data, size);
    const auto space = text.find(' ');
    if (space == std::string_view::npos || !isRoomCode(text.substr(0, space)))
        return interest;
    interest.relay = std::string(text.substr(0, space));
    std::string_view rest = text.substr(space + 1);
    while (!rest.empty())
    {
        const auto comma = rest.find(',');
        const std::string_view tier = rest.substr(0, comma);
        if (tier == kLosslessTier || !isClusterTier(tier))
            return Interest{};
        if (std::find(interest.tiers.begin(), interest.tiers.end(), tier) == interest.tiers.end())
            interest.tiers.emplace_back(tier);
        if (comma == std::string_view::npos)
            break;
        rest.remove_prefix(comma + 1);
        if (rest.empty())
            return Interest{}; // a trailing comma
    }
    interest.ok = true;
    return interest;
}

} // namespace orlune::relay
