#include "epoll/vrn_epoll_time_wheel.h"

#include "epoll/vrn_epoll.h"
#include "host/vrn_host_lib.h"

namespace {

int32_t ClampTimeout(int32_t timeoutSec) {
    if (timeoutSec < 0) return 1;
    if (timeoutSec > VrnEpoll_TimeWheel::kMaxTimeout) return VrnEpoll_TimeWheel::kMaxTimeout;
    return timeoutSec;
}

}  // namespace

VrnEpoll_TimeWheel::VrnEpoll_TimeWheel(bool writer) : writer(writer) {}

VrnEpoll_TimeWheel::~VrnEpoll_TimeWheel() {
    for (WheelNode* head : slots) {
        while (head != nullptr) {
            WheelNode* next = head->next;
            delete head;
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
    WheelNode* node = new WheelNode{s->fd, s, nullptr, nullptr};
    std::lock_guard<std::mutex> guard(slotLocks[slot]);
    node->next = slots[slot];
    if (slots[slot] != nullptr) slots[slot]->prev = node;
    slots[slot] = node;
}

void VrnEpoll_TimeWheel::UnregTimeWheel(sckInfo* s) noexcept {
    SckHalf half = HalfOf(s, writer);
    int32_t slot = half.wheelIndex;
    half.wheelIndex = -1;
    half.wheel = nullptr;
    if (static_cast<uint32_t>(slot) >= static_cast<uint32_t>(kSlots)) {
        OutDebug("** VrnEpoll TimeWheel UnregTimeWhell中，移动对象的轮序错，index=%d, scoke=%d\n", slot,
                 s->fd);
        return;
    }
    WheelNode* node;
    {
        std::lock_guard<std::mutex> guard(slotLocks[slot]);
        node = slots[slot];
        while (node != nullptr && node->fd != s->fd) node = node->next;
        if (node == nullptr) {
            // A tick has detached the slot; the node is the loop thread's to free.
            OutDebug("** VrnEpoll TimeWheel UnregTimeWhell中，没有找到被移对象，轮序=%d, scoke=%d\n", slot,
                     s->fd);
            return;
        }
        if (node->prev != nullptr) {
            node->prev->next = node->next;
        } else {
            slots[slot] = node->next;
        }
        if (node->next != nullptr) node->next->prev = node->prev;
    }
    node->sockinfo = nullptr;
    node->prev = node->next = nullptr;
    delete node;
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
    curIndex.store((slot + 1) % kSlots, std::memory_order_relaxed);
    if (emptiedSlot != nullptr) *emptiedSlot = slot;
    return chain;
}

WheelNode* VrnEpoll_TimeWheel::SlotHead(int32_t i) {
    std::lock_guard<std::mutex> guard(slotLocks[i]);
    return slots[i];
}
