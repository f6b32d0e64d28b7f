// The server: one object that every part of it is handed, holding the executable's interface,
// what is served and how, the accept gate, the list of open connections and the counters.
// Created once by RunServer; freed only when it fails to start, and never once it serves,
// because pump workers may still be running callbacks while the process exits. Connections reach it through
// their callbacks' user data; the accept callback, which has none, through http_accept.cpp.
#pragma once

#include <stdint.h>

#include <atomic>
#include <memory>
#include <string>

#include "orvanta/http/mime_types.h"
#include "orvanta/server/accept_gate.h"
#include "orvanta/server/connection_drain.h"
#include "orvanta/server/line_writer.h"
#include "orvanta/server/orvanta_exports.h"
#include "orvanta/server/server_counters.h"
#include "orvanta/static/file_handler.h"
#include "orvanta/static/open_file_cache.h"

struct HttpServer {
    VrnsExports ex{};
    MimeTypes mime;
    ServeContext serve;
    int readTimeoutSec = 30;
    int maxConnections = 0;
    int accessLogFd = -1;                   // -1: no access log
    std::unique_ptr<LineWriter> accessLog;  // writes to accessLogFd
    std::unique_ptr<OpenFileCache> cache;   // serve.cache; null with --open-file-cache off
    int listenFd = -1;
    std::string statusPath;  // empty: no status endpoint
    std::atomic<int> openConnections{0};
    std::atomic<bool> stopping{false};
    ServerCounters counters;
    AcceptGate gate;
    DrainList connections;  // every open connection, for the drain
    // Called on the closing thread each time a connection is closed. Set by whoever accepts
    // (before the first connection), so that connections need not know who accepted them.
    void (*onConnectionClosed)(HttpServer& server) = nullptr;
};
