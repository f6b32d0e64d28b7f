// One HTTP connection, driven by the executable's engine and writers. A connection is owned by
// whichever callback currently runs for it: it is armed for exactly one thing at a time (a read
// registration, a write, or a lingering read), so two threads never touch it at once. After a
// hand-off to VrnEpoll_Listen or a writer succeeds, the caller does not touch the connection
// again: the next callback may already be running on another pump worker.
//
// Its phase is its state alone (ConnectionState), which each callback checks as it enters:
//
//   kWaitingFirst, kIdle --bytes--> kReading --head complete--> kSending
//   kSending --sent, kept alive--> kReading while the request's body is still to be skipped or
//            the next request's bytes are buffered, else kIdle
//   kSending --sent, the connection's last--> kLingering --input drained--> closed
//   any --time-out, error, the peer gone--> closed
#include "orvanta/server/http_connection.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "host/vrn_host_lib.h"
#include "orvanta/http/http_request.h"
#include "orvanta/server/access_log.h"
#include "orvanta/server/connection_drain.h"
#include "orvanta/server/http_server.h"
#include "orvanta/server/server_status.h"
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

// What only a request in progress needs. Most of a keep-alive connection's life is spent
// idle between requests, so this is taken with a request's first bytes and given back once its
// response is sent with nothing more buffered: an idle connection holds none of it.
struct Exchange {
    RequestParser parser;
    ResponsePlan out;
    std::string requestLine;  // for the access log
};

// A keep-alive connection takes an exchange and an input buffer with each request and gives
// them back after its response: each thread keeps a few it was given back, for the next requests
// it begins, instead of freeing and making them afresh each time. Bounded (a buffer only up to
// kSpareInputBytes), and freed when the thread ends.
constexpr size_t kSpares = 64;
constexpr size_t kSpareInputBytes = 4096;

template <class T>
class SpareList {
  public:
    // A spare when there is one, else a new T.
    T Take() {
        if (items_.empty()) return T();
        T item = std::move(items_.back());
        items_.pop_back();
        return item;
    }
    void Give(T item) {
        if (items_.size() >= kSpares) return;
        if (items_.capacity() == 0) items_.reserve(kSpares);
        items_.push_back(std::move(item));
    }

  private:
    std::vector<T> items_;
};

// This thread's spares. Initial-exec: the library is loaded with the executable, so its
// thread-locals sit in the static TLS block and each use is one load, not a __tls_get_addr call.
SpareList<std::unique_ptr<Exchange>>& SpareExchanges() {
    [[gnu::tls_model("initial-exec")]] thread_local SpareList<std::unique_ptr<Exchange>> spares;
    return spares;
}
SpareList<std::string>& SpareInputs() {
    [[gnu::tls_model("initial-exec")]] thread_local SpareList<std::string> spares;
    return spares;
}

std::unique_ptr<Exchange> TakeExchange() {
    std::unique_ptr<Exchange> x = SpareExchanges().Take();
    if (!x) return std::make_unique<Exchange>();
    x->parser.Reset();
    return x;
}

// An empty input buffer with room for a request, when a spare one has it.
void TakeInputBuffer(std::string* in) {
    if (in->capacity() > std::string().capacity()) return;
    *in = SpareInputs().Take();
}

void GiveBackInputBuffer(std::string* in) {
    if (in->capacity() <= kSpareInputBytes) SpareInputs().Give(std::move(*in));
    std::string().swap(*in);
}

struct Connection : DrainEntry {
    HttpServer* server = nullptr;  // the one that accepted it; outlives it
    std::string peer;
    // Received bytes; those before inParsed are parsed. Pipelined requests are parsed from an
    // offset, and the unparsed rest moves to the front only before the next read (or the buffer
    // empties when all of it is parsed): one move per read, not one per request.
    std::string in;
    size_t inParsed = 0;
    std::unique_ptr<Exchange> exchange;  // from a request's first bytes until it is answered and read
    // GetTime_msec by which the state must end: in kReading, the request begun must be complete
    // (its first byte plus the read time-out), however slowly its bytes come; in kLingering,
    // the linger ends.
    int64_t deadline = 0;
    size_t lingerBytes = 0;
    uint64_t bytesWritten = 0;  // every byte of the earlier responses on this connection
};

