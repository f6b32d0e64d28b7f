// One HTTP connection, driven by the executable's engine and writers. A connection is owned by
// whichever callback currently runs for it: it is armed for exactly one thing at a time (a read
// registration, a write, or a lingering read), so two threads never touch it at once. After a
// hand-off to VrnEpoll_Listen or a writer succeeds, the caller does not touch the connection
// again: the next callback may already be running on another pump worker.
//
//   read (code 1) -> recv -> parse -> respond (writer) -> completion -> parse the next
//   pipelined request, or read again; time-out (0) and errors (-1) close.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <string>

#include "host/vrn_host_lib.h"
#include "orvanta/http/http_request.h"
#include "orvanta/server/connection_drain.h"
#include "orvanta/server/http_server.h"
#include "orvanta/server/tcp_delivery.h"
#include "orvanta/static/open_file_cache.h"

namespace {

constexpr size_t kReadChunk = 16384;
// Unparsed input is not read beyond this; the rest waits in the socket (flow control).
constexpr size_t kMaxBuffered = 65536;
// After a response that ends the connection, unread input is drained for a short while so the
// close does not reset the connection before the client has read the response. The while is
// counted from the response, not from the last byte read: a peer that keeps sending cannot
// stretch it.
constexpr int64_t kLingerMsec = 2000;
constexpr size_t kMaxLingerBytes = 1 << 20;

DrainList g_connections;

// What only a request in progress needs. Most of a keep-alive connection's life is spent
// idle between requests, so this is made with a request's first bytes and dropped once its
// response is sent with nothing more buffered: an idle connection holds none of it.
struct Exchange {
    RequestParser parser;
    ResponsePlan out;
    std::string requestLine;  // for the access log
};

struct Connection : DrainEntry {
    std::string peer;
    std::string in;  // received, not yet parsed
    bool peerClosed = false;
    std::unique_ptr<Exchange> exchange;  // null while no request is begun
    size_t lingerBytes = 0;
    uint64_t bytesWritten = 0;  // every byte of the earlier responses on this connection
    // GetTime_msec by which the request begun must be complete (its first byte plus the read
    // time-out), however slowly its bytes come; 0 while no request is begun.
    int64_t requestDeadline = 0;
    int64_t lingerDeadline = 0;  // when the linger after a closing response ends
    bool answered = false;       // at least one response was sent
};

void ServeBuffered(Connection* c);

std::string PeerName(const sockaddr_storage& peer) {
    char host[INET6_ADDRSTRLEN] = "-";
    if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr, host, sizeof host);
    else if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, host, sizeof host);
    return host;
}

void CloseConnection(Connection* c) {
    if (c->exchange && c->exchange->out.fileFd >= 0) close(c->exchange->out.fileFd);
    g_connections.Remove(c);
    close(c->fd);
    delete c;
    OnConnectionClosed();
}

// Queued for the log's own thread: a destination that does not keep up costs lines (counted
// and reported), never a worker.
void WriteAccessLog(const Connection* c, int status, uint64_t bytes) {
    g_server->accessLog->Append(
        AccessLogLine(c->peer, time(nullptr), c->exchange->requestLine, status, bytes));
}

// The body bytes of the current response that reached the peer: all of them when the
// transfer completed; for a transfer cut short, what the peer acknowledged beyond the earlier
// responses and this one's header, which all went out before this body.
uint64_t BodyBytesSent(const Connection* c, int32_t result) {
    const ResponsePlan& out = c->exchange->out;
    if (result == 0) return out.contentBytes;
    uint64_t acked;
    if (!TcpBytesAcked(c->fd, &acked)) return 0;
    uint64_t before = c->bytesWritten + out.header.size();
    return acked > before ? std::min(acked - before, out.contentBytes) : 0;
}

void OnReadable(int32_t fd, int32_t code, void* userData);

