// The engine's process-wide state: the epoll descriptor, the loop thread's running and close
// flags, the cached clock and the two time-out wheels. One instance for the process, zero at
// load and never freed. Each value has a single writer (named below) and is read without a lock
// from any thread, so each is an atomic of the value's own width.
#pragma once

#include <stdint.h>

#include <atomic>

#include "epoll/vrn_epoll.h"

class VrnEpoll_TimeWheel;

// 0: VrnEpoll_Init never ran; -1: the last creation failed. Written by VrnEpoll_Init only,
// with release after both wheels are published.
extern std::atomic<int32_t> _epollFd;
// 1 while the loop thread runs. Written by the loop thread only; cleared with release when it ends.
extern std::atomic<uint8_t> _running;
// Set to 1 by VrnEpoll_Close and never cleared.
extern std::atomic<int32_t> _closeFlag;
// Created by VrnEpoll_Init (published with release) and never destroyed.
extern std::atomic<VrnEpoll_TimeWheel*> _readWheel;
extern std::atomic<VrnEpoll_TimeWheel*> _writeWheel;

// What the loop thread writes at every pass, on a cache line of its own: the words above are
// read at every registration, and a write beside them would take their line from the readers.
struct alignas(64) VrnLoopPass {
    // Number of the loop's latest epoll_wait, counted from 1 over the process; 0 before the
    // first. Written sequentially consistent before each wait; VrnEpoll_Remove reads it after
    // taking a socket out of the set. An event the wait collected before that removal therefore
    // comes from a wait whose number is at most the one the removal read.
    std::atomic<uint64_t> wait{0};
    // GetTime_msec reading of the loop's current pass.
    std::atomic<int64_t> msec{0};
};
extern VrnLoopPass _loopPass;

// Halves given a callback, and halves that had theirs taken off, since the start: a figure of
// armed halves is the difference, so the status costs no walk. Registering threads (pump
// workers, callers) arm and the loop thread, which delivers, mostly disarms: each side counts on
// a cache line of its own, so neither takes the other's line at every event. Counted under the
// record's lock with release, read with acquire (ArmedHalvesNow).
struct alignas(64) VrnHalfCounts {
    std::atomic<int64_t> read{0};
    std::atomic<int64_t> write{0};

    std::atomic<int64_t>& Of(bool isWrite) { return isWrite ? write : read; }
};
extern VrnHalfCounts _halvesArmed;
extern VrnHalfCounts _halvesDisarmed;

// Halves with a callback set now, in one direction: the disarmed count read on both sides of the
// armed one until no disarm came between, so that the figure is one the engine really had.
int64_t ArmedHalvesNow(bool isWrite);