const char* StateName(ConnectionState state) {
    switch (state) {
        case ConnectionState::kWaitingFirst:
            return "waiting for its first request";
        case ConnectionState::kIdle:
            return "idle";
        case ConnectionState::kReading:
            return "reading a request";
        case ConnectionState::kSending:
            return "sending";
        case ConnectionState::kLingering:
            return "lingering";
        case ConnectionState::kClosing:
            return "ended by the drain";
    }
    return "unknown";
}

// The engine and the writers call a connection back only in the state it was armed in. Any
// other state means two owners at once, which would corrupt it: the process stops here.
void ExpectState(const Connection* c, std::initializer_list<ConnectionState> allowed, const char* callback) {
    ConnectionState state = c->state.load(std::memory_order_relaxed);
    for (ConnectionState a : allowed)
        if (state == a) return;
    OutDebug("* vrns http: %s called for connection %d while %s\n", callback, c->fd, StateName(state));
    abort();
}

void ServeBuffered(Connection* c, bool inputEnded);

std::string PeerName(const sockaddr_storage& peer) {
    char host[INET6_ADDRSTRLEN] = "-";
    if (peer.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&peer)->sin6_addr, host, sizeof host);
    else if (peer.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&peer)->sin_addr, host, sizeof host);
    return host;
}

// Out of the drain's list first, so that nothing the drain does with a listed connection
// meets it half closed.
void CloseConnection(Connection* c) {
    HttpServer& s = *c->server;
    s.connections.Remove(c);
    if (c->exchange && c->exchange->out.fileFd >= 0) close(c->exchange->out.fileFd);
    close(c->fd);
    delete c;
    if (s.onConnectionClosed) s.onConnectionClosed(s);
}

