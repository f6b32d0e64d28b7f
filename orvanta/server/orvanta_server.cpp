// The host library's default job: a static-file HTTP/1.1 server that reaches the network only
// through the executable's exported interface, resolved by name as the managed server does.
//
// Threads: the process's main thread parses options, opens the listening socket, starts the
// engine, then waits on a signalfd and a wake-up eventfd; it alone resumes accepting. Pump
// workers run every engine callback: accepting (OnAcceptReady) and the connections
// (http_connection.cpp). The accept gate's mutex is taken before the registry's own lock (it is
// held across Vrn_Accept_Add/Remove) and never while a connection callback runs.
#include "orvanta/server/orvanta_server.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <string>

#include "host/vrn_host_lib.h"
#include "orvanta/orvanta_host.h"
#include "orvanta/server/http_server.h"
#include "orvanta/server/server_options.h"
#include "orvanta/static/open_file_cache.h"

HttpServer* g_server = nullptr;

namespace {

constexpr int kAcceptsPerWake = 64;
constexpr int64_t kFirstBackoffMsec = 10;
constexpr int64_t kMaxBackoffMsec = 1000;
// At stop: how long responses in flight may take, and how many already completed connections
// are still taken from the listening socket's queue.
constexpr int64_t kDrainMsec = 5000;
constexpr int kMaxPendingOnStop = 4096;
// About 13 000 lines of 80 bytes held while the destination catches up; beyond, lines drop.
constexpr size_t kAccessLogBuffer = 1 << 20;
constexpr int kExitFlushMsec = 1000;

// Stops and resumes accepting. The registry re-arms the listening socket after every
// notification, so a callback that cannot accept (descriptors exhausted, connection limit)
// takes the socket out; the main thread puts it back after a pause that doubles while accept
// keeps failing, so the server neither spins nor stops for good.
class AcceptGate {
  public:
    void Init(int wakeFd) { wakeFd_ = wakeFd; }

    // On a pump worker, inside the accept callback: take the socket out for delayMsec.
    void Pause(int listenFd, int64_t delayMsec) {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!paused_) g_server->ex.Vrn_Accept_Remove(listenFd);
        PauseLocked(delayMsec);
    }

    // The registry ended the socket's registration itself (an error on the socket, or a failed
    // re-arm): it is out, or about to be taken out; put it back after a pause.
    void Lost() {
        std::lock_guard<std::mutex> guard(mutex_);
        PauseLocked(100);
    }

    // Descriptors exhausted: a pause that grows while the condition lasts. Only the accept
    // callback calls these, and the registry's one-shot arming never runs two of them at once.
    int64_t NextBackoff() {
        int64_t b = backoffMsec_.load(std::memory_order_relaxed);
        backoffMsec_.store(std::min(b * 2, kMaxBackoffMsec), std::memory_order_relaxed);
        return b;
    }
    void AcceptSucceeded() { backoffMsec_.store(kFirstBackoffMsec, std::memory_order_relaxed); }

    void Wake() {
        uint64_t one = 1;
        ssize_t w;
        do w = write(wakeFd_, &one, sizeof one);
        while (w < 0 && errno == EINTR);
    }
    // Sequentially consistent, with the connection count: a closing connection that decrements
    // the count and then finds the gate open must not miss a pause whose owner found the
    // count still at the limit (store-then-load on both sides).
    bool paused() const { return pausedHint_.load(); }

    // Main thread: re-adds the socket when due; returns how long the main thread may sleep.
    int TryResume(int listenFd, AcceptCallback callback);
    // Main thread, at shutdown: out for good.
    void Close(int listenFd) {
        std::lock_guard<std::mutex> guard(mutex_);
        g_server->ex.Vrn_Accept_Remove(listenFd);
        closed_ = true;
        PauseLocked(0);
    }

