#include "orvanta/server/server_stop.h"

#include <limits.h>
#include <stdint.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/vrn_host_lib.h"
#include "orvanta/server/http_accept.h"
#include "orvanta/server/http_connection.h"
#include "orvanta/server/http_server.h"

namespace {

// How often the drain looks at its connections while it waits.
constexpr useconds_t kDrainPollUsec = 10000;
// How long the engine's loop may take to end once asked.
constexpr int64_t kEngineStopMsec = 1000;

// Waits until every connection has closed or the deadline passed; ends idle connections as it
// goes (one whose read wait was armed just after the previous pass is woken again).
void WaitForConnections(HttpServer& s, int64_t deadline) {
    while (s.openConnections.load(std::memory_order_relaxed) > 0 && GetTime_msec() < deadline) {
        CloseIdleConnections(s);
        usleep(kDrainPollUsec);
    }
}

}  // namespace

void StopServer(HttpServer& s, int drainTimeoutSec) {
    s.stopping.store(true);  // sequentially consistent: see DrainList::EndIdle
    s.gate.Close(s.listenFd);
    AcceptPending(s);
    shutdown(s.listenFd, SHUT_RDWR);  // a listening socket stops listening; its number stays ours
    int64_t deadline = drainTimeoutSec > 0 ? GetTime_msec() + int64_t(drainTimeoutSec) * 1000 : INT64_MAX;
    WaitForConnections(s, deadline);
    int cut = CutResponses(s);
    if (cut > 0) OutDebug("* vrns http: the drain's time-out cut %d responses short\n", cut);
    s.ex.VrnEpoll_Close();
    int64_t engineDeadline = GetTime_msec() + kEngineStopMsec;
    while (s.ex.VrnEpoll_IsRunning() && GetTime_msec() < engineDeadline) usleep(kDrainPollUsec);
}
