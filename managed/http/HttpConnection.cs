// One HTTP connection on the engine and the writers: the connection loop. Each part owns its
// data. The request reader (RequestReader) owns the input: it receives, parses, decodes bodies
// and compacts. The response writer (ResponseWriter) owns the output and says what became of
// each write (gathered, out now, or handed to the writers), never calling back into the loop
// from inside a call. A request's scope (RequestScope) owns the request's lifetime: its lease on
// the exchange and the end sequence (report, gzip, end). The loop keeps the framing of requests
// into handlers and responses, the sending, and the connection's one state (ConnectionState),
// which each callback checks as it enters and each move names as the state it leaves, as the
// native connection does; a callback or move in a wrong state ends the connection (Fault). The
// states and their moves: see ConnectionState. Its own smaller parts: the client watched for
// while a handler runs (AbortWatch), the access log's line (OwedLogLine), the last moments
// (Linger).
//
// Pipelined requests already received are answered as a batch: a response whole in memory stays
// in the writer's output while the next buffered request is served, and the batch goes out in
// one write when the input runs out, a handler does not complete at once, a request has a body,
// a response goes out from elsewhere (a file, a large body, a stream) or the batch is large.
//
// One request's path: the reader receives and parses its head (Reading), a scope is made with
// its lease and the handler runs (Handling); its operations go through the reader (body) and the
// writer (streamed pieces); its end runs the scope's sequence, which drops its lease, then the
// writer finishes the response (Sending), the reader steps past the request, and the loop
// serves the next one or waits (Idle, giving the exchange back when nothing is buffered).
//
// Threads. The engine's and the writers' callbacks run on pump workers; a handler runs on the
// server's handler pool, or where the request was framed when its route is inline. The
// connection is armed for one thing at a time (a read, a write), so its callbacks never run at
// once, and whichever thread runs for it owns it; after a hand-off to Events.Listen or a writer,
// it is not touched again. While a handler runs it may start one operation at a time (a body
// read, a streamed write) from its own thread: the connection's lock (this) orders those, and the
// handler's end, against their completions.
//
// The client going while its handler runs: see AbortWatch.
using System;
using System.IO;
using System.Net;
using System.Threading;
using System.Threading.Tasks;

namespace Vrns.Http
{
    sealed class HttpConnection : IEventTarget, IWriteTarget
    {
        const int OperationFailed = HandlerOperation.Failed, BodyRefused = HandlerOperation.Refused;

        static readonly Task<int> NoMoreBody = Task.FromResult(0);
        static readonly SendOrPostCallback RunPosted = o => {
            var context = (HttpContext)o;
            context.Connection.RunHandler(context);
        };

        // What a write in Sending was for: a response (then the next request or the close), or
        // the batch that had to go before the parsed request begins, or before more input.
        enum AfterSend { Next, Begin, Serve }

        readonly HttpServer server;
        readonly int fd;
        readonly ConnectionPeer peer;
        internal HttpConnection ListPrev, ListNext;  // the server's ConnectionList
        int state;  // ConnectionState
        Exchange x;  // from a request's first bytes until the connection is idle again
        bool answered, peerClosed, keepAlive;
        // The request begun must be complete by then (its first byte plus the read time-out),
        // however slowly its bytes, body included, come.
        long requestDeadline;
        // When input last came: a request's clock starts then, one clock read per receive.
        long receivedMsec;
        Linger lingering;  // once the connection's last response is out
        AfterSend afterSend;
        readonly CompletionLoop completions;  // of the writes done at once

        // The request being handled, from its handler's start to its end, and the operation it
        // has outstanding. Guarded by the lock (this).
        HttpContext current;
        readonly HandlerOperation operation = new HandlerOperation();
        // The client watched for while the handler runs, and its RequestAborted.
        readonly AbortWatch abort;
        readonly OwedLogLine logLine;
        int holdsLease;  // 1 while this connection's lease on x is not dropped: dropped once, whoever closes
        WebSocketTransport socketTransport;  // a WebSocket's, once upgraded