  private:
    void PauseLocked(int64_t delayMsec) {
        paused_ = true;
        pausedHint_.store(true);
        resumeAt_ = GetTime_msec() + delayMsec;
        Wake();
    }

    std::mutex mutex_;  // guards everything below but wakeFd_ and pausedHint_
    bool paused_ = false;
    bool closed_ = false;
    int64_t resumeAt_ = 0;
    std::atomic<int64_t> backoffMsec_{kFirstBackoffMsec};
    std::atomic<bool> pausedHint_{false};  // paused_, for readers without the lock
    int wakeFd_ = -1;
};

AcceptGate* g_gate = nullptr;

bool AtConnectionLimit() {
    int max = g_server->maxConnections;
    return max > 0 && g_server->openConnections.load() >= max;
}

int AcceptGate::TryResume(int listenFd, AcceptCallback callback) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!paused_ || closed_) return -1;
    int64_t wait = resumeAt_ - GetTime_msec();
    if (wait > 0) return int(std::min<int64_t>(wait, INT_MAX));
    if (AtConnectionLimit()) return -1;  // OnConnectionClosed wakes us
    int added = g_server->ex.Vrn_Accept_Add(listenFd, callback);
    int err = errno;
    if (added != 0) {
        // EEXIST: the registry tells the callback of an error before it drops the entry, so the
        // old entry may still be there; it goes at once, so look again soon. Taking EEXIST for
        // success would leave the socket unarmed for good once that entry is dropped.
        int64_t delay = err == EEXIST ? kFirstBackoffMsec : kMaxBackoffMsec;
        if (err != EEXIST) OutDebug("* vrns http: cannot re-arm the listening socket, errno:%d\n", err);
        resumeAt_ = GetTime_msec() + delay;
        return int(delay);
    }
    paused_ = false;
    pausedHint_.store(false, std::memory_order_relaxed);
    return -1;
}

bool IsOutOfDescriptors(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

void OnAcceptReady(int32_t listenFd, int32_t code) {
    HttpServer& s = *g_server;
    if (code != kVrnAcceptWaiting) {
        if (!s.stopping.load(std::memory_order_relaxed)) g_gate->Lost();
        return;
    }
    for (int i = 0; i < kAcceptsPerWake; ++i) {
        if (AtConnectionLimit()) {
            g_gate->Pause(listenFd, 0);
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
                int64_t delay = g_gate->NextBackoff();
                OutDebug("* vrns http: accept failed, errno:%d; pausing %d ms\n", err, int(delay));
                g_gate->Pause(listenFd, delay);
            } else {
                OutDebug("* vrns http: accept failed, errno:%d\n", err);
            }
            return;
        }
        g_gate->AcceptSucceeded();
        // Even while stopping: the connection carries a request, which the drain answers.
        StartConnection(fd, peer);
    }
}

