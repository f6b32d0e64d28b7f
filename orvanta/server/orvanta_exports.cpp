#include "orvanta/server/orvanta_exports.h"

#include <dlfcn.h>

const char* const kVrnsExportNames[] = {
    "VrnEpoll_Init",
    "VrnEpoll_Start",
    "VrnEpoll_Close",
    "VrnEpoll_IsRunning",
    "VrnEpoll_Listen",
    "VrnEpoll_Remove",
    "VrnNowMsec",
    "VRN_EventPump_AddTask",
    "Vrn_Accept_Init",
    "Vrn_Accept_Add",
    "Vrn_Accept_Remove",
    "Vrn_Tcp_WriteAsync",
    "Vrn_Tcp_WriteFileAsync",
    "VrnEpoll_GetStats",
    "VRN_EventPump_GetStats",
    "get_system_defines",
    "___VRNS_CAN_NOT_CALL_ME___",
    "_lastAddMsec",
    "_ZN8VrnMutexC1Ev",  // VrnMutex::VrnMutex()
    "_ZN8VrnMutexC2Ev",
    "_ZN8VrnMutexD1Ev",  // VrnMutex::~VrnMutex()
    "_ZN8VrnMutexD2Ev",
    "_ZN8VrnMutex4LockEv",
    "_ZN8VrnMutex7TrylockEv",
    "_ZN8VrnMutex6UnlockEv",
    "_ZTI23Vrn_Event_Pump_TaskBase",  // type information of the task classes
    "_ZTI23VrnEpoll_EventPump_Task",
    "_ZTI28Vrn_TcpWriter_EventPump_Task",
    nullptr,
};

namespace {

template <typename F>
bool Resolve(F*& slot, const char* name, const char** missing) {
    slot = reinterpret_cast<F*>(dlsym(RTLD_DEFAULT, name));
    if (!slot && missing) *missing = name;
    return slot != nullptr;
}

}  // namespace

bool ResolveVrnsExports(VrnsExports* e, const char** missing) {
#define VRNS_RESOLVE(name) Resolve(e->name, #name, missing)
    return VRNS_RESOLVE(VrnEpoll_Init) && VRNS_RESOLVE(VrnEpoll_Start) && VRNS_RESOLVE(VrnEpoll_Close) &&
           VRNS_RESOLVE(VrnEpoll_IsRunning) && VRNS_RESOLVE(VrnEpoll_Listen) &&
           VRNS_RESOLVE(VrnEpoll_Remove) && VRNS_RESOLVE(VrnNowMsec) && VRNS_RESOLVE(Vrn_Accept_Init) &&
           VRNS_RESOLVE(Vrn_Accept_Add) && VRNS_RESOLVE(Vrn_Accept_Remove) &&
           VRNS_RESOLVE(Vrn_Tcp_WriteAsync) && VRNS_RESOLVE(Vrn_Tcp_WriteFileAsync) &&
           VRNS_RESOLVE(VrnEpoll_GetStats) && VRNS_RESOLVE(VRN_EventPump_GetStats);
#undef VRNS_RESOLVE
}
