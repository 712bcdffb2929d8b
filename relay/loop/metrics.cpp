#include "loop/metrics.h"

#include "rooms/rooms.h"

#include <array>
#include <sstream>

namespace orlune::relay
{

namespace
{

// The label values of an enum's counters, in the enum's order; every value named.
template <std::size_t N> constexpr bool allNamed(const std::array<std::string_view, N>& names)
{
    for (std::string_view name : names)
        if (name.empty())
            return false;
    return true;
}

constexpr std::array<std::string_view, kRoomDropCount> kRoomDropNames{
    "foreign_source", "room_limit", "duplicate_or_reordered", "source_room_limit",
    "stream_rate_limit"};
constexpr std::array<std::string_view, kSourceDropCount> kSourceDropNames{"source_not_allowed",
                                                                          "source_rate_limit"};
constexpr std::array<std::string_view, kConnectionRejectCount> kConnectionRejectNames{
    "relay_full", "client_rate", "client_connections"};
constexpr std::array<std::string_view, kRequestRejectCount> kRequestRejectNames{
    "method_not_allowed", "body_not_allowed", "body_too_large"};
constexpr std::array<std::string_view, kListenerRejectCount> kListenerRejectNames{
    "room_limit", "room_full", "relay_full"};
static_assert(allNamed(kRoomDropNames) && allNamed(kSourceDropNames) &&
              allNamed(kConnectionRejectNames) && allNamed(kRequestRejectNames) &&
              allNamed(kListenerRejectNames));

template <class Enum, std::size_t N>
std::string_view nameIn(const std::array<std::string_view, N>& names, Enum value)
{
    const auto i = static_cast<std::size_t>(value);
    return i < N ? names[i] : "unknown";
}

} // namespace

std::string_view roomDropName(RoomDrop drop)
{
    return nameIn(kRoomDropNames, drop);
}

std::string_view sourceDropName(SourceDrop drop)
{
    return nameIn(kSourceDropNames, drop);
}

std::string_view connectionRejectName(ConnectionReject reject)
{
    return nameIn(kConnectionRejectNames, reject);
}

std::string_view requestRejectName(RequestReject reject)
{
    return nameIn(kRequestRejectNames, reject);
}

std::string_view listenerRejectName(ListenerReject reject)
{
    return nameIn(kListenerRejectNames, reject);
}

namespace
{

// Label values here are room codes, reason names and endpoints: none contain '"', '\\' or
// newlines, so they need no escaping.
std::string label(std::string_view key, std::string_view value)
{
    std::string s(key);
    s += "=\"";
    s += value;
    s += '"';
    return s;
}

class Writer
{
public:
    void family(std::string_view name, std::string_view type, std::string_view help)
    {
        out_ << "# HELP orlune_relay_" << name << ' ' << help << '\n';
        out_ << "# TYPE orlune_relay_" << name << ' ' << type << '\n';
    }

    template <typename T> void sample(std::string_view name, T value)
    {
        out_ << "orlune_relay_" << name << ' ' << value << '\n';
    }

    template <typename T> void sample(std::string_view name, std::string_view labels, T value)
    {
        out_ << "orlune_relay_" << name << '{' << labels << "} " << value << '\n';
    }

    // A family of one sample.
    template <typename T>
    void single(std::string_view name, std::string_view type, std::string_view help, T value)
    {
        family(name, type, help);
        sample(name, value);
    }