        public HttpConnection(HttpServer server, int fd, byte[] peer, int peerLength, int peerPort)
        {
            this.server = server;
            this.fd = fd;
            this.peer = new ConnectionPeer(peer, peerLength, peerPort);
            logLine = new OwedLogLine(server, this.peer);
            abort = new AbortWatch(this, server, fd);
            completions = new CompletionLoop(this, fd);
        }

        public int Fd
        {
            get { return fd; }
        }

        public IPAddress PeerAddress
        {
            get { return peer.Address; }
        }

        public int PeerPort
        {
            get { return peer.Port; }
        }

        public void Start()
        {
            if (Events.Listen(fd, Interest.Read, this, server.ReadTimeoutSec) != 0) Close();
        }

        // ---- the state ----

        ConnectionState State
        {
            get { return (ConnectionState)Volatile.Read(ref state); }
        }

        // A full fence, as the drain's moves are. For the drain's Reclaim and the unit tests: the
        // connection's own moves name the state they leave (Move).
        internal void Enter(ConnectionState s)
        {
            Interlocked.Exchange(ref state, (int)s);
        }

        // A move of the connection's own, from the state only it leaves (the drain moves none of
        // those). Anything else means two owners at once: the connection ends (Fault).
        bool Move(ConnectionState from, ConnectionState to)
        {
            int was = TryMove(from, to);
            if (was == (int)from) return true;
            Fault("a move from " + from + " to " + to, (ConnectionState)was);
            return false;
        }

        // The state before; the move was made when it equals from.
        internal int TryMove(ConnectionState from, ConnectionState to)
        {
            return Interlocked.CompareExchange(ref state, (int)to, (int)from);
        }

        // A callback in a state it was not armed in, or a move from a state the connection is not
        // in, means two owners at once: rather than go on corrupt, or throw out to the binding
        // with nothing armed and the descriptor held, the connection says so in one line and
        // closes (a running handler's RequestAborted fires, its exchange goes back with its end).
        internal void Fault(string what, ConnectionState was)
        {
            ErrorLog.Write("vrns-http: connection " + fd + ": " + what + " while " + was + "; closed");
            Close();
        }

        // Out of Sending once its write completed: false (and closed) when the drain's bound cut it.
        bool LeaveSending()
        {
            if (TryMove(ConnectionState.Sending, ConnectionState.Reading) == (int)ConnectionState.Sending) return true;
            Close();
            return false;
        }

        public void OnEvent(int socket, int code)
        {
            switch (State) {
                case ConnectionState.WaitingFirst:
                case ConnectionState.Idle:
                case ConnectionState.Reading:
                    OnRequestInput(code);
                    return;
                case ConnectionState.EndedIdle:
                    ResumeEndedByDrain(code);
                    return;
                case ConnectionState.Handling:
                    OnBodyInput(code);
                    return;
                case ConnectionState.Discarding:
                    OnDiscardInput(code);
                    return;
                case ConnectionState.Lingering:
                    OnLingerInput(code);
                    return;
                case ConnectionState.Cut:
                    CloseCut();
                    return;
                default:
                    Fault("a read event", State);
                    return;
            }
        }

        // What the writer did with a call's bytes. Nothing written: the response waits in the
        // batch, or the piece was empty, which completes as a write would. Written now: the
        // completion runs in the loop (CompletionLoop).
        void Completed(Written w)
        {
            if (w == Written.Later) return;
            if (w == Written.Nothing && State == ConnectionState.Sending) {
                Sent();
                return;
            }
            completions.Done();
        }

        public void OnWriteDone(int socket, int result)
        {
            switch (State) {
                case ConnectionState.Handling:
                    OnOperationWritten(result);
                    return;
                case ConnectionState.Sending:
                    OnSent(result);
                    return;
                case ConnectionState.Cut:
                    CloseCut();
                    return;
                default:
                    Fault("a write's end", State);
                    return;
            }
        }

        // ---- reading requests ----

