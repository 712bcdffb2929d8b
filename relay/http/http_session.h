// An HTTP connection: answers requests until it is upgraded to a listener or closed.
#pragma once

#include "loop/core.h"

namespace orlune::relay
{

// Serves requests on a freshly accepted connection (over TLS when `tls` is given). The session
// owns itself from here on. `lease` counts the connection against its client (empty for a
// trusted proxy: the session counts each client the proxy speaks for); `overRate`: the client
// connected too fast, and its first request is answered 429.
void startHttpSession(Core& core, tcp::socket socket, ssl::context* tls, ClientLease lease = {},
                      bool overRate = false);

} // namespace orlune::relay
