// State shared by the server's parts inside the host library: the executable's interface, what
// is served and how, and the counters the main thread watches. Created once by RunServer and
// never freed, because pump workers may still be running callbacks while the process exits.
#pragma once

#include <stdint.h>
#include <sys/socket.h>

#include <atomic>
#include <string>

#include "orvanta/http/http_response.h"
#include "orvanta/http/mime_types.h"
#include "orvanta/server/line_writer.h"
#include "orvanta/server/orvanta_exports.h"
#include "orvanta/server/server_status.h"

struct HttpServer {
    VrnsExports ex{};
    MimeTypes mime;
    ServeContext serve;
    int readTimeoutSec = 30;
    int maxConnections = 0;
    int accessLogFd = -1;             // -1: no access log
    LineWriter* accessLog = nullptr;  // writes to accessLogFd; kept for the process's life
    int listenFd = -1;
    std::atomic<int> openConnections{0};
    std::atomic<int> responsesInFlight{0};  // handed to a writer, completion not yet seen
    std::atomic<bool> stopping{false};
    std::string statusPath;  // empty: no status endpoint
    ServerCounters counters;
};

extern HttpServer* g_server;

// Takes over an accepted, non-blocking connection: reads requests and answers them until the
// peer leaves, a time-out, an error or the server stops.
void StartConnection(int fd, const sockaddr_storage& peer);

// For a stopping server (stopping already set): ends every connection that waits idle for its
// next request; the others close after their response. Returns how many were ended.
int CloseIdleConnections();

// Called by the connection code each time a connection is closed.
void OnConnectionClosed();