        // Waiting between requests takes the whole read time-out; a request begun has only what
        // is left of its own. A connection with nothing buffered gives its exchange back.
        void WaitForRequest()
        {
            int timeout = server.ReadTimeoutSec;
            if (x == null || x.Reader.Empty) {
                ReturnExchange();
                if (!Move(ConnectionState.Reading, answered ? ConnectionState.Idle : ConnectionState.WaitingFirst)) return;
                if (answered && server.Stopping) {  // see ConnectionList.EndIdle
                    Close();
                    return;
                }
            } else {
                timeout = SecondsUntil(requestDeadline);
                if (timeout == 0) {
                    Close();
                    return;
                }
            }
            if (Events.Listen(fd, Interest.Read, this, timeout) != 0) Close();
        }

        void OnRequestInput(int code)
        {
            // A waiting connection leaves the drain's reach before anything is read; it may have
            // been ended a moment before.
            ConnectionState waiting = State;
            if (waiting != ConnectionState.Reading && TryMove(waiting, ConnectionState.Reading) != (int)waiting) {
                ResumeEndedByDrain(code);
                return;
            }
            // Not readable: the read time-out passed, or an error or hang-up.
            if (code != EventCode.Readable || !Receive()) {
                Close();
                return;
            }
            ServeBuffered();
        }

        // The drain ended this idle connection: it cancelled the read wait, or found this
        // callback already on its way. A request that raced in is answered all the same, as the
        // connection's last (the server is stopping); without one the connection closes.
        void ResumeEndedByDrain(int code)
        {
            server.Connections.Reclaim(this, ConnectionState.Reading);
            if (code == EventCode.ErrorOrReplaced || !Receive() || x.Reader.Empty) {
                Close();
                return;
            }
            ServeBuffered();
        }

        // Reads what the socket holds into the input. False on a socket error.
        bool Receive()
        {
            if (x == null) {
                x = server.Exchanges.Rent(this, fd);
                Volatile.Write(ref holdsLease, 1);
            }
            if (!x.Reader.Receive(fd, ref peerClosed)) return false;
            receivedMsec = Engine.NowMsec;
            return true;
        }

        // Parses what is buffered and begins a complete request; otherwise sends the batch, or
        // waits for more.
        void ServeBuffered()
        {
            HeadResult r = x == null ? HeadResult.NeedMore : x.Reader.ParseHead();
            if (r == HeadResult.NeedMore) {
                // The request's clock starts with its first byte, however slowly the rest comes.
                if (requestDeadline == 0 && x != null && !x.Reader.Empty) StartClock();
                if (x != null && x.Writer.Gathered > 0) {  // nothing more to answer now
                    SendBatch(AfterSend.Serve);
                } else if (peerClosed) {
                    Close();
                } else if (x != null && x.Reader.Full) {
                    Refuse(431);
                } else {
                    WaitForRequest();
                }
                return;
            }
            if (r == HeadResult.Error) {
                Refuse(x.Reader.Head.Status);
                return;
            }
            if (requestDeadline == 0) StartClock();
            // A body may have to be waited for, or a 100 sent: the batch goes out before.
            if (x.Writer.Gathered > 0 && x.Reader.HasBody) {
                SendBatch(AfterSend.Begin);
                return;
            }
            BeginRequest();
        }

        void StartClock()
        {
            requestDeadline = receivedMsec + server.ReadTimeoutSec * 1000L;
        }

        void SendBatch(AfterSend then)
        {
            afterSend = then;
            if (Move(ConnectionState.Reading, ConnectionState.Sending)) Completed(x.Writer.SendBatch());
        }

        // A generated page that ends the connection: the request cannot be framed or is refused
        // (from Reading, which the drain leaves alone)...
        void Refuse(int status)
        {
            if (Move(ConnectionState.Reading, ConnectionState.Sending)) SendRefusal(status);
        }

        // ...or its handler failed (already Sending).
        void SendRefusal(int status)
        {
            logLine.Owe(status, StatusText.Page(status).Length);
            keepAlive = false;
            afterSend = AfterSend.Next;
            Completed(x.Writer.Refuse(status));
        }

        // ---- the handler ----

