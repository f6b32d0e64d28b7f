#include "pump/vrn_event_pump_stats.h"

#include <errno.h>

#include "pump/vrn_event_pump_internal.h"

int32_t VRN_EventPump_GetStats(VrnPumpStats* out) {
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *out = VrnPumpStats{};
    if (!vrn_pump_internal::PumpStarted()) return 0;
    out->queuedTasks = vrn_pump_internal::PumpCount();
    out->extraWorkers = vrn_pump_internal::ExtraWorkers();
    out->workers = 1 + out->extraWorkers;
    return 0;
}
