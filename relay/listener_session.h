// A listener: a WebSocket connection attached to a room, fed by the room's fan-out.
#pragma once

#include "core.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include <string>

namespace orlune::relay
{

using UpgradeRequest = boost::beast::http::request<boost::beast::http::empty_body>;

// Completes the WebSocket handshake on an HTTP connection that asked for `room`'s stream and
// keeps the listener alive until it closes. The session owns itself from here on.
// `lease` (the connection's count against its client) is held until the listener goes.
void startListenerSession(PlainStream&& stream, Core& core, std::string room,
                          UpgradeRequest request, ClientLease lease = {});
void startListenerSession(TlsStream&& stream, Core& core, std::string room, UpgradeRequest request,
                          ClientLease lease = {});

} // namespace orlune::relay
