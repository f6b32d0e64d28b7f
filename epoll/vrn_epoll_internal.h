// Engine internals shared by the interest registration (vrn_epoll_interest.cpp) and the loop thread
// (vrn_epoll_loop.cpp), and reachable by the unit tests.
#pragma once

#include <stdint.h>
#include <sys/epoll.h>

#include "epoll/vrn_epoll_sck_map.h"
#include "epoll/vrn_epoll_time_wheel.h"

// One-shot, level-triggered interest; the event's user data is the record's address.
constexpr uint32_t kVrnReadMask = 0x40002059;
constexpr uint32_t kVrnWriteMask = 0x4000201C;
constexpr uint32_t kVrnReadWriteMask = 0x4000205D;
static_assert(kVrnReadMask == (EPOLLIN | EPOLLRDNORM | EPOLLERR | EPOLLHUP | EPOLLRDHUP | EPOLLONESHOT));
static_assert(kVrnWriteMask == (EPOLLOUT | EPOLLERR | EPOLLHUP | EPOLLRDHUP | EPOLLONESHOT));
static_assert(kVrnReadWriteMask == (kVrnReadMask | kVrnWriteMask));
constexpr uint32_t kVrnErrorBits = EPOLLERR | EPOLLHUP | EPOLLRDHUP;  // 0x2018

// The time-out VrnEpoll_Listen uses when given 0.
constexpr int32_t kListenDefaultTimeoutSec = 30;
constexpr int kMaxEventsPerWait = 512;
constexpr int kWaitMsec = 100;

// epoll_ctl on the engine's descriptor (read afresh on each try), repeated while interrupted.
// Returns 0 or the call's error; errno is left as the call set it.
int VrnEpoll_Ctl(int op, int32_t fd, uint32_t events, sckInfo* s);

// A callback and its user data, taken off a record half (both fields left null).
struct TakenCallback {
    ListenCallback callback;
    void* userData;
};
inline TakenCallback TakeOff(SckHalf half) {
    TakenCallback taken{half.callback, half.userData};
    half.callback = nullptr;
    half.userData = nullptr;
    return taken;
}

// Hands one delivery to the pump. Caller holds s's lock and has taken the callback off s.
void QueueDelivery(sckInfo* s, ListenCallback callback, int32_t code, void* userData);

// Re-arms s for the halves still armed, or takes it out of the set. Caller holds s's lock.
void ResetEventListen(sckInfo* s);

// Loop thread. ParseEvent runs with s's lock held; events 0 handles s's expired halves.
void ParseEvent(sckInfo* s, uint32_t events);
// Turns both wheels and delivers their expiries. False when a node's handling raised something
// that is not a standard exception (the rest of the chain is still finished).
bool CheckTimeOut();
// Finishes a chain detached from wheel by the tick that emptied slot: every node is freed, and
// each half still in that slot is delivered its time-out. False as for CheckTimeOut.
bool ExpireChain(VrnEpoll_TimeWheel* wheel, int32_t slot, WheelNode* chain);
void _WorkThreadFunc();
