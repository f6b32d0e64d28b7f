// What a stopping server needs to drain its connections: the list of open connections, and a
// way to end those that sit idle between requests without waiting for their read time-out.
//
// A connection is in the list from StartConnection until just before its descriptor is closed,
// and the list's mutex is held across both the removal and every use of a listed descriptor, so
// a descriptor is never shut down after its number has been closed and reused. Shutting the
// read side wakes the connection's own read registration (the kernel reports end of input), so
// the connection is still closed by its owner, on a pump worker, as every other close is.
#pragma once

#include <atomic>
#include <mutex>

struct DrainEntry {
    int fd = -1;
    // Set while the connection waits for its next request with nothing buffered, after at
    // least one response: closing it then loses nothing. Written by its owner, read by the drain.
    std::atomic<bool> idle{false};
    DrainEntry* prev = nullptr;  // guarded by the list's mutex
    DrainEntry* next = nullptr;
};

class DrainList {
  public:
    void Add(DrainEntry* e);
    void Remove(DrainEntry* e);
    // Shuts the read side of every idle connection; returns how many.
    int ShutdownIdle();

  private:
    std::mutex mutex_;  // guards the links of every listed entry and head_
    DrainEntry* head_ = nullptr;
};
