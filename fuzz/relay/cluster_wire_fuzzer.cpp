// Whatever another relay (or anyone who can publish on the cluster's NATS) sends: a room
// message on a subject of any tier, an interest message, a subject. What is accepted must be
// exactly what the encoder would have written, and Opus bodies must be well formed.
#include "cluster/cluster_wire.h"
#include "wire/listener_audio.h"
#include "wire/listener_opus.h"

#include <cstdlib>
#include <string>
#include <string_view>

using namespace orlune::relay;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static const char* const kTiers[] = {"lossless", "low", "standard", "high"};
    const char* tier = kTiers[data[0] % 4];
    const char* body = reinterpret_cast<const char*>(data + 1);
    const std::size_t bodySize = size - 1;

    const ClusterMessage m = decodeClusterMessage(body, bodySize, tier);
    if (m.ok)
    {
        const std::string_view payload = m.message.payload();
        if (encodeClusterMessage(m.origin, m.streamStart, payload) != std::string(body, bodySize))
            std::abort();
        const bool lossless = std::string(tier) == "lossless";
        if (lossless ? payload.size() != kAudioMessageSize
                     : !opusMessageIsWellFormed(payload.data(), payload.size()))
            std::abort();
        // Framed for listeners as a frame written for one of them would be.
        if (m.message.bytes() != wsFrame(WsOpcode::Binary, payload))
            std::abort();
    }

    const Interest interest = decodeInterest(body, bodySize);
    if (interest.ok)
    {
        const std::string again = encodeInterest(interest.relay, interest.tiers);
        const Interest back = decodeInterest(again.data(), again.size());
        if (!back.ok || back.relay != interest.relay || back.tiers != interest.tiers)
            std::abort();
        for (const std::string& t : interest.tiers)
            if (t == "lossless" || !isClusterTier(t))
                std::abort();
    }

    const std::string_view subject(body, bodySize);
    if (const auto parts = parseSubject(subject))
        if (clusterSubject(parts->room, parts->tier) != subject)
            std::abort();
    const std::string room = roomOfInterestSubject(subject);
    if (!room.empty() && interestSubject(room) != subject)
        std::abort();
    return 0;
}
