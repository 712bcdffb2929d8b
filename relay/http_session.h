// An HTTP connection: answers requests until it is upgraded to a listener or closed.
#pragma once

#include "core.h"

namespace orlune::relay
{

// Serves requests on a freshly accepted connection (over TLS when `tls` is given). The session
// owns itself from here on.
void startHttpSession(Core& core, tcp::socket socket, ssl::context* tls);

} // namespace orlune::relay
