#include "orvanta/server/server_counters.h"

void ServerCounters::CountResponse(int status, uint64_t bytes) {
    int cls = status / 100 - 1;
    if (cls >= 0 && cls < 5) Bump(responsesByClass[cls]);
    if (bytes > 0) Bump(bytesSent, bytes);
}
