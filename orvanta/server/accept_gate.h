// Stops and resumes accepting. The registry re-arms the listening socket after every
// notification, so a callback that cannot accept (descriptors exhausted, connection limit)
// takes the socket out; the main thread puts it back after a pause that doubles while accept
// keeps failing, so the server neither spins nor stops for good.
//
// Threads: Pause, Lost, NextBackoff and AcceptSucceeded run in the accept callback on a pump
// worker; TryResume and Close on the main thread; paused and Wake anywhere. The gate's mutex is
// taken before the registry's own lock (it is held across Vrn_Accept_Add/Remove) and never
// while a connection callback runs.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "net/vrn_asscept.h"

struct VrnsExports;

class AcceptGate {
  public:
    static constexpr int64_t kFirstBackoffMsec = 10;
    static constexpr int64_t kMaxBackoffMsec = 1000;

    // Before accepting starts: the interface that adds and removes the socket, and the eventfd
    // that wakes the main thread.
    void Init(const VrnsExports* ex, int wakeFd);

    // Inside the accept callback: take the socket out for delayMsec.
    void Pause(int listenFd, int64_t delayMsec);
    // The registry ended the socket's registration itself (an error on the socket, or a failed
    // re-arm): it is out, or about to be taken out; put it back after a pause.
    void Lost();
    // Descriptors exhausted: a pause that grows while the condition lasts. Only the accept
    // callback calls these, and the registry's one-shot arming never runs two of them at once.
    int64_t NextBackoff();
    void AcceptSucceeded();

    void Wake();
    // Sequentially consistent, with the connection count: a closing connection that decrements
    // the count and then finds the gate open must not miss a pause whose owner found the
    // count still at the limit (store-then-load on both sides).
    bool paused() const { return pausedHint_.load(); }

    // Main thread: re-adds the socket when due, unless the server is at its connection limit
    // (a closing connection wakes the main thread); returns how long the main thread may sleep,
    // -1 for as long as it likes.
    int TryResume(int listenFd, AcceptCallback callback, bool atConnectionLimit);
    // Main thread, at shutdown: out for good.
    void Close(int listenFd);

  private:
    void PauseLocked(int64_t delayMsec);

    const VrnsExports* ex_ = nullptr;
    int wakeFd_ = -1;
    std::mutex mutex_;  // guards everything below but backoffMsec_ and pausedHint_
    bool paused_ = false;
    bool closed_ = false;
    int64_t resumeAt_ = 0;
    std::atomic<int64_t> backoffMsec_{kFirstBackoffMsec};
    std::atomic<bool> pausedHint_{false};  // paused_, for readers without the lock
};