int OpenListener(const ServerOptions& o, std::string* error) {
    int fd = socket(o.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Every process that sets it may bind the same address; the kernel spreads new
    // connections across their listening sockets.
    if (o.reusePort && setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0) {
        *error = std::string("SO_REUSEPORT: ") + strerror(errno);
        close(fd);
        return -1;
    }
    if (bind(fd, reinterpret_cast<const sockaddr*>(&o.address), o.addressLength) != 0 ||
        listen(fd, 4096) != 0) {
        *error = strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

int OpenAccessLog(const std::string& where) {
    if (where == "off") return -1;
    if (where == "-") return STDOUT_FILENO;
    return open(where.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

// On the access log's thread, once its destination takes lines again.
void ReportDroppedAccessLines(uint64_t dropped) {
    OutDebug("* vrns http: the access log fell behind; %d lines dropped\n",
             int(std::min<uint64_t>(dropped, INT_MAX)));
}

// Opens the access log and starts its writer; false with *error set.
bool StartAccessLog(const std::string& where, HttpServer* s, std::string* error) {
    s->accessLogFd = OpenAccessLog(where);
    if (s->accessLogFd < 0) {
        if (where == "off") return true;
        const char* reason = strerror(errno);
        *error = "cannot open the access log '" + where + "': " + reason;
        return false;
    }
    try {
        s->accessLog = new LineWriter(s->accessLogFd, kAccessLogBuffer, ReportDroppedAccessLines);
    } catch (const std::exception& e) {
        *error = std::string("cannot start the access log's writer: ") + e.what();
        return false;
    }
    return true;
}

// Raises the soft limit on open descriptors to the hard one, as servers do: the hard limit is
// what the administrator allows. Returns the soft limit then in force.
uint64_t RaiseDescriptorLimit() {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return RLIM_INFINITY;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised{lim.rlim_max, lim.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) lim.rlim_cur = lim.rlim_max;
    }
    return lim.rlim_cur;
}

// Everything that can fail before serving starts; false with a one-line message.
bool Prepare(const ServerOptions& o, HttpServer* s, std::string* error) {
    const char* missing = nullptr;
    if (!ResolveVrnsExports(&s->ex, &missing)) {
        *error = std::string("this executable does not export ") + missing;
        return false;
    }
    s->serve.rootFd = open(o.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (s->serve.rootFd < 0) {
        const char* reason = strerror(errno);  // before the message's allocations
        *error = "cannot serve '" + o.root + "': " + reason;
        return false;
    }
    s->mime.Load("/etc/mime.types");
    s->serve.mime = &s->mime;
    s->serve.autoindex = o.autoindex;
    s->statusPath = o.statusPath;
    s->serve.smallFileMax = o.smallFileMax;
    if (o.openFileCache) {
        OpenFileCacheLimits limits;
        limits.maxEntries = o.cacheEntries;
        limits.maxBytes = o.cacheBytes;
        limits.smallFileMax = o.smallFileMax;
        s->serve.cache = new OpenFileCache(limits, GetTime_msec);  // lives as long as the server
    }
    s->readTimeoutSec = o.readTimeoutSec;
    uint64_t descriptors = RaiseDescriptorLimit();
    s->maxConnections = o.maxConnections > 0 ? o.maxConnections : DefaultMaxConnections(descriptors);
    if (!StartAccessLog(o.accessLog, s, error)) return false;
    std::string why;
    s->listenFd = OpenListener(o, &why);
    if (s->listenFd < 0) {
        *error = "cannot listen on " + o.listen + ": " + why;
        return false;
    }
    return true;
}

// Starts the engine and the accepting; false with a one-line message.
bool StartServing(HttpServer* s, std::string* error) {
    if (s->ex.VrnEpoll_Init() != 0 || s->ex.VrnEpoll_Start() != 0) {
        const char* reason = strerror(errno);
        *error = std::string("cannot start the event engine: ") + reason;
        return false;
    }
    s->ex.Vrn_Accept_Init();
    if (s->ex.Vrn_Accept_Add(s->listenFd, OnAcceptReady) != 0) {
        const char* reason = strerror(errno);
        *error = std::string("cannot watch the listening socket: ") + reason;
        return false;
    }
    return true;
}

std::string ServedRoot(const std::string& root) {
    char* real = realpath(root.c_str(), nullptr);
    std::string path = real ? real : root;
    free(real);
    return path;
}

// The main thread's wait: signals end it; wake-ups let the gate resume accepting.
void WaitForSignal(int signalFd, int wakeFd) {
    int timeout = -1;
    while (true) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int n = poll(fds, 2, timeout);
        if (n < 0 && errno != EINTR) return;
        if (n > 0 && fds[0].revents) return;
        if (n > 0 && fds[1].revents) {
            uint64_t count;
            ssize_t r;
            do r = read(wakeFd, &count, sizeof count);
            while (r < 0 && errno == EINTR);
        }
        timeout = g_gate->TryResume(g_server->listenFd, OnAcceptReady);
    }
}

// Connections the kernel completed before accepting stopped carry requests: they are served.
void AcceptPending(int listenFd) {
    for (int i = 0; i < kMaxPendingOnStop; ++i) {
        sockaddr_storage peer;
        socklen_t len = sizeof peer;
        int fd = accept4(listenFd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return;
        StartConnection(fd, peer);
    }
}

// The logs' last lines, each flush bounded: a destination that stalls must not stop the exit.
void FlushLogs(HttpServer* s) {
    if (s->accessLog != nullptr) {
        s->accessLog->Flush(kExitFlushMsec);
        uint64_t dropped = s->accessLog->dropped();
        if (dropped != 0)
            OutDebug("* vrns http: %d access log lines dropped in all\n",
                     int(std::min<uint64_t>(dropped, INT_MAX)));
    }
    FlushDebugLog(kExitFlushMsec);
}

// A graceful drain: stop accepting and serve what already arrived; from then on the kernel
// refuses new connections (a load balancer retries them elsewhere). Connections idle between
// requests are ended at once; the others get their response, marked Connection: close, and
// close. The wait is bounded; then the engine stops.
void Shutdown(HttpServer* s) {
    s->stopping.store(true);  // sequentially consistent: see WaitForRequest
    g_gate->Close(s->listenFd);
    AcceptPending(s->listenFd);
    shutdown(s->listenFd, SHUT_RDWR);  // a listening socket stops listening; its number stays ours
    CloseIdleConnections();
    int64_t deadline = GetTime_msec() + kDrainMsec;
    while (s->openConnections.load(std::memory_order_relaxed) > 0 && GetTime_msec() < deadline) usleep(10000);
    s->ex.VrnEpoll_Close();
    deadline = GetTime_msec() + 1000;
    while (s->ex.VrnEpoll_IsRunning() && GetTime_msec() < deadline) usleep(10000);
    FlushLogs(s);
}

}  // namespace

void OnConnectionClosed() {
    g_server->openConnections.fetch_sub(1);  // sequentially consistent: see AcceptGate::paused
    if (g_gate->paused()) g_gate->Wake();
}

namespace {

// SIGINT and SIGTERM are blocked before the engine and the pump start their threads, which
// inherit the mask, so the signals reach only the signalfd. False with a message on failure.
bool OpenWakeups(int* signalFd, int* wakeFd, std::string* error) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    *signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (*signalFd < 0) {
        const char* reason = strerror(errno);
        *error = std::string("signalfd: ") + reason;
        return false;
    }
    *wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (*wakeFd < 0) {
        const char* reason = strerror(errno);
        *error = std::string("eventfd: ") + reason;
        return false;
    }
    return true;
}

// Serves until SIGINT or SIGTERM; the process's exit status.
int Serve(const ServerOptions& options) {
    std::string error;
    g_server = new HttpServer();
    g_gate = new AcceptGate();
    int signalFd = -1, wakeFd = -1;
    if (!Prepare(options, g_server, &error) || !OpenWakeups(&signalFd, &wakeFd, &error)) {
        fprintf(stderr, "vrns: %s\n", error.c_str());
        return 1;
    }
    g_gate->Init(wakeFd);
    if (!StartServing(g_server, &error)) {
        fprintf(stderr, "vrns: %s\n", error.c_str());
        return 1;
    }
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(g_server->listenFd, reinterpret_cast<sockaddr*>(&bound), &len);
    printf("vrns: serving %s on http://%s/\n", ServedRoot(options.root).c_str(),
           FormatAddress(bound).c_str());
    fflush(stdout);
    WaitForSignal(signalFd, wakeFd);
    Shutdown(g_server);
    return 0;
}

}  // namespace

int RunServer(int argc, char** argv) {
    ServerOptions options;
    std::string error;
    if (!ParseServerOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "vrns: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        fputs(kServerUsage, stdout);
        return 0;
    }
    return Serve(options);
}