        void BeginRequest()
        {
            RequestReader reader = x.Reader;
            logLine.RequestBegun();
            keepAlive = reader.Head.KeepAlive;
            int refusal = reader.BeginBody(server.MaxBodyBytes, server.BodyBudget);
            if (refusal != 0) {
                Refuse(refusal);
                return;
            }
            x.Writer.BeginResponse();
            var context = new HttpContext(server, this, reader.Head, reader.Input, new RequestScope(server.Exchanges, x));
            HandlerThread where;
            context.Handler = server.Router.Find(context.TheRequest, out where);
            context.Inline = where == HandlerThread.UnsafeInline ||
                             (where == HandlerThread.ServerDefault && server.InlineHandlers);
            lock (this) current = context;
            if (!Move(ConnectionState.Reading, ConnectionState.Handling)) {
                lock (this) current = null;
                context.Scope.End(server, context, null);
                return;
            }
            // The route's handler names its queue in the pool; a pool thread that runs a
            // request of the same route counts against its bound already, and takes this one at once.
            if (context.Inline || server.Handlers.RunsRoute(context.Handler))
                RunHandler(context);
            else if (!server.Handlers.TryPost(context.Handler, RunPosted, context))
                HandlerDone(context, PoolFull);
        }

        // The route's queue is full (or the server is past its drain): 503 with Retry-After, as
        // for a body the budget has no room for.
        static readonly Task PoolFull = Task.FromException(new BadRequestBodyException(503));

        // A request still queued when the pool ends.
        internal static void RefuseQueued(object o)
        {
            var context = (HttpContext)o;
            context.Connection.HandlerDone(context, PoolFull);
        }

        void RunHandler(HttpContext context)
        {
            Task task;
            try {
                task = server.Pipeline != null ? server.Pipeline(context) : context.Handler(context);
            } catch (Exception e) {
                // Through HandlerDone: an operation the handler began before it threw must end
                // before the connection may be answered or closed.
                task = Task.FromException(e);
            }
            if (task == null || task.IsCompleted) {
                HandlerDone(context, task);
                return;
            }
            // Before the handler can finish: its response is then gathered after the flush. (An
            // upgrade may have given the exchange back already.)
            Exchange exchange = x;
            if (exchange != null && exchange.Writer.Gathered > 0) FlushForHandler(context);
            WatchWhileHandling(context);
            task.ConfigureAwait(false).GetAwaiter().UnsafeOnCompleted(() => HandlerDone(context, task));
        }

        // The earlier responses must not wait for a handler that takes its time: they go out as
        // the handler's operation; one it begins meanwhile waits for that write.
        void FlushForHandler(HttpContext context)
        {
            lock (this) {
                // A streamed write the handler began already took the batch with it.
                if (operation.Outstanding || State != ConnectionState.Handling || x.Writer.Gathered == 0) return;
                BeginOperation(Operation.Flush, context);
            }
            Completed(x.Writer.SendBatch());
        }

        // The handler ended: once no operation of its is outstanding, its scope ends the request
        // (report, gzip, end) and drops its lease; then the response goes out, unless the
        // connection closed meanwhile, which the state says.
        void HandlerDone(HttpContext context, Task task)
        {
            ServerWebSocket socket;
            lock (this) {
                if (operation.Outstanding) {
                    operation.DeferEnd(task);
                    return;
                }
                // From here on the request's operations are refused.
                current = null;
                abort.End();  // before the response or the next read arms the connection
                socket = context.WebSocket;
            }
            int refusal = context.Scope.End(server, context, task);
            if (context.Upgrading) {
                UpgradedHandlerDone(socket);
                return;
            }
            HttpResponse response = context.TheResponse;
            if (TryMove(ConnectionState.Handling, ConnectionState.Sending) != (int)ConnectionState.Handling) {
                response.ReleaseFile();  // closed meanwhile, or the drain's bound cut it
                Close();
                return;
            }
            if (refusal != 0) {
                response.ReleaseFile();
                if (response.Started) {  // the head is out: only a cut tells the client
                    Close();
                    return;
                }
                SendRefusal(refusal);
                return;
            }
            FinishResponse(response);
        }

