// The status endpoint: the server's counters, and the executable's engine and pump figures,
// answered in the Prometheus text format at the path given by --status-path.
#pragma once

#include <stdint.h>
#include <time.h>

#include <string>

#include "orvanta/http/http_response.h"
#include "orvanta/server/server_counters.h"

struct HttpRequest;
struct VrnsExports;

// What the status answers with: the server's figures, and the executable's interface that
// gives the engine's and the pump's.
struct StatusSources {
    const ServerCounters* counters = nullptr;
    const std::atomic<int>* openConnections = nullptr;
    const VrnsExports* exports = nullptr;
};

// True when the request's decoded path is the status path (never when statusPath is empty).
bool IsStatusRequest(const HttpRequest& request, const std::string& statusPath);

// The answer at the status path: the counters for GET and HEAD, 405 otherwise.
ResponsePlan StatusResponse(const HttpRequest& request, const StatusSources& sources, time_t now);
