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
// Number of the loop's latest epoll_wait, counted from 1 over the process; 0 before the first.
// Written by the loop thread only, sequentially consistent, before each wait; VrnEpoll_Remove
// reads it after taking a socket out of the set. An event the wait collected before that
// removal therefore comes from a wait whose number is at most the one the removal read.
extern std::atomic<uint64_t> _loopWait;
// GetTime_msec reading of the loop's current pass. Written by the loop thread only.
extern std::atomic<int64_t> _cachedMsec;
// Created by VrnEpoll_Init (published with release) and never destroyed.
extern std::atomic<VrnEpoll_TimeWheel*> _readWheel;
extern std::atomic<VrnEpoll_TimeWheel*> _writeWheel;
// Halves with a callback set, over all records: counted where a callback is set on or taken off
// a half (under that record's lock), so the status figures cost no walk. Relaxed: each is a
// figure on its own.
extern std::atomic<int64_t> _armedReadHalves;
extern std::atomic<int64_t> _armedWriteHalves;