        bool IsHead
        {
            get { return x.Reader.Head.Method == "HEAD"; }
        }

        bool Http10
        {
            get { return x.Reader.Head.VersionMinor == 0; }
        }

        // Whether the connection survives this response: not when it is the last the client
        // asked for, the handler closes it, the server is stopping (a request finished during the
        // drain is the connection's last) or the body's framing is lost.
        bool KeepAliveNow(HttpResponse r)
        {
            return keepAlive && !r.CloseRequested && !server.Stopping && x.Reader.FramingKept;
        }

        // In Sending: the response is written, or gathered and the next request served at once.
        void FinishResponse(HttpResponse r)
        {
            afterSend = AfterSend.Next;
            if (r.Started) {
                Completed(x.Writer.FinishStream(IsHead, Http10));
                return;
            }
            keepAlive = KeepAliveNow(r);
            logLine.Owe(r.Status, IsHead || HttpResponse.BodyForbidden(r.Status) ? 0 : r.Length());
            bool mayGather = keepAlive && x.Reader.BodyDone && x.Reader.MoreBuffered;
            Completed(x.Writer.Finish(r, IsHead, Http10, keepAlive, mayGather));
        }

        void OnSent(int result)
        {
            x.Writer.WriteDone();
            if (result != WriteResult.Done) {
                Close();
                return;
            }
            switch (afterSend) {
                case AfterSend.Next:
                    Sent();
                    return;
                case AfterSend.Begin:
                    if (LeaveSending()) BeginRequest();
                    return;
                default:
                    if (LeaveSending()) ServeBuffered();
                    return;
            }
        }

        // The response is complete (written, or waiting in the batch): the close, the skipping of
        // an unread body, or the next request.
        void Sent()
        {
            if (!LeaveSending()) return;
            logLine.Write(x.Reader.Head, x.Reader.Input);
            answered = true;
            x.Reader.EndRequest();
            if (!keepAlive) {
                LingerClose(ConnectionState.Reading);
            } else if (!x.Reader.BodyDone) {
                if (Move(ConnectionState.Reading, ConnectionState.Discarding)) Discard();
            } else {
                NextRequest();
            }
        }

        // ---- the handler's operations ----

        // Under the lock: the operation belongs to the request being handled, and none is
        // outstanding. A request that is over gets ObjectDisposedException.
        void CheckOperation(HttpContext context)
        {
            CheckCurrent(context);
            if (operation.Outstanding) throw new InvalidOperationException("a write or read is outstanding");
        }

        void CheckCurrent(HttpContext context)
        {
            if (context != current)
                throw new ObjectDisposedException("HttpContext", "the request is over: its handler's Task has completed");
        }

        // A piece of the body into the handler's array: what is buffered at once, else the next
        // bytes to arrive.
        internal Task<int> ReadBodyAsync(HttpContext context, byte[] into, int offset, int count)
        {
            Task<int> result;
            lock (this) {
                if (operation.Kind == Operation.Flush && context == current)
                    return operation.AfterFlush(() => ReadBodyAsync(context, into, offset, count));
                CheckOperation(context);
                if (State != ConnectionState.Handling) return Task.FromException<int>(new ConnectionLostException("the connection is closed"));
                RequestReader reader = x.Reader;
                reader.ExpectPiece(into, offset, count);
                int n;
                switch (reader.ReadPiece(out n)) {
                    case BodyProgress.Read:
                        return Task.FromResult(n);
                    case BodyProgress.Ended:
                        return NoMoreBody;
                    case BodyProgress.Failed:
                        return Task.FromException<int>(new BadRequestBodyException(reader.FailureStatus));
                }
                if (peerClosed) return Task.FromException<int>(new ConnectionLostException("the client closed the request body"));
                result = BeginOperation(Operation.Read, context);
            }
            StartBodyWait(context);
            return result;
        }

