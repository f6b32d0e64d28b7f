// Engine internals shared by the interest registration (vrn_epoll_interest.cpp) and the loop thread
// (vrn_epoll_loop.cpp), and reachable by the unit tests.
#pragma once

#include <stdint.h>
#include <sys/epoll.h>

#include "epoll/vrn_epoll_sck_map.h"
#include "epoll/vrn_epoll_state.h"
#include "epoll/vrn_epoll_time_wheel.h"
#include "pump/vrn_event_pump.h"

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

// Sets the callback of an idle half. Caller holds the record's lock.
inline void ArmHalf(SckHalf half, ListenCallback callback, void* userData) {
    half.callback = callback;
    half.userData = userData;
    _halvesArmed.Of(half.isWrite).fetch_add(1, std::memory_order_release);
}

// A callback and its user data, taken off a record half (both fields left null).
struct TakenCallback {
    ListenCallback callback;
    void* userData;
};
inline TakenCallback TakeOff(SckHalf half) {
    TakenCallback taken{half.callback, half.userData};
    if (taken.callback != nullptr) _halvesDisarmed.Of(half.isWrite).fetch_add(1, std::memory_order_release);
    half.callback = nullptr;
    half.userData = nullptr;
    return taken;
}

// Hands one delivery to the pump, or to batch when given (the loop thread gathers the deliveries
// of one batch of events and queues them together). Caller holds s's lock and has taken the
// callback off s.
void QueueDelivery(sckInfo* s, ListenCallback callback, int32_t code, void* userData,
                   VrnEventPumpBatch* batch = nullptr);

// Deletes s from the epoll set. Returns 0 or the error; the record no longer counts it in the set
// either way (ENOENT and EBADF: it had left already, with its close). Caller holds s's lock.
int DeleteInterest(sckInfo* s);

// What ArmInterest tried: the first operation and its error, and the operation last tried.
struct ArmAttempt {
    int firstOp;
    int firstErr;
    int op;
};
// Arms s with mask, modifying when the record has the socket in the set and adding otherwise;
// each falls back once to the other (ENOENT on modify: the socket left the set with its close,
// and the number may be a new socket's; EEXIST on add). Keeps the record's place in the set.
// Returns 0 or the last error. Caller holds s's lock.
int ArmInterest(sckInfo* s, uint32_t mask, ArmAttempt* attempt);

// The interest mask for the halves of s armed now; 0 when none is.
uint32_t MaskForArmedHalves(const sckInfo* s);

// Re-arms s for the halves still armed. With none armed, a socket the kernel has disarmed stays
// in the set as it is, and one still armed (a time-out) leaves it. Caller holds s's lock.
void ResetEventListen(sckInfo* s);

// Loop thread. ParseEvent runs with s's lock held; events 0 handles s's expired halves.
// Deliveries go to batch when given, else straight to the pump.
void ParseEvent(sckInfo* s, uint32_t events, VrnEventPumpBatch* batch = nullptr);
// Turns both wheels and delivers their expiries. False when a node's handling raised something
// that is not a standard exception (the rest of the chain is still finished).
bool CheckTimeOut(VrnEventPumpBatch* batch = nullptr);
// Finishes a chain detached from wheel by the tick that emptied slot: every node is freed, and
// each half still in that slot is delivered its time-out. False as for CheckTimeOut.
bool ExpireChain(VrnEpoll_TimeWheel* wheel, int32_t slot, WheelNode* chain,
                 VrnEventPumpBatch* batch = nullptr);
void _WorkThreadFunc();