    // One sample a reason: `counters[i]` labelled with `names[i]`.
    template <std::size_t N, class Counters>
    void byReason(std::string_view name, const std::array<std::string_view, N>& names,
                  const Counters& counters)
    {
        for (std::size_t i = 0; i < N; ++i)
            sample(name, label("reason", names[i]), counters[i]);
    }

    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

void renderTierMetrics(Writer& w, const Metrics& m, const RoomRegistry& rooms)
{
    (void)rooms;
    const auto each = [&](const char* name, const char* type, const char* help, auto value)
    {
        w.family(name, type, help);
        for (std::size_t t = 0; t < kTierCount; ++t)
            w.sample(name, label("tier", tierName(tierAt(t))), value(t));
    };
    each("tier_listeners", "gauge", "Listeners per quality tier.",
         [&](std::size_t t) { return m.tiers[t].listeners.get(); });
    each("tier_encoders", "gauge", "Rooms encoding the tier here now.",
         [&](std::size_t t) { return m.tiers[t].encoders.get(); });
    each("tier_encoders_created_total", "counter", "Tier encoders started.",
         [&](std::size_t t) { return m.tiers[t].encodersCreated; });
    each("tier_frames_encoded_total", "counter", "Opus frames encoded.",
         [&](std::size_t t) { return m.tiers[t].framesEncoded; });
    each("tier_frames_missing_total", "counter",
         "Opus frames sent with length 0 (source loss, concealed by the player).",
         [&](std::size_t t) { return m.tiers[t].framesMissing; });
    each("tier_encoded_bytes_total", "counter", "Opus packet bytes encoded.",
         [&](std::size_t t) { return m.tiers[t].encodedBytes; });
    each("tier_messages_built_total", "counter",
         "Binary messages built for the tier (once per room, whatever its listeners).",
         [&](std::size_t t) { return m.tiers[t].messagesBuilt; });
    each("tier_remote_messages_total", "counter",
         "Tier messages received already encoded from another relay.",
         [&](std::size_t t) { return m.tiers[t].remoteMessages; });
    each("tier_encode_seconds_total", "counter", "Time spent in the Opus encoder.",
         [&](std::size_t t) { return static_cast<double>(m.tiers[t].encodeNanoseconds) * 1e-9; });
    each("tier_samples_sanitised_total", "counter",
         "Non-finite or out-of-range samples replaced before encoding the tier.",
         [&](std::size_t t) { return m.tiers[t].samplesSanitised; });
    each("tier_messages_sent_total", "counter", "Binary messages written to the tier's listeners.",
         [&](std::size_t t) { return m.tiers[t].messagesSent; });
    each("tier_bytes_sent_total", "counter",
         "WebSocket payload bytes of binary messages written to the tier's listeners.",
         [&](std::size_t t) { return m.tiers[t].bytesSent; });
    each("tier_step_downs_total", "counter",
         "Listeners the relay moved down from the tier because they kept falling behind.",
         [&](std::size_t t) { return m.tiers[t].stepDowns; });
    each("tier_switch_requests_total", "counter", "Listeners' requests to switch to the tier.",
         [&](std::size_t t) { return m.tiers[t].switchRequests; });
    each("tier_switches_spliced_total", "counter",
         "Listeners moved to the tier without a gap in their stream.",
         [&](std::size_t t) { return m.tiers[t].switchesSpliced; });
    each("tier_switches_cut_total", "counter",
         "Listeners moved to the tier with a gap: nothing to splice onto, or the tier's stream "
         "did not come in time.",
         [&](std::size_t t) { return m.tiers[t].switchesCut; });
    w.single("quality_requests_rejected_total", "counter",
             "Quality requests from listeners naming no known tier.", m.badQualityRequests);
    w.single("loop_hand_overs_dropped_total", "counter",
             "Messages for another event loop dropped because that loop had fallen too far behind.",
             m.loopHandOversDropped);
}

} // namespace

std::string renderMetrics(const Metrics& m, const RoomRegistry& rooms, const ListenerCensus* census)
{
    auto listenersIn = [census](const std::string& room, const RoomStats& s) -> std::size_t
    {
        if (census == nullptr)
            return s.listeners;
        auto it = census->perRoom.find(room);
        return it == census->perRoom.end() ? 0 : it->second;
    };
    Writer w;

    w.single("rooms", "gauge", "Rooms currently known.", rooms.roomCount());
    w.single("rooms_live", "gauge", "Rooms whose source is currently sending.",
             rooms.liveRoomCount());
    w.single("listeners", "gauge", "WebSocket listeners currently connected to a room.",
             census != nullptr ? census->total : rooms.listenerCount());
    w.single("connections", "gauge", "Open HTTP and WebSocket connections.", m.connectionsOpen);

    w.single("datagrams_received_total", "counter", "UDP datagrams received.", m.datagramsReceived);
    w.single("bytes_received_total", "counter", "UDP payload bytes received.", m.bytesReceived);
    w.single("datagrams_forwarded_total", "counter",
             "Datagrams accepted into a room and sent on to its listeners.", m.datagramsForwarded);
    w.single("holes_concealed_total", "counter",
             "Holes in rooms' streams (lost datagrams) filled before Opus encoding.",
             m.holesConcealed);
    w.single("frames_concealed_total", "counter",
             "Frames of audio (per channel, 48 kHz) made up to fill those holes.",
             m.framesConcealed);

    w.family("datagrams_dropped_total", "counter", "Datagrams dropped, by reason.");
    for (std::size_t i = 1; i < kParseErrorCount; ++i)
        w.sample("datagrams_dropped_total",
                 label("reason", parseErrorName(static_cast<ParseError>(i))), m.malformed[i]);
    w.byReason("datagrams_dropped_total", kRoomDropNames, m.roomDrops);
    w.byReason("datagrams_dropped_total", kSourceDropNames, m.sourceDrops);

    w.family("messages_sent_total", "counter", "WebSocket messages written to listeners.");
    w.sample("messages_sent_total", label("kind", "audio"), m.audioMessagesSent);
    w.sample("messages_sent_total", label("kind", "text"), m.textMessagesSent);
    w.single("bytes_sent_total", "counter", "WebSocket payload bytes written to listeners.",
             m.bytesSent);

    w.single("listener_skips_total", "counter",
             "Times a listener fell too far behind and was skipped ahead to live audio.",
             m.listenerSkips);
    w.single("listener_skipped_messages_total", "counter",
             "Audio messages discarded from slow listeners' queues.", m.listenerSkippedMessages);

    w.single("listeners_accepted_total", "counter", "Listeners that joined a room.",
             m.listenersAccepted);
    w.family("listeners_rejected_total", "counter", "Listeners turned away, by reason.");
    w.byReason("listeners_rejected_total", kListenerRejectNames, m.listenerRejects);

    w.single("http_requests_total", "counter", "HTTP requests handled.", m.httpRequests);
    w.family("listener_protocol_errors_total", "counter",
             "Listeners disconnected for breaking the WebSocket protocol, by the close code "
             "they were sent (1002 framing, 1007 not UTF-8, 1009 message too big).");
    for (std::size_t i = 0; i < kWebSocketErrorCodes.size(); ++i)
        w.sample("listener_protocol_errors_total",
                 label("code", std::to_string(kWebSocketErrorCodes[i])), m.webSocketErrors[i]);
    w.family("connections_rejected_total", "counter",
             "Connections (behind a trusted proxy: clients' requests) turned away, by reason.");
    w.byReason("connections_rejected_total", kConnectionRejectNames, m.connectionRejects);
    w.family("http_requests_rejected_total", "counter",
             "HTTP requests refused for their method or body, by reason.");
    w.byReason("http_requests_rejected_total", kRequestRejectNames, m.requestRejects);

    renderTierMetrics(w, m, rooms);

    const auto perRoom = [&](const char* name, const char* type, const char* help, auto value)
    {
        w.family(name, type, help);
        rooms.forEachRoom([&](const std::string& room, const RoomStats& s)
                          { w.sample(name, label("room", room), value(room, s)); });
    };
    perRoom("room_listeners", "gauge", "Listeners per room.",
            [&](const std::string& room, const RoomStats& s) { return listenersIn(room, s); });
    perRoom("room_live", "gauge", "1 while the room's source is sending.",
            [](const std::string&, const RoomStats& s) { return s.live ? 1 : 0; });
    perRoom("room_datagrams_total", "counter", "Datagrams from the room's owning source.",
            [](const std::string&, const RoomStats& s) { return s.datagrams; });
    perRoom("room_lost_total", "counter", "Sequence numbers missing from the room's stream.",
            [](const std::string&, const RoomStats& s) { return s.lost; });
    perRoom("room_concealed_total", "counter",
            "Holes in the room's stream filled before its Opus tiers were encoded.",
            [](const std::string&, const RoomStats& s) { return s.holesConcealed; });
    perRoom("room_duplicate_or_reordered_total", "counter",
            "Datagrams at or behind the room's last sequence.",
            [](const std::string&, const RoomStats& s) { return s.duplicateOrReordered; });
    perRoom("room_foreign_dropped_total", "counter",
            "Datagrams from other sources while the room was owned.",
            [](const std::string&, const RoomStats& s) { return s.foreignDropped; });
    perRoom("room_last_sequence", "gauge", "Last packet sequence forwarded.",
            [](const std::string&, const RoomStats& s) { return s.lastSequence; });
    perRoom("room_last_sample_position", "gauge", "Last sample position forwarded.",
            [](const std::string&, const RoomStats& s) { return s.lastSamplePosition; });
    w.family("room_source_info", "gauge", "Address of the room's current or last source.");
    rooms.forEachRoom(
        [&](const std::string& name, const RoomStats& s)
        {
            if (!s.source)
                return;
            std::ostringstream ep;
            ep << *s.source;
            w.sample("room_source_info", label("room", name) + "," + label("source", ep.str()), 1);
        });

    return w.str();
}

void addMetrics(Metrics& into, const Metrics& from)
{
    // Every field is a Counter or an array of them; a new field must be added here too.
    static_assert(sizeof(Metrics) ==
                      sizeof(Counter) *
                          (14 + kParseErrorCount + kRoomDropCount + kListenerRejectCount +
                           kSourceDropCount + kConnectionRejectCount + kRequestRejectCount + 1 +
                           kWebSocketErrorCodes.size() +
                           kTierCount * (sizeof(TierMetrics) / sizeof(Counter))),
                  "addMetrics() must add every counter of Metrics");
    auto addAll = [](auto& a, const auto& b)
    {
        for (std::size_t i = 0; i < a.size(); ++i)
            a[i] += b[i];
    };
    into.datagramsReceived += from.datagramsReceived;
    into.bytesReceived += from.bytesReceived;
    into.datagramsForwarded += from.datagramsForwarded;
    into.holesConcealed += from.holesConcealed;
    into.framesConcealed += from.framesConcealed;
    addAll(into.malformed, from.malformed);
    addAll(into.roomDrops, from.roomDrops);
    into.audioMessagesSent += from.audioMessagesSent;
    into.textMessagesSent += from.textMessagesSent;
    into.bytesSent += from.bytesSent;
    into.listenerSkips += from.listenerSkips;
    into.listenerSkippedMessages += from.listenerSkippedMessages;
    into.listenersAccepted += from.listenersAccepted;
    addAll(into.listenerRejects, from.listenerRejects);
    into.httpRequests += from.httpRequests;
    into.connectionsOpen += from.connectionsOpen;
    addAll(into.sourceDrops, from.sourceDrops);
    addAll(into.connectionRejects, from.connectionRejects);
    addAll(into.requestRejects, from.requestRejects);
    into.badQualityRequests += from.badQualityRequests;
    into.loopHandOversDropped += from.loopHandOversDropped;
    addAll(into.webSocketErrors, from.webSocketErrors);
    static_assert(sizeof(TierMetrics) == 16 * sizeof(Counter),
                  "addMetrics() must add every counter of TierMetrics");
    for (std::size_t t = 0; t < kTierCount; ++t)
    {
        TierMetrics& a = into.tiers[t];
        const TierMetrics& b = from.tiers[t];
        a.listeners += b.listeners;
        a.encoders += b.encoders;
        a.encodersCreated += b.encodersCreated;
        a.framesEncoded += b.framesEncoded;
        a.framesMissing += b.framesMissing;
        a.encodedBytes += b.encodedBytes;
        a.messagesBuilt += b.messagesBuilt;
        a.remoteMessages += b.remoteMessages;
        a.encodeNanoseconds += b.encodeNanoseconds;
        a.samplesSanitised += b.samplesSanitised;
        a.messagesSent += b.messagesSent;
        a.bytesSent += b.bytesSent;
        a.stepDowns += b.stepDowns;
        a.switchRequests += b.switchRequests;
        a.switchesSpliced += b.switchesSpliced;
        a.switchesCut += b.switchesCut;
    }
}

} // namespace orlune::relay
