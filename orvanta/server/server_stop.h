// Stopping the server gracefully: a drain bounded by --drain-timeout, then the engine's stop.
#pragma once

struct HttpServer;

// Stops accepting and serves what already arrived; from then on the kernel refuses new
// connections (a load balancer retries them elsewhere). Connections idle between requests are
// ended at once; the others get their response, marked Connection: close, and close. After
// drainTimeoutSec (0: no bound) the responses still being sent are logged as cut, and the
// engine stops. Main thread, once.
void StopServer(HttpServer& server, int drainTimeoutSec);
