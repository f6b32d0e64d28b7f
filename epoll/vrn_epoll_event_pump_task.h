// The engine's pump task: carries one ListenCallback delivery to a pump worker. Exported, so its
// layout and type information are part of the interface, as the writers' task is.
#pragma once

#include <stdint.h>

#include "epoll/vrn_listen_callback.h"
#include "host/vrn_block_pool.h"
#include "pump/vrn_event_pump.h"

// Delivers one engine callback. Owns nothing: userData stays the caller's.
class VrnEpoll_EventPump_Task : public Vrn_Event_Pump_TaskBase {
  public:
    VrnEpoll_EventPump_Task(int32_t fd, ListenCallback callback, int32_t code, void* userData)
        : fd(fd), callback(callback), code(code), userData(userData) {}
    void DoEvent() override;
    ~VrnEpoll_EventPump_Task() override;
    // Made once per event: recycled through a block pool (see host/vrn_block_pool.h).
    static void* operator new(size_t n) { return VrnPoolNew<VrnEpoll_EventPump_Task>(n); }
    static void operator delete(void* p, size_t n) noexcept { VrnPoolDelete<VrnEpoll_EventPump_Task>(p, n); }

    int32_t fd;
    ListenCallback callback;  // never null: producers create no task for a missing callback
    int32_t code;
    void* userData;
};
