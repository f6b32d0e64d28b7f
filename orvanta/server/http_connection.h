// One HTTP connection from accept to close: what accepting and stopping may ask of the
// connections. Accepting calls in here, never the reverse: a connection reports its close
// through the hook the server holds (HttpServer::onConnectionClosed).
#pragma once

#include <sys/socket.h>

struct HttpServer;

// Takes over an accepted, non-blocking connection: reads requests and answers them until the
// peer leaves, a time-out, an error or the server stops.
void StartConnection(HttpServer& server, int fd, const sockaddr_storage& peer);

// For a stopping server (stopping already set): ends every connection that waits idle for its
// next request; the others close after their response. Returns how many were newly ended.
// Called again while the drain waits, for connections whose wait was armed after the last call.
int CloseIdleConnections(HttpServer& server);
// At the drain's bound: the responses still being sent are logged as cut (the process then
// ends them by exiting). Returns how many.
int CutResponses(HttpServer& server);
