// The event pump's exported interface: a process-wide FIFO of tasks run by an elastic pool of
// workers. A task handed in from outside the executable must have this object layout: the
// vtable holds DoEvent first, then the virtual destructor.
#pragma once

#include <stdint.h>

class Vrn_Event_Pump_TaskBase {
  public:
    virtual void DoEvent() = 0;
    virtual ~Vrn_Event_Pump_TaskBase();
};

extern "C" {
// Starts the pump on the first call; queues task when it is not null. The pump owns the task
// from here on and deletes it after running it. Safe to call from any thread.
void VRN_EventPump_AddTask(Vrn_Event_Pump_TaskBase* task);

// GetTime_msec reading of the last extra worker's start (or of the pump's start).
extern int64_t _lastAddMsec;
}
