// The engine's status counters. The registry's records are listed under _rw_lock, which is
// released before any record's lock is taken (the registry's lock is a leaf); each wheel counts
// its slots one slot lock at a time.
#include "epoll/vrn_epoll_stats.h"

#include <errno.h>

#include <mutex>

#include "epoll/vrn_epoll_sck_map.h"
#include "epoll/vrn_epoll_state.h"
#include "epoll/vrn_epoll_time_wheel.h"

namespace {

int64_t WheelOccupancy(const std::atomic<VrnEpoll_TimeWheel*>& wheel) {
    VrnEpoll_TimeWheel* w = wheel.load(std::memory_order_acquire);
    return w ? w->Occupancy() : 0;
}

}  // namespace

int32_t VrnEpoll_GetStats(VrnEpollStats* out) {
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *out = VrnEpollStats{};
    if (_epollFd.load(std::memory_order_acquire) <= 0) return 0;
    try {
        for (sckInfo* s : SocketMap_AllRecords()) {
            std::lock_guard<std::mutex> guard(*s->mutex);
            out->armedReadHalves += s->readCallback != nullptr;
            out->armedWriteHalves += s->writeCallback != nullptr;
        }
        out->readWheelNodes = WheelOccupancy(_readWheel);
        out->writeWheelNodes = WheelOccupancy(_writeWheel);
    } catch (...) {
        // The list of records could not be allocated (or a lock failed): no exception leaves
        // an exported function.
        *out = VrnEpollStats{};
        errno = ENOMEM;
        return -1;
    }
    return 0;
}
