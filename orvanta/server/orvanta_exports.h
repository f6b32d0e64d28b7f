// The executable's exported interface as the host library sees it: every name is resolved at
// run time in the main program, as the real host library does.
#pragma once

#include <stdint.h>

#include "epoll/vrn_epoll_stats.h"
#include "epoll/vrn_listen_callback.h"
#include "net/vrn_asscept.h"
#include "net/vrn_write_completion.h"
#include "pump/vrn_event_pump_stats.h"

struct VrnsExports {
    int32_t (*VrnEpoll_Init)();
    int32_t (*VrnEpoll_Start)();
    void (*VrnEpoll_Close)();
    int32_t (*VrnEpoll_IsRunning)();
    int32_t (*VrnEpoll_Listen)(int32_t, int32_t, void*, ListenCallback, int32_t);
    void (*VrnEpoll_Remove)(int32_t);
    int64_t (*VrnNowMsec)();
    void (*Vrn_Accept_Init)();
    int32_t (*Vrn_Accept_Add)(int32_t, AcceptCallback);
    void (*Vrn_Accept_Remove)(int32_t);
    void (*Vrn_Tcp_WriteAsync)(int32_t, const uint8_t*, uint64_t, const uint8_t*, uint64_t, void*,
                               WriteCompletion, int32_t);
    void (*Vrn_Tcp_WriteFileAsync)(int32_t, const uint8_t*, uint64_t, int32_t, int64_t, uint64_t, void*,
                                   WriteCompletion, int32_t);
    int32_t (*VrnEpoll_GetStats)(VrnEpollStats*);
    int32_t (*VRN_EventPump_GetStats)(VrnPumpStats*);
};

// Resolves the whole interface; false (with the missing name in *missing) when one is absent.
bool ResolveVrnsExports(VrnsExports* out, const char** missing);

// Every exported name of the executable's interface, mangled where it is C++, null-terminated.
extern const char* const kVrnsExportNames[];