        // The whole body, in an array of its exact size.
        internal Task<byte[]> ReadWholeBodyAsync(HttpContext context)
        {
            Task<byte[]> result;
            lock (this) {
                if (operation.Kind == Operation.Flush && context == current)
                    return operation.AfterFlush(() => ReadWholeBodyAsync(context));
                CheckOperation(context);
                if (State != ConnectionState.Handling) return Task.FromException<byte[]>(new ConnectionLostException("the connection is closed"));
                RequestReader reader = x.Reader;
                if (!reader.ExpectWhole()) return Task.FromException<byte[]>(new BadRequestBodyException(503));
                switch (reader.ReadWhole()) {
                    case BodyProgress.Ended:
                        return Task.FromResult(reader.TakeWhole());
                    case BodyProgress.Failed:
                        return Task.FromException<byte[]>(new BadRequestBodyException(reader.FailureStatus));
                }
                if (peerClosed) return Task.FromException<byte[]>(new ConnectionLostException("the client closed the request body"));
                abort.Drop();
                result = operation.BeginWhole(context.Inline);
            }
            StartBodyWait(context);
            return result;
        }

        // The body is wanted: 100 Continue first when the client waits for it, then its bytes.
        void StartBodyWait(HttpContext context)
        {
            if (x.Reader.TakeContinue(context.TheResponse.Started)) {
                operation.SendingContinue = true;
                x.Writer.SendContinue();
                return;
            }
            WaitForBody();
        }

        // The body's bytes follow the head, which stays where the request's strings are read.
        void WaitForBody()
        {
            x.Reader.CompactBehindHead();
            int timeout = SecondsUntil(requestDeadline);
            if (timeout == 0 || Events.Listen(fd, Interest.Read, this, timeout) != 0) {
                Close();
                EndOperation(OperationFailed);
            }
        }

        void OnBodyInput(int code)
        {
            if (code != EventCode.Readable || !Receive()) {
                Close();
                EndOperation(OperationFailed);
                return;
            }
            RequestReader reader = x.Reader;
            int n = 0;
            BodyProgress p = operation.Kind == Operation.ReadWhole ? reader.ReadWhole()
                                                              : reader.ReadPiece(out n);
            if (p == BodyProgress.NeedMore) {
                if (peerClosed) {
                    Close();
                    EndOperation(OperationFailed);
                } else {
                    WaitForBody();
                }
                return;
            }
            EndOperation(p == BodyProgress.Failed ? BodyRefused : n);
        }

        // A piece of a streamed body; the first takes the head.
        internal Task StreamAsync(HttpContext context, byte[] data, int offset, int count)
        {
            Task result;
            lock (this) {
                if (operation.Kind == Operation.Flush && context == current)
                    return operation.AfterFlush(() => StreamAsync(context, data, offset, count));
                CheckOperation(context);
                if (State != ConnectionState.Handling) return Task.FromException(new ConnectionLostException("the connection is closed"));
                result = BeginOperation(Operation.Write, context);
            }
            HttpResponse r = context.TheResponse;
            // HTTP/1.0 has no chunks: the body ends with the connection.
            if (!r.Started) {
                keepAlive = !Http10 && KeepAliveNow(r);
                logLine.Owe(r.Status, 0);
            }
            if (!IsHead) logLine.Add(count);
            Completed(x.Writer.Stream(r, IsHead, Http10, keepAlive, data, offset, count));
            return result;
        }

        void OnOperationWritten(int result)
        {
            if (result != WriteResult.Done) {
                Close();
                EndOperation(OperationFailed);
                return;
            }
            if (operation.SendingContinue) {
                operation.SendingContinue = false;
                WaitForBody();
                return;
            }
            EndOperation(0);
        }

        // Completes the handler's operation (a count, OperationFailed or BodyRefused) and, when
        // the handler finished meanwhile, finishes its response. In the inline mode the handler
        // may continue right here.
        void EndOperation(int result)
        {
            HandlerOperation.Ending ending;
            bool ended;
            Task task;
            HttpContext context;
            byte[] body = null;
            lock (this) {
                if (operation.Kind == Operation.ReadWhole && result >= 0) body = x.Reader.TakeWhole();
                ending = operation.End(out ended, out task);
                context = current;
                if (!ended) ArmWatch();
            }
            Exception e = null;
            if (result == OperationFailed) e = new ConnectionLostException("the connection failed");
            if (result == BodyRefused) e = new BadRequestBodyException(x.Reader.FailureStatus);
            ending.Complete(result, body, e);
            if (ended) HandlerDone(context, task);
        }

