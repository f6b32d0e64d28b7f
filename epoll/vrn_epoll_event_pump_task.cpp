#include "epoll/vrn_epoll_event_pump_task.h"

#include <exception>

#include "host/vrn_host_lib.h"

// Defined out of line so that this file emits the class's type information and vtable.
VrnEpoll_EventPump_Task::~VrnEpoll_EventPump_Task() = default;

void VrnEpoll_EventPump_Task::DoEvent() {
    try {
        callback(fd, code, userData);
    } catch (const std::exception& e) {
        OutDebug("VrnEpoll_Event_Target.DoEvent() Error: \n");
        OutDebug("%s\n", e.what());
    } catch (...) {
        // Anything that is not a standard exception carries no text to log.
    }
}
