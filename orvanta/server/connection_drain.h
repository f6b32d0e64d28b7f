// What a stopping server needs to drain its connections: the list of open connections, and a
// way to end those that sit idle between requests without waiting for their read time-out.
//
// A connection is in the list from StartConnection until just before its descriptor is closed,
// and the list's mutex is held across both the removal and every use of a listed descriptor, so
// a descriptor is never shut down after its number has been closed and reused. Shutting the
// read side wakes the connection's own read registration (the kernel reports end of input), so
// the connection is still closed by its owner, on a pump worker, as every other close is.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

// A connection's phase. Written by its owner (the callback that runs for it), read by the drain.
enum class ConnectionState : uint8_t {
    kWaitingFirst,  // accepted; nothing of its first request received yet
    kIdle,          // kept alive after a response; nothing of its next request received yet
    kReading,       // a request begun: its bytes are arriving
    kSending,       // a response handed to a writer
    kLingering,     // its last response sent; unread input drained before the close
    kClosing,       // being closed by its owner
};

struct DrainEntry {
    int fd = -1;
    // Between requests, kIdle: closing it then loses nothing. A connection that has not yet
    // sent its first request is left alone, as its request may be on its way.
    std::atomic<ConnectionState> state{ConnectionState::kWaitingFirst};
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
