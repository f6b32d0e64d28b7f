// The server's own counters, shown by the status endpoint. They are bumped by pump workers
// and the accept callback and read by whoever answers the status, all without a lock: relaxed
// atomics, each exact on its own.
#pragma once

#include <stdint.h>

#include <atomic>

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