// Queued for the log's own thread: a destination that does not keep up costs lines (counted
// and reported), never a worker.
void WriteAccessLog(const Connection* c, int status, uint64_t bytes) {
    c->server->accessLog->Append(
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

// A response the drain's bound cuts: logged with the bytes that reached the peer, as a
// response cut by the peer is.
void ReportCut(DrainEntry* entry) {
    const Connection* c = static_cast<const Connection*>(entry);
    if (c->server->accessLogFd >= 0) WriteAccessLog(c, c->exchange->out.status, BodyBytesSent(c, ECANCELED));
}

void OnReadable(int32_t fd, int32_t code, void* userData);

// The engine's time-out, in whole seconds, for a wait that must end by deadline: rounded up,
// so the wait does not end before it; 0 when the deadline has passed.
int SecondsUntil(int64_t deadline) {
    int64_t left = deadline - GetTime_msec();
    return left > 0 ? int((left + 999) / 1000) : 0;
}

// Sequentially consistent, as is the stopping flag: either the drain sees a connection idle
// and ends it, or the connection sees the server stopping (WaitForRequest) and ends itself.
void EnterState(Connection* c, ConnectionState state) {
    c->state.store(state);
}

// A request's first bytes are in: from now on it has the read time-out to be complete. Its
// start is the engine's clock, read once per pass of the loop that delivered the bytes (at most
// a pass early, a fraction of the time-out's second), not a clock reading per request.
void BeginRequest(Connection* c) {
    EnterState(c, ConnectionState::kReading);
    c->deadline = c->server->ex.VrnNowMsec() + int64_t(c->server->readTimeoutSec) * 1000;
    if (!c->exchange) c->exchange = TakeExchange();
}

// Waiting between requests takes the whole read time-out each time; a request begun has only
// what is left of its own.
void WaitForRequest(Connection* c) {
    HttpServer& s = *c->server;
    ConnectionState state = c->state.load(std::memory_order_relaxed);
    if (state == ConnectionState::kIdle && s.stopping.load()) {
        CloseConnection(c);
        return;
    }
    int timeout = s.readTimeoutSec;
    if (state == ConnectionState::kReading) {
        timeout = SecondsUntil(c->deadline);
        if (timeout == 0) {
            s.counters.Bump(s.counters.readTimeouts);
            CloseConnection(c);
            return;
        }
    }
    if (s.ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnReadable, timeout) != 0) CloseConnection(c);
}

enum class Input { kOpen, kEnded, kFailed };

// Reads what the socket holds, up to the buffer bound: kEnded when the peer has closed its
// side (a request it already sent is still answered), kFailed on a socket error. The chunk is
// read on the stack and only the bytes received are appended: growing the string first would
// clear the whole chunk on every read.
Input ReadInput(Connection* c) {
    char chunk[kReadChunk];
    if (c->in.empty()) TakeInputBuffer(&c->in);
    c->in.erase(0, c->inParsed);
    c->inParsed = 0;
    while (c->in.size() < kMaxBuffered) {
        ssize_t n;
        do n = recv(c->fd, chunk, sizeof chunk, 0);
        while (n < 0 && errno == EINTR);
        if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Input::kOpen : Input::kFailed;
        if (n == 0) return Input::kEnded;
        c->in.append(chunk, size_t(n));
        // A short read means the socket is drained: save the recv that would say EAGAIN.
        if (size_t(n) < sizeof chunk) return Input::kOpen;
    }
    return Input::kOpen;
}

// The drain ended this idle connection: it cancelled the read wait, or found this callback
// already on its way. A request that raced in is answered all the same, as the connection's
// last (the server is stopping); without one the connection closes.
void ResumeEndedByDrain(Connection* c, int32_t code) {
    c->server->connections.Reclaim(c, ConnectionState::kReading);
    Input input = code == kVrnEventFailed ? Input::kFailed : ReadInput(c);
    if (input == Input::kFailed || c->in.empty()) {
        CloseConnection(c);
        return;
    }
    BeginRequest(c);
    ServeBuffered(c, input == Input::kEnded);
}

void OnReadable(int32_t, int32_t code, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    ExpectState(c,
                {ConnectionState::kWaitingFirst, ConnectionState::kIdle, ConnectionState::kReading,
                 ConnectionState::kClosing},
                "OnReadable");
    // A waiting connection is taken out of the drain's reach before anything is read: from
    // kReading on, the drain leaves it alone. It may have been ended a moment before.
    ConnectionState waiting = c->state.load();
    if (waiting != ConnectionState::kReading &&
        !c->state.compare_exchange_strong(waiting, ConnectionState::kReading)) {
        ResumeEndedByDrain(c, code);
        return;
    }
    // 0: the read time-out passed (or the engine dropped the registration); -1: error, hang-up.
    Input input = code == kVrnEventReadable ? ReadInput(c) : Input::kFailed;
    if (input == Input::kFailed) {
        if (code == kVrnEventTimedOut) c->server->counters.Bump(c->server->counters.readTimeouts);
        CloseConnection(c);
        return;
    }
    if (!c->exchange && c->in.empty()) {  // nothing came: waiting as before, holding nothing
        GiveBackInputBuffer(&c->in);
        EnterState(c, waiting);
    }
    ServeBuffered(c, input == Input::kEnded);
}

void OnLingerReadable(int32_t fd, int32_t code, void* userData);

// A peer that has closed its side already makes the linger's first read end it.
void LingerClose(Connection* c) {
    EnterState(c, ConnectionState::kLingering);
    shutdown(c->fd, SHUT_WR);
    c->deadline = GetTime_msec() + kLingerMsec;
    if (c->server->ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnLingerReadable,
                                      SecondsUntil(c->deadline)) != 0)
        CloseConnection(c);
}

