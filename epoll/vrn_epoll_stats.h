// Counters of the socket event engine for a status page: exported with plain linkage, read on
// demand. Each figure is a count the engine keeps as it goes, exact on its own; the figures are
// not read at one instant together.
#pragma once

#include <stdint.h>

struct VrnEpollStats {
    int64_t armedReadHalves;   // records with a read callback registered
    int64_t armedWriteHalves;  // records with a write callback registered
    int64_t readWheelNodes;    // halves waiting in the read wheel's slots
    int64_t writeWheelNodes;
};

extern "C" {
// Fills *out; all zero before VrnEpoll_Init. -1 with EINVAL when out is null. Reads the
// engine's counters: no lock, no walk.
int32_t VrnEpoll_GetStats(VrnEpollStats* out);
}
