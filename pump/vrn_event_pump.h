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

struct PumpNode;

// Tasks gathered by one producer and queued together, in the order added: one lock and at most
// one wake-up for the lot, instead of one each. Ownership of each task passes to the batch when
// added, and to the pump at Submit (or at destruction). For one thread at a time; the engine's
// loop thread gathers each batch of events this way. Add allocates (a failure throws, the task
// then still belongs to the caller).
class VrnEventPumpBatch {
  public:
    VrnEventPumpBatch() = default;
    ~VrnEventPumpBatch() { Submit(); }
    VrnEventPumpBatch(const VrnEventPumpBatch&) = delete;
    VrnEventPumpBatch& operator=(const VrnEventPumpBatch&) = delete;

    void Add(Vrn_Event_Pump_TaskBase* task);
    // Queues what the batch holds (starting the pump if needed) and leaves it empty.
    void Submit() noexcept;

  private:
    PumpNode* first_ = nullptr;
    PumpNode* last_ = nullptr;
    int32_t count_ = 0;
};

// Queues task as a follow-up of the running task: on a pump worker inside a batch, while nothing
// waits in the shared queue, it is linked in at the tail of that worker's batch, so it runs on
// this worker after the batch's other tasks, without the shared queue's lock or a wake-up, while
// what it needs may still be in the cache; otherwise (on any other thread, or behind tasks
// already waiting in the shared queue) it is queued as VRN_EventPump_AddTask would. Either way
// tasks are taken in the order queued. For the continuation of the work the calling task is
// doing (the writers deliver the completion of a write that finished at once this way), never
// for work that the caller then waits for. A failed allocation ends the process.
void VrnEventPump_AddFollowUp(Vrn_Event_Pump_TaskBase* task) noexcept;

extern "C" {
// Starts the pump on the first call; queues task when it is not null. The pump owns the task
// from here on and deletes it after running it. Safe to call from any thread.
void VRN_EventPump_AddTask(Vrn_Event_Pump_TaskBase* task);

// GetTime_msec reading of the last extra worker's start (or of the pump's start).
extern int64_t _lastAddMsec;
}