        // The drain's bound cut the connection while its handler ran or its response went out.
        void CloseCut()
        {
            bool outstanding;
            lock (this) outstanding = operation.Outstanding;
            if (x != null) x.Writer.WriteDone();
            Close();
            if (outstanding) EndOperation(OperationFailed);
        }

        // ---- RequestAborted ----

        internal CancellationToken AbortToken(HttpContext context)
        {
            CancellationTokenSource source;
            lock (this) {
                CheckCurrent(context);
                bool made = context.Scope.AbortSource == null;
                source = abort.Source(context.Scope);
                if (!made) return source.Token;
                if (State == ConnectionState.Handling && !peerClosed) {
                    abort.Watch();
                    ArmWatch();
                    return source.Token;
                }
            }
            source.Cancel();  // gone already; nothing is registered on it yet
            return source.Token;
        }

        // The connection closed, or the drain cut it, while the handler runs.
        internal void AbortHandler()
        {
            abort.Cancel();
        }

        // The handler did not complete at once: its client is watched for until it does.
        void WatchWhileHandling(HttpContext context)
        {
            lock (this) {
                if (context != current) return;
                abort.Watch();
                ArmWatch();
            }
        }

        // Under the lock: an operation of the handler's begins; the watch makes way for it.
        Task<int> BeginOperation(Operation op, HttpContext context)
        {
            abort.Drop();
            return operation.Begin(op, context.Inline);
        }

        // Under the lock: watches the read half while the handler runs watched, no operation
        // is outstanding, and the input has room for what comes.
        void ArmWatch()
        {
            if (!abort.Watched || State != ConnectionState.Handling || operation.Outstanding || peerClosed || x.Reader.Full)
                return;
            abort.Arm();
        }

        // Under the lock: the armed watch heard of the read half. Readable: what came is kept for
        // the body or the next request, unless it is the end of the stream.
        internal void OnWatchHeard(int code)
        {
            bool gone = code == EventCode.Readable ? !Receive() || peerClosed : code != EventCode.TimedOutOrRemoved;
            if (!gone) {
                ArmWatch();
                return;
            }
            // No operation is outstanding, and none begins before the state says Closed.
            Close();
        }

        // ---- a WebSocket ----

        // The 101 that ends HTTP on this connection, as the handler's operation; the batch of
        // earlier answers goes ahead of it.
        internal Task UpgradeAsync(HttpContext context, byte[] head)
        {
            Task result;
            lock (this) {
                if (operation.Kind == Operation.Flush && context == current)
                    return operation.AfterFlush(() => UpgradeAsync(context, head));
                CheckOperation(context);
                if (State != ConnectionState.Handling) return Task.FromException(new ConnectionLostException("the connection is closed"));
                result = BeginOperation(Operation.Write, context);
            }
            context.TheResponse.Started = true;
            Completed(x.Writer.Upgrade(head));
            return result;
        }

        // Once the 101 is out: the connection becomes the socket's transport, and the socket is
        // listed with the server. Null when the handler ended or the drain's bound cut the
        // connection first. The exchange goes back here: a socket lives long and mostly idle,
        // and keeps of the request only a copy of its head and the bytes sent behind it.
        internal ServerWebSocket BeginWebSocket(HttpContext context, string subProtocol)
        {
            lock (this) {
                if (context != current || TryMove(ConnectionState.Handling, ConnectionState.Upgraded) != (int)ConnectionState.Handling)
                    return null;
                abort.Drop();  // the transport's reads take the read half
                byte[] early = x.Reader.TakeRest();
                context.TheRequest.Detach();
                context.Scope.Detach();
                ReturnExchange();
                socketTransport = new WebSocketTransport(this, fd, peerClosed, early, context.TheRequest);
                context.WebSocket = new ServerWebSocket(socketTransport, server.WebSocketOptions, subProtocol, context.Inline);
                server.LiveWebSockets.Add(context.WebSocket);
                return context.WebSocket;
            }
        }

