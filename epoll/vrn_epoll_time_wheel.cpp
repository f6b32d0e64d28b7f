#include "epoll/vrn_epoll_time_wheel.h"

#include <memory>

#include "epoll/vrn_epoll.h"
#include "host/vrn_host_lib.h"

namespace {

int32_t ClampTimeout(int32_t timeoutSec) {
    if (timeoutSec < 0) return 1;
    if (timeoutSec > VrnEpoll_TimeWheel::kMaxTimeout) return VrnEpoll_TimeWheel::kMaxTimeout;
    return timeoutSec;
}

void FreeNode(WheelNode* node) {
    node->sockinfo = nullptr;
    node->prev = node->next = nullptr;
    delete node;
}

}  // namespace

VrnEpoll_TimeWheel::VrnEpoll_TimeWheel(bool writer) : writer(writer) {}

// Frees the nodes still in the slots; a record that names one of them stops naming it, so
// nothing is left pointing at freed memory.
VrnEpoll_TimeWheel::~VrnEpoll_TimeWheel() {
    for (WheelNode* head : slots) {
        while (head != nullptr) {
            WheelNode* next = head->next;
            if (head->sockinfo == nullptr) {
                FreeNode(head);
            } else {
                std::lock_guard<std::mutex> guard(*head->sockinfo->mutex);
                ReleaseNode(head);
            }
            head = next;
        }
    }
}

void VrnEpoll_TimeWheel::RegTimeWheel(sckInfo* s, int32_t timeoutSec) {
    // A registration that overlaps a tick may use the index from before it and then expires one
    // tick sooner; that is the price of not locking the whole wheel.
    int32_t slot = (ClampTimeout(timeoutSec) + curIndex.load(std::memory_order_relaxed)) % kSlots;
    SckHalf half = HalfOf(s, writer);
    half.wheelIndex = slot;
    half.wheel = this;
    half.timedOut = false;
    std::unique_ptr<WheelNode> node(new WheelNode{s->fd, s, nullptr, nullptr, 0});
    {
        std::lock_guard<std::mutex> guard(slotLocks[slot]);
        node->generation = slotTicks[slot];
        node->next = slots[slot];
        if (slots[slot] != nullptr) slots[slot]->prev = node.get();
        slots[slot] = node.get();
        AddToSlotCount(slot, 1);
    }
    half.node = node.release();
}

bool VrnEpoll_TimeWheel::UnlinkLocked(int32_t slot, WheelNode* node, int32_t fd) noexcept {
    // The count tells a node still in the chain from one a tick has handed out, without a walk;
    // a detached node's links belong to the receiver and must not be touched here.
    if (node == nullptr || node->generation != slotTicks[slot] || node->fd != fd) return false;
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        slots[slot] = node->next;
    }
    if (node->next != nullptr) node->next->prev = node->prev;
    AddToSlotCount(slot, -1);
    return true;
}

void VrnEpoll_TimeWheel::UnregTimeWheel(sckInfo* s) noexcept {
    SckHalf half = HalfOf(s, writer);
    int32_t slot = half.wheelIndex;
    WheelNode* node = half.node;
    half.wheelIndex = -1;
    half.wheel = nullptr;
    half.node = nullptr;
    if (static_cast<uint32_t>(slot) >= static_cast<uint32_t>(kSlots)) {
        OutDebug("** VrnEpoll TimeWheel UnregTimeWhell中，移动对象的轮序错，index=%d, scoke=%d\n", slot,
                 s->fd);
        return;
    }
    {
        std::lock_guard<std::mutex> guard(slotLocks[slot]);
        if (!UnlinkLocked(slot, node, s->fd)) {
            // A tick has detached the slot; the node is the loop thread's to free.
            OutDebug("** VrnEpoll TimeWheel UnregTimeWhell中，没有找到被移对象，轮序=%d, scoke=%d\n", slot,
                     s->fd);
            return;
        }
    }
    FreeNode(node);
}

bool VrnEpoll_TimeWheel::ReleaseNode(WheelNode* node) noexcept {
    bool named = false;
    if (node->sockinfo != nullptr) {
        WheelNode*& own = HalfOf(node->sockinfo, writer).node;
        named = own == node;
        if (named) own = nullptr;
    }
    FreeNode(node);
    return named;
}

// One slot per tick however late the call: under load the wheel runs slow rather than
// skipping slots, and the next tick is timed from this reading.
WheelNode* VrnEpoll_TimeWheel::MoveTimeWheel(int32_t* emptiedSlot) noexcept {
    if (emptiedSlot != nullptr) *emptiedSlot = -1;
    int64_t now = VrnNowMsec();
    if (lastMoveMsec == 0) {
        lastMoveMsec = now;
        return nullptr;
    }
    if (now - lastMoveMsec <= kNoTickMsec) return nullptr;
    lastMoveMsec = now;
    int32_t slot = curIndex.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> guard(slotLocks[slot]);
    WheelNode* chain = slots[slot];
    slots[slot] = nullptr;
    ++slotTicks[slot];  // the nodes just taken no longer count as the slot's
    slotNodes[slot].store(0, std::memory_order_relaxed);
    curIndex.store((slot + 1) % kSlots, std::memory_order_relaxed);
    if (emptiedSlot != nullptr) *emptiedSlot = slot;
    return chain;
}

WheelNode* VrnEpoll_TimeWheel::SlotHead(int32_t i) {
    std::lock_guard<std::mutex> guard(slotLocks[i]);
    return slots[i];
}

// Caller holds slot's lock, so a plain read and write (no read-modify-write) keep it exact.
void VrnEpoll_TimeWheel::AddToSlotCount(int32_t slot, int32_t delta) noexcept {
    slotNodes[slot].store(slotNodes[slot].load(std::memory_order_relaxed) + delta, std::memory_order_relaxed);
}

int64_t VrnEpoll_TimeWheel::NodeCount() const {
    int64_t nodes = 0;
    for (const std::atomic<int32_t>& n : slotNodes) nodes += n.load(std::memory_order_relaxed);
    return nodes;
}

int64_t VrnEpoll_TimeWheel::NodesByWalk() {
    int64_t nodes = 0;
    for (int32_t i = 0; i < kSlots; ++i) {
        std::lock_guard<std::mutex> guard(slotLocks[i]);
        for (WheelNode* n = slots[i]; n != nullptr; n = n->next) ++nodes;
    }
    return nodes;
}