// The engine's time-out, in whole seconds, for a wait that must end by deadline: rounded up,
// so the wait does not end before it; 0 when the deadline has passed.
int SecondsUntil(int64_t deadline) {
    int64_t left = deadline - GetTime_msec();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

// Waiting between requests takes the whole read time-out each time; a request begun has only
// what is left of its own.
void WaitForRequest(Connection* c) {
    HttpServer& s = *g_server;
    // Sequentially consistent with the stopping flag: either the drain sees this connection
    // idle and ends it, or this sees the server stopping and ends it here.
    bool idle = c->answered && c->in.empty();
    c->idle.store(idle);
    if (idle && s.stopping.load()) {
        CloseConnection(c);
        return;
    }
    int timeout = s.readTimeoutSec;
    if (c->requestDeadline != 0) {
        timeout = SecondsUntil(c->requestDeadline);
        if (timeout == 0) {
            s.counters.Bump(s.counters.readTimeouts);
            CloseConnection(c);
            return;
        }
    }
    if (s.ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnReadable, timeout) != 0) CloseConnection(c);
}

// Reads what the socket holds, up to the buffer bound. False on a socket error. The chunk is
// read on the stack and only the bytes received are appended: growing the string first would
// clear the whole chunk on every read.
bool ReadInput(Connection* c) {
    char chunk[kReadChunk];
    while (c->in.size() < kMaxBuffered) {
        ssize_t n;
        do n = recv(c->fd, chunk, sizeof chunk, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0) {
            c->peerClosed = true;
            return true;
        }
        c->in.append(chunk, size_t(n));
        // A short read means the socket is drained: save the recv that would say EAGAIN.
        if (size_t(n) < sizeof chunk) return true;
    }
    return true;
}

void OnReadable(int32_t, int32_t code, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    c->idle.store(false, std::memory_order_relaxed);
    // 0: the read time-out passed (or the engine dropped the registration); -1: error, hang-up.
    if (code != kVrnEventReadable || !ReadInput(c)) {
        if (code == kVrnEventTimedOut) g_server->counters.Bump(g_server->counters.readTimeouts);
        CloseConnection(c);
        return;
    }
    ServeBuffered(c);
}

void OnLingerReadable(int32_t fd, int32_t code, void* userData);

void LingerClose(Connection* c) {
    if (c->peerClosed) {
        CloseConnection(c);
        return;
    }
    shutdown(c->fd, SHUT_WR);
    c->lingerDeadline = GetTime_msec() + kLingerMsec;
    if (g_server->ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnLingerReadable,
                                     SecondsUntil(c->lingerDeadline)) != 0)
        CloseConnection(c);
}

void OnLingerReadable(int32_t, int32_t code, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    char sink[16384];
    while (code == kVrnEventReadable && c->lingerBytes < kMaxLingerBytes) {
        ssize_t n = recv(c->fd, sink, sizeof sink, 0);
        if (n > 0) {
            c->lingerBytes += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int timeout = SecondsUntil(c->lingerDeadline);
            if (timeout == 0 ||
                g_server->ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnLingerReadable, timeout) != 0)
                break;
            return;
        }
        break;  // the peer closed, or an error
    }
    CloseConnection(c);
}

// The status counters' share of a completed response. The writers report the end of a wait
// for writability as ETIMEDOUT.
void CountSent(const ResponsePlan& out, int32_t result) {
    ServerCounters& counters = g_server->counters;
    counters.CountResponse(out.status, result == 0 ? out.header.size() + out.contentBytes : 0);
    if (result == ETIMEDOUT) counters.Bump(counters.writeTimeouts);
}

// After a kept-alive response: with a pipelined request's bytes buffered, the parser starts
// over on them; with nothing buffered, the connection goes idle and gives back what requests
// hold (a fresh parser is made with the next request's first bytes).
void PrepareNextRequest(Connection* c) {
    if (!c->in.empty()) {
        c->exchange->parser.Reset();
        return;
    }
    c->exchange.reset();
    std::string().swap(c->in);
}

void OnSent(int32_t, int32_t result, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    g_server->responsesInFlight.fetch_sub(1, std::memory_order_relaxed);
    ResponsePlan& out = c->exchange->out;
    if (out.fileFd >= 0) close(out.fileFd);
    out.fileFd = -1;
    if (g_server->accessLogFd >= 0) WriteAccessLog(c, out.status, BodyBytesSent(c, result));
    CountSent(out, result);
    c->bytesWritten += out.header.size() + out.contentBytes;
    bool keepAlive = out.keepAlive;
    out = ResponsePlan();
    c->answered = true;
    if (result != 0 || g_server->stopping.load(std::memory_order_relaxed)) {
        CloseConnection(c);
    } else if (!keepAlive) {
        LingerClose(c);
    } else {
        PrepareNextRequest(c);
        ServeBuffered(c);
    }
}