void OnLingerReadable(int32_t, int32_t code, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    ExpectState(c, {ConnectionState::kLingering}, "OnLingerReadable");
    char sink[16384];
    while (code == kVrnEventReadable && c->lingerBytes < kMaxLingerBytes) {
        ssize_t n = recv(c->fd, sink, sizeof sink, 0);
        if (n > 0) {
            c->lingerBytes += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            int timeout = SecondsUntil(c->deadline);
            if (timeout == 0 ||
                c->server->ex.VrnEpoll_Listen(c->fd, kVrnEventReadable, c, OnLingerReadable, timeout) != 0)
                break;
            return;
        }
        break;  // the peer closed, or an error
    }
    CloseConnection(c);
}

// The status counters' share of a completed response. The writers report the end of a wait
// for writability as ETIMEDOUT.
void CountSent(ServerCounters& counters, const ResponsePlan& out, int32_t result) {
    counters.CountResponse(out.status, result == 0 ? out.header.size() + out.contentBytes : 0);
    if (result == ETIMEDOUT) counters.Bump(counters.writeTimeouts);
}

// The request answered is over, its body read: with a pipelined request's bytes buffered, the
// parser starts over on them; with nothing buffered, the connection goes idle and gives back
// what requests hold (a fresh parser is made with the next request's first bytes). False when
// it went idle.
bool NextRequest(Connection* c) {
    if (!c->in.empty()) {
        c->exchange->parser.Reset();
        BeginRequest(c);
        return true;
    }
    SpareExchanges().Give(std::move(c->exchange));  // its plan was emptied with the send
    GiveBackInputBuffer(&c->in);
    EnterState(c, ConnectionState::kIdle);
    return false;
}

void OnSent(int32_t, int32_t result, void* userData) {
    Connection* c = static_cast<Connection*>(userData);
    ExpectState(c, {ConnectionState::kSending, ConnectionState::kClosing}, "OnSent");
    // The owner's again, unless the drain's bound cut the response first: it was logged then,
    // and all that is left is the close.
    ConnectionState sending = ConnectionState::kSending;
    if (!c->state.compare_exchange_strong(sending, ConnectionState::kReading)) {
        CloseConnection(c);
        return;
    }
    HttpServer& s = *c->server;
    ResponsePlan& out = c->exchange->out;
    if (out.fileFd >= 0) close(out.fileFd);
    out.fileFd = -1;
    if (s.accessLogFd >= 0) WriteAccessLog(c, out.status, BodyBytesSent(c, result));
    CountSent(s.counters, out, result);
    c->bytesWritten += out.header.size() + out.contentBytes;
    bool keepAlive = out.keepAlive;
    out = ResponsePlan();
    if (result != 0) {
        CloseConnection(c);
    } else if (!keepAlive || s.stopping.load(std::memory_order_relaxed)) {
        // The connection's last answer, also one planned to keep it before the stop: a close with
        // the client's next request unread would reset the connection and drop the answer's tail
        // still in the socket, so the linger takes the input until the client closes.
        LingerClose(c);
    } else {
        ServeBuffered(c, false);  // the request's body, if any, then the next request
    }
}