        // The transport is done: closed after the close handshake (the connection lingers, as
        // after a last response), or cut. The session gets its access log line.
        internal void EndWebSocket(bool linger)
        {
            logLine.WriteSession(socketTransport);
            if (linger)
                LingerClose(ConnectionState.Upgraded);
            else
                Close();
        }

        // The handler of an upgrade ended. Its socket is disposed (cut unless it was closed) and
        // the transport's end closes the connection; an upgrade that never became a socket is
        // cut.
        void UpgradedHandlerDone(ServerWebSocket socket)
        {
            if (socket != null) {
                server.LiveWebSockets.Remove(socket);
                socket.Dispose();
            } else {
                Close();
            }
        }

        // ---- after the response ----

        // Skips the body nobody read, within the request's deadline.
        void Discard()
        {
            bool done = x.Reader.Skip();
            if (x.Reader.BodyFailed) {
                Close();
                return;
            }
            if (done) {
                if (Move(ConnectionState.Discarding, ConnectionState.Reading)) NextRequest();
                return;
            }
            x.Reader.Compact();
            int timeout = SecondsUntil(requestDeadline);
            if (peerClosed || timeout == 0 || Events.Listen(fd, Interest.Read, this, timeout) != 0) Close();
        }

        void OnDiscardInput(int code)
        {
            if (code != EventCode.Readable || !Receive()) {
                Close();
                return;
            }
            Discard();
        }

        void NextRequest()
        {
            logLine.NextRequest();
            x.Reader.Compact();
            x.Reader.Head.Reset(0);
            requestDeadline = 0;
            ServeBuffered();
        }

        // The connection's last response is out (or its WebSocket closed): see Linger.
        void LingerClose(ConnectionState from)
        {
            if (peerClosed || TryMove(from, ConnectionState.Lingering) != (int)from) {
                Close();  // a socket's connection may have been closed meanwhile: quietly
                return;
            }
            if (lingering == null) lingering = new Linger(this, fd);
            if (!lingering.Begin()) Close();
        }

        void OnLingerInput(int code)
        {
            if (!lingering.OnInput(code, x != null ? x.Reader.Input : null)) Close();
        }

        // The engine's time-out, in whole seconds, for a wait that must end by deadline: rounded
        // up, so the wait does not end before it; 0 once it has passed.
        internal static int SecondsUntil(long deadline)
        {
            long left = deadline - Engine.NowMsec;
            return left > 0 ? (int)((left + 999) / 1000) : 0;
        }

        // Out of the server's list first, so that nothing the drain does with a listed
        // connection meets it half closed. Then the descriptor goes, a running handler's
        // RequestAborted is cancelled and the connection's lease is dropped: a handler still
        // running holds its own (RequestScope), and the last lease dropped gives the exchange back.
        void Close()
        {
            if (Interlocked.Exchange(ref state, (int)ConnectionState.Closed) == (int)ConnectionState.Closed) return;
            server.ConnectionClosed(this);
            lock (this) abort.Drop();  // before the descriptor goes: a watch must not outlive its number
            if (x != null) {
                x.Writer.CloseFile();
                logLine.Write(x.Reader.Head, x.Reader.Input);  // a response cut short, with the bytes handed to the writer
            }
            Posix.Close(fd);
            bool handlerRunning;
            lock (this) handlerRunning = current != null;
            if (handlerRunning) {
                AbortHandler();
                DropLease();  // the handler's operations may still read x: it stays
            } else {
                ReturnExchange();
            }
        }

        // The connection lets go of its exchange.
        void ReturnExchange()
        {
            DropLease();
            x = null;
        }

        void DropLease()
        {
            Exchange mine = x;
            if (mine != null && Interlocked.Exchange(ref holdsLease, 0) == 1 && mine.Release()) server.Exchanges.Return(mine);
        }
    }
}
