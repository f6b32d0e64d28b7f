// A time-out wheel: a ring of 240 slots of about one second, each the head of a chain of nodes
// (newest first), one node per registered record half. The read wheel serves the read halves of
// the records, the write wheel the write halves. Lock order: a record's lock, then one slot's
// lock; the wheel never holds two slot locks and never takes a record's lock (its destructor
// aside, which holds no slot lock).
//
// A record half names its own node (readNode / writeNode), so unregistering takes constant time
// however many halves share the slot. A tick detaches a whole chain and hands it to the loop
// thread while the records still name those nodes; each slot therefore counts its ticks, and a
// node remembers the count it was linked in under. A node whose count is behind its slot's has
// been handed out: it is no longer the wheel's to unlink, but the receiver's to free, and the
// receiver frees it only after the record has stopped naming it (both under the record's lock).
#pragma once

#include <stdint.h>

#include <atomic>
#include <mutex>

#include "epoll/vrn_epoll_sck_map.h"
#include "host/vrn_block_pool.h"

struct WheelNode {
    int32_t fd;  // the record's fd at registration; must still equal it for the node to count
    sckInfo* sockinfo;
    WheelNode* prev;
    WheelNode* next;
    uint32_t generation;  // the slot's tick count when the node was linked in

    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<WheelNode>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<WheelNode>(p, n); }
};

class VrnEpoll_TimeWheel {
  public:
    static constexpr int32_t kSlots = 240;
    // Time-outs above this are clamped, not to 239, so the slot just emptied is never reused.
    static constexpr int32_t kMaxTimeout = kVrnMaxTimeoutSec;
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
    // Takes this wheel's half of s out and frees its node. Caller holds s's lock. A node that a
    // tick has handed out meanwhile is not found: it stays the receiver's.
    void UnregTimeWheel(sckInfo* s) noexcept;
    // Loop thread only. On a tick, the detached chain of the emptied slot (newest first, linked
    // by next; the caller owns the nodes), else null. emptiedSlot, when given, receives the
    // slot a tick emptied, or -1 when there was no tick.
    WheelNode* MoveTimeWheel() noexcept { return MoveTimeWheel(nullptr); }
    WheelNode* MoveTimeWheel(int32_t* emptiedSlot) noexcept;
    // For the receiver of a detached chain: frees node, first clearing this wheel's half of
    // node->sockinfo if the half still names it. Caller holds that record's lock (when the node
    // has a record). True when the half named the node, i.e. it was not unregistered or
    // registered again since the tick.
    bool ReleaseNode(WheelNode* node) noexcept;

    // The slot that the next tick empties.
    int32_t CurIndex() const { return curIndex.load(std::memory_order_relaxed); }
    // The head of slot i's chain, read under the slot's lock (for inspection).
    WheelNode* SlotHead(int32_t i);
    // Nodes now in the slots (for the status counters): the sum of the slots' own counts, kept
    // where nodes are linked in, unlinked and handed out by a tick, read without a lock.
    int64_t NodeCount() const;
    // The same figure counted the slow way, each slot's chain walked under its lock (for checks).
    int64_t NodesByWalk();

  private:
    // Unlinks node from slot's chain if it is still there. Caller holds slot's lock.
    bool UnlinkLocked(int32_t slot, WheelNode* node, int32_t fd) noexcept;
    void AddToSlotCount(int32_t slot, int32_t delta) noexcept;

    std::mutex slotLocks[kSlots];  // slotLocks[i] guards slots[i] and its chain
    int64_t lastMoveMsec = 0;      // last tick's clock reading, 0 before the first call; loop thread only
    WheelNode* slots[kSlots] = {};
    // Written only by MoveTimeWheel under the lock of the slot it empties; RegTimeWheel reads
    // it before taking any lock, so it must be read and written whole.
    std::atomic<int32_t> curIndex{0};
    const bool writer;  // true: serves the write halves
    // slotTicks[i], guarded by slotLocks[i]: the ticks that have emptied slot i. Wraps after
    // 2^32 turns of the wheel; a node only has to tell "in the slot" from "handed out by the
    // last tick and not yet freed".
    uint32_t slotTicks[kSlots] = {};
    // slotNodes[i]: nodes in slot i's chain, written under slotLocks[i] and read without it by
    // NodeCount. One count per slot rather than one for the wheel: a shared counter would be one
    // more cache line passed between the loop thread and the workers on every event.
    std::atomic<int32_t> slotNodes[kSlots] = {};
};