// Hands the planned response to a writer; the completion continues with the connection.
void Send(Connection* c) {
    HttpServer& s = *c->server;
    EnterState(c, ConnectionState::kSending);
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

ResponsePlan Respond(const HttpServer& s, const HttpRequest& request, time_t now) {
    try {
        if (IsStatusRequest(request, s.statusPath))
            return StatusResponse(request, StatusSources{&s.counters, &s.openConnections, &s.ex}, now);
        ResponsePlan plan = HandleRequest(request, s.serve, now);
        // A file that exists but could not be opened (descriptors exhausted, an I/O error):
        // the client sees only 500, so say why here.
        if (plan.openError != 0)
            OutDebug("* vrns http: cannot open %s, errno:%d (%s)\n", EscapeForLog(request.target).c_str(),
                     plan.openError, strerrordesc_np(plan.openError));
        return plan;
    } catch (const std::exception& e) {
        OutDebug("* vrns http: request failed: %s\n", e.what());
    }
    return GeneratedResponse(500, Persistence::kClose, false, now);
}

// Whether the connection carries a request after this one. A client that waits for 100
// Continue may send its body after the final answer or never, so that answer ends the
// connection (RFC 9110 section 10.1.1); the linger drains a body that comes after all.
bool KeepsConnection(const HttpServer& s, const HttpRequest& request) {
    return request.keepAlive && !request.expectsContinue && !s.stopping.load(std::memory_order_relaxed);
}

// The parser took used more bytes of the input. Once it took them all, the buffer empties: an
// empty buffer is what says nothing is waiting to be parsed.
void TakeParsed(Connection* c, size_t used) {
    c->inParsed += used;
    if (c->inParsed < c->in.size()) return;
    c->in.clear();
    c->inParsed = 0;
}

// Feeds the parser what is buffered: through the body of a request already answered (skipped)
// and on into the next request, until a head is complete, an error, or the bytes run out.
ParseResult ParseBuffered(Connection* c) {
    if (!c->exchange && !c->in.empty()) BeginRequest(c);
    ParseResult r = ParseResult::kNeedMore;
    while (c->exchange) {
        size_t used = 0;
        r = c->exchange->parser.Feed(c->in.data() + c->inParsed, c->in.size() - c->inParsed, &used);
        TakeParsed(c, used);
        if (r != ParseResult::kComplete || !NextRequest(c)) break;
        r = ParseResult::kNeedMore;
    }
    return r;
}

// Parses what is buffered and answers a request as soon as its head is complete (its body is
// read and skipped after the answer); otherwise waits for more, unless inputEnded says no more
// will come.
void ServeBuffered(Connection* c, bool inputEnded) {
    ParseResult r = ParseBuffered(c);
    if (r == ParseResult::kNeedMore || r == ParseResult::kComplete) {
        if (inputEnded) {
            CloseConnection(c);
            return;
        }
        WaitForRequest(c);
        return;
    }
    Exchange& x = *c->exchange;
    if (r == ParseResult::kError && x.parser.headDone()) {
        // The body of a request already answered is broken: nothing more can be framed.
        LingerClose(c);
        return;
    }
    time_t now = time(nullptr);
    HttpServer& s = *c->server;
    // Only the access log reads it; without one, a request costs no string for it.
    if (s.accessLogFd >= 0) x.requestLine = x.parser.request().RequestLine();
    if (r == ParseResult::kError) {
        // The parser cannot find the next request's start: answer and close.
        x.out = GeneratedResponse(x.parser.errorStatus(), Persistence::kClose, false, now);
    } else if (!KeepsConnection(s, x.parser.request())) {
        // The connection's last: say so to the client.
        HttpRequest last = x.parser.request();
        last.keepAlive = false;
        x.out = Respond(s, last, now);
    } else {
        x.out = Respond(s, x.parser.request(), now);
    }
    Send(c);
}

}  // namespace

void StartConnection(HttpServer& server, int fd, const sockaddr_storage& peer) {
    // Small responses and the tail after the uncork go out at once; with Nagle they could wait
    // for the client's delayed ACK.
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Connection* c = new Connection();
    c->fd = fd;
    c->server = &server;
    if (server.accessLogFd >= 0) c->peer = PeerName(peer);
    server.openConnections.fetch_add(1, std::memory_order_relaxed);
    server.connections.Add(c);
    WaitForRequest(c);
}

int CloseIdleConnections(HttpServer& server) {
    return server.connections.EndIdle(server.ex.VrnEpoll_Remove);
}

int CutResponses(HttpServer& server) {
    return server.connections.CutSending(ReportCut);
}
