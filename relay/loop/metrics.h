// Relay counters as Prometheus sees them: their names, every loop's added up, and the text of
// /metrics. The counters themselves are rooms/counters.h.
#pragma once

#include "guards/relay_admission.h"
#include "rooms/counters.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace orlune::relay
{

class RoomRegistry;

// Stable lower-case names used in metrics labels.
std::string_view roomDropName(RoomDrop drop);
std::string_view listenerRejectName(ListenerReject reject);
std::string_view sourceDropName(SourceDrop drop);
std::string_view connectionRejectName(ConnectionReject reject);
std::string_view requestRejectName(RequestReject reject);

// Adds every counter of `from` to `into`.
void addMetrics(Metrics& into, const Metrics& from);

// Prometheus text exposition format (version 0.0.4) of the counters and the per-room figures.
// With `census`, the listener figures are taken from it instead of from `rooms`.
std::string renderMetrics(const Metrics& metrics, const RoomRegistry& rooms,
                          const ListenerCensus* census = nullptr);

} // namespace orlune::relay
