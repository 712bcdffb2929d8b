// A listener: a WebSocket connection attached to a room, fed by the room's fan-out.
#pragma once

#include "loop/core.h"
#include "tiers/tiers.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include <string>

namespace orlune::relay
{

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;

// Completes the WebSocket handshake on an HTTP connection that asked for a room's stream, the
// listener's place in it taken (`seat`), and keeps the listener alive until it closes; the
// place is given back when it leaves. The session owns itself from here on.
// `quality`: what the client asked for (`?quality=`), none for today's float32 stream.
// `lease` (the connection's count against its client) is held until the listener goes.
void startListenerSession(PlainStream&& stream, Core& core, Seat seat,
                          std::optional<QualityChoice> quality, UpgradeRequest request,
                          ClientLease lease = {});
void startListenerSession(TlsStream&& stream, Core& core, Seat seat,
                          std::optional<QualityChoice> quality, UpgradeRequest request,
                          ClientLease lease = {});

} // namespace orlune::relay
