// The status endpoint: the server's counters, and the executable's engine and pump figures,
// answered in the Prometheus text format at the path given by --status-path. The counters are
// bumped by pump workers and the accept callback and read by whoever answers the status, all
// without a lock: relaxed atomics, each exact on its own.
#pragma once

#include <stdint.h>
#include <time.h>

#include <atomic>
#include <string>

#include "orvanta/http/http_response.h"

struct HttpRequest;
struct HttpServer;

struct ServerCounters {
    std::atomic<uint64_t> responsesByClass[5] = {};  // 1xx .. 5xx, counted as each is sent
    std::atomic<uint64_t> bytesSent{0};              // header and body bytes of completed responses
    std::atomic<uint64_t> readTimeouts{0};
    std::atomic<uint64_t> writeTimeouts{0};
    std::atomic<uint64_t> acceptBackoffs{0};  // pauses of accepting for want of descriptors

    void Bump(std::atomic<uint64_t>& counter, uint64_t by = 1) {
        counter.fetch_add(by, std::memory_order_relaxed);
    }
    void CountResponse(int status, uint64_t bytes);
};

// True when the request's decoded path is the status path (never when statusPath is empty).
bool IsStatusRequest(const HttpRequest& request, const std::string& statusPath);

// The answer at the status path: the counters for GET and HEAD, 405 otherwise.
ResponsePlan StatusResponse(const HttpRequest& request, const HttpServer& server, time_t now);
