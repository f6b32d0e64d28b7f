// Counters of the event pump for a status page, exported with plain linkage.
#pragma once

#include <stdint.h>

struct VrnPumpStats {
    int64_t queuedTasks;   // waiting in the shared queue (taken batches not included)
    int64_t workers;       // running workers: the persistent one plus the extra ones; 0 before start
    int64_t extraWorkers;  // of which extra
};

extern "C" {
// Fills *out; -1 with EINVAL when out is null. Reads atomics only: safe from any thread.
int32_t VRN_EventPump_GetStats(VrnPumpStats* out);
}
