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
void startListenerSession(PlainStream&& stream, Core& core, std::string room,
                          UpgradeRequest request);
void startListenerSession(TlsStream&& stream, Core& core, std::string room, UpgradeRequest request);

} // namespace orlune::relay
