// The host library's default job: a static-file HTTP/1.1 server that reaches the network only
// through the executable's exported interface, resolved by name as the managed server does.
//
// Threads: the process's main thread parses options, opens the listening socket, starts the
// engine, then waits on a signalfd and a wake-up eventfd; it alone resumes accepting. Pump
// workers run every engine callback: accepting (http_accept.cpp) and the connections
// (http_connection.cpp).
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
#include <memory>
#include <string>

#include "host/vrn_host_lib.h"
#include "orvanta/server/http_accept.h"
#include "orvanta/server/http_server.h"
#include "orvanta/server/server_options.h"
#include "orvanta/server/server_stop.h"
#include "orvanta/static/open_file_cache.h"

namespace {

// About 13 000 lines of 80 bytes held while the destination catches up; beyond, lines drop.
constexpr size_t kAccessLogBuffer = 1 << 20;
constexpr int kExitFlushMsec = 1000;

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
        s->accessLog =
            std::make_unique<LineWriter>(s->accessLogFd, kAccessLogBuffer, ReportDroppedAccessLines);
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
        s->cache = std::make_unique<OpenFileCache>(limits, GetTime_msec);
        s->serve.cache = s->cache.get();
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
    if (!StartAccepting(*s)) {
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
void WaitForSignal(HttpServer& server, int signalFd, int wakeFd) {
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
        timeout = ResumeAccepting(server);
    }
}

// The access log's last lines, the flush bounded: a destination that stalls must not stop the exit.
void FlushAccessLog(HttpServer* s) {
    if (s->accessLog != nullptr) {
        s->accessLog->Flush(kExitFlushMsec);
        uint64_t dropped = s->accessLog->dropped();
        if (dropped != 0)
            OutDebug("* vrns http: %d access log lines dropped in all\n",
                     int(std::min<uint64_t>(dropped, INT_MAX)));
    }
}

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
    auto owned = std::make_unique<HttpServer>();
    int signalFd = -1, wakeFd = -1;
    if (!Prepare(options, owned.get(), &error) || !OpenWakeups(&signalFd, &wakeFd, &error)) {
        fprintf(stderr, "vrns: %s\n", error.c_str());
        return 1;
    }
    owned->gate.Init(&owned->ex, wakeFd);
    if (!StartServing(owned.get(), &error)) {
        fprintf(stderr, "vrns: %s\n", error.c_str());
        return 1;
    }
    HttpServer* server = owned.release();  // serving: never freed (see HttpServer)
    sockaddr_storage bound{};
    socklen_t len = sizeof bound;
    getsockname(server->listenFd, reinterpret_cast<sockaddr*>(&bound), &len);
    printf("vrns: serving %s on http://%s/\n", ServedRoot(options.root).c_str(),
           FormatAddress(bound).c_str());
    fflush(stdout);
    WaitForSignal(*server, signalFd, wakeFd);
    StopServer(*server, options.drainTimeoutSec);
    FlushAccessLog(server);
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
