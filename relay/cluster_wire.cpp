#include "cluster_wire.h"

#include "datagram.h"

namespace orlune::relay
{
namespace
{
constexpr char kSubjectPrefix[] = "orlune.room.";
} // namespace

std::string clusterSubject(std::string_view room, std::string_view tier)
{
    std::string s = kSubjectPrefix;
    s += room;
    s += '.';
    s += tier;
    return s;
}

std::string roomOfSubject(std::string_view subject)
{
    const std::string_view prefix = kSubjectPrefix;
    const std::string suffix = std::string(".") + kClusterTier;
    if (subject.size() <= prefix.size() + suffix.size() ||
        subject.substr(0, prefix.size()) != prefix ||
        subject.substr(subject.size() - suffix.size()) != suffix)
        return {};
    const std::string_view room =
        subject.substr(prefix.size(), subject.size() - prefix.size() - suffix.size());
    return isRoomCode(room) ? std::string(room) : std::string();
}

std::string encodeClusterMessage(std::string_view origin, bool streamStart,
                                 const std::string& message)
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

ClusterMessage decodeClusterMessage(const char* data, std::size_t size)
{
    ClusterMessage m;
    if (data == nullptr || size < kClusterHeaderFixed || data[0] != 'O' || data[1] != 'R' ||
        data[2] != '\x01' || (static_cast<unsigned char>(data[3]) & ~1u) != 0)
        return m;
    const std::size_t n = static_cast<unsigned char>(data[4]);
    if (n == 0 || size != kClusterHeaderFixed + n + kAudioMessageSize)
        return m;
    m.origin.assign(data + kClusterHeaderFixed, n);
    if (!isRoomCode(m.origin))
        return ClusterMessage{};
    m.streamStart = data[3] == '\x01';
    m.message =
        std::make_shared<const std::string>(data + kClusterHeaderFixed + n, kAudioMessageSize);
    m.ok = true;
    return m;
}

} // namespace orlune::relay
