#include "epoll/vrn_epoll_state.h"

#include "host/vrn_host_lib.h"

std::atomic<int32_t> _epollFd{0};
std::atomic<uint8_t> _running{0};
std::atomic<int32_t> _closeFlag{0};
std::atomic<int64_t> _cachedMsec{0};
std::atomic<uint64_t> _loopWait{0};
std::atomic<VrnEpoll_TimeWheel*> _readWheel{nullptr};
std::atomic<VrnEpoll_TimeWheel*> _writeWheel{nullptr};
std::atomic<int64_t> _armedReadHalves{0};
std::atomic<int64_t> _armedWriteHalves{0};

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
    int64_t cached = _cachedMsec.load(std::memory_order_relaxed);
    if (cached != 0 && _running.load(std::memory_order_relaxed)) return cached;
    return GetTime_msec();
}