// Hands the planned response to a writer; the completion continues with the connection.
void Send(Connection* c) {
    HttpServer& s = *g_server;
    s.responsesInFlight.fetch_add(1, std::memory_order_relaxed);
    const ResponsePlan& p = c->exchange->out;
    const uint8_t* header = reinterpret_cast<const uint8_t*>(p.header.data());
    if (p.file && p.file->InMemory()) {
        // A small file's bytes, shared with the cache: one gather write with the header.
        s.ex.Vrn_Tcp_WriteAsync(c->fd, header, p.header.size(),
                                reinterpret_cast<const uint8_t*>(p.file->bytes.data()) + p.fileOffset,
                                p.fileLength, c, OnSent, 0);
    } else if (p.file || p.fileFd >= 0) {
        int fileFd = p.file ? p.file->fd : p.fileFd;
        s.ex.Vrn_Tcp_WriteFileAsync(c->fd, header, p.header.size(), fileFd, int64_t(p.fileOffset),
                                    p.fileLength, c, OnSent, 0);
    } else {
        s.ex.Vrn_Tcp_WriteAsync(c->fd, header, p.header.size(),
                                reinterpret_cast<const uint8_t*>(p.body.data()), p.body.size(), c, OnSent, 0);
    }
}

ResponsePlan Respond(const HttpRequest& request, time_t now) {
    try {
        if (IsStatusRequest(request, g_server->statusPath)) return StatusResponse(request, *g_server, now);
        ResponsePlan plan = HandleRequest(request, g_server->serve, now);
        // A file that exists but could not be opened (descriptors exhausted, an I/O error):
        // the client sees only 500, so say why here.
        if (plan.openError != 0)
            OutDebug("* vrns http: cannot open %s, errno:%d (%s)\n", EscapeForLog(request.target).c_str(),
                     plan.openError, strerrordesc_np(plan.openError));
        return plan;
    } catch (const std::exception& e) {
        OutDebug("* vrns http: request failed: %s\n", e.what());
    }
    return GeneratedResponse(500, false, false, now);
}

void ServeBuffered(Connection* c) {
    // With nothing buffered and no request begun there is nothing to parse: no parser is made.
    ParseResult r = ParseResult::kNeedMore;
    if (c->exchange || !c->in.empty()) {
        if (!c->exchange) c->exchange = std::make_unique<Exchange>();
        size_t used = 0;
        r = c->exchange->parser.Feed(c->in.data(), c->in.size(), &used);
        c->in.erase(0, used);
    }
    if (r == ParseResult::kNeedMore) {
        if (c->peerClosed) {
            CloseConnection(c);
            return;
        }
        if (c->requestDeadline == 0 && c->exchange && c->exchange->parser.started())
            c->requestDeadline = GetTime_msec() + int64_t(g_server->readTimeoutSec) * 1000;
        WaitForRequest(c);
        return;
    }
    c->requestDeadline = 0;
    time_t now = time(nullptr);
    // Only the access log reads it; without one, a request costs no string for it.
    Exchange& x = *c->exchange;
    if (g_server->accessLogFd >= 0) x.requestLine = x.parser.request().RequestLine();
    if (r == ParseResult::kError) {
        // The parser cannot find the next request's start: answer and close.
        x.out = GeneratedResponse(x.parser.errorStatus(), false, false, now);
    } else if (g_server->stopping.load(std::memory_order_relaxed)) {
        HttpRequest last = x.parser.request();  // the connection's last: say so to the client
        last.keepAlive = false;
        x.out = Respond(last, now);
    } else {
        x.out = Respond(x.parser.request(), now);
    }
    Send(c);
}

}  // namespace

void StartConnection(int fd, const sockaddr_storage& peer) {
    // Small responses and the tail after the uncork go out at once; with Nagle they could wait
    // for the client's delayed ACK.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection* c = new Connection();
    c->fd = fd;
    if (g_server->accessLogFd >= 0) c->peer = PeerName(peer);
    g_server->openConnections.fetch_add(1, std::memory_order_relaxed);
    g_connections.Add(c);
    WaitForRequest(c);
}

int CloseIdleConnections() {
    return g_connections.ShutdownIdle();
}
