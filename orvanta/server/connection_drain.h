// What a stopping server needs to drain its connections: the list of open connections, and
// the drain's two decisions, which follow from each connection's state alone.
//
// The drain ends a connection only while it is idle between requests: it marks it kClosing
// and cancels its read wait (VrnEpoll_Remove), which calls the connection back on a pump
// worker, where its owner closes it as every other close is made. It never shuts a socket
// down: a shut read side reports EPOLLRDHUP, which a writer takes for a hang-up, so a request
// that raced in would get a truncated answer. A request that did race in is still answered,
// as the connection's last. A connection that has not sent its first request, or holds part
// of one, or is sending, is left to finish.
//
// A connection is in the list from StartConnection until just before its descriptor is closed,
// and the list's mutex is held across both the removal and every use of a listed descriptor, so
// a descriptor is never used after its number has been closed and reused. An owner takes a
// connection back from kClosing under the same mutex (Reclaim), after which the drain no longer
// touches it.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

// A connection's phase. Written by its owner (the callback that runs for it); read by the
// drain, which also moves kIdle and kSending to kClosing.
enum class ConnectionState : uint8_t {
    kWaitingFirst,  // accepted; nothing of its first request received yet
    kIdle,          // kept alive after a response; nothing of its next request received yet
    kReading,       // a request begun: its bytes are arriving
    kSending,       // a response handed to a writer
    kLingering,     // its last response sent; unread input drained before the close
    kClosing,       // ended by the drain: idle when it was ended, or sending when it was cut
};

struct DrainEntry {
    int fd = -1;
    std::atomic<ConnectionState> state{ConnectionState::kWaitingFirst};
    DrainEntry* prev = nullptr;  // guarded by the list's mutex
    DrainEntry* next = nullptr;
};

class DrainList {
  public:
    using Wake = void (*)(int32_t fd);              // cancels the connection's wait
    using ReportCut = void (*)(DrainEntry* entry);  // logs a response cut at the drain's bound

    void Add(DrainEntry* e);
    void Remove(DrainEntry* e);
    // Ends every idle connection (kIdle to kClosing) and wakes it, and wakes again those ended
    // earlier whose owner has not yet taken them back (their wait may have been armed just
    // after the last wake). Returns how many were newly ended.
    int EndIdle(Wake wake);
    // At the drain's bound: every connection still sending goes to kClosing and is reported;
    // its owner's completion, if it still comes, only closes it. Returns how many.
    int CutSending(ReportCut report);
    // The owner of a connection in kClosing takes it back in state, after which the drain
    // leaves it alone.
    void Reclaim(DrainEntry* e, ConnectionState state);

  private:
    std::mutex mutex_;  // guards the links of every listed entry and head_
    DrainEntry* head_ = nullptr;
};
