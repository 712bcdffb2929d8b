#include "loop/metrics.h"

#include "rooms/rooms.h"

#include <sstream>

namespace orlune::relay
{

std::string_view roomDropName(RoomDrop drop)
{
    switch (drop)
    {
        case RoomDrop::ForeignSource:
            return "foreign_source";
        case RoomDrop::RoomLimit:
            return "room_limit";
        case RoomDrop::DuplicateOrReordered:
            return "duplicate_or_reordered";
        case RoomDrop::SourceRoomLimit:
            return "source_room_limit";
        case RoomDrop::StreamRate:
            return "stream_rate_limit";
    }
    return "unknown";
}

std::string_view sourceDropName(SourceDrop drop)
{
    switch (drop)
    {
        case SourceDrop::NotAllowed:
            return "source_not_allowed";
        case SourceDrop::RateLimit:
            return "source_rate_limit";
    }
    return "unknown";
}

std::string_view connectionRejectName(ConnectionReject reject)
{
    switch (reject)
    {
        case ConnectionReject::RelayFull:
            return "relay_full";
        case ConnectionReject::ClientRate:
            return "client_rate";
        case ConnectionReject::ClientConnections:
            return "client_connections";
    }
    return "unknown";
}

std::string_view requestRejectName(RequestReject reject)
{
    switch (reject)
    {
        case RequestReject::MethodNotAllowed:
            return "method_not_allowed";
        case RequestReject::BodyNotAllowed:
            return "body_not_allowed";
        case RequestReject::BodyTooLarge:
            return "body_too_large";
    }
    return "unknown";
}

std::string_view listenerRejectName(ListenerReject reject)
{
    switch (reject)
    {
        case ListenerReject::RoomLimit:
            return "room_limit";
        case ListenerReject::RoomFull:
            return "room_full";
        case ListenerReject::RelayFull:
            return "relay_full";
    }
    return "unknown";
}

namespace
{

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

    // Label values here are room codes, reason names and endpoints: none contain '"', '\\' or
    // newlines, so they need no escaping.
    template <typename T> void sample(std::string_view name, std::string_view labels, T value)
    {
        out_ << "orlune_relay_" << name << '{' << labels << "} " << value << '\n';
    }

    std::string str() const { return out_.str(); }

private:
    std::ostringstream out_;
};

std::string label(std::string_view key, std::string_view value)
{
    std::string s(key);
    s += "=\"";
    s += value;
    s += '"';
    return s;
}

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
    w.family("quality_requests_rejected_total", "counter",
             "Quality requests from listeners naming no known tier.");
    w.sample("quality_requests_rejected_total", m.badQualityRequests);
    w.family(
        "loop_hand_overs_dropped_total", "counter",
        "Messages for another event loop dropped because that loop had fallen too far behind.");
    w.sample("loop_hand_overs_dropped_total", m.loopHandOversDropped);
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

    w.family("rooms", "gauge", "Rooms currently known.");
    w.sample("rooms", rooms.roomCount());
    w.family("rooms_live", "gauge", "Rooms whose source is currently sending.");
    w.sample("rooms_live", rooms.liveRoomCount());
    w.family("listeners", "gauge", "WebSocket listeners currently connected to a room.");
    w.sample("listeners", census != nullptr ? census->total : rooms.listenerCount());
    w.family("connections", "gauge", "Open HTTP and WebSocket connections.");
    w.sample("connections", m.connectionsOpen);

    w.family("datagrams_received_total", "counter", "UDP datagrams received.");
    w.sample("datagrams_received_total", m.datagramsReceived);
    w.family("bytes_received_total", "counter", "UDP payload bytes received.");
    w.sample("bytes_received_total", m.bytesReceived);
    w.family("datagrams_forwarded_total", "counter",
             "Datagrams accepted into a room and sent on to its listeners.");
    w.sample("datagrams_forwarded_total", m.datagramsForwarded);

    w.family("datagrams_dropped_total", "counter", "Datagrams dropped, by reason.");
    for (std::size_t i = 1; i < kParseErrorCount; ++i)
        w.sample("datagrams_dropped_total",
                 label("reason", parseErrorName(static_cast<ParseError>(i))), m.malformed[i]);
    for (std::size_t i = 0; i < kRoomDropCount; ++i)
        w.sample("datagrams_dropped_total", label("reason", roomDropName(static_cast<RoomDrop>(i))),
                 m.roomDrops[i]);
    for (std::size_t i = 0; i < kSourceDropCount; ++i)
        w.sample("datagrams_dropped_total",
                 label("reason", sourceDropName(static_cast<SourceDrop>(i))), m.sourceDrops[i]);

