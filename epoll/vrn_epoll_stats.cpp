// The engine's status counters: kept by the engine as it arms and disarms halves and links and
// unlinks wheel nodes, so reading them takes no lock and walks nothing.
#include "epoll/vrn_epoll_stats.h"

#include <errno.h>

#include "epoll/vrn_epoll_state.h"
#include "epoll/vrn_epoll_time_wheel.h"

namespace {

int64_t WheelNodes(const std::atomic<VrnEpoll_TimeWheel*>& wheel) {
    VrnEpoll_TimeWheel* w = wheel.load(std::memory_order_acquire);
    return w ? w->NodeCount() : 0;
}

}  // namespace

int32_t VrnEpoll_GetStats(VrnEpollStats* out) {
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *out = VrnEpollStats{};
    if (_epollFd.load(std::memory_order_acquire) <= 0) return 0;
    out->armedReadHalves = ArmedHalvesNow(false);
    out->armedWriteHalves = ArmedHalvesNow(true);
    out->readWheelNodes = WheelNodes(_readWheel);
    out->writeWheelNodes = WheelNodes(_writeWheel);
    return 0;
}
