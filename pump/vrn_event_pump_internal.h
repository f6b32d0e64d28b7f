// The pump's private state, reachable by tests. Nothing here is part of the exported interface.
#pragma once

#include <stdint.h>

#include <mutex>

namespace vrn_pump_internal {

// Extra-worker limit for a hardware-concurrency figure: the figure itself when above 1, else 2
// (0 is what the thread library reports when it cannot tell).
int32_t ExtraWorkerLimit(unsigned hardwareConcurrency);

// Makes the pump's start use figure instead of std::thread::hardware_concurrency().
// Call before the first VRN_EventPump_AddTask.
void OverrideHardwareConcurrency(unsigned figure);

// The queue lock; tests hold it to line racing first callers up behind the start sequence.
std::mutex& PumpLock();

bool PumpStarted();
// Tasks queued since a worker last took the shared queue.
int32_t PumpCount();
// Workers waiting on the semaphore (or about to), and the posts made so far.
int32_t SleepingWorkers();
int64_t WakeUps();
// The semaphore's current value; the pump must be started.
int SemValue();
int32_t ExtraWorkers();
int32_t MaxExtraWorkers();
// Worker threads started so far: the persistent one plus every extra one ever added.
int32_t WorkersStarted();

}  // namespace vrn_pump_internal
