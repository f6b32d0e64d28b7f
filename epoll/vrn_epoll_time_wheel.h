// A time-out wheel: a ring of 240 slots of about one second, each the head of a chain of nodes
// (newest first), one node per registered record half. The read wheel serves the read halves of
// the records, the write wheel the write halves. Lock order: a record's lock, then one slot's
// lock; the wheel never holds two slot locks and never takes a record's lock.
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "epoll/vrn_epoll_sck_map.h"

struct WheelNode {
    int32_t fd;  // the record's fd at registration: the key UnregTimeWheel searches by
    sckInfo* sockinfo;
    WheelNode* prev;
    WheelNode* next;
};

class VrnEpoll_TimeWheel {
  public:
    static constexpr int32_t kSlots = 240;
    // Time-outs above this are clamped, not to 239, so the slot just emptied is never reused.
    static constexpr int32_t kMaxTimeout = 235;
    // Ticks are more than this many milliseconds apart.
    static constexpr int64_t kNoTickMsec = 979;

    explicit VrnEpoll_TimeWheel(bool writer);
    // The engine never destroys its wheels; a wheel that is destroyed frees the nodes still in
    // its slots (the records are the registry's and stay as they are).
    ~VrnEpoll_TimeWheel();
    VrnEpoll_TimeWheel(const VrnEpoll_TimeWheel&) = delete;
    VrnEpoll_TimeWheel& operator=(const VrnEpoll_TimeWheel&) = delete;

    bool IsWriter() const { return writer; }

    // Registers this wheel's half of s, timeoutSec slots ahead (clamped). The half must not be
    // registered already. Caller holds s's lock. A failed allocation or slot lock throws.
    void RegTimeWheel(sckInfo* s, int32_t timeoutSec);
    // Takes this wheel's half of s out and frees its node. Caller holds s's lock.
    void UnregTimeWheel(sckInfo* s) noexcept;
    // Loop thread only. On a tick, the detached chain of the emptied slot (newest first, linked
    // by next; the caller owns the nodes), else null. emptiedSlot, when given, receives the
    // slot a tick emptied, or -1 when there was no tick.
    WheelNode* MoveTimeWheel() noexcept { return MoveTimeWheel(nullptr); }
    WheelNode* MoveTimeWheel(int32_t* emptiedSlot) noexcept;

    // The slot that the next tick empties.
    int32_t CurIndex() const { return curIndex.load(std::memory_order_relaxed); }
    // The head of slot i's chain, read under the slot's lock (for inspection).
    WheelNode* SlotHead(int32_t i);

  private:
    std::mutex slotLocks[kSlots];  // slotLocks[i] guards slots[i] and its chain
    int64_t lastMoveMsec = 0;      // last tick's clock reading, 0 before the first call; loop thread only
    WheelNode* slots[kSlots] = {};
    // Written only by MoveTimeWheel under the lock of the slot it empties; RegTimeWheel reads
    // it before taking any lock, so it must be read and written whole.
    std::atomic<int32_t> curIndex{0};
    const bool writer;  // true: serves the write halves
};