    w.family("messages_sent_total", "counter", "WebSocket messages written to listeners.");
    w.sample("messages_sent_total", label("kind", "audio"), m.audioMessagesSent);
    w.sample("messages_sent_total", label("kind", "text"), m.textMessagesSent);
    w.family("bytes_sent_total", "counter", "WebSocket payload bytes written to listeners.");
    w.sample("bytes_sent_total", m.bytesSent);

    w.family("listener_skips_total", "counter",
             "Times a listener fell too far behind and was skipped ahead to live audio.");
    w.sample("listener_skips_total", m.listenerSkips);
    w.family("listener_skipped_messages_total", "counter",
             "Audio messages discarded from slow listeners' queues.");
    w.sample("listener_skipped_messages_total", m.listenerSkippedMessages);

    w.family("listeners_accepted_total", "counter", "Listeners that joined a room.");
    w.sample("listeners_accepted_total", m.listenersAccepted);
    w.family("listeners_rejected_total", "counter", "Listeners turned away, by reason.");
    for (std::size_t i = 0; i < kListenerRejectCount; ++i)
        w.sample("listeners_rejected_total",
                 label("reason", listenerRejectName(static_cast<ListenerReject>(i))),
                 m.listenerRejects[i]);

    w.family("http_requests_total", "counter", "HTTP requests handled.");
    w.sample("http_requests_total", m.httpRequests);
    w.family("connections_rejected_total", "counter",
             "Connections (behind a trusted proxy: clients' requests) turned away, by reason.");
    for (std::size_t i = 0; i < kConnectionRejectCount; ++i)
        w.sample("connections_rejected_total",
                 label("reason", connectionRejectName(static_cast<ConnectionReject>(i))),
                 m.connectionRejects[i]);
    w.family("http_requests_rejected_total", "counter",
             "HTTP requests refused for their method or body, by reason.");
    for (std::size_t i = 0; i < kRequestRejectCount; ++i)
        w.sample("http_requests_rejected_total",
                 label("reason", requestRejectName(static_cast<RequestReject>(i))),
                 m.requestRejects[i]);

    renderTierMetrics(w, m, rooms);

    w.family("room_listeners", "gauge", "Listeners per room.");
    rooms.forEachRoom([&](const std::string& name, const RoomStats& s)
                      { w.sample("room_listeners", label("room", name), listenersIn(name, s)); });
    w.family("room_live", "gauge", "1 while the room's source is sending.");
    rooms.forEachRoom([&](const std::string& name, const RoomStats& s)
                      { w.sample("room_live", label("room", name), s.live ? 1 : 0); });
    w.family("room_datagrams_total", "counter", "Datagrams from the room's owning source.");
    rooms.forEachRoom([&](const std::string& name, const RoomStats& s)
                      { w.sample("room_datagrams_total", label("room", name), s.datagrams); });
    w.family("room_lost_total", "counter", "Sequence numbers missing from the room's stream.");
    rooms.forEachRoom([&](const std::string& name, const RoomStats& s)
                      { w.sample("room_lost_total", label("room", name), s.lost); });
    w.family("room_duplicate_or_reordered_total", "counter",
             "Datagrams at or behind the room's last sequence.");
    rooms.forEachRoom(
        [&](const std::string& name, const RoomStats& s) {
            w.sample("room_duplicate_or_reordered_total", label("room", name),
                     s.duplicateOrReordered);
        });
    w.family("room_foreign_dropped_total", "counter",
             "Datagrams from other sources while the room was owned.");
    rooms.forEachRoom(
        [&](const std::string& name, const RoomStats& s)
        { w.sample("room_foreign_dropped_total", label("room", name), s.foreignDropped); });
    w.family("room_last_sequence", "gauge", "Last packet sequence forwarded.");
    rooms.forEachRoom([&](const std::string& name, const RoomStats& s)
                      { w.sample("room_last_sequence", label("room", name), s.lastSequence); });
    w.family("room_last_sample_position", "gauge", "Last sample position forwarded.");
    rooms.forEachRoom(
        [&](const std::string& name, const RoomStats& s)
        { w.sample("room_last_sample_position", label("room", name), s.lastSamplePosition); });
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
                          (12 + kParseErrorCount + kRoomDropCount + kListenerRejectCount +
                           kSourceDropCount + kConnectionRejectCount + kRequestRejectCount + 1 +
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
