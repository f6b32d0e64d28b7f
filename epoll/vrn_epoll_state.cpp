#include "epoll/vrn_epoll_state.h"

#include "host/vrn_host_lib.h"

std::atomic<int32_t> _epollFd{0};
std::atomic<uint8_t> _running{0};
std::atomic<int32_t> _closeFlag{0};
std::atomic<VrnEpoll_TimeWheel*> _readWheel{nullptr};
std::atomic<VrnEpoll_TimeWheel*> _writeWheel{nullptr};
VrnLoopPass _loopPass;
VrnHalfCounts _halvesArmed;
VrnHalfCounts _halvesDisarmed;

// A disarm is counted after its arm, under the same record lock, both with release: a reader
// that sees the disarm (acquire) sees its arm as well, so the figure is never below zero. With
// the disarmed count unchanged across the read of the armed one, the difference is the figure
// at that read. Under a storm of disarms the last try is taken as it is.
int64_t ArmedHalvesNow(bool isWrite) {
    constexpr int kTries = 100;
    int64_t armed = 0, disarmed = 0;
    for (int i = 0; i < kTries; ++i) {
        disarmed = _halvesDisarmed.Of(isWrite).load(std::memory_order_acquire);
        armed = _halvesArmed.Of(isWrite).load(std::memory_order_acquire);
        if (_halvesDisarmed.Of(isWrite).load(std::memory_order_acquire) == disarmed) break;
    }
    return armed - disarmed;
}

// The flags only need eventual visibility: the loop notices the close flag at its next check.
void VrnEpoll_Close() {
    _closeFlag.store(1, std::memory_order_relaxed);
}

// Acquire: a caller that sees the loop ended also sees everything the loop thread did.
int32_t VrnEpoll_IsRunning() {
    return _running.load(std::memory_order_acquire);
}

// While the loop runs, the clock it cached at the top of its current pass (at most one pass
// old); otherwise a fresh reading of the host clock.
int64_t VrnNowMsec() {
    int64_t cached = _loopPass.msec.load(std::memory_order_relaxed);
    if (cached != 0 && _running.load(std::memory_order_relaxed)) return cached;
    return GetTime_msec();
}
