// Threads: the accept callback runs on pump workers, one at a time (the registry arms the
// socket one-shot); the main thread resumes accepting after a pause and takes the last
// connections at stop.
#include "orvanta/server/http_accept.h"

#include <errno.h>
#include <sys/socket.h>

#include <atomic>

#include "host/vrn_host_lib.h"
#include "orvanta/server/http_connection.h"
#include "orvanta/server/http_server.h"

namespace {

constexpr int kAcceptsPerWake = 64;
// At stop: how many already completed connections are still taken from the listening
// socket's queue.
constexpr int kMaxPendingOnStop = 4096;

// The registry's callback carries no user data, so the server that accepts is found here. Set
// (release) before the socket is registered, never changed; the callback reads it (acquire).
std::atomic<HttpServer*> g_acceptingServer{nullptr};

bool AtConnectionLimit(const HttpServer& s) {
    return s.maxConnections > 0 && s.openConnections.load() >= s.maxConnections;
}

bool IsOutOfDescriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// At stop the listening socket is shut down, and a wake-up already on its way then finds accept
// refusing with EINVAL: the end of accepting, not a fault worth a line.
bool StoppedListening(const HttpServer& s, int err) {
    return err == EINVAL && s.stopping.load();
}

// A closed connection may be what a paused accept waits for.
void OnConnectionClosed(HttpServer& server) {
    server.openConnections.fetch_sub(1);  // sequentially consistent: see AcceptGate::paused
    if (server.gate.paused()) server.gate.Wake();
}

void OnAcceptReady(int32_t listenFd, int32_t code) {
    HttpServer& s = *g_acceptingServer.load(std::memory_order_acquire);
    if (code != kVrnAcceptWaiting) {
        if (!s.stopping.load(std::memory_order_relaxed)) s.gate.Lost();
        return;
    }
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        if (AtConnectionLimit(s)) {
            s.gate.Pause(listenFd, 0);
            return;
        }
        sockaddr_storage peer;
        socklen_t len = sizeof peer;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        int err = errno;
        if (fd < 0) {
            if (err == EINTR || err == ECONNABORTED || err == EPROTO) continue;
            if (err == EAGAIN || err == EWOULDBLOCK) return;
            if (IsOutOfDescriptors(err)) {
                s.counters.Bump(s.counters.acceptBackoffs);
                int64_t delay = s.gate.NextBackoff();
                OutDebug("* vrns http: accept failed, errno:%d; pausing %d ms\n", err, int(delay));
                s.gate.Pause(listenFd, delay);
            } else if (!StoppedListening(s, err)) {
                OutDebug("* vrns http: accept failed, errno:%d\n", err);
            }
            return;
        }
        s.gate.AcceptSucceeded();
        // Even while stopping: the connection carries a request, which the drain answers.
        StartConnection(s, fd, peer);
    }
}

}  // namespace

bool StartAccepting(HttpServer& server) {
    server.onConnectionClosed = OnConnectionClosed;
    g_acceptingServer.store(&server, std::memory_order_release);
    server.ex.Vrn_Accept_Init();
    return server.ex.Vrn_Accept_Add(server.listenFd, OnAcceptReady) == 0;
}

int ResumeAccepting(HttpServer& server) {
    return server.gate.TryResume(server.listenFd, OnAcceptReady, AtConnectionLimit(server));
}

// Connections the kernel completed before accepting stopped carry requests: they are served.
void AcceptPending(HttpServer& server) {
    for (int i = 0; i < kMaxPendingOnStop; ++i) {
        sockaddr_storage peer;
        socklen_t len = sizeof peer;
        int fd =
            accept4(server.listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return;
        StartConnection(server, fd, peer);
    }
}
